#include <atomic>

#include "config/connections.h"
#include "config/settings.h"
#include "config/settings_registry.h"
#include "gsm/gsm_alphabet.h"
#include "runtime/hex_text.h"
#include "gsm/septet_packing.h"
#include "gsm/submit_pdu.h"
#include "accounting/accounting.h"
#include "httpclient/http_client.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "store/message_file.h"

namespace {
constexpr uint32_t kCallbackTimeoutSeconds = 20;
constexpr size_t kAnswerValueMax = 100;
constexpr size_t kRecipientMax = 500;
constexpr size_t kJoinedRecipientsMax = 100;

std::atomic<RouteValidator> InstalledValidator{nullptr};

bool MustEscape(unsigned char b) {
  if (b < 0x21 || b > 0x7F) return true;
  if (b >= 0x21 && b <= 0x26) return true;
  if (b >= 0x2A && b <= 0x2C) return true;
  return b == 0x3B || b == 0x3C || b == 0x3E || b == 0x3F || b == 0x5C;
}

void AddParam(std::string& url, std::string_view name, std::string_view value) {
  if (value.empty()) return;
  url += '&';
  url += name;
  url += '=';
  url += AccountingEscape(value);
}

void AddSmppOptions(std::string& url, std::string_view options) {
  // Each item: a name starting with "SMPPOption_" up to "=", its value up to ";".
  size_t at = 0;
  for (;;) {
    size_t found = FindNoCase(options.substr(at), "SMPPOption_");
    if (found == std::string::npos) break;
    size_t nameStart = at + found - 11;
    size_t eq = options.find('=', nameStart);
    if (eq == std::string_view::npos) break;
    size_t end = options.find(';', eq + 1);
    if (end == std::string_view::npos) end = options.size();
    std::string name(CutTo(Trim(options.substr(nameStart, eq - nameStart)), 99));
    std::string value(CutTo(Trim(options.substr(eq + 1, end - eq - 1)), 99));
    if (!value.empty()) AddParam(url, name, value);
    at = end;
  }
}

void AddContent(std::string& url, const AccountingMessage& m) {
  bool asText = false;
  std::string content = AccountingContent(m, asText);
  if (!m.message.Binary || asText)
    AddParam(url, "Text", content);
  else
    AddParam(url, "Data", content);
}

// From "&Binary=1" to "&ReceiptRequested=Yes": the same in requests and notices.
void AddMessageFields(std::string& url, const AccountingMessage& a) {
  const SmsMessageRecord& m = a.message;
  if (m.Binary) url += "&Binary=1";
  if (m.Pid != 0) url += StrPrintf("&PID=%X", m.Pid);
  if (m.Dcs != 0) url += StrPrintf("&DCS=%X", m.Dcs);
  AddParam(url, "UDH", m.UDH);
  AddParam(url, "ServiceType", m.ServiceType);
  AddParam(url, "Validity", m.Validity);
  AddContent(url, a);
  if (m.MessageFlags & (kMsgReceiptRequested | kMsgNonDelReceiptRequested)) url += "&ReceiptRequested=Yes";
}

std::string BaseUrl() {
  const std::string& base = Settings.SMSAccountingURL;
  return base + (base.find('?') != std::string::npos ? "&" : "?");
}

// The value after key, up to maxLen characters, ending at a control byte, "<" or ">".
std::string AnswerValue(std::string_view response, std::string_view key) {
  size_t at = FindNoCase(response, key);
  if (at == std::string::npos) return {};
  std::string out;
  for (size_t i = at; i < response.size() && out.size() < kAnswerValueMax; ++i) {
    unsigned char c = static_cast<unsigned char>(response[i]);
    if (c < 0x20 || c == 0x7F || c == '<' || c == '>') break;
    out += static_cast<char>(c);
  }
  return out;
}

bool Fetch(std::string_view url, HttpResponse& response, std::string& error) {
  if (!Settings.AccountingKeepAlive)
    return RetrieveURL(url, response, {.timeoutSeconds = kCallbackTimeoutSeconds, .errorText = &error});
  PooledKeepAlive pooled;
  return RetrieveURL(url, response,
                     {.slot = &pooled.slot(), .timeoutSeconds = kCallbackTimeoutSeconds, .errorText = &error});
}

// A route from the callback that the configuration does not know is dropped.
std::string ValidRoute(const std::string& route, const char* label) {
  if (route.empty() || IsConfiguredRoute(route)) return route;
  WriteDebugLog(label, "Unknown smscRoute=" + route);
  return {};
}

int PreAuthOne(const AccountingMessage& m, std::string_view to, uint32_t count, PreAuthAnswer& answer,
               std::string* messageOut) {
  std::string url = PreAuthUrl(m, to, count);
  WriteDebugLog("SMSAccountingPreAuth", url);
  HttpResponse response;
  std::string error;
  if (!Fetch(url, response, error)) {
    if (messageOut) {
      *messageOut = "Error from Accounting Callback";
      if (!error.empty()) *messageOut += " -- " + error;
    }
    return kAccountingRefusedCode;
  }
  answer = ParsePreAuthAnswer(response.text);
  answer.route = ValidRoute(answer.route, "SMSAccountingPreAuth");
  if (answer.code != 0 && messageOut)
    *messageOut = answer.rejectMessage.empty() ? "Request rejected by accounting callback" : answer.rejectMessage;
  return answer.code;
}
}  // namespace

std::string AccountingEscape(std::string_view value) {
  std::string out;
  out.reserve(value.size() * 3);
  for (char ch : value) {
    unsigned char b = static_cast<unsigned char>(ch);
    if (MustEscape(b)) {
      out += '%';
      out += HexNibbleChar(b, true);
      out += HexNibbleChar(b, false);
    } else {
      out += ch;
    }
  }
  return out;
}

PreAuthAnswer ParsePreAuthAnswer(std::string_view response) {
  PreAuthAnswer a;
  size_t at = FindNoCase(response, "SMPPErrorCode=");
  if (at != std::string::npos) {
    while (at < response.size() && response[at] == ' ') ++at;
    uint32_t value = 0;
    bool hex = false;
    for (; at < response.size(); ++at) {
      char c = response[at];
      if (c == 'x' || c == 'X') {
        hex = true;
        value = 0;
      } else if (c >= '0' && c <= '9') {
        value = value * (hex ? 16 : 10) + static_cast<uint32_t>(c - '0');
      } else if (hex && IsHexDigit(c)) {
        value = value * 16 + static_cast<uint32_t>(HexDigitValue(c));
      } else {
        break;
      }
    }
    a.code = static_cast<int>(value);
  }
  if (a.code == 0 && FindNoCase(response, "PreAuth=Deny") != std::string::npos) a.code = kAccountingRefusedCode;
  if (a.code != 0) a.rejectMessage = AnswerValue(response, "RejectMessage=");
  size_t charge = FindNoCase(response, "RouteCharge=");
  if (charge != std::string::npos) {
    for (size_t i = charge; i < response.size() && a.routeCharge.size() < kAnswerValueMax; ++i) {
      char c = response[i];
      if (!((c >= '0' && c <= '9') || c == '.')) break;
      a.routeCharge += c;
    }
  }
  a.userData = AnswerValue(response, "UserData=");
  a.route = AnswerValue(response, "SMSCRoute=");
  return a;
}

std::string AccountingContent(const AccountingMessage& a, bool& asText) {
  const SmsMessageRecord& m = a.message;
  asText = false;
  if (!m.Binary) return m.Data;
  size_t udhOctets = m.UDH.size() / 2;
  if (IsSevenBitDcs(m.Dcs)) {
    asText = true;
    return DecodeHexSeptetsToUtf8(m.Data, static_cast<int>(udhOctets % 7));
  }
  if (IsUcs2Dcs(m.Dcs)) {
    asText = true;
    return Ucs2OctetsToUtf8(HexDecodeLeading(m.Data, m.Data.size() / 2));
  }
  return m.Data;
}

std::string PreAuthUrl(const AccountingMessage& m, std::string_view to, uint32_t messageCount) {
  std::string url = BaseUrl() + "PreAuth=Yes&Type=" + AccountingEscape(m.type);
  AddParam(url, "From", m.message.SubmitUser);
  AddParam(url, "To", to);
  url += StrPrintf("&MsgCount=%u", messageCount);
  AddParam(url, "SubmitIP", m.message.SubmittedBy);
  AddParam(url, "SMSCRoute", m.message.SMSCRoute);
  AddParam(url, "Sender", m.message.Sender);
  AddMessageFields(url, m);
  AddParam(url, "AcctInfo", m.message.AcctInfo);
  AddSmppOptions(url, m.message.SMPPOptions);
  return url;
}

std::string NoticeUrl(const AccountingMessage& m, const AccountingNoticeFields& f) {
  std::string url = BaseUrl() + "Type=" + AccountingEscape(m.type);
  AddParam(url, "From", m.message.SubmitUser);
  AddParam(url, "To", f.recipient);
  AddParam(url, "MessageID", f.messageId);
  AddParam(url, "SubmitIP", m.message.SubmittedBy);
  AddParam(url, "Sender", m.message.Sender);
  AddMessageFields(url, m);
  if (m.type != "SMSOut") AddParam(url, "SMSCRoute", m.message.SMSCRoute);
  AddParam(url, "SMSCMsgId", f.smscMessageId);
  AddParam(url, "SMSCReceiptMsgId", f.smscReceiptMessageId);
  AddParam(url, "SMSCReceiptMsgIdOrig", f.smscReceiptMessageIdOrig);
  AddParam(url, "SMSCName", f.smscName);
  AddParam(url, "Status", f.status);
  AddParam(url, "AcctInfo", m.message.AcctInfo);
  AddParam(url, "RouteCharge", f.routeCharge);
  AddParam(url, "UserData", f.userData);
  AddSmppOptions(url, m.message.SMPPOptions);
  return url;
}

int AccountingPreAuthorise(const AccountingMessage& m, const std::vector<std::string>& recipients,
                           uint32_t messageCount, PreAuthOutputs* outputs, std::string* messageOut) {
  if (Settings.SMSAccountingURL.empty()) return 0;
  if (MainFlag("SMSAccountingPreAuthPerRecip") && !recipients.empty()) {
    uint32_t each = messageCount / static_cast<uint32_t>(recipients.size());
    for (const std::string& r : recipients) {
      PreAuthAnswer answer;
      int code = PreAuthOne(m, CutTo(SkipSpaces(r), kRecipientMax), each, answer, messageOut);
      if (code != 0) return code;
      if (outputs) {
        outputs->routes.push_back(answer.route);
        outputs->charges.push_back(answer.routeCharge);
        outputs->userData.push_back(answer.userData);
      }
    }
    return 0;
  }
  std::string to;
  if (recipients.size() <= kJoinedRecipientsMax) {
    for (const std::string& r : recipients) {
      if (!to.empty()) to += ',';
      to += CutTo(SkipSpaces(r), kRecipientMax);
    }
  }
  PreAuthAnswer answer;
  return PreAuthOne(m, to, messageCount, answer, messageOut);
}

void AccountingNotice(const AccountingMessage& m, const AccountingNoticeFields& fields, std::string* routeOut) {
  if (Settings.SMSAccountingURL.empty()) return;
  std::string url = NoticeUrl(m, fields);
  WriteDebugLog("SMSAccountingCallback", url);
  HttpResponse response;
  std::string error;
  if (!Fetch(url, response, error)) {
    WriteDebugLog("SMSAccountingCallback", "Error from Accounting Callback -- " + error);
    return;
  }
  if (m.type == "SMSSend" && routeOut != nullptr && (!Settings.UseRouteQueues || routeOut->empty())) {
    std::string route = ValidRoute(AnswerValue(response.text, "SMSCRoute="), "SMSAccountingCallback");
    if (!route.empty()) *routeOut = route;
  }
}

void OutboundAccountingNotice(const SmsMessageRecord& m, std::string_view recipient, std::string_view messageId,
                              std::string_view smscMessageId, std::string_view smscReceiptMessageId,
                              std::string_view statusText) {
  AccountingMessage out{"SMSOut", m};
  AccountingNoticeFields f;
  f.recipient = recipient;
  f.messageId = messageId;
  f.smscMessageId = smscMessageId;
  f.smscReceiptMessageId = smscReceiptMessageId;
  size_t split = statusText.find(" -- ");
  f.status = statusText.substr(0, split);
  if (split != std::string_view::npos) f.smscName = statusText.substr(split + 4);
  AccountingNotice(out, f, nullptr);
}

bool IsConfiguredRoute(std::string_view route) {
  if (RouteValidator v = InstalledValidator.load()) return v(route);
  if (route.empty()) return false;
  for (const ConfiguredConnection& c : EnumerateConnections()) {
    if (EqualsNoCase(route, c.displayName) || EqualsNoCase(route, ConnectionRouteName(c.displayName))) return true;
  }
  return false;
}

void SetRouteValidator(RouteValidator validator) { InstalledValidator.store(validator); }
