#include "inbound/smppserver/server_submit.h"

#include <cstdio>
#include <vector>

#include "config/settings_registry.h"
#include "inbound/smppserver/segment_references.h"
#include "inbound/smppserver/server_accounts.h"
#include "runtime/debug_log.h"
#include "runtime/names.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "smsc/route_decision.h"
#include "store/message_file.h"
#include "submit/message_parts.h"
#include "submit/submission.h"

namespace {
constexpr uint32_t kInvalidMessageLength = 0x01;
constexpr uint32_t kSystemError = 0x08;
constexpr uint32_t kInvalidDestination = 0x0B;
constexpr uint32_t kThrottled = 0x58;
constexpr uint32_t kSubmitFailed = 0x45;

thread_local const SubmittingClient* t_client = nullptr;
thread_local const std::function<void()>* t_answerHeld = nullptr;

std::string Text(const char* s) { return s ? std::string(s) : std::string(); }

// A client value as a queue file may hold it: no control byte can start a line of its own.
std::string Clean(std::string_view value, size_t max) { return StripControlBytes(CutTo(value, max)); }

// "Name=value" items of the library's extra parameters, split at ";".
std::vector<std::pair<std::string, std::string>> ExtraItems(std::string_view extra) {
  std::vector<std::pair<std::string, std::string>> items;
  for (const std::string& item : SplitList(extra, ";")) {
    size_t eq = item.find('=');
    if (eq == std::string::npos) continue;
    items.emplace_back(std::string(Trim(std::string_view(item).substr(0, eq))), std::string(Trim(std::string_view(item).substr(eq + 1))));
  }
  return items;
}

// Options the operator lets clients pass on: keys of [SMPPOptions].
bool OptionAllowed(std::string_view name) {
  return !ConnectionValue("SMPPOptions", name).empty();
}

void ReadExtraParameters(std::string_view extra, SmsMessageRecord& m) {
  for (const auto& [name, value] : ExtraItems(extra)) {
    if (EqualsNoCase(name, "ServiceType")) {
      m.ServiceType = Clean(value, 99);
    } else if (EqualsNoCase(name, "Validity")) {
      m.Validity = Clean(value, 49);
    } else if (EqualsNoCase(name, "RouteToLocalUser")) {
      m.RouteToLocalUser = Clean(value, 99);
    } else if (EqualsNoCase(name, "SMSCRouteInfo")) {
      std::string route = Clean(value, 99);
      if (ValidateSMSCRoute(route)) m.SMSCRoute = route;
      else WriteDebugLogf("SMPPServerReceiveMessageCallback", "Invalid SMSCRouteInfo=%s ignored", route.c_str());
    } else if (StartsWithNoCase(name, "SMPPOption_") && OptionAllowed(name.substr(11))) {
      std::string item = Clean(name + "=" + value, 499);
      std::string joined = m.SMPPOptions.empty() ? item : m.SMPPOptions + "; " + item;
      if (joined.size() <= 499) m.SMPPOptions = joined;
    }
  }
}

uint32_t StatusOfInvalid(const SubmissionResult& r) {
  if (r.error.find("telephone number") != std::string::npos) return kInvalidDestination;
  if (r.error.find("too long") != std::string::npos) return kInvalidMessageLength;
  return kSubmitFailed;
}
}  // namespace

void SetSubmittingClient(const SubmittingClient* client) { t_client = client; }
void SetAnswerHeld(const std::function<void()>* answer) { t_answerHeld = answer; }

int SMPPServerReceiveMessageCallback(const char* connectionName, const SMPPReceivedMessage* in, char* messageId,
                                     int messageIdSize) {
  if (messageId && messageIdSize > 0) messageId[0] = '\0';
  const SubmittingClient* client = t_client;
  if (client == nullptr || in == nullptr) return kSystemError;
  std::string extra = Text(in->extraParams);
  WriteDebugLogf("SMPPServerReceiveMessageCallback",
                 "inbound message:  sender=%s, recip=%s, pid=%X, dcs=%X, msgFlags=%X, udh=%s, msg=%s%s%s",
                 Clean(Text(in->sender), 149).c_str(), Clean(Text(in->recipient), 149).c_str(), unsigned(in->pid),
                 unsigned(in->dcs), unsigned(in->flags), Clean(Text(in->udhHex), 499).c_str(),
                 Clean(Text(in->data), 1024).c_str(), extra.empty() ? "" : ", extraParms=",
                 Clean(extra, 1024).c_str());

  std::string data = Text(in->data);
  std::string udh = Text(in->udhHex);
  // The queue file holds at most kDataMax; more would be cut, so it is refused whole.
  if (data.size() > kDataMax || udh.size() > kUdhMax) {
    WriteDebugLogf("SMPPServerReceiveMessageCallback", "Message too long (%zu characters) refused", data.size());
    return kInvalidMessageLength;
  }
  Submission s;
  SmsMessageRecord& m = s.message;
  m.SubmitUser = client->user;
  m.SubmittedBy = client->address;
  s.forcedSender = client->forcedSender;
  m.Sender = Clean(Text(in->sender), 149);
  std::string recipient = Clean(Text(in->recipient), 149);
  if (!recipient.empty()) s.recipients.push_back(recipient);
  m.Pid = uint8_t(in->pid);
  m.Dcs = uint8_t(in->dcs);
  m.UDH = udh;
  if (in->binary || !udh.empty()) {
    m.Binary = true;
    m.Data = data;
  } else {
    // The library gave the text in UTF-8: the client's alphabet no longer applies (SMPP's own
    // codes 0x01..0x0F name alphabets only); a message class is kept.
    if ((m.Dcs & 0xF0) == 0) m.Dcs = 0;
    else if ((m.Dcs & 0xF0) == 0xF0) m.Dcs &= uint8_t(~0x04);
    else if ((m.Dcs & 0xC0) == 0) m.Dcs &= uint8_t(~0x0C);
    m.Data = data;
    s.contentIsText = true;
  }
  m.MessageFlags = uint32_t(in->flags) & (kMsgReplyRequested | kMsgReceiptRequested | kMsgNonDelReceiptRequested);
  m.ServiceType = Clean(Text(in->serviceType), 99);
  m.Validity = Clean(Text(in->validity), 49);
  ReadExtraParameters(extra, m);
  if (!recipient.empty()) {
    RemapSegmentReference(client->user, recipient, m.UDH);
    // A segment the client cut itself is queued under the segment name of its message, so
    // that its parts leave in order.
    ConcatElement e;
    if (m.Binary && FindConcatElement(m.UDH, e) && e.number >= 1 && e.number <= e.count) {
      MessagePart part;
      part.message = m;
      part.segment = true;
      part.number = e.number;
      part.total = e.count;
      part.givenReference = int(e.reference);
      s.presetParts.push_back(std::move(part));
    }
  }

  SubmissionResult r = SubmitMessage(std::move(s));
  uint32_t status = 0;
  switch (r.status) {
    case SubmissionStatus::Refused:
      WriteDebugLog("SMPPServerReceiveMessageCallback", "User over quota");
      status = r.accountingCode > 0 ? uint32_t(r.accountingCode) : kThrottled;
      break;
    case SubmissionStatus::Invalid:
      WriteDebugLogf("SMPPServerReceiveMessageCallback", "Refused: %s", r.error.c_str());
      status = StatusOfInvalid(r);
      break;
    case SubmissionStatus::NotSupported: status = kSubmitFailed; break;
    case SubmissionStatus::Accepted:
      if (r.recipients.empty() || r.recipients[0].messageIds.empty()) {
        status = kSystemError;
      } else if (!r.recipients[0].error.empty()) {
        // Not every part was written: the core has given back the rest, the client retries.
        WriteDebugLogf("SMPPServerReceiveMessageCallback", "Refused: %s", r.recipients[0].error.c_str());
        status = kSystemError;
      } else if (messageId && messageIdSize > 0) {
        snprintf(messageId, size_t(messageIdSize), "%s", r.recipients[0].messageIds[0].c_str());
      }
      break;
  }
  (void)connectionName;
  PaceSubmission(client->user, t_answerHeld);
  return int(status);
}
