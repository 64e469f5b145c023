// A small XML reader for the documents that pushes carry: elements, attributes, text with
// the predefined and numeric entities, CDATA; the declaration, comments, processing
// instructions and the DOCTYPE are skipped. Depth and size are bounded.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct XmlNode {
  bool isText = false;
  std::string name;  // elements
  std::vector<std::pair<std::string, std::string>> attributes;
  std::vector<XmlNode> children;
  std::string text;  // text nodes (entities resolved, outer white space trimmed)

  const std::string* Attribute(std::string_view attributeName) const;
};

inline constexpr size_t kXmlMaxDepth = 32;
inline constexpr size_t kXmlMaxSize = 1u << 20;
inline constexpr size_t kXmlMaxNodes = 20000;

// The root element of a document; false with error set when it is not well-formed or
// exceeds the bounds.
bool ParseXml(std::string_view document, XmlNode& root, std::string& error);
// The name of the first element of a document ("" when there is none), without parsing
// the rest.
std::string RootElementName(std::string_view document);
// Text escaped for an attribute value or element content.
std::string XmlEscape(std::string_view text);
