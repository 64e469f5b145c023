#include "web/submission.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

#include "gsm/gsm_alphabet.h"
#include "runtime/hex_text.h"
#include "gsm/septet_packing.h"
#include "accounting/accounting.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/names.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_registry.h"
#include "service/settings.h"
#include "store/bulk_queue.h"
#include "store/counters.h"
#include "store/message_file.h"
#include "store/message_logs.h"
#include "store/message_writer.h"
#include "store/queue_dirs.h"
#include "store/store_service.h"
#include "store/unique_files.h"
#include "store/unique_ids.h"
#include "gsm/code_pages.h"
#include "web/address_book.h"
#include "httpclient/http_text.h"
#include "web/recipients.h"
#include "web/responses.h"
#include "web/submit_content.h"
#include "web/submit_parameters.h"
#include "accounting/user_entries.h"
#include "web/web_menu.h"
#include "web/web_server.h"
#include "web/web_settings.h"

namespace {
std::atomic<void (*)()> InboundWake{nullptr};

constexpr const char* kNoCache = "Expires: Tue, 01 Jan 1980 1:00:00 GMT\r\nCache-Control: no-cache\r\n";
constexpr const char* kLocalInbound = "~SMSIN";

// The request's message (content, sender, options, requested route in SMSCRoute, "[SMS-IN]"
// for inbound) and what else the request says.
struct Submission {
  SmsMessageRecord message;
  std::vector<std::string> recipients;
  uint16_t sourcePort = 0, destPort = 0;
  std::string localUser;  // as given, "~SMSIN" included
  std::optional<time_t> delayUntil;
  std::string delayKey;
  std::string continueUrl;
  std::string webLogType;
};

void SendInvalid(WebConnection& c, std::string_view text) {
  WriteDebugLog("ThreadProcessConnection", text);
  SendErrorPage(c, "400 Bad Request", "Invalid Parameter", "Invalid Parameter", text);
}

void SendRefusal(WebConnection& c, std::string_view text) {
  WriteDebugLog("MessageAccountingReject", text);
  SendErrorPage(c, "403 Forbidden", text, text, text);
}

void SendNotSupported(WebConnection& c, std::string_view parameter) {
  std::string text = "Messages of this type (" + std::string(parameter) + ") are not supported by this gateway.";
  WriteDebugLog("ThreadProcessConnection", text);
  SendErrorPage(c, "501 Not Implemented", "Not Supported", "Not Supported", text);
}

// The parameter that selects special content, when one is present.
std::string SpecialContentParameter(const WebRequest& r) {
  static const char* const kOrder[] = {"RingToneDataText", "RingToneDataFile", "RingToneDataURL",
                                       "PictureMessageDataText", "PictureMessageDataFile", "PictureMessageDataURL",
                                       "EMSText", "VoiceMail", "WAPPUSHADV_CONTENT_TYPE", "WAPURL", "MMSText",
                                       "MMSImageFile", "MMSFile", "MMSFile[]", "MMSURL", "MMSNotificationHeaders",
                                       "WAPBookmark", "OTA", "OTASyncML", "OTAOMA", "OMAOTA", "OTAXMLSettings",
                                       "OTABookmark"};
  for (const char* name : kOrder)
    if (SubmitParameter(r, name, 16)) return name;
  return {};
}

bool VoiceMailContent(const WebRequest& r, Submission& s, std::string text) {
  std::string v = SubmitParameterOr(r, "VoiceMail", 100);
  struct Kind { const char* name; uint8_t dcs; const char* type; };
  static const Kind kKinds[] = {{"FaxOn", 0xC9, "01"},   {"FaxOff", 0xC1, "01"},   {"EMailOn", 0xCA, "02"},
                                {"EMailOff", 0xC2, "02"}, {"OtherOn", 0xCB, "03"}, {"OtherOff", 0xC3, "03"},
                                {"VideoOn", 0xCB, "07"},  {"VideoOff", 0xC3, "07"}};
  uint8_t dcs = ConfigBool(v) ? 0xC8 : 0xC0;
  const char* type = "00";
  for (const Kind& k : kKinds)
    if (EqualsNoCase(v, k.name)) {
      dcs = k.dcs;
      type = k.type;
    }
  unsigned count = 0;
  if (dcs & 0x08) {
    count = std::min<uint32_t>(ParseDecimal(SubmitParameterOr(r, "VoiceMailMessageCount", 20)), 255);
    if (count == 0) count = 1;
  }
  SmsMessageRecord& c = s.message;
  c.UDH = StrPrintf("040102%s%02X", type, count);
  c.Binary = true;
  c.Data.clear();
  if (!text.empty()) {
    ReplaceGreekLookalikes(text, kDataMax + 1);
    if (UTF8StringRequiresUnicodeEncoding(text)) {
      std::u16string units = Utf8ToUcs2(text);
      for (size_t i = 0; i < units.size() && i < 60; ++i) c.Data += StrPrintf("%04X", static_cast<unsigned>(units[i]));
      dcs |= 0x20;
    } else {
      std::string septets;
      Utf8ToGsm(text, septets, 140);
      PackSeptetsToHex(septets, septets.size(), c.Data, static_cast<int>((c.UDH.size() / 2) % 7));
      dcs |= 0x10;
    }
  }
  c.Dcs = dcs;
  s.webLogType = "VoiceMail";
  return true;
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

std::string TwoDigitDate(time_t t) {
  LocalTime l = LocalFromSeconds(t);
  return StrPrintf("%02d%02d%02d%02d%02d", l.tm.tm_year % 100, l.tm.tm_mon + 1, l.tm.tm_mday, l.tm.tm_hour,
                   l.tm.tm_min);
}

// Returns false (with the error page sent) when the id is not known.
bool InjectReceipt(WebConnection& c, Submission& s) {
  char messageId[SMSC_MSGID_FIELD_SIZE] = {0}, user[SMSC_MSGID_FIELD_SIZE] = {0};
  char sender[SMSC_MSGID_FIELD_SIZE] = {0}, recipient[SMSC_MSGID_FIELD_SIZE] = {0};
  int64_t submitted = 0;
  if (SMSCMessageIdGet2("HTTP", s.message.ReceiptMessageId.c_str(), messageId, user, sender, recipient, &submitted) == 0) {
    WriteDebugLogf("Debug", "Receipt Message id %s not found", s.message.ReceiptMessageId.c_str());
    SendInvalid(c, "ReceiptMessageId not found in our local database");
    return false;
  }
  WriteDebugLogf("Debug", "Receipt message id %s found for %s", messageId, s.message.ReceiptMessageId.c_str());
  uint32_t& flags = s.message.MessageFlags;
  if (!(flags & (kMsgReportDelivered | kMsgReportIntransit | kMsgReportFailed))) flags |= kMsgIsReport | kMsgReportDelivered;
  std::string stored = messageId[0] ? messageId : "unknown";
  s.message.UDH.clear();
  s.message.Pid = s.message.Dcs = 0;
  s.message.Binary = false;
  s.message.Data = ReceiptText(stored, flags & kMsgReportDelivered, flags & kMsgReportIntransit,
                               static_cast<time_t>(submitted), NowSeconds());
  s.message.ReceiptMessageId = messageId;
  // The receipt comes from the original recipient and goes back to the original sender.
  if (recipient[0]) s.message.Sender = StripControlBytes(recipient);
  s.recipients = {sender[0] ? std::string(StripControlBytes(sender)) : std::string("unknown")};
  if (user[0] && IsSafePathName(user)) {
    s.message.Inbound = true;
    s.localUser = user;
  }
  return true;
}


// One message file of a part for a recipient ("" in a bulk template) and a route (ModemName
// for inbound).
std::string FileText(const MessagePart& p, unsigned reference, const std::string& recipient, const std::string& route) {
  SmsMessageRecord m = p.message;
  m.UDH = PartUdh(p, reference);
  m.PhoneNumber = recipient;
  m.SMSCRoute = m.Inbound ? "" : route;
  m.ModemName = m.Inbound ? route : "";
  return MessageFileText(m, p.segment ? MessageLayout::SubmissionSegment : MessageLayout::Submission);
}

std::string FileName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Reads every parameter into s; false when an error page was sent.
bool ReadSubmission(WebConnection& c, const WebRequest& r, Submission& s) {
  s.message.SubmitUser = c.user;
  s.message.SubmittedBy = c.clientAddress;
  size_t listMax = std::max<size_t>(r.text.size(), 8192);
  auto list = SubmitParameter(r, "Phone", listMax);
  if (!list) list = SubmitParameter(r, "PhoneNumber", listMax);
  s.recipients = ExpandRecipients(list ? *list : std::string(), s.message.SubmitUser, s.destPort);
  WriteDebugLogf("Debug", "%u recipient entries", static_cast<unsigned>(s.recipients.size()));

  bool textGiven = false;
  if (auto text = SubmitParameter(r, "Text", kDataMax)) {
    s.message.Data = *text;
    textGiven = true;
  } else if (auto data = SubmitParameter(r, "Data", kDataMax)) {
    s.message.Data = *data;
    s.message.Binary = true;
  }
  if (auto udh = SubmitParameter(r, "UDH", kUdhMax)) {
    s.message.UDH = *udh;
    s.message.Binary = true;
  }
  s.message.Pid = static_cast<uint8_t>(HexToInt(SubmitParameterOr(r, "pid", 1023)));
  s.message.Dcs = static_cast<uint8_t>(HexToInt(SubmitParameterOr(r, "dcs", 1023)));

  s.message.Sender = StripControlBytes(SubmitParameterOr(r, "Sender", 149));
  if (s.message.Sender.find(':') != std::string::npos) s.message.Sender = NormaliseRecipient(s.message.Sender, s.sourcePort);
  if (!c.forcedSender.empty()) {
    bool listed = false;
    std::string first;
    std::string_view rest = c.forcedSender;
    while (!rest.empty()) {
      size_t comma = rest.find(',');
      std::string item(Trim(rest.substr(0, comma)));
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
      if (first.empty()) first = item;
      if (EqualsNoCase(item, s.message.Sender)) listed = true;
    }
    if (!listed) s.message.Sender = first;
  }
  s.message.Validity = StripControlBytes(SubmitParameterOr(r, "Validity", 49));
  s.message.ServiceType = StripControlBytes(SubmitParameterOr(r, "ServiceType", 99));
  s.message.BillingInfo = StripControlBytes(SubmitParameterOr(r, "BillingInfo", 99));
  s.message.AcctInfo = StripControlBytes(SubmitParameterOr(r, "AcctInfo", 99));
  s.message.SMSCRoute = StripControlBytes(SubmitParameterOr(r, "SMSCRoute", 99));
  bool receipt;
  if (auto given = SubmitParameter(r, "Receipt", 100))
    receipt = ConfigBool(*given);
  else if (auto requested = SubmitParameter(r, "ReceiptRequested", 100))
    receipt = ConfigBool(*requested);
  else
    receipt = SMSIniFlag(kMainSection, "ReceiptRequested", false);
  for (auto [bits, on] : {std::pair<uint32_t, bool>{kMsgReplyRequested, SubmitFlag(r, "ReplyRequested")},
                          {kMsgReceiptRequested, receipt},
                          {kMsgIsReport | kMsgReportDelivered, SubmitFlag(r, "ReceiptDelivered")},
                          {kMsgIsReport | kMsgReportFailed, SubmitFlag(r, "ReceiptFailed")},
                          {kMsgIsReport | kMsgReportIntransit, SubmitFlag(r, "ReceiptIntransit")}})
    if (on) s.message.MessageFlags |= bits;
  s.message.ReceiptMessageId = StripControlBytes(SubmitParameterOr(r, "ReceiptMessageId", 99));
  if (SubmitFlag(r, "InboundMessage") || SubmitFlag(r, "InboundMsg")) {
    s.message.Inbound = true;
    s.localUser = kLocalInbound;
  }
  if (auto local = SubmitParameter(r, "LocalUser", 99)) {
    if (!IsSafePathName(*local)) {
      SendInvalid(c, "Invalid format for LocalUser parameter.");
      return false;
    }
    s.message.Inbound = true;
    s.localUser = *local;
  }

  for (auto [name, port] : {std::pair<const char*, uint16_t*>{"SourcePort", &s.sourcePort}, {"DestPort", &s.destPort}}) {
    auto value = SubmitParameter(r, name, 20);
    if (!value) continue;
    std::optional<uint16_t> parsed = PortNumber(*value);
    if (!parsed) {
      SendInvalid(c, StrPrintf("Invalid format for %s parameter (a port number from 0 to 65535).", name));
      return false;
    }
    if (*parsed != 0) *port = *parsed;
  }
  if (s.sourcePort != 0 || s.destPort != 0) {
    s.message.UDH = StrPrintf("060504%04X%04X", s.destPort, s.sourcePort);
    s.message.Binary = true;
  }

  if (auto delay = SubmitParameter(r, "DelayUntil", 1023)) {
    s.delayKey = DelayKey(*delay);
    if (!s.delayKey.empty()) {
      CalendarTime t;
      t.year = std::stoi(s.delayKey.substr(0, 4));
      t.month = std::stoi(s.delayKey.substr(4, 2));
      t.day = std::stoi(s.delayKey.substr(6, 2));
      t.hour = std::stoi(s.delayKey.substr(8, 2));
      t.minute = std::stoi(s.delayKey.substr(10, 2));
      s.delayUntil = LocalCalendarToSeconds(t);
    }
  }
  s.continueUrl = SubmitParameterOr(r, "ContinueURL", 1023, "javascript:history.back()");
  if (s.continueUrl.find("://") == std::string::npos && FindNoCase(s.continueUrl, "javascript:") == std::string::npos)
    s.continueUrl = "http://" + s.continueUrl;

  if (auto charset = SubmitParameter(r, "charset", 1023); charset && !EqualsNoCase(*charset, "utf-8") &&
                                                           !s.message.Binary && !s.message.Data.empty()) {
    unsigned codePage = CodePageForCharset(*charset);
    if (codePage == 0) {
      SendInvalid(c, "Unknown charset=" + *charset);
      return false;
    }
    CodePageToUtf8(s.message.Data, kDataMax + 1, codePage);
  }
  // Before any Unicode decision: Greek capitals with a Latin twin travel in 7 bits.
  if (textGiven) ReplaceGreekLookalikes(s.message.Data, kDataMax + 1);

  for (const std::string& name : Settings.ExtraHttpArgList)
    if (auto v = SubmitParameter(r, name, 8192)) s.message.ExtraArguments.emplace_back(name, StripControlBytes(*v));

  if (!s.message.ReceiptMessageId.empty() && !InjectReceipt(c, s)) return false;

  // Validation.
  if (s.recipients.empty() && !SubmitParameter(r, "OTA_SUBMIT_VIEWXML", 16)) {
    SendInvalid(c, "Invalid format for telephone number.");
    return false;
  }
  if (!s.message.SMSCRoute.empty() && !IsConfiguredRoute(s.message.SMSCRoute)) {
    SendInvalid(c, "Unknown smscRoute=" + s.message.SMSCRoute);
    return false;
  }
  for (const auto& [name, value] : AllSubmitParameters(r, 1023)) {
    if (!StartsWithNoCase(name, "SMPPOption_")) continue;
    std::string item = StripControlBytes(name + "=" + value);
    std::string joined = s.message.SMPPOptions.empty() ? item : s.message.SMPPOptions + "; " + item;
    if (joined.size() > 500) break;
    s.message.SMPPOptions = joined;
  }
  if (!ValidUdh(s.message.UDH)) {
    SendInvalid(c, "Invalid format for UDH (hexadecimal digit characters only).");
    return false;
  }
  if (s.message.Binary && !IsHexText(s.message.Data)) {
    if (s.message.UDH.empty()) {
      SendInvalid(c, "Invalid format for Text/Data parameter when binary flag is set (hexadecimal digit characters "
                     "only).");
      return false;
    }
    PackTextAfterUdh(s.message);
  }
  s.webLogType = s.message.Binary ? "Binary" : "Text";
  if (s.localUser != kLocalInbound) s.message.RouteToLocalUser = s.localUser;
  return true;
}

// The accounting before writing; false when refused (page sent). charges: per recipient.
bool AccountBefore(WebConnection& c, const Submission& s, size_t segments, PreAuthOutputs& outputs,
                   std::vector<int64_t>& charges, int64_t& reserved) {
  charges.assign(s.recipients.size(), kDefaultMessageCharge);
  reserved = 0;
  if (s.message.SubmitUser.empty() || s.message.Inbound) return true;
  uint32_t parts = static_cast<uint32_t>(s.recipients.size() * segments);
  std::string text;
  // Checked and counted in one step; what is not written is given back afterwards.
  if (!QuotaCheckOrCount(s.message.SubmitUser, &text, parts, false)) {
    SendRefusal(c, text);
    return false;
  }
  AccountingMessage m{"SMSSend", s.message};
  if (AccountingPreAuthorise(m, s.recipients, parts, &outputs, &text) != 0) {
    QuotaAdjust(s.message.SubmitUser, -static_cast<int64_t>(parts));
    SendRefusal(c, text);
    return false;
  }
  int64_t total = 0;
  for (size_t i = 0; i < charges.size(); ++i) {
    if (i < outputs.charges.size() && !outputs.charges[i].empty()) charges[i] = ParseAmount(outputs.charges[i]);
    total += charges[i] * static_cast<int64_t>(segments);
  }
  // Check and reservation in one step, so that concurrent submissions cannot overdraw.
  if (CreditCheckOrDebit(s.message.SubmitUser, &text, total, CreditMode::DebitIfCovered) < 0) {
    QuotaAdjust(s.message.SubmitUser, -static_cast<int64_t>(parts));
    SendRefusal(c, text);
    return false;
  }
  reserved = CreditEnabled(s.message.SubmitUser) ? total : 0;
  return true;
}

void SendSuccess(WebConnection& c, const Submission& s, const std::vector<std::string>& lines) {
  std::string body;
  std::string escapedUrl = HtmlEscape(s.continueUrl);
  std::string page;
  if (ReadWholeFile(WebSettings.HtmlDirectory + "SUBMITOK.HTM", page, 1u << 20)) {
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

struct WriteOutcome {
  std::vector<std::string> lines;
  std::vector<uint32_t> written;  // per recipient: files written
  uint32_t files = 0;
};

void AfterFile(const Submission& s, const std::string& path, const std::string& recipient, const MessagePart& p,
               unsigned reference, const std::string& routeCharge, const std::string& userData, WriteOutcome& out) {
  std::string name = FileName(path);
  std::string id = MessageIdFromPath(path);
  LogWeb(s.message.SubmittedBy, s.message.SubmitUser, name, s.webLogType);
  if (!s.message.SubmitUser.empty()) {
    // The part with its header; the callback sees the requested route, not the recipient's.
    SmsMessageRecord sent = p.message;
    sent.UDH = PartUdh(p, reference);
    LogUser(s.message.SubmitUser, "SMSSubmit", recipient, s.message.SubmittedBy, name, s.webLogType,
            LogContentOf(sent), s.message.Sender);
    if (!s.message.Inbound && !Settings.SMSAccountingURL.empty()) {
      AccountingMessage m{"SMSSend", sent};
      AccountingNoticeFields f;
      f.recipient = recipient;
      f.messageId = id;
      f.routeCharge = routeCharge;
      f.userData = userData;
      AccountingNotice(m, f, nullptr);
    }
  }
  CounterAdd(kSmsSubmit, 1);
  if (!s.message.Inbound && !s.delayUntil) CounterAdd(kSmsQSize, 1);
  out.lines.push_back(StrPrintf("MessageID=%s, Recipient=%s", id.c_str(), recipient.c_str()));
  ++out.files;
}

// The files of one message for one recipient in dir: a one-part message under a unique
// name, segments under one concatenation reference with the segmented-message names.
// written(path, part, reference) follows each file created; returns how many were.
uint32_t WriteMessageFiles(const Submission& s, const std::vector<MessagePart>& parts, const std::string& dir,
                           std::string_view extension, const std::string& recipient, const std::string& route,
                           const std::function<void(const std::string&, const MessagePart&, unsigned)>& written) {
  if (parts.size() == 1 && !parts[0].segment) {
    std::string path = CreateUniqueFile(dir, extension, FileText(parts[0], 0, recipient, route));
    if (path.empty()) {
      WriteDebugLogf("Debug", "Cannot create a message file for %s", recipient.c_str());
      return 0;
    }
    written(path, parts[0], 0);
    return 1;
  }
  if (!IsSafePathName(recipient)) return 0;
  unsigned reference = ChooseConcatReference(dir, recipient, static_cast<unsigned>(parts.size()), extension);
  uint32_t count = 0;
  for (const MessagePart& p : parts) {
    std::string path = CreateSegmentFile(dir, recipient, reference, p.total, p.number, extension,
                                         FileText(p, reference, recipient, route));
    if (path.empty()) {
      WriteDebugLogf("Debug", "Cannot create segment %u of %s", p.number, recipient.c_str());
      continue;
    }
    written(path, p, reference);
    ++count;
  }
  return count;
}

void WriteFiles(const Submission& s, const std::vector<MessagePart>& parts, const PreAuthOutputs& pre,
                UserRuntimeEntry& entry, WriteOutcome& out) {
  out.written.assign(s.recipients.size(), 0);
  std::string dir;
  for (size_t i = 0; i < s.recipients.size() && !ShutdownRequested.load(); ++i) {
    const std::string& recipient = s.recipients[i];
    std::string route = i < pre.routes.size() && !pre.routes[i].empty() ? pre.routes[i] : s.message.SMSCRoute;
    std::string charge = i < pre.charges.size() ? pre.charges[i] : std::string();
    std::string userData = i < pre.userData.size() ? pre.userData[i] : std::string();
    auto written = [&](const std::string& path, const MessagePart& p, unsigned reference) {
      AfterFile(s, path, recipient, p, reference, charge, userData, out);
    };
    if (s.message.Inbound) {
      out.written[i] = WriteMessageFiles(s, parts, InboundQueueDir(), "in", recipient, route,
                                         [&](const std::string& path, const MessagePart& p, unsigned reference) {
                                           CounterAdd(kSmsInQSize, 1);
                                           written(path, p, reference);
                                         });
      if (out.written[i] != 0)
        if (auto wake = InboundWake.load()) wake();
      continue;
    }
    uint32_t sequence = Settings.SeparateUserQueues ? entry.submissionCounter.fetch_add(1) : static_cast<uint32_t>(i);
    if (i == 0 || Settings.UseRouteQueues || sequence % Settings.MaxQDirEntries == 0 || dir.empty())
      dir = OutboundQueueDir(route, Settings.SeparateUserQueues ? s.message.SubmitUser : std::string(), sequence, s.delayUntil);
    if (dir.empty()) continue;
    out.written[i] = WriteMessageFiles(s, parts, dir, "req", recipient, route, written);
  }
}

void WriteBulkJob(const Submission& s, const std::vector<MessagePart>& parts, const PreAuthOutputs& pre,
                  WriteOutcome& out) {
  out.written.assign(s.recipients.size(), 0);
  bool segmented = parts.size() > 1 || parts[0].segment;
  unsigned reference = segmented ? NextConcatReference() : 0;
  std::vector<std::string> templates;
  for (const MessagePart& p : parts) templates.push_back(FileText(p, reference, "", s.message.SMSCRoute));
  BulkJobWriter job;
  if (!BulkJobBegin(job, templates, s.delayUntil)) {
    WriteDebugLog("Debug", "Cannot create the bulk job");
    return;
  }
  std::vector<BulkRecipient> batch;
  std::vector<size_t> indexes;
  auto flush = [&] {
    if (batch.empty()) return;
    if (BulkJobAddRecipients(job, batch)) {
      for (size_t k = 0; k < batch.size(); ++k) {
        size_t i = indexes[k];
        out.written[i] = static_cast<uint32_t>(parts.size());
        std::string id = batch[k].targetName.substr(0, batch[k].targetName.rfind('.'));
        size_t ctr = id.find("@@CTR@@");
        if (ctr != std::string::npos) id.replace(ctr, 7, "1");
        LogWeb(s.message.SubmittedBy, s.message.SubmitUser, id, s.webLogType);
        CounterAdd(kSmsSubmit, static_cast<uint32_t>(parts.size()));
        out.lines.push_back(StrPrintf("MessageID=%s, Recipient=%s", id.c_str(), batch[k].recipient.c_str()));
        out.files += static_cast<uint32_t>(parts.size());
      }
    }
    batch.clear();
    indexes.clear();
  };
  for (size_t i = 0; i < s.recipients.size() && !ShutdownRequested.load(); ++i) {
    const std::string& recipient = s.recipients[i];
    if (!IsSafePathName(recipient)) continue;
    BulkRecipient b;
    b.targetName = segmented ? BulkSegmentTargetName(recipient, reference, static_cast<unsigned>(parts.size()))
                             : BulkTargetName();
    b.recipient = recipient;
    b.route = i < pre.routes.size() && !pre.routes[i].empty() ? pre.routes[i] : s.message.SMSCRoute;
    batch.push_back(std::move(b));
    indexes.push_back(i);
    if (batch.size() >= Settings.MaxQDirEntries) flush();
  }
  flush();
  BulkJobFinish(job);
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

std::string ReceiptText(std::string_view storedId, bool delivered, bool intransit, time_t submitted, time_t now) {
  const char* stat = delivered ? "DELIVRD" : intransit ? "ENROUTE" : "REJECTD";
  unsigned err = (delivered || intransit) ? 0 : 999;
  return StrPrintf("id:%.*s sub:001 dlvrd:%03d submit date:%s done date:%s stat:%s err:%03X",
                   static_cast<int>(storedId.size()), storedId.data(), delivered ? 1 : 0, TwoDigitDate(submitted).c_str(),
                   TwoDigitDate(now).c_str(), stat, err);
}

void SetInboundWakeHook(void (*wake)()) { InboundWake.store(wake); }

bool HandleSubmission(WebConnection& c, WebRequest& request) {
  Submission s;
  if (!ReadSubmission(c, request, s)) return true;

  std::string text = SubmitParameterOr(request, "Text", kDataMax);
  std::string special = SpecialContentParameter(request);
  if (special == "VoiceMail") {
    VoiceMailContent(request, s, text);
  } else if (!special.empty()) {
    SendNotSupported(c, special);
    return true;
  }
  std::string error;
  std::vector<MessagePart> parts = BuildMessageParts(s.message, error);
  if (parts.empty()) {
    SendInvalid(c, error);
    return true;
  }
  PreAuthOutputs pre;
  std::vector<int64_t> charges;
  int64_t reserved = 0;
  if (!AccountBefore(c, s, parts.size(), pre, charges, reserved)) return true;

  WriteOutcome out;
  {
    UserEntryUse use(s.message.SubmitUser.empty() ? std::string(kSystemUserEntry) : s.message.SubmitUser);
    if (Settings.EnableBulkQ && !s.message.Inbound && s.recipients.size() > Settings.MaxQDirEntries)
      WriteBulkJob(s, parts, pre, out);
    else
      WriteFiles(s, parts, pre, use.entry(), out);
  }

  if (!s.message.SubmitUser.empty() && !s.message.Inbound) {
    // Each written file keeps its charge; the rest of the reservation goes back.
    int64_t refund = 0;
    for (size_t i = 0; i < s.recipients.size(); ++i)
      refund += charges[i] * static_cast<int64_t>(parts.size() - std::min<size_t>(out.written[i], parts.size()));
    if (reserved != 0 && refund != 0) CreditCheckOrDebit(s.message.SubmitUser, nullptr, -refund, CreditMode::Debit);
    uint32_t reservedParts = static_cast<uint32_t>(s.recipients.size() * parts.size());
    if (out.files < reservedParts) QuotaAdjust(s.message.SubmitUser, -static_cast<int64_t>(reservedParts - out.files));
  }
  SendSuccess(c, s, out.lines);
  return true;
}

void RegisterSubmissionHandlers() {
  InstallAccountingHooks();
  SetCreditBalanceReader(CreditBalanceText);  // the start page's AvailableCredits block
  RegisterWebHandler(WebRoute::Submission, HandleSubmission);
  SetMultipartRewriter([](WebRequest& request) { ParseMultipart(request); });
  RegisterWebHandler(WebRoute::AddressBook, HandleAddressBook);
  RegisterWebHandler(WebRoute::DistributionLists, HandleDistributionLists);
}
