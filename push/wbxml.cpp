#include "push/wbxml.h"

#include "push/wsp.h"
#include "runtime/base64.h"
#include "runtime/text_helpers.h"

namespace {
constexpr char kSwitchPage = 0x00, kEnd = 0x01, kStrI = 0x03, kOpaque = static_cast<char>(0xC3);

struct Compiler {
  const WbxmlLanguage& lang;
  bool latin1;
  std::string& out;
  std::string& error;
  uint8_t tagPage = 0, attrPage = 0;

  bool Fail(std::string text) {
    error = std::move(text);
    return false;
  }
  std::string Text(std::string_view t) const {
    std::string s = latin1 ? Utf8ToLatin1(t) : std::string(t);
    std::erase(s, '\0');  // an inline string ends at its first NUL
    return s;
  }
  void Inline(std::string_view t) {
    out += kStrI;
    out += Text(t);
    out += '\0';
  }
  void Opaque(std::string_view octets) {
    out += kOpaque;
    AppendUintvar(out, static_cast<uint32_t>(octets.size()));
    out += octets;
  }
  void Page(uint8_t& current, uint8_t wanted) {
    if (current == wanted) return;
    out += kSwitchPage;
    out += static_cast<char>(wanted);
    current = wanted;
  }
  const WbxmlTag* Tag(const std::string& name) const {
    const WbxmlTag* found = nullptr;
    for (const WbxmlTag& t : lang.tags)
      if (name == t.name) {
        if (t.page == tagPage) return &t;
        if (!found) found = &t;
      }
    return found;
  }
  bool IsDate(const std::string& name) const {
    for (const char* d : lang.dateAttributes)
      if (name == d) return true;
    return false;
  }
  bool Attribute(const std::string& name, const std::string& value) {
    const WbxmlAttribute* best = nullptr;
    size_t bestLength = 0;
    for (const WbxmlAttribute& a : lang.attributes) {
      if (name != a.name) continue;
      std::string_view prefix = a.prefix;
      if (value.compare(0, prefix.size(), prefix) != 0) continue;
      bool better = !best || prefix.size() > bestLength ||
                    (prefix.size() == bestLength && a.page == attrPage && best->page != attrPage);
      if (better) {
        best = &a;
        bestLength = prefix.size();
      }
    }
    if (!best) return Fail("Attribute not known in a <" + std::string(lang.root) + "> document: " + name);
    Page(attrPage, best->page);
    out += static_cast<char>(best->token);
    std::string_view rest = std::string_view(value).substr(bestLength);
    if (rest.empty()) return true;
    if (IsDate(name)) {
      Opaque(PackedDate(rest));
      return true;
    }
    for (const WbxmlValue& v : lang.values)
      if (rest == v.value && v.page == attrPage) {
        out += static_cast<char>(v.token);
        return true;
      }
    Inline(rest);
    return true;
  }
  bool Element(const XmlNode& node) {
    const WbxmlTag* tag = Tag(node.name);
    if (!tag) return Fail("Element not known in a <" + std::string(lang.root) + "> document: " + node.name);
    Page(tagPage, tag->page);
    bool attributes = false;
    for (const auto& a : node.attributes) {
      if (lang.namespacesSelectPages && (a.first == "xmlns" || a.first.rfind("xmlns:", 0) == 0)) continue;
      attributes = true;
    }
    bool content = !node.children.empty();
    out += static_cast<char>(tag->token | (attributes ? 0x80 : 0) | (content ? 0x40 : 0));
    if (attributes) {
      for (const auto& [name, value] : node.attributes) {
        if (lang.namespacesSelectPages && (name == "xmlns" || name.rfind("xmlns:", 0) == 0)) continue;
        if (!Attribute(name, value)) return false;
      }
      out += kEnd;
    }
    if (!content) return true;
    for (const XmlNode& child : node.children) {
      if (!child.isText) {
        if (!Element(child)) return false;
      } else if (lang.base64Element && node.name == lang.base64Element) {
        Opaque(Base64Decode(child.text));
      } else {
        Inline(child.text);
      }
    }
    out += kEnd;
    return true;
  }
};
}  // namespace

std::string Utf8ToLatin1(std::string_view utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    uint8_t c = static_cast<uint8_t>(utf8[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    size_t n = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
    uint32_t cp = n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
    bool valid = n > 1 && i + n <= utf8.size();
    for (size_t k = 1; valid && k < n; ++k) {
      uint8_t cc = static_cast<uint8_t>(utf8[i + k]);
      valid = (cc & 0xC0) == 0x80;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (!valid) {
      out += static_cast<char>(c);  // already a single-byte text
      ++i;
      continue;
    }
    out += cp <= 0xFF ? static_cast<char>(cp) : '?';
    i += n;
  }
  return out;
}

std::string PackedDate(std::string_view value) {
  std::string digits;
  for (char c : value)
    if (c >= '0' && c <= '9') digits += c;
  if (digits.size() % 2) digits += '0';
  std::string out;
  for (size_t i = 0; i < digits.size(); i += 2)
    out += static_cast<char>(((digits[i] - '0') << 4) | (digits[i + 1] - '0'));
  while (!out.empty() && out.back() == '\0') out.pop_back();
  return out;
}

uint8_t WbxmlVersionOctet(std::string_view setting) {
  setting = Trim(setting);
  size_t dot = setting.find('.');
  if (setting.empty() || dot == std::string_view::npos) return 0x02;
  uint32_t major = ParseDecimal(setting.substr(0, dot));
  if (major == 0) return 0x02;
  return static_cast<uint8_t>(ParseDecimal(setting.substr(dot + 1)) & 0x7F);
}

bool CompileWbxml(const XmlNode& root, const WbxmlLanguage& language, uint8_t version, uint8_t charset,
                  std::string& out, std::string& error) {
  out.clear();
  out += static_cast<char>(version);
  AppendUintvar(out, language.publicId);
  AppendUintvar(out, charset);
  out += '\0';  // string table length
  Compiler c{language, charset == 0x04, out, error};
  if (!c.Element(root)) {
    out.clear();
    return false;
  }
  return true;
}

bool CompileXmlDocument(std::string_view xml, uint8_t version, uint8_t charset, std::string& out, std::string& error) {
  XmlNode root;
  if (!ParseXml(xml, root, error)) {
    error = "Invalid XML content: " + error;
    return false;
  }
  const WbxmlLanguage* language = WbxmlLanguageOf(root.name);
  if (!language) {
    error = "XML Content Not Recognised";
    return false;
  }
  return CompileWbxml(root, *language, version, charset, out, error);
}
