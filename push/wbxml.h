// WBXML compilers of the push and settings documents, chosen by the root element, with the
// token tables of each document type. The string table is always empty: every text goes
// inline.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "push/xml_reader.h"

struct WbxmlTag { uint8_t page, token; const char* name; };
// An attribute start token: the name and the prefix of the value it stands for.
struct WbxmlAttribute { uint8_t page, token; const char* name; const char* prefix; };
// An attribute value token (used when it is the whole rest of a value).
struct WbxmlValue { uint8_t page, token; const char* value; };

struct WbxmlLanguage {
  const char* root;                 // the root element's name
  uint32_t publicId;                // 0x01: unknown
  std::span<const WbxmlTag> tags;
  std::span<const WbxmlAttribute> attributes;
  std::span<const WbxmlValue> values;
  std::span<const char* const> dateAttributes;  // values sent as packed opaque dates
  const char* base64Element;        // content sent as opaque octets (base64 decoded), or null
  bool namespacesSelectPages;       // xmlns attributes only select code pages (SyncML)
};

// The language of a root element name, or null.
const WbxmlLanguage* WbxmlLanguageOf(std::string_view rootName);
// Languages by name for the tests: "SI", "SL", "CO", "PROV", "DRMREL", "ROAP", "EMN",
// "SYNCML", "OTA", "SYNCSETTINGS", "WVSETTINGS".
const WbxmlLanguage* WbxmlLanguageNamed(std::string_view name);

// The version octet of the WAPPushWBXMLVersion setting ("" gives 0x02).
uint8_t WbxmlVersionOctet(std::string_view setting);
// Charset octet: 0x6A UTF-8, 0x04 ISO-8859-1 (texts then converted from UTF-8).
bool CompileWbxml(const XmlNode& root, const WbxmlLanguage& language, uint8_t version, uint8_t charset,
                  std::string& out, std::string& error);
// Parses and compiles a document with the language of its root element.
bool CompileXmlDocument(std::string_view xml, uint8_t version, uint8_t charset, std::string& out, std::string& error);
// The opaque form of a date: its digits two per octet, trailing zero octets dropped.
std::string PackedDate(std::string_view value);
// UTF-8 text in ISO-8859-1 (characters beyond it become '?').
std::string Utf8ToLatin1(std::string_view utf8);
