#include "submit/submission.h"

#include <algorithm>

#include "accounting/accounting.h"
#include "gsm/code_pages.h"
#include "gsm/gsm_alphabet.h"
#include "runtime/hex_text.h"
#include "gsm/septet_packing.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/names.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "config/settings.h"
#include "store/durable_writes.h"
#include "submit/recipients.h"
#include "submit/submission_steps.h"

namespace {
SubmissionResult Failed(SubmissionStatus status, std::string text) {
  SubmissionResult r;
  r.status = status;
  r.error = std::move(text);
  return r;
}

// A sender with a ":port" is normalised like a recipient. A sender that is not one of the
// account's allowed senders becomes the first of them.
void SettleSender(Submission& s, uint16_t& port) {
  if (s.message.Sender.find(':') != std::string::npos) s.message.Sender = NormaliseRecipient(s.message.Sender, port);
  if (s.forcedSender.empty()) return;
  std::vector<std::string> allowed = SplitList(s.forcedSender);
  if (allowed.empty()) return;
  for (const std::string& item : allowed)
    if (EqualsNoCase(item, s.message.Sender)) return;
  s.message.Sender = allowed.front();
}

void ExpandLists(Submission& s, uint16_t& port) {
  s.recipients = ExpandRecipientEntries(s.recipients, s.message.SubmitUser, port);
  WriteDebugLogf("Debug", "%u recipient entries", static_cast<unsigned>(s.recipients.size()));
}

// The port header from the ports given, else from those found in the addresses.
void ApplyPorts(Submission& s, uint16_t senderPort, uint16_t listPort) {
  if (s.sourcePort == 0) s.sourcePort = senderPort;
  if (s.destPort == 0) s.destPort = listPort;
  if (s.sourcePort == 0 && s.destPort == 0) return;
  s.message.UDH = StrPrintf("060504%04X%04X", s.destPort, s.sourcePort);
  s.message.Binary = true;
}

// A text in UTF-8 from its charset, Greek look-alikes made Latin. The failure text, or "".
std::string DecodeText(Submission& s) {
  SmsMessageRecord& m = s.message;
  if (!s.charset.empty() && !EqualsNoCase(s.charset, "utf-8") && !m.Binary && !m.Data.empty()) {
    unsigned codePage = CodePageForCharset(s.charset);
    if (codePage == 0) return "Unknown charset=" + s.charset;
    CodePageToUtf8(m.Data, kDataMax + 1, codePage);
  }
  // Before any Unicode decision: Greek capitals with a Latin twin travel in 7 bits.
  if (s.contentIsText) ReplaceGreekLookalikes(m.Data, kDataMax + 1);
  return {};
}

std::string TwoDigitDate(time_t t) {
  LocalTime l = LocalFromSeconds(t);
  return StrPrintf("%02d%02d%02d%02d%02d", l.tm.tm_year % 100, l.tm.tm_mon + 1, l.tm.tm_mday, l.tm.tm_hour,
                   l.tm.tm_min);
}

// Replaces the content by the receipt of an earlier message, addressed back to its sender.
// False when the id is not known.
bool InjectReceipt(Submission& s) {
  char messageId[SMSC_MSGID_FIELD_SIZE] = {0}, user[SMSC_MSGID_FIELD_SIZE] = {0};
  char sender[SMSC_MSGID_FIELD_SIZE] = {0}, recipient[SMSC_MSGID_FIELD_SIZE] = {0};
  int64_t submitted = 0;
  SmsMessageRecord& m = s.message;
  if (SMSCMessageIdGet2(s.receiptLink.c_str(), m.ReceiptMessageId.c_str(), messageId, user, sender, recipient,
                        &submitted) == 0) {
    WriteDebugLogf("Debug", "Receipt Message id %s not found", m.ReceiptMessageId.c_str());
    return false;
  }
  WriteDebugLogf("Debug", "Receipt message id %s found for %s", messageId, m.ReceiptMessageId.c_str());
  uint32_t& flags = m.MessageFlags;
  if (!(flags & (kMsgReportDelivered | kMsgReportIntransit | kMsgReportFailed))) flags |= kMsgIsReport | kMsgReportDelivered;
  std::string stored = messageId[0] ? messageId : "unknown";
  m.UDH.clear();
  m.Pid = m.Dcs = 0;
  m.Binary = false;
  m.Data = ReceiptText(stored, flags & kMsgReportDelivered, flags & kMsgReportIntransit,
                       static_cast<time_t>(submitted), NowSeconds());
  m.ReceiptMessageId = messageId;
  // The receipt comes from the original recipient and goes back to the original sender.
  if (recipient[0]) m.Sender = StripControlBytes(recipient);
  s.recipients = {sender[0] ? std::string(StripControlBytes(sender)) : std::string("unknown")};
  if (user[0] && IsSafePathName(user)) {
    m.Inbound = true;
    s.localUser = user;
  }
  return true;
}

// The checks of a submission in their order; the failure text, or "" when it is sound.
// Text given with binary content and a header is packed after the header.
std::string CheckSubmission(Submission& s) {
  SmsMessageRecord& m = s.message;
  if (s.recipients.empty() && s.directRecipients.empty() && !s.recipientsOptional)
    return "Invalid format for telephone number.";
  if (!m.SMSCRoute.empty() && !IsConfiguredRoute(m.SMSCRoute)) return "Unknown smscRoute=" + m.SMSCRoute;
  if (!ValidUdh(m.UDH)) return "Invalid format for UDH (hexadecimal digit characters only).";
  if (m.Binary && !IsHexText(m.Data)) {
    if (m.UDH.empty())
      return "Invalid format for Text/Data parameter when binary flag is set (hexadecimal digit characters only).";
    PackTextAfterUdh(m);
  }
  return {};
}

// A message waiting indication replaces the content.
void VoiceMailContent(Submission& s) {
  const VoiceMailRequest& v = s.voiceMail;
  struct Kind { const char* name; uint8_t dcs; const char* type; };
  static const Kind kKinds[] = {{"FaxOn", 0xC9, "01"},   {"FaxOff", 0xC1, "01"},   {"EMailOn", 0xCA, "02"},
                                {"EMailOff", 0xC2, "02"}, {"OtherOn", 0xCB, "03"}, {"OtherOff", 0xC3, "03"},
                                {"VideoOn", 0xCB, "07"},  {"VideoOff", 0xC3, "07"}};
  uint8_t dcs = ConfigBool(v.kind) ? 0xC8 : 0xC0;
  const char* type = "00";
  for (const Kind& k : kKinds)
    if (EqualsNoCase(v.kind, k.name)) {
      dcs = k.dcs;
      type = k.type;
    }
  unsigned count = 0;
  if (dcs & 0x08) count = std::clamp<uint32_t>(v.count, 1, 255);
  SmsMessageRecord& c = s.message;
  c.UDH = StrPrintf("040102%s%02X", type, count);
  c.Binary = true;
  c.Data.clear();
  std::string text = v.text;
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
}
}  // namespace

std::string ReceiptText(std::string_view storedId, bool delivered, bool intransit, time_t submitted, time_t now) {
  const char* stat = delivered ? "DELIVRD" : intransit ? "ENROUTE" : "REJECTD";
  unsigned err = (delivered || intransit) ? 0 : 999;
  return StrPrintf("id:%.*s sub:001 dlvrd:%03d submit date:%s done date:%s stat:%s err:%03X",
                   static_cast<int>(storedId.size()), storedId.data(), delivered ? 1 : 0, TwoDigitDate(submitted).c_str(),
                   TwoDigitDate(now).c_str(), stat, err);
}

SubmissionResult SubmitMessage(Submission s) {
  uint16_t senderPort = 0, listPort = 0;
  SettleSender(s, senderPort);
  ExpandLists(s, listPort);
  ApplyPorts(s, senderPort, listPort);
  if (std::string invalid = DecodeText(s); !invalid.empty()) return Failed(SubmissionStatus::Invalid, invalid);
  if (!s.message.ReceiptMessageId.empty() && !InjectReceipt(s))
    return Failed(SubmissionStatus::Invalid, "ReceiptMessageId not found in our local database");
  if (std::string invalid = CheckSubmission(s); !invalid.empty()) return Failed(SubmissionStatus::Invalid, invalid);
  std::string logType = s.message.Binary ? "Binary" : "Text";
  if (s.localUser != kLocalInbound) s.message.RouteToLocalUser = s.localUser;

  if (s.specialContent == "VoiceMail") {
    VoiceMailContent(s);
    logType = "VoiceMail";
  } else if (!s.specialContent.empty()) {
    return Failed(SubmissionStatus::NotSupported, s.specialContent);
  }
  std::string error;
  std::vector<MessagePart> parts;
  if (s.presetParts.empty()) {
    parts = BuildMessageParts(s.message, error);
  } else {
    // The producer gave the content of each part; the rest is the submission's.
    parts = std::move(s.presetParts);
    for (MessagePart& p : parts) {
      SmsMessageRecord m = s.message;
      m.Data = std::move(p.message.Data);
      m.UDH = std::move(p.message.UDH);
      m.Pid = p.message.Pid;
      m.Dcs = p.message.Dcs;
      m.Binary = p.message.Binary;
      p.message = std::move(m);
    }
  }
  if (parts.empty()) return Failed(SubmissionStatus::Invalid, error);
  if (!s.logType.empty()) logType = s.logType;

  Reservation reservation;
  SubmissionResult result;
  if (!ReserveAccounting(s, parts.size(), reservation, result.error, result.accountingCode)) {
    result.status = SubmissionStatus::Refused;
    return result;
  }
  WriteOutcome out;
  DurableWrites durable(Settings.DurableAccept);
  WriteSubmissionFiles(s, logType, parts, reservation.preAuth, out);
  SendDirect(s, reservation.preAuth, out);
  SettleAccounting(s, parts.size(), reservation, out);
  result.recipients = std::move(out.results);
  // The answer promises the files: a power cut after it must not lose them. Files whose
  // flush failed stay queued (they may still be sent), but the submitter is not told they
  // are safe.
  if (!durable.Await()) {
    result.status = SubmissionStatus::Refused;
    result.error = "The message files could not be flushed to stable storage";
  }
  return result;
}
