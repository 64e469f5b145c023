#include "push/xml_reader.h"

#include <cstdint>

#include "gsm/gsm_alphabet.h"

namespace {
struct Reader {
  std::string_view in;
  size_t pos = 0;
  size_t nodes = 0;
  std::string error;

  bool Fail(const char* what) {
    if (error.empty()) error = std::string(what) + " at offset " + std::to_string(pos);
    return false;
  }
  bool StartsWith(std::string_view s) const { return in.substr(pos, s.size()) == s; }
  void SkipSpace() {
    while (pos < in.size() && (in[pos] == ' ' || in[pos] == '\t' || in[pos] == '\r' || in[pos] == '\n')) ++pos;
  }
  bool SkipPast(std::string_view end) {
    size_t at = in.find(end, pos);
    if (at == std::string_view::npos) return false;
    pos = at + end.size();
    return true;
  }
  // The DOCTYPE with an internal subset in brackets.
  bool SkipDoctype() {
    int bracket = 0;
    char quote = 0;
    for (; pos < in.size(); ++pos) {
      char c = in[pos];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '[') {
        ++bracket;
      } else if (c == ']') {
        --bracket;
      } else if (c == '>' && bracket <= 0) {
        ++pos;
        return true;
      }
    }
    return false;
  }
  // Declarations, comments, processing instructions and the DOCTYPE between elements.
  bool SkipMisc() {
    for (;;) {
      SkipSpace();
      if (StartsWith("<?")) {
        if (!SkipPast("?>")) return Fail("unterminated processing instruction");
      } else if (StartsWith("<!--")) {
        if (!SkipPast("-->")) return Fail("unterminated comment");
      } else if (StartsWith("<!DOCTYPE")) {
        if (!SkipDoctype()) return Fail("unterminated DOCTYPE");
      } else {
        return true;
      }
    }
  }
  static bool NameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.' || c == ':' || static_cast<uint8_t>(c) >= 0x80;
  }
  std::string Name() {
    size_t start = pos;
    while (pos < in.size() && NameChar(in[pos])) ++pos;
    return std::string(in.substr(start, pos - start));
  }
  // Resolves the entities of raw text; false for an unknown or malformed one.
  bool Decode(std::string_view raw, std::string& out) {
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != '&') {
        out += raw[i];
        continue;
      }
      size_t semi = raw.find(';', i);
      if (semi == std::string_view::npos || semi - i > 12) return Fail("malformed entity");
      std::string_view e = raw.substr(i + 1, semi - i - 1);
      if (e == "lt") out += '<';
      else if (e == "gt") out += '>';
      else if (e == "amp") out += '&';
      else if (e == "quot") out += '"';
      else if (e == "apos") out += '\'';
      else if (e.size() > 1 && e[0] == '#') {
        uint32_t cp = 0;
        bool hex = e[1] == 'x' || e[1] == 'X';
        std::string_view digits = e.substr(hex ? 2 : 1);
        if (digits.empty()) return Fail("malformed character reference");
        for (char c : digits) {
          int v = (c >= '0' && c <= '9') ? c - '0'
                  : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                : -1;
          if (v < 0) return Fail("malformed character reference");
          cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(v);
          if (cp > 0x10FFFF) return Fail("character reference out of range");
        }
        if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) return Fail("character reference not allowed");
        AppendUtf8(out, cp);
      } else {
        return Fail("unknown entity");
      }
      i = semi;
    }
    return true;
  }
  static std::string TrimSpace(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
  }
  bool Element(XmlNode& node, size_t depth) {
    if (depth > kXmlMaxDepth) return Fail("document nested too deeply");
    if (++nodes > kXmlMaxNodes) return Fail("too many nodes");
    if (!StartsWith("<")) return Fail("element expected");
    ++pos;
    node.name = Name();
    if (node.name.empty()) return Fail("element name expected");
    for (;;) {
      SkipSpace();
      if (pos >= in.size()) return Fail("unterminated start tag");
      if (StartsWith("/>")) {
        pos += 2;
        return true;
      }
      if (in[pos] == '>') {
        ++pos;
        break;
      }
      std::string attr = Name();
      if (attr.empty()) return Fail("attribute name expected");
      SkipSpace();
      if (pos >= in.size() || in[pos] != '=') return Fail("'=' expected");
      ++pos;
      SkipSpace();
      if (pos >= in.size() || (in[pos] != '"' && in[pos] != '\'')) return Fail("quoted value expected");
      char q = in[pos++];
      size_t end = in.find(q, pos);
      if (end == std::string_view::npos) return Fail("unterminated attribute value");
      std::string raw(in.substr(pos, end - pos));
      if (raw.find('<') != std::string::npos) return Fail("'<' in attribute value");
      std::string value;
      if (!Decode(raw, value)) return false;
      for (const auto& a : node.attributes)
        if (a.first == attr) return Fail("repeated attribute");
      node.attributes.emplace_back(std::move(attr), std::move(value));
      pos = end + 1;
    }
    std::string text;
    auto flushText = [&] {
      std::string t = TrimSpace(text);
      text.clear();
      if (t.empty()) return;
      if (!node.children.empty() && node.children.back().isText) {
        node.children.back().text += t;
        return;
      }
      XmlNode n;
      n.isText = true;
      n.text = std::move(t);
      node.children.push_back(std::move(n));
    };
    for (;;) {
      if (pos >= in.size()) return Fail("unterminated element");
      if (StartsWith("</")) {
        pos += 2;
        std::string closing = Name();
        SkipSpace();
        if (closing != node.name || pos >= in.size() || in[pos] != '>') return Fail("mismatched end tag");
        ++pos;
        flushText();
        return true;
      }
      if (StartsWith("<!--")) {
        if (!SkipPast("-->")) return Fail("unterminated comment");
      } else if (StartsWith("<![CDATA[")) {
        pos += 9;
        size_t end = in.find("]]>", pos);
        if (end == std::string_view::npos) return Fail("unterminated CDATA");
        text += in.substr(pos, end - pos);
        pos = end + 3;
      } else if (StartsWith("<?")) {
        if (!SkipPast("?>")) return Fail("unterminated processing instruction");
      } else if (in[pos] == '<') {
        flushText();
        XmlNode child;
        if (!Element(child, depth + 1)) return false;
        node.children.push_back(std::move(child));
      } else {
        size_t end = in.find('<', pos);
        if (end == std::string_view::npos) end = in.size();
        if (!Decode(in.substr(pos, end - pos), text)) return false;
        pos = end;
      }
    }
  }
};
}  // namespace

const std::string* XmlNode::Attribute(std::string_view attributeName) const {
  for (const auto& a : attributes)
    if (a.first == attributeName) return &a.second;
  return nullptr;
}

bool ParseXml(std::string_view document, XmlNode& root, std::string& error) {
  root = XmlNode();
  if (document.size() > kXmlMaxSize) {
    error = "document too large";
    return false;
  }
  if (document.substr(0, 3) == "\xEF\xBB\xBF") document.remove_prefix(3);
  Reader r;
  r.in = document;
  bool ok = r.SkipMisc() && r.Element(root, 1) && r.SkipMisc();
  if (ok && r.pos != document.size()) ok = r.Fail("content after the root element");
  if (!ok) error = r.error.empty() ? "malformed document" : r.error;
  return ok;
}

std::string RootElementName(std::string_view document) {
  if (document.substr(0, 3) == "\xEF\xBB\xBF") document.remove_prefix(3);
  Reader r;
  r.in = document;
  if (!r.SkipMisc() || !r.StartsWith("<")) return {};
  ++r.pos;
  return r.Name();
}

std::string XmlEscape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      case '\0': break;
      default:
        if (static_cast<uint8_t>(c) < 0x20 && c != '\t' && c != '\r' && c != '\n') break;
        out += c;
    }
  }
  return out;
}
