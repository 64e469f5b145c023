#include <algorithm>
#include <atomic>
#include <map>
#include <string>

#include "config/settings_registry.h"
#include "gsm/submit_reference.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/mutex.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "smsc/modem/modem_session.h"
#include "store/message_logs.h"

namespace {

constexpr const char* kLabel = "ModemReceiveMessages";
constexpr size_t kMaxStorages = 10;
constexpr int kUnsupportedLogLimit = 20;

std::atomic<ModemReceiveHandler> g_handler{nullptr};
std::atomic<int> g_unsupportedLogged{0};

void LogUnsupported() {
  if (g_unsupportedLogged.fetch_add(1) < kUnsupportedLogLimit) {
    WriteDebugLog(kLabel, "Modem does not support polling for received messages");
  }
}

// When each connection last received something (the modem goes to MMS retrieval only after
// a quiet stretch).
struct LastReceived {
  Mutex lock;
  std::map<std::string, time_t> times GUARDED_BY(lock);
};
LastReceived& LastReceivedTimes() {
  static LastReceived l;
  return l;
}

bool Deliver(const ModemReceived& r) {
  {
    LastReceived& l = LastReceivedTimes();
    MutexLock guard(l.lock);
    l.times[r.connection] = NowSeconds();
  }
  ModemReceiveHandler handler = g_handler.load();
  return handler && handler(r);
}

ModemReceived FromPdu(const ModemSession& s, const DecodedModemPdu& d, const SubmitReferenceMatch* match) {
  ModemReceived r;
  r.connection = s.name;
  r.recipient = s.line.phoneNumber;
  r.pid = d.pid;
  r.dcs = d.dcs;
  r.extraParams = d.extraLines;
  if (d.kind == ModemPduKind::StatusReport) {
    r.sender = match && !match->recipient.empty() ? match->recipient : d.address;
    if (match && !match->user.empty()) {
      r.recipient = match->user;
    } else if (match && !match->sender.empty()) {
      r.recipient = match->sender;
    }
    r.data = d.reportText;
    r.pid = 0;
    r.dcs = 0;
    r.flags = d.reportClass == ReportClass::Delivered ? 0x0C : 0x24;
    r.receiptMessageId = d.messageId;
    return r;
  }
  r.sender = d.address;
  r.binary = d.binary;
  r.udh = d.udhHex;
  r.data = d.binary ? d.dataHex : d.text;
  return r;
}

// Decodes a PDU and hands it on; true when it may be deleted from the modem (stored, or
// nothing in it to store).
bool HandOnPdu(ModemSession& s, std::string_view pduHex, bool unacknowledged = false) {
  SubmitReferenceMatch match;
  bool matched = false;
  ModemPduOptions options;
  options.disableInvalidStatusReportCheck = MainFlag("DisableInvalidStatusReportCheck");
  options.oldModemReceiptFormat = MainFlag("OldModemReceiptFormat");
  options.alphaSenderAddressBug = ConnectionFlag(ConnectionSectionName(s.name), "AlphaSenderAddressBug");
  std::string name = s.name;
  options.findReference = [&](uint8_t reference, std::string_view recipient, SubmitReferenceMatch& m) {
    matched = FindSubmitReference(name, reference, recipient, m);
    if (matched) match = m;
    return matched;
  };
  bool handed = false, stored = false;
  ModemPduHandOff handOff;
  handOff.accountingExtended = false;  // the inbound side makes the notice once stored
  handOff.logInbound = [](std::string_view connection, std::string_view number, const DecodedModemPdu& d) {
    if (d.kind != ModemPduKind::Short) return;  // stored messages are logged by the inbound side
    LogContent content;
    content.binary = true;
    content.dcs = 4;
    content.data = d.pduHex;
    LogInbound(d.address, connection, number, content, "", "");
  };
  handOff.processInbound = [&](std::string_view, std::string_view, const DecodedModemPdu& d) {
    handed = true;
    ModemReceived r = FromPdu(s, d, matched ? &match : nullptr);
    r.unacknowledged = unacknowledged;
    stored = Deliver(r);
  };
  time_t receivedAt = s.line.lastReceived;
  DecodeModemPdu(s.name, s.line.phoneNumber, pduHex, receivedAt, options, handOff);
  s.line.lastReceived = receivedAt;
  return !handed || stored;
}

bool HandOnText(ModemSession& s, const std::string& sender, const std::string& text, bool unacknowledged = false) {
  WriteDebugLog(kLabel, "Message = " + text);
  ModemReceived r;
  r.connection = s.name;
  r.sender = sender;
  r.recipient = s.line.phoneNumber;
  r.data = text;
  r.textOnly = true;
  r.unacknowledged = unacknowledged;
  bool stored = Deliver(r);
  s.line.lastReceived = NowSeconds();
  return stored;
}

ModemReply Command(ModemSession& s, const std::string& command, uint32_t timeout, std::string& reply, bool log) {
  ModemReply r = ModemCommand(s, command, timeout, reply);
  if (log) {
    WriteDebugLog(kLabel, ReplyForText(command));
    WriteDebugLog(kLabel, ReplyForText(reply));
  }
  return r;
}

void AddStorage(std::vector<std::string>& list, const std::string& name) {
  if (list.size() < kMaxStorages && std::find(list.begin(), list.end(), name) == list.end()) list.push_back(name);
}

// Kept: a message could not be stored; it stays in the modem and the poll ends without
// blaming the modem.
enum class PollStep { Go, Stop, Kept, WriteFailed };

// Deletes a message once it is stored.
PollStep Delete(ModemSession& s, uint32_t index, bool debug) {
  std::string reply;
  std::string command = StrPrintf("AT+CMGD=%u\r", index);
  WriteDebugLog(kLabel, ReplyForText(command));
  ModemReply r = Command(s, command, 30, reply, debug);
  if (r == ModemReply::WriteFailed) return PollStep::WriteFailed;
  WriteDebugLog(kLabel, ReplyForText(reply));
  return reply.find("ERROR") != std::string::npos ? PollStep::Stop : PollStep::Go;
}

// Lists one kind (unread or read) of the current storage and takes each message.
PollStep ListAndTake(ModemSession& s, const std::string& storage, bool read, bool debug) {
  std::string reply;
  std::string command;
  if (s.textMode) {
    command = read ? "AT+CMGL=\"REC READ\"\r" : "AT+CMGL=\"REC UNREAD\"\r";
  } else {
    command = StrPrintf("AT+CMGL=%u\r", read ? 1u : 0u);
  }
  ModemReply r = Command(s, command, 30, reply, debug);
  if (r == ModemReply::WriteFailed) return PollStep::WriteFailed;
  bool listed = reply.find("+CMGL:") != std::string::npos;
  if (!listed && !ReplyOk(reply) && !s.settings.direct && reply.find("ERROR") != std::string::npos &&
      reply.find("321") == std::string::npos) {
    if (s.textMode && !read) {
      r = Command(s, "AT+CMGL=\"UREAD\"\r", 30, reply, debug);
      if (r == ModemReply::WriteFailed) return PollStep::WriteFailed;
      if (reply.find("+CMGL:") == std::string::npos && !ReplyOk(reply)) return PollStep::Stop;
    } else {
      if (g_unsupportedLogged.load() < kUnsupportedLogLimit) WriteDebugLog(kLabel, ReplyForText(reply));
      return PollStep::Stop;
    }
  }
  for (const CmglEntry& e : ParseCmglReply(reply, s.textMode)) {
    WriteDebugLogf(kLabel, "Decoding received message index %u from message storage %s", e.index, storage.c_str());
    bool take = s.textMode ? HandOnText(s, e.sender, e.body) : HandOnPdu(s, e.body);
    if (!take) {
      // Not stored: it stays in the modem for the next poll, and this poll ends.
      WriteDebugLogf(kLabel, "Received message index %u kept in message storage %s: it could not be stored", e.index,
                     storage.c_str());
      return PollStep::Kept;
    }
    PollStep step = Delete(s, e.index, debug);
    if (step != PollStep::Go) return step;
  }
  return PollStep::Go;
}

}  // namespace

void SetModemReceiveHandler(ModemReceiveHandler handler) { g_handler = handler; }

time_t LastModemReceiveTime(const std::string& connection) {
  LastReceived& l = LastReceivedTimes();
  MutexLock guard(l.lock);
  auto found = l.times.find(connection);
  return found == l.times.end() ? 0 : found->second;
}

PushedTaken StorePushedMessage(ModemSession& s, const PushedMessage& message) {
  bool stored;
  const bool unacknowledged = !s.line.acknowledgeMode;
  if (message.kind == PushedKind::TextCmt) {
    stored = HandOnText(s, message.sender, message.text, unacknowledged);
  } else if (message.statusReport && s.holdReports) {
    WriteDebugLog(kLabel, "Status report held until the answer to the submit is recorded");
    s.heldReports.push_back(message.pdu);
    return PushedTaken::Held;
  } else {
    stored = HandOnPdu(s, message.pdu, unacknowledged);
  }
  return stored ? PushedTaken::Stored : PushedTaken::NotStored;
}

void ReleaseHeldReports(ModemSession& s) {
  s.holdReports = false;
  std::vector<std::string> held;
  held.swap(s.heldReports);
  for (const std::string& pdu : held) {
    // Stored even when the line is gone: in acknowledge mode the network may then deliver
    // it once more, which is better than losing it.
    bool stored = HandOnPdu(s, pdu, !s.line.acknowledgeMode);
    if (!s.line.acknowledgeMode) continue;
    if (!stored) {
      WriteDebugLog(kLabel, "Status report not stored, not acknowledged");
      continue;
    }
    if (!s.device.valid() || s.device.failed) continue;
    std::string reply;
    ModemCommand(s, "AT+CNMA\r", 10, reply);
  }
}

int ModemReceiveMessages(ModemSession& s) {
  const bool debug = MainFlag("DebugModemPoll");
  const ModemSettings& set = s.settings;
  const bool first = s.pollNumber++ == 0;
  std::vector<std::string> list;
  if (first || (set.receiveTo.empty() && !set.direct) || set.oldPollingLogic) {
    if (s.offer.sr && set.pollMemorySr) AddStorage(list, "SR");
    if (s.offer.sm) AddStorage(list, "SM");
    if (s.offer.me) AddStorage(list, "ME");
    if (s.offer.mt && !s.offer.me && !(s.offer.sr && set.pollMemorySr)) AddStorage(list, "MT");
    if (!s.offer.sm && !s.offer.me && !s.offer.mt) {
      AddStorage(list, "SM");
      AddStorage(list, "ME");
    }
  }
  if (!set.receiveTo.empty()) AddStorage(list, set.receiveTo);
  bool stopped = false;
  std::string reply;
  if (!set.oldPollingLogic && !first) {
    ModemReply r = Command(s, "AT+CPMS?\r", 20, reply, debug);
    if (r == ModemReply::WriteFailed) return 0;
    if (r != ModemReply::Reply || !ReplyOk(reply)) {
      WriteDebugLog(kLabel, "AT+CPMS?");
      WriteDebugLog(kLabel, ReplyForText(reply));
      stopped = true;
    } else {
      CpmsReply cpms = ParseCpmsReply(reply);
      if (cpms.found && cpms.empty) {
        LogUnsupported();
        return 1;
      }
      bool any = false;
      for (size_t i = 0; i < cpms.entries.size(); ++i) {
        const CpmsEntry& e = cpms.entries[i];
        if (e.name.empty()) continue;
        if (i == 0) s.currentStorage = e.name;
        if (e.used != 0) {
          any = true;
          AddStorage(list, e.name);
        } else {
          list.erase(std::remove(list.begin(), list.end(), e.name), list.end());
        }
      }
      if (any) {
        WriteDebugLog(kLabel, "AT+CPMS?");
        WriteDebugLog(kLabel, ReplyForText(reply));
      }
    }
  }
  for (size_t i = 0; i < list.size() && !stopped; ++i) {
    const std::string& name = list[i];
    if (name != s.currentStorage) {
      std::string command = "AT+CPMS=\"" + name + "\"\r";
      ModemReply r = Command(s, command, 20, reply, debug);
      if (r == ModemReply::WriteFailed) return 0;
      if (!ReplyOk(reply)) {
        WriteDebugLog(kLabel, ReplyForText(command));
        WriteDebugLog(kLabel, ReplyForText(reply));
        s.currentStorage.clear();
        continue;
      }
      s.currentStorage = name;
      CpmsReply cpms = ParseCpmsReply(reply);
      if (!set.oldPollingLogic && !cpms.entries.empty() && cpms.entries[0].used == 0) continue;
    }
    for (bool read : {false, true}) {
      if (read && !set.processReadMessages) break;
      PollStep step = ListAndTake(s, name, read, debug);
      if (step == PollStep::WriteFailed) return 0;
      if (step == PollStep::Kept) return 1;
      if (step == PollStep::Stop) {
        stopped = true;
        break;
      }
    }
  }
  if (!stopped) return 1;
  ModemReply r = ModemCommand(s, "AT+CPMS=?\r", 20, reply);
  if (r == ModemReply::WriteFailed) return 0;
  WriteDebugLog(kLabel, "AT+CPMS=?");
  WriteDebugLog(kLabel, ReplyForText(reply));
  CpmsReply cpms = ParseCpmsReply(reply);
  if (cpms.found && cpms.empty) {
    LogUnsupported();
    return 1;
  }
  return 0;
}
