#include "inbound/inbound_receive.h"

#include <strings.h>

#include "config/settings.h"
#include "inbound/inbound_files.h"
#include "inbound/inbound_processing.h"
#include "inbound/udh_facts.h"
#include "config/settings_registry.h"
#include "gsm/code_pages.h"
#include "accounting/accounting.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/hex_text.h"
#include "runtime/names.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_registry.h"
#include "smsc/local_routing.h"
#include "smsc/queue_pass.h"
#include "smsc/route_cache.h"
#include "store/counters.h"
#include "store/durable_writes.h"
#include "store/message_file.h"
#include "store/message_logs.h"
#include "store/message_writer.h"
#include "store/queue_dirs.h"
#include "store/store_service.h"
#include "store/unique_files.h"

namespace {

std::atomic<void (*)()> g_wakeMessage{nullptr}, g_wakeReport{nullptr}, g_wakeReceipt{nullptr};

void Wake(const std::atomic<void (*)()>& hook) {
  if (auto fn = hook.load()) fn();
}

// Network values end up as "Key=value" lines: no control byte may split or extend a line.
std::string Clean(std::string_view value, size_t maxLength) { return CutTo(StripControlBytes(value), maxLength); }

// "SMPPOption_<name>=<value>" items whose name is configured in [SMPPOptions].
std::string ConfiguredSmppOptions(std::string_view extra) {
  auto known = SMSIniSection("SMPPOptions");
  std::string out;
  constexpr std::string_view kPrefix = "SMPPOption_";
  for (const std::string& listed : SplitList(extra, ";")) {
    std::string_view item = listed;
    if (!StartsWithNoCase(item, kPrefix)) continue;
    size_t eq = item.find('=');
    if (eq == std::string_view::npos) continue;
    std::string name = Clean(Trim(item.substr(kPrefix.size(), eq - kPrefix.size())), 99);
    std::string value = Clean(Trim(item.substr(eq + 1)), 99);
    bool configured = false;
    for (const auto& [key, v] : known) configured |= EqualsNoCase(Trim(key), name);
    if (!configured) continue;
    std::string piece = std::string(kPrefix) + name + "=" + value;
    if (out.size() + piece.size() + 2 > 499) break;
    if (!out.empty()) out += "; ";
    out += piece;
  }
  return out;
}

// The items "SMPPOption_name=value" of an extra-parameter text joined by "; " (for logs and
// accounting).
std::string AllSmppOptions(std::string_view extra) {
  std::string out;
  for (const std::string& item : SplitList(extra, ";")) {
    if (!StartsWithNoCase(item, "SMPPOption_")) continue;
    if (!out.empty()) out += "; ";
    out += StripControlBytes(item);
  }
  return out;
}

// What routing and the accounting callback see of a received message: the connection is
// its account.
SmsMessageRecord RecordOf(const SmsMessageRecord& m, std::string_view serviceType, std::string_view routeToLocalUser) {
  SmsMessageRecord r = m;
  r.SubmitUser = m.ModemName;
  r.ServiceType = serviceType;
  r.RouteToLocalUser = routeToLocalUser;
  return r;
}

// The re-route case: an "[SMS]" file in the outbound queue. stored: the record with the
// keys of the file.
InboundStore ReRoute(ReceivedSms& r, std::string route, const SmsMessageRecord& stored, const UdhFacts& udh) {
  const SmsMessageRecord& m = r.message;
  SmsMessageRecord requested = stored;
  requested.SMSCRoute = EqualsNoCase(route, "any") ? "" : route;
  AccountingMessage a{"SMSSend", requested};
  PreAuthOutputs outputs;
  std::string refusal;
  if (AccountingPreAuthorise(a, {m.PhoneNumber}, 1, &outputs, &refusal) != 0) {
    WriteDebugLog("ProcessInboundSMS", "Message rejected by Accounting PreAuth");
    return InboundStore::Dropped;
  }
  if (!outputs.routes.empty() && !outputs.routes[0].empty()) route = outputs.routes[0];
  bool anyRoute = EqualsNoCase(route, "any");
  SmsMessageRecord queued = requested;
  queued.SMSCRoute = anyRoute ? "" : route;
  std::string text = MessageFileText(queued, MessageLayout::ReRouted);
  std::string dir = OutboundQueueDir(Settings.UseRouteQueues && !anyRoute ? route : std::string(), "", 0);
  std::string path;
  if (!dir.empty()) {
    if (udh.concatenated && udh.total > 0 && IsSafePathName(m.PhoneNumber)) {
      path = CreateSegmentFile(dir, m.PhoneNumber, udh.reference, udh.total, udh.number, "req", text);
    } else {
      path = CreateUniqueFile(dir, "req", text);
    }
  }
  if (path.empty()) {
    WriteDebugLogf("ReRouteReceived", "Cannot create a queue file for %s", m.PhoneNumber.c_str());
    return InboundStore::Failed;
  }
  WriteDebugLogf("ReRouteReceived", "Received message from %s queued as %s", m.Sender.c_str(), path.c_str());
  CounterAdd(kSmsQSize, 1);
  r.storedPath = path;
  r.queueCounter = kSmsQSize;
  std::string id = MessageIdFromPath(path);
  if (!r.extraParams.empty()) r.extraParams += ";";
  r.extraParams += "SMSCMsgId=";
  r.extraParams += id;
  AccountingNoticeFields fields;
  fields.recipient = m.PhoneNumber;
  fields.messageId = id;
  AccountingNotice(a, fields, nullptr);
  std::string root = OutboundQueueDir("", "", 0);
  if (!anyRoute && path.rfind(root, 0) == 0) MessageRoutesAdd(path.substr(root.size()), "*=" + route);
  return InboundStore::Stored;
}

}  // namespace

void SetInboundReceiveWakeHooks(void (*message)(), void (*report)(), void (*receipt)()) {
  g_wakeMessage = message;
  g_wakeReport = report;
  g_wakeReceipt = receipt;
}

bool ExtraParamValue(std::string_view extra, std::string_view name, size_t maxLength, std::string& value) {
  for (const std::string& listed : SplitList(extra, ";")) {
    std::string_view item = listed;
    size_t eq = item.find('=');
    if (eq == std::string_view::npos || !EqualsNoCase(Trim(item.substr(0, eq)), name)) continue;
    value = Clean(Trim(item.substr(eq + 1)), maxLength);
    return true;
  }
  return false;
}

InboundStore ProcessInboundSMS(ReceivedSms& r) {
  SmsMessageRecord& m = r.message;
  m.ModemName = Clean(m.ModemName, 149);
  m.Sender = Clean(m.Sender, kPhoneNumberMax);
  m.PhoneNumber = Clean(m.PhoneNumber, kPhoneNumberMax);
  m.ReceiptMessageId = Clean(m.ReceiptMessageId, 149);
  if (!IsHexText(m.UDH)) m.UDH.clear();
  m.UDH = CutTo(m.UDH, kUdhMax - kUdhMax % 2);
  if (m.Binary && !IsHexText(m.Data)) m.Binary = false;
  std::string serviceType, routeToLocalUser, receivedSmsc, resolveText;
  ExtraParamValue(r.extraParams, "ServiceType", 99, serviceType);
  ExtraParamValue(r.extraParams, "RouteToLocalUser", 99, routeToLocalUser);
  ExtraParamValue(r.extraParams, "ReceivedSMSC", 49, receivedSmsc);
  bool resolve = ExtraParamValue(r.extraParams, "ResolveReceiptID", 20, resolveText) && ConfigBool(resolveText);

  std::string localUser = routeToLocalUser, reRoute;
  std::string section = ConnectionSectionName(m.ModemName);
  if (localUser.empty() && !m.ModemName.empty()) {
    localUser = StripControlBytes(ConnectionValue(section, "RouteLocal"));
    if (localUser.empty()) reRoute = StripControlBytes(ConnectionValue(section, "ReRouteReceived"));
  }
  UdhFacts udh = ReadUdh(m.UDH);
  bool mmsPush = IsMmsNotification(udh, m.ModemName);
  if (!localUser.empty()) localUser = mmsPush ? "" : LocalUserForMessage(RecordOf(m, serviceType, localUser));

  InboundStore result = InboundStore::Stored;
  std::string extension;  // of a file stored in the inbound folder
  bool report = (m.MessageFlags & kMsgIsReport) && !m.ReceiptMessageId.empty();
  bool toUserQueue = !localUser.empty() && !StartsWithNoCase(localUser, "~SMSIN");
  bool reRouted = !reRoute.empty() && localUser.empty();
  SmsMessageRecord received = RecordOf(m, serviceType, toUserQueue ? localUser : "");
  // The file's record: routing and accounting see the message without these keys.
  SmsMessageRecord stored = received;
  stored.Inbound = !toUserQueue && !reRouted;
  stored.SMPPOptions = ConfiguredSmppOptions(r.extraParams);
  stored.ReceivedSMSC = receivedSmsc;
  stored.UTF8 = !m.Binary && ContainsNonAscii(m.Data);
  if (reRouted) {
    result = ReRoute(r, reRoute, stored, udh);
  } else if (toUserQueue) {
    // Straight to its submitter: the text names the id the submitter was given, as for a
    // report matched later by receipt resolution.
    if (report && !stored.Binary) stored.Data = ReportTextWithId(stored.Data, stored.ReceiptMessageId);
    std::string path = CreateUniqueFile(UserQueueDir(localUser), "req", MessageFileText(stored, MessageLayout::Received));
    if (path.empty()) {
      result = InboundStore::Failed;
    } else {
      r.storedPath = path;
      std::string status = "OK -- LocalUser:" + localUser;
      AccountingMessage a{"SMSReceive", received};
      AccountingNoticeFields fields;
      fields.recipient = m.PhoneNumber;
      fields.messageId = MessageIdFromPath(path);
      fields.status = "OK";
      fields.smscName = "LocalUser:" + localUser;
      AccountingNotice(a, fields, nullptr);
      LogOutbound(path.substr(path.find_last_of('/') + 1), m.ModemName, m.PhoneNumber, status, LogContentOf(m), "", "",
                  m.Sender);
      if (Settings.AccountingExtended) OutboundAccountingNotice(received, m.PhoneNumber, fields.messageId, "", "", status);
    }
  } else {
    extension = resolve ? "rct" : report ? "rec" : "in";
    // "~SMSIN::ext" names the extension of the inbound file.
    if (StartsWithNoCase(localUser, "~SMSIN::") && localUser.size() > 8) extension = localUser.substr(8);
    r.storedPath = WriteInboundFile(extension, MessageFileText(stored, MessageLayout::Received));
    if (r.storedPath.empty()) result = InboundStore::Failed;
    r.queueCounter = EqualsNoCase(extension, "rct") ? kSmsRcptQSize : kSmsInQSize;
  }
  if (result == InboundStore::Failed) {
    WriteDebugLogf("ProcessInboundSMS", "Cannot store the message from %s received by %s", m.Sender.c_str(),
                   m.ModemName.c_str());
    return result;
  }
  if (result == InboundStore::Dropped) return result;
  CounterAdd(kSmsReceived, 1);
  // Publishing a ".in" or ".rec" file into the inbound folder woke the workers waiting on it
  // already; a second wake would only cost them a second walk.
  if (EqualsNoCase(extension, "in") || EqualsNoCase(extension, "rec")) return result;
  // Each kind of file wakes the workers that take it, not the others too.
  if (!report || toUserQueue) Wake(g_wakeMessage);
  else if (EqualsNoCase(extension, "rct")) Wake(g_wakeReceipt);
  else {
    Wake(g_wakeReport);
    Wake(g_wakeReceipt);
  }
  return result;
}

ReportContent ParseDeliveryReport(std::string_view text, std::string_view extraParams) {
  ReportContent r;
  std::string value;
  if (ExtraParamValue(extraParams, "SMPPOption_receipted_message_id", 149, value)) r.messageId = value;
  if (ExtraParamValue(extraParams, "SMPPOption_message_state", 10, value)) {
    switch (ParseDecimal(value)) {
      case 1: r.stateFlags = kMsgReportIntransit; break;            // ENROUTE
      case 2: case 6: r.stateFlags = kMsgReportDelivered; break;    // DELIVERED, ACCEPTED
      case 3: case 4: case 5: case 7: case 8: r.stateFlags = kMsgReportFailed; break;
      default: break;
    }
  }
  auto field = [&](std::string_view key) -> std::string {
    // A key counts at the start of the text or of a word.
    size_t at = 0;
    for (size_t from = 0;; from = at) {
      at = FindNoCase(text.substr(from), key);
      if (at == std::string_view::npos) return {};
      at += from;
      size_t start = at - key.size();
      if (start == 0 || uint8_t(text[start - 1]) <= ' ') break;
    }
    std::string_view rest = text.substr(at);
    size_t end = 0;
    while (end < rest.size() && uint8_t(rest[end]) > ' ') ++end;
    return Clean(rest.substr(0, end), 149);
  };
  if (r.messageId.empty()) r.messageId = field("id:");
  if (r.stateFlags == 0) {
    std::string stat = ToUpper(field("stat:"));
    if (stat == "DELIVRD" || stat == "ACCEPTD") r.stateFlags = kMsgReportDelivered;
    else if (stat == "ENROUTE" || stat == "BUFFRED" || stat == "ACKED") r.stateFlags = kMsgReportIntransit;
    else if (!stat.empty()) r.stateFlags = kMsgReportFailed;
  }
  return r;
}

namespace {

enum class DebugLine { None, Full, Short };

// A stored message that was not acknowledged is removed again, unless a worker already has
// it (then the centre's next delivery makes a second copy, which is better than none).
void TakeBackStoredFile(const std::string& path, int queueCounter) {
  ClaimedFile file;
  if (!ClaimInboundPath(path, file)) {
    WriteDebugLogf("ProcessInboundSMS", "%s is already taken by a worker and stays", path.c_str());
    return;
  }
  if (!DeleteInboundFile(file)) return;
  if (queueCounter >= 0) CounterSubtract(queueCounter, 1);
  CounterSubtract(kSmsReceived, 1);
}

// What every receive path does with a received message once its fields are in r: a
// report's centre id matched against the submissions (known ones at once, the others left
// for receipt resolution) unless it is already one of ours, the debug line under label, the
// message stored, then the SMS-IN log line and the accounting notice. False when it could
// not be stored.
bool StoreFromCentre(const char* label, ReceivedSms& r, DebugLine debugLine, bool reportIdIsOurs = false) {
  SmsMessageRecord& m = r.message;
  std::string receiptOrig;
  if ((m.MessageFlags & kMsgIsReport) && !m.ReceiptMessageId.empty() && !reportIdIsOurs) {
    std::string centreId = m.ReceiptMessageId;
    char messageId[SMSC_MSGID_FIELD_SIZE] = {}, user[SMSC_MSGID_FIELD_SIZE] = {};
    char sender[SMSC_MSGID_FIELD_SIZE] = {}, recipient[SMSC_MSGID_FIELD_SIZE] = {};
    int64_t submitted = 0;
    if (SMSCMessageIdGet2(m.ModemName.c_str(), centreId.c_str(), messageId, user, sender, recipient, &submitted) != 0 &&
        messageId[0]) {
      receiptOrig = centreId;
      m.ReceiptMessageId = messageId;
      // From the handset to the submitter: the recorded sender is the report's recipient.
      if (sender[0]) m.PhoneNumber = StripControlBytes(sender);
      if (!r.extraParams.empty()) r.extraParams += "; ";
      r.extraParams += "ReceiptMsgIdOrig=" + StripControlBytes(receiptOrig);
      std::string ignored;
      if (user[0] && !ExtraParamValue(r.extraParams, "RouteToLocalUser", 99, ignored)) {
        r.extraParams += "; RouteToLocalUser=" + StripControlBytes(user);
      }
    } else {
      if (!r.extraParams.empty()) r.extraParams += "; ";
      r.extraParams += "ResolveReceiptID=Yes";
    }
  }
  if (debugLine == DebugLine::Full) {
    std::string line = StrPrintf("inbound message:  sender=%s, recip=%s, pid=%X, dcs=%X, msgFlags=%X, udh=%s, msg=%s",
                                 m.Sender.c_str(), m.PhoneNumber.c_str(), m.Pid, m.Dcs, m.MessageFlags, m.UDH.c_str(),
                                 m.Data.c_str());
    if (!r.extraParams.empty()) line += ", extraParms=" + r.extraParams;
    WriteDebugLog(label, StripControlBytes(line));
  } else if (debugLine == DebugLine::Short) {
    WriteDebugLog(label, StripControlBytes(StrPrintf("inbound message:  sender=%s, pid=%X, dcs=%X, udh=%s, msg=%s",
                                                     m.Sender.c_str(), m.Pid, m.Dcs, m.UDH.c_str(), m.Data.c_str())));
  }
  std::string resolveText;
  bool resolve = ExtraParamValue(r.extraParams, "ResolveReceiptID", 20, resolveText) && ConfigBool(resolveText);
  // The centre's acknowledgement promises the message: with DurableAccept it follows the
  // flush of what was stored, which a session that holds its answers shares between every
  // message it read at once (its scope is the outer one). A failed flush answers as a failure
  // and takes the file back, so that the centre's next delivery is stored once.
  DurableWrites durable(Settings.DurableAccept && r.awaited);
  InboundStore stored = ProcessInboundSMS(r);
  if (stored == InboundStore::Failed) return false;
  WhenDurable([label = std::string(label), r, receiptOrig, resolve](bool flushed) {
    const SmsMessageRecord& m = r.message;
    if (!flushed) {
      WriteDebugLogf(label.c_str(), "The message from %s could not be flushed to stable storage",
                     StripControlBytes(m.Sender).c_str());
      if (!r.storedPath.empty()) TakeBackStoredFile(r.storedPath, r.queueCounter);
      return;
    }
    // The SMS-IN line is written once the message is safely stored (a report to resolve is
    // logged after its resolution).
    if (resolve) return;
    LogInbound(m.Sender, m.ModemName, m.PhoneNumber, LogContentOf(m), m.ReceiptMessageId, receiptOrig);
    if (Settings.AccountingExtended) {
      SmsMessageRecord notice = RecordOf(m, "", "");
      notice.SMPPOptions = AllSmppOptions(r.extraParams);
      AccountingMessage a{"SMSIN", notice};
      AccountingNoticeFields fields;
      fields.recipient = m.PhoneNumber;
      fields.smscReceiptMessageId = m.ReceiptMessageId;
      fields.smscReceiptMessageIdOrig = receiptOrig;
      fields.smscName = m.ModemName;
      AccountingNotice(a, fields, nullptr);
    }
  });
  return durable.Await();
}

}  // namespace

bool ReceiveSmppMessage(const char* connectionName, const SMPPReceivedMessage* message) {
  if (!message) return false;
  ReceivedSms r;
  SmsMessageRecord& m = r.message;
  m.ModemName = connectionName ? connectionName : "";
  m.Sender = message->sender ? message->sender : "";
  m.PhoneNumber = message->recipient ? message->recipient : "";
  m.UDH = message->udhHex ? message->udhHex : "";
  m.Data = message->data ? message->data : "";
  m.Pid = uint8_t(message->pid);
  m.Dcs = uint8_t(message->dcs);
  m.Binary = message->binary != 0;
  r.extraParams = message->extraParams ? message->extraParams : "";
  m.MessageFlags = uint32_t(message->flags) & (kMsgReceiptRequested | kMsgNonDelReceiptRequested | kMsgIsReport);
  if (m.MessageFlags & kMsgIsReport) {
    ReportContent report = ParseDeliveryReport(m.Binary ? "" : m.Data, r.extraParams);
    m.MessageFlags |= report.stateFlags;
    m.ReceiptMessageId = report.messageId;
  }
  return StoreFromCentre("SMPPReceiveMessageCallback", r, Settings.Debug ? DebugLine::Full : DebugLine::None);
}

bool ReceiveCentreMessage(const char* label, const CentreMessage& message) {
  ReceivedSms r;
  SmsMessageRecord& m = r.message;
  m.ModemName = message.connection;
  m.Sender = message.sender;
  m.PhoneNumber = message.recipient;
  m.UDH = message.udhHex;
  m.Data = message.data;
  m.Pid = uint8_t(message.pid);
  m.Dcs = uint8_t(message.dcs);
  m.Binary = message.binary != 0;
  r.extraParams = message.extraParams;
  m.MessageFlags = uint32_t(message.flags) & (kMsgReceiptRequested | kMsgNonDelReceiptRequested | kMsgIsReport |
                                              kMsgReportDelivered | kMsgReportIntransit | kMsgReportFailed);
  if (!(m.MessageFlags & kMsgIsReport)) {
    m.MessageFlags &= ~(kMsgReportDelivered | kMsgReportIntransit | kMsgReportFailed);
  } else {
    m.ReceiptMessageId = message.receiptMessageId;
  }
  return StoreFromCentre(label, r, message.older ? DebugLine::Short : DebugLine::Full);
}

bool StoreReceivedMessage(const char* label, ReceivedSms& r) {
  return StoreFromCentre(label, r, DebugLine::Full, true);
}
