#include "smsc/inbound_receive.h"

#include <strings.h>

#include <thread>

#include "config/settings.h"
#include "config/settings_registry.h"
#include "gsm/code_pages.h"
#include "httpclient/accounting.h"
#include "outside/outside_tables.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/names.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_registry.h"
#include "smsc/local_routing.h"
#include "smsc/queue_pass.h"
#include "smsc/route_cache.h"
#include "store/counters.h"
#include "store/message_file.h"
#include "store/message_logs.h"
#include "store/queue_dirs.h"
#include "store/store_service.h"
#include "store/unique_files.h"

namespace {

constexpr uint8_t kTempAppError = 0x64;

std::atomic<void (*)()> g_wakeMessage{nullptr}, g_wakeReceipt{nullptr};

void Wake(const std::atomic<void (*)()>& hook) {
  if (auto fn = hook.load()) fn();
}
constexpr uint16_t kWapPushPort = 2948;

std::string_view Item(std::string_view& rest) {
  size_t end = rest.find(';');
  std::string_view item = Trim(rest.substr(0, end));
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  return item;
}

// Network values end up as "Key=value" lines: no control byte may split or extend a line.
std::string Clean(std::string_view value, size_t maxLength) { return CutTo(StripControlBytes(value), maxLength); }

bool IsHex(std::string_view text) {
  if (text.size() % 2 != 0) return false;
  for (char c : text) {
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// The UDH elements that matter here: destination port (0x05) and concatenation (0x00, 0x08).
struct UdhFacts {
  int destinationPort = -1;
  bool concatenated = false;
  unsigned reference = 0, total = 0, number = 0;
};

UdhFacts ReadUdh(std::string_view udhHex) {
  UdhFacts f;
  if (!IsHex(udhHex) || udhHex.size() < 2) return f;
  std::string octets;
  for (size_t i = 0; i + 1 < udhHex.size() && octets.size() < 400; i += 2) {
    octets.push_back(char(std::stoi(std::string(udhHex.substr(i, 2)), nullptr, 16)));
  }
  auto at = [&](size_t i) { return unsigned(uint8_t(octets[i])); };
  size_t end = std::min<size_t>(octets.size(), size_t(at(0)) + 1);
  for (size_t i = 1; i + 1 < end;) {
    unsigned id = at(i), length = at(i + 1);
    size_t value = i + 2;
    if (value + length > end) break;
    if (id == 0x05 && length >= 2) f.destinationPort = int(at(value) << 8 | at(value + 1));
    if (id == 0x00 && length >= 3) {
      f.concatenated = true;
      f.reference = at(value);
      f.total = at(value + 1);
      f.number = at(value + 2);
    }
    if (id == 0x08 && length >= 4) {
      f.concatenated = true;
      f.reference = at(value) << 8 | at(value + 1);
      f.total = at(value + 2);
      f.number = at(value + 3);
    }
    i = value + length;
  }
  return f;
}

// "SMPPOption_<name>=<value>" items whose name is configured in [SMPPOptions].
std::string ConfiguredSmppOptions(std::string_view extra) {
  auto known = SMSIniSection("SMPPOptions");
  std::string out;
  std::string_view rest = extra;
  constexpr std::string_view kPrefix = "SMPPOption_";
  while (!rest.empty()) {
    std::string_view item = Item(rest);
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
  std::string_view rest = extra;
  while (!rest.empty()) {
    std::string_view item = Item(rest);
    if (!StartsWithNoCase(item, "SMPPOption_")) continue;
    if (!out.empty()) out += "; ";
    out += StripControlBytes(item);
  }
  return out;
}

void AddFlags(MessageFileText& f, const ReceivedSms& m) {
  if (m.flags & kMsgReceiptRequested) f.Add("ReceiptRequested", "Yes");
  if (m.flags & kMsgNonDelReceiptRequested) f.Add("NonDelReceiptRequested", "Yes");
  if (m.flags & kMsgIsReport) {
    if (m.flags & kMsgReportIntransit) f.Add("ReceiptIntransit", "Yes");
    else if (m.flags & kMsgReportFailed) f.Add("ReceiptFailed", "Yes");
    else if (m.flags & kMsgReportDelivered) f.Add("ReceiptDelivered", "Yes");
    f.Add("ReceiptMessageId", m.receiptMessageId);
  }
}

void AddContent(MessageFileText& f, const ReceivedSms& m) {
  f.Add("Sender", m.sender);
  if (!m.recipient.empty()) f.Add("PhoneNumber", m.recipient);
  if (!m.udhHex.empty()) f.Add("UDH", m.udhHex);
  if (m.pid != 0) f.text += StrPrintf("pid=%X\r\n", m.pid);
  if (m.dcs != 0) f.text += StrPrintf("dcs=%X\r\n", m.dcs);
  f.AddData(m.data);
  if (m.binary) f.Add("Binary", "1");
  if (!m.binary && ContainsNonAscii(m.data)) f.Add("UTF8", "1");
  AddFlags(f, m);
}

LogContent ContentOf(const ReceivedSms& m) { return LogContent{m.binary, m.pid, m.dcs, m.udhHex, m.data}; }

SmsMessageRecord RecordOf(const ReceivedSms& m, std::string_view serviceType, std::string_view routeToLocalUser) {
  SmsMessageRecord r;
  r.Sender = m.sender;
  r.PhoneNumber = m.recipient;
  r.Data = m.data;
  r.UDH = m.udhHex;
  r.Pid = m.pid;
  r.Dcs = m.dcs;
  r.Binary = m.binary;
  r.MessageFlags = m.flags;
  r.ServiceType = std::string(serviceType);
  r.RouteToLocalUser = std::string(routeToLocalUser);
  r.ReceiptMessageId = m.receiptMessageId;
  r.ModemName = m.connection;
  r.SubmitUser = m.connection;
  return r;
}

bool ReceiveMmsOn(const std::string& connection) {
  return connection.empty() ? MainFlag("ReceiveMMS") : ConnectionOrMainFlag(ConnectionSectionName(connection), "ReceiveMMS");
}

// The re-route case: an "[SMS]" file in the outbound queue.
InboundStore ReRoute(ReceivedSms& m, std::string route, std::string_view serviceType, std::string_view smppOptions,
                     std::string_view receivedSmsc, const UdhFacts& udh) {
  SmsMessageRecord record = RecordOf(m, serviceType, "");
  AccountingMessage a = AccountingMessageFor(record);
  a.type = "SMSSend";
  a.account = m.connection;
  a.route = EqualsNoCase(route, "any") ? "" : route;
  a.smppOptions = std::string(smppOptions);
  PreAuthOutputs outputs;
  std::string refusal;
  if (AccountingPreAuthorise(a, {m.recipient}, 1, &outputs, &refusal) != 0) {
    WriteDebugLog("ProcessInboundSMS", "Message rejected by Accounting PreAuth");
    return InboundStore::Dropped;
  }
  if (!outputs.routes.empty() && !outputs.routes[0].empty()) route = outputs.routes[0];
  bool anyRoute = EqualsNoCase(route, "any");
  MessageFileText f("[SMS]");
  if (!anyRoute) f.Add("SMSCRoute", route);
  AddContent(f, m);
  if (!serviceType.empty()) f.Add("ServiceType", serviceType);
  if (!smppOptions.empty()) f.Add("SMPPOptions", smppOptions);
  if (!receivedSmsc.empty()) f.Add("ReceivedSMSC", receivedSmsc);
  std::string dir = OutboundQueueDir(Settings.UseRouteQueues && !anyRoute ? route : std::string(), "", 0);
  std::string path;
  if (!dir.empty()) {
    if (udh.concatenated && udh.total > 0 && IsSafePathName(m.recipient)) {
      path = CreateSegmentFile(dir, m.recipient, udh.reference, udh.total, udh.number, "req", f.text);
    } else {
      path = CreateUniqueFile(dir, "req", f.text);
    }
  }
  if (path.empty()) {
    WriteDebugLogf("ReRouteReceived", "Cannot create a queue file for %s", m.recipient.c_str());
    return InboundStore::Failed;
  }
  WriteDebugLogf("ReRouteReceived", "Received message from %s queued as %s", m.sender.c_str(), path.c_str());
  CounterAdd(kSmsQSize, 1);
  std::string id = MessageIdFromPath(path);
  if (!m.extraParams.empty()) m.extraParams += ";";
  m.extraParams += "SMSCMsgId=";
  m.extraParams += id;
  AccountingNoticeFields fields;
  fields.recipient = m.recipient;
  fields.messageId = id;
  AccountingNotice(a, fields, nullptr);
  std::string root = OutboundQueueDir("", "", 0);
  if (!anyRoute && path.rfind(root, 0) == 0) MessageRoutesAdd(path.substr(root.size()), "*=" + route);
  return InboundStore::Stored;
}

}  // namespace

void SetInboundReceiveWakeHooks(void (*message)(), void (*receipt)()) {
  g_wakeMessage = message;
  g_wakeReceipt = receipt;
}

bool ExtraParamValue(std::string_view extra, std::string_view name, size_t maxLength, std::string& value) {
  std::string_view rest = extra;
  while (!rest.empty()) {
    std::string_view item = Item(rest);
    size_t eq = item.find('=');
    if (eq == std::string_view::npos || !EqualsNoCase(Trim(item.substr(0, eq)), name)) continue;
    value = Clean(Trim(item.substr(eq + 1)), maxLength);
    return true;
  }
  return false;
}

std::string InboundFileText(const ReceivedSms& m, bool localUser, std::string_view serviceType,
                            std::string_view smppOptions, std::string_view routeToLocalUser,
                            std::string_view receivedSmsc) {
  MessageFileText f(localUser ? "[SMS]" : "[SMS-IN]");
  f.Add("ModemName", m.connection);
  AddContent(f, m);
  if (!serviceType.empty()) f.Add("ServiceType", serviceType);
  if (!smppOptions.empty()) f.Add("SMPPOptions", smppOptions);
  if (localUser && !routeToLocalUser.empty()) f.Add("RouteToLocalUser", routeToLocalUser);
  if (!receivedSmsc.empty()) f.Add("ReceivedSMSC", receivedSmsc);
  return f.text;
}

InboundStore ProcessInboundSMS(ReceivedSms& m) {
  m.connection = Clean(m.connection, 149);
  m.sender = Clean(m.sender, kPhoneNumberMax);
  m.recipient = Clean(m.recipient, kPhoneNumberMax);
  m.receiptMessageId = Clean(m.receiptMessageId, 149);
  if (!IsHex(m.udhHex)) m.udhHex.clear();
  m.udhHex = CutTo(m.udhHex, kUdhMax - kUdhMax % 2);
  if (m.binary && !IsHex(m.data)) m.binary = false;
  std::string serviceType, routeToLocalUser, receivedSmsc, resolveText;
  ExtraParamValue(m.extraParams, "ServiceType", 99, serviceType);
  ExtraParamValue(m.extraParams, "RouteToLocalUser", 99, routeToLocalUser);
  ExtraParamValue(m.extraParams, "ReceivedSMSC", 49, receivedSmsc);
  bool resolve = ExtraParamValue(m.extraParams, "ResolveReceiptID", 20, resolveText) && ConfigBool(resolveText);
  std::string smppOptions = ConfiguredSmppOptions(m.extraParams);

  std::string localUser = routeToLocalUser, reRoute;
  std::string section = ConnectionSectionName(m.connection);
  if (localUser.empty() && !m.connection.empty()) {
    localUser = StripControlBytes(ConnectionValue(section, "RouteLocal"));
    if (localUser.empty()) reRoute = StripControlBytes(ConnectionValue(section, "ReRouteReceived"));
  }
  UdhFacts udh = ReadUdh(m.udhHex);
  bool mmsPush = udh.destinationPort == kWapPushPort && ReceiveMmsOn(m.connection);
  if (!localUser.empty()) localUser = mmsPush ? "" : LocalUserForMessage(RecordOf(m, serviceType, localUser));

  InboundStore result = InboundStore::Stored;
  bool report = (m.flags & kMsgIsReport) && !m.receiptMessageId.empty();
  bool toUserQueue = !localUser.empty() && !StartsWithNoCase(localUser, "~SMSIN");
  if (!reRoute.empty() && localUser.empty()) {
    result = ReRoute(m, reRoute, serviceType, smppOptions, receivedSmsc, udh);
  } else if (toUserQueue) {
    std::string text = InboundFileText(m, true, serviceType, smppOptions, localUser, receivedSmsc);
    std::string path = CreateUniqueFile(UserQueueDir(localUser), "req", text);
    if (path.empty()) {
      result = InboundStore::Failed;
    } else {
      SmsMessageRecord record = RecordOf(m, serviceType, localUser);
      std::string status = "OK -- LocalUser:" + localUser;
      AccountingMessage a = AccountingMessageFor(record);
      a.type = "SMSReceive";
      AccountingNoticeFields fields;
      fields.recipient = m.recipient;
      fields.messageId = MessageIdFromPath(path);
      fields.status = "OK";
      fields.smscName = "LocalUser:" + localUser;
      AccountingNotice(a, fields, nullptr);
      LogOutbound(path.substr(path.find_last_of('/') + 1), m.connection, m.recipient, status, ContentOf(m), "", "",
                  m.sender);
      if (Settings.AccountingExtended) OutboundAccountingNotice(a, m.recipient, fields.messageId, "", "", status);
    }
  } else {
    std::string extension = resolve ? "rct" : report ? "rec" : "in";
    // "~SMSIN::ext" names the extension of the inbound file.
    if (StartsWithNoCase(localUser, "~SMSIN::") && localUser.size() > 8) extension = localUser.substr(8);
    std::string text = InboundFileText(m, false, serviceType, smppOptions, "", receivedSmsc);
    if (WriteInboundFile(extension, text).empty()) result = InboundStore::Failed;
  }
  if (result == InboundStore::Failed) {
    WriteDebugLogf("ProcessInboundSMS", "Cannot store the message from %s received by %s", m.sender.c_str(),
                   m.connection.c_str());
    return result;
  }
  if (result == InboundStore::Dropped) return result;
  CounterAdd(kSmsReceived, 1);
  Wake(report && !toUserQueue ? g_wakeReceipt : g_wakeMessage);
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

int SMPPReceiveMessageCallback(const char* connectionName, const SMPPReceivedMessage* message) {
  if (!message) return kTempAppError;
  ReceivedSms m;
  m.connection = connectionName ? connectionName : "";
  m.sender = message->sender ? message->sender : "";
  m.recipient = message->recipient ? message->recipient : "";
  m.udhHex = message->udhHex ? message->udhHex : "";
  m.data = message->data ? message->data : "";
  m.pid = uint8_t(message->pid);
  m.dcs = uint8_t(message->dcs);
  m.binary = message->binary != 0;
  m.extraParams = message->extraParams ? message->extraParams : "";
  m.flags = uint32_t(message->flags) & (kMsgReceiptRequested | kMsgNonDelReceiptRequested | kMsgIsReport);
  std::string receiptOrig;
  if (m.flags & kMsgIsReport) {
    ReportContent report = ParseDeliveryReport(m.binary ? "" : m.data, m.extraParams);
    m.flags |= report.stateFlags;
    m.receiptMessageId = report.messageId;
    if (!report.messageId.empty()) {
      // Known submissions are matched at once; the others wait for receipt resolution.
      char messageId[SMSC_MSGID_FIELD_SIZE] = {}, user[SMSC_MSGID_FIELD_SIZE] = {};
      char sender[SMSC_MSGID_FIELD_SIZE] = {}, recipient[SMSC_MSGID_FIELD_SIZE] = {};
      int64_t submitted = 0;
      if (SMSCMessageIdGet2(m.connection.c_str(), report.messageId.c_str(), messageId, user, sender, recipient,
                            &submitted) != 0 &&
          messageId[0]) {
        receiptOrig = report.messageId;
        m.receiptMessageId = messageId;
        m.extraParams += "; ReceiptMsgIdOrig=" + StripControlBytes(receiptOrig);
        std::string ignored;
        if (user[0] && !ExtraParamValue(m.extraParams, "RouteToLocalUser", 99, ignored)) {
          m.extraParams += "; RouteToLocalUser=" + StripControlBytes(user);
        }
      } else {
        m.extraParams += "; ResolveReceiptID=Yes";
      }
    }
  }
  if (Settings.Debug) {
    std::string line = StrPrintf("inbound message:  sender=%s, recip=%s, pid=%X, dcs=%X, msgFlags=%X, udh=%s, msg=%s",
                                 m.sender.c_str(), m.recipient.c_str(), m.pid, m.dcs, m.flags, m.udhHex.c_str(),
                                 m.data.c_str());
    if (!m.extraParams.empty()) line += ", extraParms=" + m.extraParams;
    WriteDebugLog("SMPPReceiveMessageCallback", StripControlBytes(line));
  }
  std::string resolveText;
  bool resolve = ExtraParamValue(m.extraParams, "ResolveReceiptID", 20, resolveText) && ConfigBool(resolveText);
  InboundStore stored = ProcessInboundSMS(m);
  if (stored == InboundStore::Failed) return kTempAppError;
  // The SMS-IN line is written once the message is safely stored (a report to resolve is
  // logged after its resolution).
  if (!resolve) {
    LogInbound(m.sender, m.connection, m.recipient, ContentOf(m), m.receiptMessageId, receiptOrig);
    if (Settings.AccountingExtended) {
      SmsMessageRecord record = RecordOf(m, "", "");
      AccountingMessage a = AccountingMessageFor(record);
      a.type = "SMSIN";
      a.smppOptions = AllSmppOptions(m.extraParams);
      AccountingNoticeFields fields;
      fields.recipient = m.recipient;
      fields.smscReceiptMessageId = m.receiptMessageId;
      fields.smscReceiptMessageIdOrig = receiptOrig;
      fields.smscName = m.connection;
      AccountingNotice(a, fields, nullptr);
    }
  }
  return 0;
}

void WakeSmppReceiveAsync(const char* connectionName) {
  QarEvent* event = OpenEventForInterface("SmppReceiveAsync", connectionName);
  if (!event) return;
  SetEventForInterface(event);
  CloseEventForInterface(event);
}

void ThreadProcessSMPPReceiveAsyncQ(ReceiveThreadBlock& block) {
  QarEvent* event = OpenEventForInterface("SmppReceiveAsync", block.connection.c_str());
  if (!event) event = CreateEventForInterface("SmppReceiveAsync", block.connection.c_str());
  block.running = true;
  while (!ShutdownRequested.load() && !block.stop.load()) {
    if (OutsideLibraries.peer.Loaded()) {
      OutsideLibraries.peer.Call<SMPPReceiveFromAsyncQFn>(peer::SMPPReceiveFromAsyncQ)(block.connection.c_str());
    }
    if (event) WaitEventForInterface(event, 5000);
    else std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (event) CloseEventForInterface(event);
  block.ended = true;
}
