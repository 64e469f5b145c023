#include "inbound/inbound_processing.h"

#include <atomic>

#include "config/settings.h"
#include "config/settings_registry.h"
#include "inbound/inbound_wake.h"
#include "inbound/recombination.h"
#include "inbound/two_way_command.h"
#include "inbound/udh_facts.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/names.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "smsc/local_routing.h"
#include "store/counters.h"
#include "store/queue_dirs.h"
#include "store/queue_file.h"

namespace {
std::atomic<InboundMmsHandler> g_mmsHandler{nullptr};

// A local user that means "stay where you are" for this file.
bool StaysHere(std::string_view user, const InboundFileFacts& f, bool receiptFile) {
  if (user.empty()) return true;
  // A copy under its own extension would be taken up again as a new file, for ever.
  if (StartsWithNoCase(user, "~SMSIN::") && EqualsNoCase(user.substr(8), f.extension)) return true;
  return !receiptFile && EqualsNoCase(user, "~SMSIN");
}

// Step 11: the segment's copy in the inbound directory; a repeated segment replaces it.
bool StoreSegmentCopy(const SmsMessageRecord& m, const UdhFacts& udh, const InboundFileFacts& f) {
  WriteDebugLogf("ProcessInboundSMS", "SAR Segment Reference = %X, Count = %u, Current = %u", udh.reference, udh.total,
                 udh.number);
  std::string path = InboundDir() + SarFileName(m.Sender, udh.reference, udh.total, udh.number);
  if (!PublishFile(path, f.text, PublishMode::Replace)) {
    WriteDebugLogf("ProcessInboundSMS", "Cannot create %s", path.c_str());
    return false;
  }
  NoteSegmentCopyStored();
  return true;
}

std::string TwoDigits(const char* format, int a, int b, int c) { return StrPrintf(format, a, b, c); }
}  // namespace

void SetInboundMmsHandler(InboundMmsHandler handler) { g_mmsHandler = handler; }

std::string ReportTextWithId(std::string_view text, std::string_view id) {
  if (id.empty() || !StartsWithNoCase(text, "id:")) return std::string(text);
  size_t end = 3;
  while (end < text.size() && uint8_t(text[end]) >= uint8_t('!')) ++end;
  return "id:" + std::string(id) + std::string(text.substr(end));
}

std::string CopiedSmppOptions(std::string_view messageOptions, std::string_view names) {
  std::string out;
  // The key once was a flag: "No" lists nothing.
  if (Trim(names).empty() || EqualsNoCase(Trim(names), "No") || Trim(names) == "0") return out;
  std::vector<std::string> items = SplitList(messageOptions, ";");
  for (const std::string& name : SplitList(names, ",;")) {
    std::string wanted = "SMPPOption_" + std::string(Trim(name)) + "=";
    for (const std::string& raw : items) {
      std::string_view item = Trim(raw);
      if (!StartsWithNoCase(item, wanted)) continue;
      if (!out.empty()) out += ";";
      out += StripControlBytes(item);
      break;
    }
  }
  return out;
}

bool IsMmsNotification(const UdhFacts& udh, const std::string& connection) {
  constexpr uint16_t kWapPushPort = 2948;
  if (udh.destinationPort != kWapPushPort) return false;
  return connection.empty() ? MainFlag("ReceiveMMS")
                            : ConnectionOrMainFlag(ConnectionSectionName(connection), "ReceiveMMS");
}

InboundResult ProcessInboundMessage(SmsMessageRecord& m, const InboundFileFacts& f, bool receiptFile) {
  InboundResult result;
  if (m.Sender.empty() && m.PhoneNumber.empty()) {
    WriteDebugLogf("ProcessInboundSMS", "Processing complete (empty) %s...", f.path.c_str());
    return result;
  }
  std::string replyOptions = CopiedSmppOptions(m.SMPPOptions, MainValue("2WayReplyCopySMPPOptions"));
  LocalTime when = LocalFromSeconds(f.fileTime);
  TwoWayContext context;
  context.messageId = f.messageId;
  context.date = TwoDigits("%04d%02d%02d", when.tm.tm_year + 1900, when.tm.tm_mon + 1, when.tm.tm_mday);
  context.time = TwoDigits("%02d%02d%02d", when.tm.tm_hour, when.tm.tm_min, when.tm.tm_sec);
  context.route = m.RouteName.empty() ? m.ModemName : m.RouteName;
  if (m.Dcs == 0x11 || m.Dcs == 0xF1) m.Dcs = 0;
  UdhFacts udh = ReadUdh(m.UDH);
  bool mmsPush = IsMmsNotification(udh, m.ModemName);

  if (!mmsPush) {
    std::string user = LocalUserForMessage(m);
    if (!StaysHere(user, f, receiptFile)) {
      if (!DeliverToLocalUser(m, user, f.name, m.ModemName)) {
        WriteDebugLogf("ProcessInboundSMS", "Delivery to local user %s failed", user.c_str());
        result.complete = false;
        return result;
      }
      if (StartsWithNoCase(user, "~SMSIN")) {
        if (EqualsNoCase(user, "~SMSIN")) CounterAdd(kSmsInQSize, 1);
        WakeInboundWorkers(InboundWakeKind::Messages);
      }
      return result;
    }
  }

  if (MainFlag("USASegmentFix") && !m.Binary && !m.RecombineFlag && !udh.concatenated && !receiptFile) {
    unsigned existing = UnmarkedSegmentCount(m.Sender);
    size_t characters = 0;
    for (char c : m.Data) characters += (uint8_t(c) & 0xC0) != 0x80;
    if ((characters == 153 || existing > 0) && existing < kUnmarkedCount) {
      udh.concatenated = true;
      udh.reference = kUnmarkedReference;
      udh.total = kUnmarkedCount;
      udh.number = existing + 1;
    }
  }

  if (udh.concatenated && !receiptFile && !m.RecombineFlag) {
    result.complete = StoreSegmentCopy(m, udh, f);
    return result;
  }

  if (udh.destinationPort >= 0) {
    if (mmsPush) {
      WriteDebugLog("ProcessInboundSMS", "Processing WAP Push Message");
      InboundMmsHandler handler = g_mmsHandler.load();
      if (!handler) {
        result.copy = InboundCopy::Sms;
      } else if (!handler(m, f)) {
        // Nothing was stored or queued: the file stays for the next scan.
        result.complete = false;
      }
      return result;
    }
    WriteDebugLogf("ProcessInboundSMS", "UDH Dest Port = %u", unsigned(udh.destinationPort));
  }

  CommandOutcome command = RunTwoWayCommand(m, context);
  if (!command.ran) {
    result.copy = InboundCopy::Sms;
    return result;
  }
  if (command.incomplete) {
    result.complete = false;
    return result;
  }
  if (!command.reply.empty()) {
    SendTwoWayReply(m, command.reply, MainFlag("2WayReplySameServer") ? context.route : std::string(), replyOptions);
  }
  if (command.bad) result.copy = InboundCopy::Bad;
  return result;
}
