#include "push/pap_request.h"

#include "push/wbxml.h"
#include "push/wsp.h"
#include "push/xml_reader.h"
#include "runtime/text_helpers.h"

namespace {
bool Fail(std::string& error, std::string text) {
  error = std::move(text);
  return false;
}

// The value of name= in a header value: quoted, or up to ";" or white space; cut to max.
std::string ParameterOf(std::string_view value, std::string_view name, size_t max, bool* tooLong = nullptr) {
  size_t at = 0, from = 0;
  for (;;) {
    size_t found = FindNoCase(value.substr(from), name);
    if (found == std::string::npos) return {};
    at = from + found - name.size();  // FindNoCase gives the end of the match
    // Only a whole parameter name counts.
    if (at == 0 || value[at - 1] == ';' || value[at - 1] == ' ' || value[at - 1] == '\t') break;
    from = at + name.size();
  }
  std::string_view rest = value.substr(at + name.size());
  std::string out;
  if (!rest.empty() && (rest[0] == '"' || rest[0] == '\'')) {
    size_t end = rest.find(rest[0], 1);
    out = std::string(rest.substr(1, end == std::string_view::npos ? std::string_view::npos : end - 1));
  } else {
    size_t end = rest.find_first_of("; \t\r\n");
    out = std::string(rest.substr(0, end));
  }
  if (out.size() > max) {
    if (tooLong) *tooLong = true;
    out.resize(max);
  }
  return out;
}

// The header block and the rest of a part.
void SplitPart(std::string_view part, std::string_view& headers, std::string_view& body) {
  size_t crlf = part.find("\r\n\r\n"), lf = part.find("\n\n");
  if (part.substr(0, 2) == "\r\n") {  // no headers at all
    headers = {};
    body = part.substr(2);
    return;
  }
  if (crlf != std::string_view::npos && (lf == std::string_view::npos || crlf < lf)) {
    headers = part.substr(0, crlf + 2);
    body = part.substr(crlf + 4);
  } else if (lf != std::string_view::npos) {
    headers = part.substr(0, lf + 1);
    body = part.substr(lf + 2);
  } else {
    headers = part;
    body = {};
  }
}

// A header of a part (name without its colon), cut to max.
std::optional<std::string> PartHeader(std::string_view headers, std::string_view name, size_t max) {
  size_t start = 0;
  while (start < headers.size()) {
    size_t end = headers.find('\n', start);
    if (end == std::string_view::npos) end = headers.size();
    std::string_view line = headers.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t colon = line.find(':');
    if (colon != std::string_view::npos && EqualsNoCase(Trim(line.substr(0, colon)), name)) {
      std::string v(Trim(line.substr(colon + 1)));
      if (v.size() > max) v.resize(max);
      return v;
    }
    start = end + 1;
  }
  return std::nullopt;
}

void CollectAddresses(const XmlNode& node, PapRequest& out, bool& pushMessage) {
  if (node.isText) return;
  if (node.name == "push-message") {
    pushMessage = true;
    if (const std::string* id = node.Attribute("push-id")) out.pushId = id->substr(0, 500);
  }
  if (node.name == "address")
    if (const std::string* value = node.Attribute("address-value")) {
      std::string a = *value;
      if (StartsWithNoCase(a, "wappush=")) a = a.substr(8);
      a = a.substr(0, a.find('@'));
      size_t type = FindNoCase(a, "/TYPE=");
      if (type != std::string::npos) a = a.substr(0, type - 6);
      a = std::string(Trim(a));
      if (!a.empty()) out.recipients.push_back(a);
    }
  for (const XmlNode& c : node.children) CollectAddresses(c, out, pushMessage);
}

struct Compiled { const char* textual; const char* binary; };
constexpr Compiled kCompiled[] = {
    {"text/vnd.wap.si", "application/vnd.wap.sic"},
    {"text/vnd.wap.sl", "application/vnd.wap.slc"},
    {"text/vnd.wap.co", "application/vnd.wap.coc"},
    {"text/vnd.wap.connectivity-xml", "application/vnd.wap.connectivity-wbxml"},
    {"application/vnd.oma.drm.rights+xml", "application/vnd.oma.drm.rights+wbxml"},
    {"application/vnd.syncml+xml", "application/vnd.syncml+wbxml"},
    {"application/vnd.wap.emn+xml", "application/vnd.wap.emn+wbxml"},
    {"text/vnd.wap.emn+xml", "application/vnd.wap.emn+wbxml"}};
}  // namespace

bool ParsePapRequest(bool post, const std::optional<std::string>& contentType, std::string_view body,
                     uint8_t transactionId, uint8_t wbxmlVersion, PapRequest& out, std::string& error) {
  out = PapRequest();
  if (!contentType) return Fail(error, std::string(kPapPrefix) + "missing content type");
  if (!post || !StartsWithNoCase(Trim(*contentType), "multipart/"))
    return Fail(error, std::string(kPapPrefix) + "request is not multipart");
  bool tooLong = false;
  std::string boundary = ParameterOf(*contentType, "boundary=", 150, &tooLong);
  if (boundary.empty() || tooLong) return Fail(error, "Multipart MIME boundary invalid or missing");
  std::string delimiter = "--" + boundary;
  size_t first = body.find(delimiter);
  if (first == std::string_view::npos) return Fail(error, "Invalid MIME boundary");
  size_t controlStart = first + delimiter.size();
  size_t second = body.find(delimiter, controlStart);
  if (second == std::string_view::npos) return Fail(error, "Closing MIME boundary not found");
  std::string_view controlHeaders, control, controlPart = body.substr(controlStart, second - controlStart);
  if (controlPart.substr(0, 2) == "\r\n") controlPart.remove_prefix(2);
  else if (controlPart.substr(0, 1) == "\n") controlPart.remove_prefix(1);
  SplitPart(controlPart, controlHeaders, control);
  size_t contentStart = second + delimiter.size();
  if (body.substr(contentStart, 2) == "--" || body.find_first_not_of(" \t\r\n", contentStart) == std::string_view::npos)
    return Fail(error, "Push MIME content part not found");
  size_t closing = body.find(delimiter, contentStart);
  if (closing == std::string_view::npos) return Fail(error, "Closing MIME boundary for push content part not found");

  XmlNode root;
  std::string xmlError;
  bool pushMessage = false;
  if (ParseXml(control, root, xmlError)) CollectAddresses(root, out, pushMessage);
  if (out.recipients.empty()) return Fail(error, "No valid push recipients");

  // The content part: its headers, then the body the part really has.
  std::string_view part = body.substr(contentStart, closing - contentStart);
  if (part.substr(0, 2) == "\r\n") part.remove_prefix(2);
  else if (part.substr(0, 1) == "\n") part.remove_prefix(1);
  std::string_view headers, content;
  SplitPart(part, headers, content);
  if (content.size() >= 2 && content.substr(content.size() - 2) == "\r\n") content.remove_suffix(2);
  else if (!content.empty() && content.back() == '\n') content.remove_suffix(1);
  if (auto length = PartHeader(headers, "Content-length", 20)) {
    uint32_t n = ParseDecimal(*length);
    if (n < content.size()) content = content.substr(0, n);
  }
  auto type = PartHeader(headers, "Content-type", 500);
  if (!type || Trim(*type).empty() || content.empty()) return Fail(error, "Invalid push content");
  std::string media(Trim(std::string_view(*type).substr(0, type->find(';'))));
  std::string charset = ParameterOf(*type, "charset=", 100);
  std::string sec = ParameterOf(*type, "SEC=", 100);
  std::string mac = ParameterOf(*type, "MAC=", 100);
  auto appId = PartHeader(headers, "X-Wap-Application-ID", 100);
  auto initiator = PartHeader(headers, "X-Wap-Initiator-URI", 250);
  auto flag = PartHeader(headers, "Push-flag", 20);

  std::string payload(content);
  for (const Compiled& c : kCompiled)
    if (EqualsNoCase(media, c.textual)) {
      bool utf8 = charset.empty() || CharsetNumber(charset).value_or(0) == 106;
      if (!CompileXmlDocument(content, wbxmlVersion, utf8 ? 0x6A : 0x04, payload, error)) return false;
      media = c.binary;
      break;
    }
  std::optional<uint8_t> code = ContentTypeCode(media);
  if (code && (*code == 0x3E || *code == 0x46)) code.reset();
  if (EqualsNoCase(media, "application/vnd.oma.drm.rights+wbxml")) code = 0x4B;

  std::string parameters;
  if (!charset.empty()) {
    parameters += '\x81';
    AppendInteger(parameters, CharsetNumber(charset).value_or(0x6A));
  }
  if (!sec.empty()) {
    static const std::pair<const char*, char> kSec[] = {
        {"NETWPIN", '\x80'}, {"USERPIN", '\x81'}, {"USERNETWPIN", '\x82'}, {"USERPINMAC", '\x83'}};
    for (const auto& [name, octet] : kSec)
      if (EqualsNoCase(sec, name)) {
        parameters += '\x91';
        parameters += octet;
      }
  }
  if (!mac.empty()) {
    parameters += '\x92';
    AppendText(parameters, mac);
  }
  std::string pdu;
  pdu += static_cast<char>(transactionId);
  pdu += '\x06';
  bool headed = !code || !parameters.empty() || (appId && !appId->empty()) || (initiator && !initiator->empty()) ||
                (flag && !flag->empty());
  if (headed) {
    std::string typeField;
    if (code)
      typeField += static_cast<char>(*code | 0x80);
    else
      AppendText(typeField, media);
    std::string block;
    if (!parameters.empty()) {
      AppendValueLength(block, typeField.size() + parameters.size());
      block += typeField + parameters;
    } else {
      block = typeField;
    }
    if (appId) block += ApplicationIdHeader(*appId);
    if (initiator && !initiator->empty()) {
      block += '\xB1';
      AppendText(block, *initiator);
    }
    if (flag && !flag->empty()) {
      block += '\xB4';
      block += static_cast<char>((ParseDecimal(*flag) & 0x7F) | 0x80);
    }
    AppendUintvar(pdu, static_cast<uint32_t>(block.size()));
    pdu += block;
  } else {
    pdu += '\x01';
    pdu += static_cast<char>(*code | 0x80);
  }
  out.pdu = pdu + payload;
  return true;
}

std::string PapSuccessDocument(std::string_view pushId) {
  return "<?xml version=\"1.0\"?>\r\n<!DOCTYPE pap PUBLIC \"-//WAPFORUM//DTD PAP 1.0//EN\" "
         "\"http://www.wapforum.org/DTD/pap_1.0.dtd\">\r\n<pap>\r\n<push-response push-id=\"" +
         XmlEscape(pushId.empty() ? std::string_view("unknown") : pushId) +
         "\">\r\n<response-result code=\"1001\"/>\r\n</push-response>\r\n</pap>\r\n";
}

std::string PapFailureDocument(std::string_view text) {
  return "<pap>\r\n<badmessage-response code=\"2000\" desc=\"" + XmlEscape(text) + "\"/>\r\n</pap>\r\n";
}
