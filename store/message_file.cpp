#include "store/message_file.h"

#include <cerrno>
#include <cstring>

#include "config/settings_registry.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/dates.h"
#include "runtime/debug_log.h"
#include "runtime/hex_text.h"
#include "runtime/names.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

namespace {
struct TextKey {
  const char* name;
  size_t limit;
  std::string SmsMessageRecord::*field;
};

constexpr TextKey kTextKeys[] = {
    {"PhoneNumber", 149, &SmsMessageRecord::PhoneNumber},
    {"Sender", 149, &SmsMessageRecord::Sender},
    {"Data", kDataMax, &SmsMessageRecord::Data},
    {"UDH", kUdhMax, &SmsMessageRecord::UDH},
    {"SubmitUser", 249, &SmsMessageRecord::SubmitUser},
    {"SubmittedBy", 499, &SmsMessageRecord::SubmittedBy},
    {"ServiceType", 99, &SmsMessageRecord::ServiceType},
    {"RouteToLocalUser", 99, &SmsMessageRecord::RouteToLocalUser},
    {"SMPPOptions", 499, &SmsMessageRecord::SMPPOptions},
    {"SMSCRoute", 99, &SmsMessageRecord::SMSCRoute},
    {"ModemName", 149, &SmsMessageRecord::ModemName},
    {"ReceivedSMSC", 49, &SmsMessageRecord::ReceivedSMSC},
    {"Validity", 49, &SmsMessageRecord::Validity},
    {"BillingInfo", 49, &SmsMessageRecord::BillingInfo},
    {"AcctInfo", 99, &SmsMessageRecord::AcctInfo},
    {"ReceiptMessageId", 149, &SmsMessageRecord::ReceiptMessageId},
};

struct FlagKey {
  const char* name;
  uint32_t bits;
};

constexpr FlagKey kFlagKeys[] = {
    {"ReplyRequested", kMsgReplyRequested},
    {"ReceiptRequested", kMsgReceiptRequested},
    {"NonDelReceiptRequested", kMsgNonDelReceiptRequested},
    {"ReceiptDelivered", kMsgIsReport | kMsgReportDelivered},
    {"ReceiptIntransit", kMsgIsReport | kMsgReportIntransit},
    {"ReceiptFailed", kMsgIsReport | kMsgReportFailed},
};

// Walks the lines of a file: each starts after bytes of code 32 or less and ends at CR or
// LF, so that no byte inside a value (a TAB, say) can start a line of its own.
struct LineReader {
  std::string_view text;
  size_t pos = 0;
  bool Next(std::string_view& line) {
    while (pos < text.size() && static_cast<unsigned char>(text[pos]) <= 32) ++pos;
    if (pos >= text.size()) return false;
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    line = text.substr(pos, end - pos);
    pos = end;
    return true;
  }
};

// The value ends at the first byte below 32.
std::string_view ValueOf(std::string_view line, size_t eq) {
  std::string_view value = line.substr(eq + 1);
  for (size_t i = 0; i < value.size(); ++i) {
    if (static_cast<unsigned char>(value[i]) < 32) return value.substr(0, i);
  }
  return value;
}

bool SplitKey(std::string_view line, std::string_view& key, std::string_view& value) {
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  key = TrimRight(line.substr(0, eq));
  value = ValueOf(line, eq);
  return true;
}

// The last two digits of the leading run of hex digits count.
uint8_t ParseHexByte(std::string_view text) {
  uint8_t value = 0;
  for (char c : SkipBlanks(text)) {
    if (!IsHexDigit(c)) break;
    value = static_cast<uint8_t>(value << 4 | HexDigitValue(c));
  }
  return value;
}

void StoreMessageKey(SmsMessageRecord& out, std::string_view key, std::string_view value) {
  for (const TextKey& k : kTextKeys) {
    if (!EqualsNoCase(key, k.name)) continue;
    out.*k.field = CutTo(value, k.limit);
    if (k.field == &SmsMessageRecord::Data) out.Data = UnescapeCrLf(out.Data);
    return;
  }
  for (const FlagKey& k : kFlagKeys) {
    if (!EqualsNoCase(key, k.name)) continue;
    if (ConfigBool(value)) out.MessageFlags |= k.bits;
    return;
  }
  if (EqualsNoCase(key, "pid")) {
    out.Pid = ParseHexByte(value);
  } else if (EqualsNoCase(key, "dcs")) {
    out.Dcs = ParseHexByte(value);
  } else if (EqualsNoCase(key, "Binary")) {
    out.Binary = ConfigBool(value);
  } else if (EqualsNoCase(key, "RecombineFlag")) {
    out.RecombineFlag = ConfigBool(value);
  } else if (EqualsNoCase(key, "UTF8")) {
    out.UTF8 = ConfigBool(value);
  } else {
    out.ExtraArguments.emplace_back(key, CutTo(value, kDataMax));
  }
}

bool IsErrorDetailLine(std::string_view line) { return StartsWithNoCase(line, "[ErrorDetail]"); }

// Start of the "[ErrorDetail]" line of content, or npos.
size_t FindErrorDetail(std::string_view content) {
  LineReader lines{content};
  std::string_view line;
  while (lines.Next(line)) {
    if (IsErrorDetailLine(line)) return static_cast<size_t>(line.data() - content.data());
  }
  return std::string_view::npos;
}
}  // namespace

CalendarTime ParseTimestamp14(std::string_view text) {
  CalendarTime t{2000, 1, 1, 0, 0, 0};
  if (text.size() < 14) return t;
  for (size_t i = 0; i < 14; ++i) {
    if (text[i] < '0' || text[i] > '9') return t;
  }
  auto num = [&](size_t at, size_t len) {
    int v = 0;
    for (size_t i = at; i < at + len; ++i) v = v * 10 + (text[i] - '0');
    return v;
  };
  return CalendarTime{num(0, 4), num(4, 2), num(6, 2), num(8, 2), num(10, 2), num(12, 2)};
}

std::string FormatCalendarTime14(const CalendarTime& t) {
  return StrPrintf("%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

time_t LocalCalendarToSeconds(const CalendarTime& t) {
  struct tm tm {};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

void ParseSMSMessage(std::string_view text, SmsMessageRecord& out) {
  out = SmsMessageRecord();
  // 0x1A is itself below 32, so only white space may precede the end-of-file mark.
  size_t first = text.find_first_not_of(" \t\r\n");
  if (first != std::string_view::npos && text[first] == 0x1A) return;
  LineReader lines{text};
  std::string_view line;
  bool found = false;
  while (!found && lines.Next(line)) {
    out.Inbound = StartsWithNoCase(line, "[SMS-IN]");
    found = StartsWithNoCase(line, "[SMS]") || out.Inbound;
  }
  if (!found) return;
  bool inErrorDetail = false;
  bool more = lines.Next(line);
  while (more && line[0] != '[') {
    std::string_view key, value;
    if (SplitKey(line, key, value)) StoreMessageKey(out, key, value);
    more = lines.Next(line);
  }
  while (more && !inErrorDetail) {
    inErrorDetail = IsErrorDetailLine(line);
    more = lines.Next(line);
  }
  if (!inErrorDetail) return;
  while (more && line[0] != '[') {
    std::string_view key, value;
    if (SplitKey(line, key, value)) {
      if (EqualsNoCase(key, "RetryCount")) {
        out.RetryCount = ParseDecimal(value);
      } else if (EqualsNoCase(key, "LastRetryTime")) {
        out.LastRetryTime = ParseTimestamp14(value);
      } else if (EqualsNoCase(key, "FirstAttemptTime")) {
        out.FirstAttemptTime = ParseTimestamp14(value);
      } else if (EqualsNoCase(key, "LastErrorInfo")) {
        out.LastErrorInfo = CutTo(value, 499);
      }
    }
    more = lines.Next(line);
  }
}

std::string ConnectionRouteName(const std::string& connectionName) {
  std::string route = ConnectionValue(ConnectionSectionName(connectionName), "RouteName");
  return route.empty() ? CutTo(connectionName, 149) : route;
}

void LoadSMSMessage(const ClaimedFile& file, SmsMessageRecord& out) {
  std::string text;
  if (!ReadClaimedFile(file, text, kMaxMessageFileSize)) {
    int err = errno;
    out = SmsMessageRecord();
    if (err == EFBIG) {
      WriteDebugLogf("LoadSMSMessage", "File %s is larger than %zu bytes", file.path.c_str(), kMaxMessageFileSize);
    } else {
      WriteDebugLogf("LoadSMSMessage", "Error %d from ReadFile", err);
    }
    out.PhoneNumber = "ERROR";
    out.SMSCRoute = "ErrorLoadMessage";
    return;
  }
  ParseSMSMessage(text, out);
  if (!out.ModemName.empty()) out.RouteName = ConnectionRouteName(out.ModemName);
}

std::string WithErrorDetail(std::string_view content, uint32_t previousCount, std::string_view errorText,
                            std::string_view connection, std::string_view timestamp14) {
  std::string out;
  std::string firstAttempt;
  size_t at = FindErrorDetail(content);
  if (at != std::string_view::npos) {
    std::string_view section = content.substr(at);
    LineReader lines{section};
    std::string_view line, key, value;
    lines.Next(line);
    while (lines.Next(line) && line[0] != '[') {
      if (SplitKey(line, key, value) && EqualsNoCase(key, "FirstAttemptTime")) firstAttempt = value;
    }
    out.assign(content.substr(0, at));
  } else {
    out.assign(content);
    if (!out.empty() && out.back() != '\n') out += "\r\n";
  }
  uint32_t count = previousCount == UINT32_MAX ? previousCount : previousCount + 1;
  std::string errorInfo = connection.empty() ? std::string() : std::string(errorText) + " -- " + std::string(connection);
  AppendErrorDetail(out, count, timestamp14, firstAttempt, errorInfo);
  return out;
}

bool WriteErrorDetail(ClaimedFile& file, uint32_t previousCount, std::string_view errorText,
                      std::string_view connection) {
  std::string content;
  if (!ReadClaimedFile(file, content, kMaxMessageFileSize)) {
    WriteDebugLogf("WriteErrorDetail", "Error %d reading %s", errno, file.path.c_str());
    return false;
  }
  std::string updated = WithErrorDetail(content, previousCount, errorText, connection, FormatTimestamp14());
  if (!RewriteClaimedFile(file, updated)) {
    WriteDebugLogf("WriteErrorDetail", "Error %d rewriting %s", errno, file.path.c_str());
    return false;
  }
  return true;
}

void AppendErrorDetail(std::string& out, uint32_t retryCount, std::string_view lastRetryTime,
                       std::string_view firstAttemptTime, std::string_view lastErrorInfo) {
  out += "[ErrorDetail]\r\n";
  AppendKeyValueLine(out, "RetryCount", std::to_string(retryCount));
  AppendKeyValueLine(out, "LastRetryTime", lastRetryTime);
  if (!firstAttemptTime.empty()) AppendKeyValueLine(out, "FirstAttemptTime", firstAttemptTime);
  if (!lastErrorInfo.empty()) AppendKeyValueLine(out, "LastErrorInfo", lastErrorInfo);
}
