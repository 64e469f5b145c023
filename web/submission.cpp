#include "web/submission.h"

#include <sys/stat.h>

#include <memory>
#include <optional>
#include <vector>

#include "accounting/accounting.h"
#include "runtime/hex_text.h"
#include "httpclient/http_text.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/mutex.h"
#include "runtime/names.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "config/settings.h"
#include "config/settings_registry.h"
#include "store/message_file.h"
#include "push/push_requests.h"
#include "submit/recipients.h"
#include "submit/submission.h"
#include "web/address_book.h"
#include "web/pap.h"
#include "web/responses.h"
#include "web/mms_submission.h"
#include "web/submit_parameters.h"
#include "web/web_menu.h"
#include "web/web_server.h"
#include "web/web_settings.h"

namespace {
constexpr const char* kNoCache = "Expires: Tue, 01 Jan 1980 1:00:00 GMT\r\nCache-Control: no-cache\r\n";

// A submission as the request gives it, and the link of the success page.
struct SubmissionRequest {
  Submission submission;
  std::string continueUrl;
};

void SendInvalid(WebConnection& c, std::string_view text) {
  WriteDebugLog("ThreadProcessConnection", text);
  SendErrorPage(c, "400 Bad Request", "Invalid Parameter", "Invalid Parameter", text);
}

void SendRefusal(WebConnection& c, std::string_view text) { SendErrorPage(c, "403 Forbidden", text, text, text); }

void SendNotSupported(WebConnection& c, std::string_view parameter) {
  std::string text = "Messages of this type (" + std::string(parameter) + ") are not supported by this gateway.";
  WriteDebugLog("ThreadProcessConnection", text);
  SendErrorPage(c, "501 Not Implemented", "Not Supported", "Not Supported", text);
}

// A port parameter: decimal digits of a value that fits 16 bits.
std::optional<uint16_t> PortNumber(std::string_view text) {
  text = Trim(text);
  if (text.empty() || text.size() > 5) return std::nullopt;
  uint32_t value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(ch - '0');
  }
  if (value > 0xFFFF) return std::nullopt;
  return static_cast<uint16_t>(value);
}

// Phone, or when absent PhoneNumber: the entries of the list.
void ReadRecipients(const WebRequest& r, Submission& s) {
  size_t listMax = std::max<size_t>(r.text.size(), 8192);
  auto list = SubmitParameter(r, "Phone", listMax);
  if (!list) list = SubmitParameter(r, "PhoneNumber", listMax);
  s.recipients = SplitRecipientList(list ? *list : std::string());
}

// Text (in charset), else Data (binary); UDH, pid and dcs.
void ReadContent(const WebRequest& r, Submission& s) {
  SmsMessageRecord& m = s.message;
  if (auto text = SubmitParameter(r, "Text", kDataMax)) {
    m.Data = *text;
    s.contentIsText = true;
  } else if (auto data = SubmitParameter(r, "Data", kDataMax)) {
    m.Data = *data;
    m.Binary = true;
  }
  if (auto udh = SubmitParameter(r, "UDH", kUdhMax)) {
    m.UDH = *udh;
    m.Binary = true;
  }
  m.Pid = static_cast<uint8_t>(HexToInt(SubmitParameterOr(r, "pid", 1023)));
  m.Dcs = static_cast<uint8_t>(HexToInt(SubmitParameterOr(r, "dcs", 1023)));
  s.charset = SubmitParameterOr(r, "charset", 1023);
}

// The sender, the values passed on, the flags, and where an inbound message goes. The
// failure text, or "".
std::string ReadOptions(const WebRequest& r, Submission& s) {
  SmsMessageRecord& m = s.message;
  m.Sender = StripControlBytes(SubmitParameterOr(r, "Sender", 149));
  m.Validity = StripControlBytes(SubmitParameterOr(r, "Validity", 49));
  m.ServiceType = StripControlBytes(SubmitParameterOr(r, "ServiceType", 99));
  m.BillingInfo = StripControlBytes(SubmitParameterOr(r, "BillingInfo", 99));
  m.AcctInfo = StripControlBytes(SubmitParameterOr(r, "AcctInfo", 99));
  m.SMSCRoute = StripControlBytes(SubmitParameterOr(r, "SMSCRoute", 99));
  bool receipt;
  if (auto given = SubmitParameter(r, "Receipt", 100))
    receipt = ConfigBool(*given);
  else if (auto requested = SubmitParameter(r, "ReceiptRequested", 100))
    receipt = ConfigBool(*requested);
  else
    receipt = MainFlag("ReceiptRequested");
  for (auto [bits, on] : {std::pair<uint32_t, bool>{kMsgReplyRequested, SubmitFlag(r, "ReplyRequested")},
                          {kMsgReceiptRequested, receipt},
                          {kMsgIsReport | kMsgReportDelivered, SubmitFlag(r, "ReceiptDelivered")},
                          {kMsgIsReport | kMsgReportFailed, SubmitFlag(r, "ReceiptFailed")},
                          {kMsgIsReport | kMsgReportIntransit, SubmitFlag(r, "ReceiptIntransit")}})
    if (on) m.MessageFlags |= bits;
  m.ReceiptMessageId = StripControlBytes(SubmitParameterOr(r, "ReceiptMessageId", 99));
  if (SubmitFlag(r, "InboundMessage") || SubmitFlag(r, "InboundMsg")) {
    m.Inbound = true;
    s.localUser = kLocalInbound;
  }
  if (auto local = SubmitParameter(r, "LocalUser", 99)) {
    if (!IsSafePathName(*local)) return "Invalid format for LocalUser parameter.";
    m.Inbound = true;
    s.localUser = *local;
  }
  return {};
}

// SourcePort and DestPort; 0 counts as not given. The failure text, or "".
std::string ReadPorts(const WebRequest& r, Submission& s) {
  for (auto [name, port] : {std::pair<const char*, uint16_t*>{"SourcePort", &s.sourcePort}, {"DestPort", &s.destPort}}) {
    auto value = SubmitParameter(r, name, 20);
    if (!value) continue;
    std::optional<uint16_t> parsed = PortNumber(*value);
    if (!parsed)
      return StrPrintf("Invalid format for %s parameter (a port number from 0 to 65535).", name);
    if (*parsed != 0) *port = *parsed;
  }
  return {};
}

// DelayUntil as a local time, and the continue link of the success page.
void ReadScheduleAndLink(const WebRequest& r, SubmissionRequest& s) {
  if (auto delay = SubmitParameter(r, "DelayUntil", 1023)) {
    std::string key = DelayKey(*delay);
    if (!key.empty()) {
      CalendarTime t;
      t.year = std::stoi(key.substr(0, 4));
      t.month = std::stoi(key.substr(4, 2));
      t.day = std::stoi(key.substr(6, 2));
      t.hour = std::stoi(key.substr(8, 2));
      t.minute = std::stoi(key.substr(10, 2));
      s.submission.delayUntil = LocalCalendarToSeconds(t);
    }
  }
  s.continueUrl = SubmitParameterOr(r, "ContinueURL", 1023, "javascript:history.back()");
  if (s.continueUrl.find("://") == std::string::npos && FindNoCase(s.continueUrl, "javascript:") == std::string::npos)
    s.continueUrl = "http://" + s.continueUrl;
}

// The ExtraHttpArgList parameters and the SMPPOption_ ones, copied into every file.
void ReadPassedOnArguments(const WebRequest& r, SmsMessageRecord& m) {
  for (const std::string& name : Settings.ExtraHttpArgList)
    if (auto v = SubmitParameter(r, name, 8192)) m.ExtraArguments.emplace_back(name, StripControlBytes(*v));
  for (const auto& [name, value] : AllSubmitParameters(r, 1023)) {
    if (!StartsWithNoCase(name, "SMPPOption_")) continue;
    std::string item = StripControlBytes(name + "=" + value);
    std::string joined = m.SMPPOptions.empty() ? item : m.SMPPOptions + "; " + item;
    if (joined.size() > 500) break;
    m.SMPPOptions = joined;
  }
}

// The parameter that selects special content, and what a message waiting indication needs.
void ReadSpecialContent(const WebRequest& r, Submission& s) {
  static const char* const kOrder[] = {"RingToneDataText", "RingToneDataFile", "RingToneDataURL",
                                       "PictureMessageDataText", "PictureMessageDataFile", "PictureMessageDataURL",
                                       "EMSText", "VoiceMail", "WAPPUSHADV_CONTENT_TYPE", "WAPURL", "MMSText",
                                       "MMSImageFile", "MMSFile", "MMSFile[]", "MMSURL", "MMSNotificationHeaders",
                                       "WAPBookmark", "OTA", "OTASyncML", "OTAOMA", "OMAOTA", "OTAXMLSettings",
                                       "OTABookmark", "OTA_BEARER", "OTA_NAME", "OTA_URL", "OTA_MMSURL"};
  for (const char* name : kOrder)
    if (SubmitParameter(r, name, 16)) {
      s.specialContent = name;
      break;
    }
  if (s.specialContent.empty())
    for (const auto& [name, value] : AllSubmitParameters(r, 16))
      if (StartsWithNoCase(name, "OTAIMPS_")) {
        s.specialContent = "OTAIMPS";
        break;
      }
  if (s.specialContent != "VoiceMail") return;
  s.voiceMail.kind = SubmitParameterOr(r, "VoiceMail", 100);
  s.voiceMail.count = ParseDecimal(SubmitParameterOr(r, "VoiceMailMessageCount", 20));
  s.voiceMail.text = SubmitParameterOr(r, "Text", kDataMax);
}

// Every parameter of the request into s, in the order of their checks; the text of the
// first invalid one, or "".
std::string ReadSubmission(const WebConnection& c, const WebRequest& r, SubmissionRequest& s) {
  Submission& core = s.submission;
  core.message.SubmitUser = c.user;
  core.message.SubmittedBy = c.clientAddress;
  core.forcedSender = c.forcedSender;
  ReadRecipients(r, core);
  ReadContent(r, core);
  if (std::string invalid = ReadOptions(r, core); !invalid.empty()) return invalid;
  if (std::string invalid = ReadPorts(r, core); !invalid.empty()) return invalid;
  ReadScheduleAndLink(r, s);
  ReadPassedOnArguments(r, core.message);
  core.recipientsOptional = SubmitParameter(r, "OTA_SUBMIT_VIEWXML", 16).has_value();
  ReadSpecialContent(r, core);
  return {};
}

// SUBMITOK.HTM, read again only when it changed: an answer costs one stat instead of an
// open, two reads and a close.
struct SuccessPage {
  Mutex lock;
  std::string path GUARDED_BY(lock);
  struct stat seen GUARDED_BY(lock) {};
  bool present GUARDED_BY(lock) = false;
  std::shared_ptr<const std::string> text GUARDED_BY(lock);
};
SuccessPage g_successPage;

// The page, or null when there is none.
std::shared_ptr<const std::string> SuccessPageText() {
  std::string path = WebSettings.HtmlDirectory + "SUBMITOK.HTM";
  MutexLock guard(g_successPage.lock);
  if (g_successPage.path != path) g_successPage.present = false;
  g_successPage.path = path;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    g_successPage.present = false;
    g_successPage.text.reset();
    return nullptr;
  }
  if (g_successPage.present && st.st_ino == g_successPage.seen.st_ino && st.st_dev == g_successPage.seen.st_dev &&
      st.st_size == g_successPage.seen.st_size && st.st_mtim.tv_sec == g_successPage.seen.st_mtim.tv_sec &&
      st.st_mtim.tv_nsec == g_successPage.seen.st_mtim.tv_nsec)
    return g_successPage.text;
  std::string page;
  if (!ReadWholeFile(path, page, 1u << 20)) {
    g_successPage.present = false;
    g_successPage.text.reset();
    return nullptr;
  }
  g_successPage.seen = st;
  g_successPage.present = true;
  g_successPage.text = std::make_shared<const std::string>(std::move(page));
  return g_successPage.text;
}

void SendSuccess(WebConnection& c, const std::string& continueUrl, const std::vector<std::string>& lines) {
  std::string body;
  std::string escapedUrl = HtmlEscape(continueUrl);
  std::shared_ptr<const std::string> cached = SuccessPageText();
  if (cached) {
    const std::string& page = *cached;
    std::string_view rest = page;
    while (!rest.empty()) {
      size_t eol = rest.find('\n');
      std::string line(rest.substr(0, eol == std::string_view::npos ? rest.size() : eol));
      rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      line = line.substr(0, 2048);
      for (size_t at; (at = FindToken(line, "@@ContinueURL@@")) != std::string::npos;)
        line.replace(at, 15, escapedUrl);
      size_t info = FindToken(line, "@@SubmitInfo@@");
      if (info != std::string::npos) {
        for (const std::string& l : lines) {
          std::string copy = line;
          copy.replace(info, 14, HtmlEscape(l));
          body += copy + "\r\n";
        }
      } else {
        body += line + "\r\n";
      }
    }
  } else {
    body = "<HTML>\r\n<HEAD><TITLE>Message Submitted</TITLE></HEAD>\r\n<BODY>\r\n<p>Message Submitted<p>\r\n";
    body += "<a href=\"" + escapedUrl + "\">Continue</a>\r\n";
    for (const std::string& l : lines) body += HtmlEscape(l) + "\r\n";
    body += "<p>\r\n</BODY></HTML>\r\n";
  }
  SendResponse(c, "200 OK", std::string("Content-type: text/html\r\n") + kNoCache, body);
}

}  // namespace

std::string DelayKey(std::string_view value) {
  size_t i = 0;
  while (i < value.size() && !(value[i] >= '0' && value[i] <= '9')) ++i;
  auto digits = [&](size_t max) {
    int v = 0;
    for (size_t n = 0; n < max && i < value.size() && value[i] >= '0' && value[i] <= '9'; ++n, ++i)
      v = v * 10 + (value[i] - '0');
    return v;
  };
  int year = digits(4);
  int fields[4] = {0, 0, 0, 0};
  for (int& f : fields) {
    while (i < value.size() && !(value[i] >= '0' && value[i] <= '9')) ++i;
    f = digits(2);
  }
  if (year == 0) return {};
  return StrPrintf("%04d%02d%02d%02d%02d", year, fields[0], fields[1], fields[2], fields[3]);
}

void SendSubmitOkPage(WebConnection& c, const std::string& continueUrl, const std::vector<std::string>& lines) {
  SendSuccess(c, continueUrl, lines);
}

bool HandleSubmission(WebConnection& c, WebRequest& request) {
  SubmissionRequest s;
  if (std::string invalid = ReadSubmission(c, request, s); !invalid.empty()) {
    SendInvalid(c, invalid);
    return true;
  }
  if (IsMmsSubmission(s.submission.specialContent)) {
    HandleMmsSubmission(c, request, s.submission.recipients, s.submission.charset, s.continueUrl);
    return true;
  }
  SubmissionResult result;
  if (IsPushTrigger(s.submission.specialContent)) {
    std::string special = s.submission.specialContent;
    s.submission.specialContent.clear();
    ParameterReader get = [&request](std::string_view name, size_t max) { return SubmitParameter(request, name, max); };
    bool post = request.text.compare(0, 5, "POST ") == 0;
    PushRequestOutcome push = HandlePushRequest(special, std::move(s.submission), get, post);
    switch (push.kind) {
      case PushRequestOutcome::Kind::Invalid: SendInvalid(c, push.text); return true;
      case PushRequestOutcome::Kind::ServerError:
        SendErrorPage(c, "500 Internal Server Error", push.text, push.text, push.text);
        return true;
      case PushRequestOutcome::Kind::ShowDocument:
        SendResponse(c, "200 OK", "Content-type: application/xml\r\n", push.document);
        return true;
      case PushRequestOutcome::Kind::Submitted: result = std::move(push.result); break;
    }
    // A recipient the push could not reach is named on the page, not left out.
    if (result.status == SubmissionStatus::Accepted) {
      std::vector<std::string> lines;
      for (const RecipientResult& r : result.recipients) {
        for (const std::string& id : r.messageIds)
          lines.push_back(StrPrintf("MessageID=%s, Recipient=%s", id.c_str(), r.recipient.c_str()));
        if (!r.error.empty()) lines.push_back(StrPrintf("Error=%s, Recipient=%s", r.error.c_str(), r.recipient.c_str()));
      }
      SendSuccess(c, s.continueUrl, lines);
      return true;
    }
  } else {
    result = SubmitMessage(std::move(s.submission));
  }
  switch (result.status) {
    case SubmissionStatus::Invalid: SendInvalid(c, result.error); return true;
    case SubmissionStatus::Refused: SendRefusal(c, result.error); return true;
    case SubmissionStatus::NotSupported: SendNotSupported(c, result.error); return true;
    case SubmissionStatus::Accepted: break;
  }
  std::vector<std::string> lines;
  for (const RecipientResult& r : result.recipients)
    for (const std::string& id : r.messageIds)
      lines.push_back(StrPrintf("MessageID=%s, Recipient=%s", id.c_str(), r.recipient.c_str()));
  SendSuccess(c, s.continueUrl, lines);
  return true;
}

void RegisterSubmissionHandlers() {
  InstallAccountingHooks();
  SetCreditBalanceReader(CreditBalanceText);  // the start page's AvailableCredits block
  RegisterWebHandler(WebRoute::Submission, HandleSubmission);
  RegisterWebHandler(WebRoute::PushAccess, HandlePushAccess);
  SetMultipartRewriter([](WebRequest& request) { ParseMultipart(request); });
  RegisterWebHandler(WebRoute::AddressBook, HandleAddressBook);
  RegisterWebHandler(WebRoute::DistributionLists, HandleDistributionLists);
}
