#include "store/message_logs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "config/settings.h"
#include "gsm/gsm_alphabet.h"
#include "runtime/hex_text.h"
#include "gsm/septet_packing.h"
#include "gsm/submit_pdu.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/local_system_account.h"
#include "runtime/mutex.h"
#include "runtime/names.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/unique_fd.h"
#include "store/queue_dirs.h"

namespace {
// A field kept on its line.
std::string Field(std::string_view value) { return StripControlBytes(value); }
// Message text: CR and LF escaped, other control bytes dropped.
std::string TextField(std::string_view value) { return StripControlBytes(EscapeCrLf(value)); }

std::string Join(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& p : parts) {
    if (!out.empty()) out += ";";
    out += p;
  }
  return out;
}

std::string Stamp(const LocalTime& now) {
  return StrPrintf("%u-%02u-%02u %02u:%02u:%02u", now.tm.tm_year + 1900, now.tm.tm_mon + 1, now.tm.tm_mday,
                   now.tm.tm_hour, now.tm.tm_min, now.tm.tm_sec);
}

std::string DateName(const char* prefix, const LocalTime& t) {
  return StrPrintf("%s%04d%02d%02d.LOG", prefix, t.tm.tm_year + 1900, t.tm.tm_mon + 1, t.tm.tm_mday);
}

// The content details shared by the outbound and inbound lines.
void AppendContentDetails(std::vector<std::string>& parts, const LogContent& content) {
  if (Settings.ExcludeSmsDetailsFromLog) return;
  bool binary = false;
  std::string text = LogContentText(content, binary);
  if (binary) parts.push_back("Binary=1");
  if (content.pid != 0) parts.push_back(StrPrintf("PID=%X", content.pid));
  if (content.dcs != 0) parts.push_back(StrPrintf("DCS=%X", content.dcs));
  if (!content.udh.empty()) parts.push_back("UDH=" + Field(content.udh));
  if (!text.empty()) parts.push_back(binary ? "Data=" + Field(text) : "Text=\"" + TextField(text) + "\"");
}

struct DailyLog {
  Mutex lock;
  // Shared, so that writers append outside the lock while the day change swaps the file.
  std::shared_ptr<UniqueFd> fd GUARDED_BY(lock);
  int year GUARDED_BY(lock) = 0, month GUARDED_BY(lock) = 0, day GUARDED_BY(lock) = 0;  // the date the file was opened for
  const char* prefix;
  explicit DailyLog(const char* p) : prefix(p) {}
};
DailyLog g_outLog("SMSOUT-");
DailyLog g_inLog("SMSIN-");
DailyLog g_webLog("SMSWEB-");

// The whole date is compared, so a month without lines never reuses a file.
bool ReadyLocked(DailyLog& log, const LocalTime& now) REQUIRES(log.lock) {
  int y = now.tm.tm_year + 1900, m = now.tm.tm_mon + 1, d = now.tm.tm_mday;
  if (log.fd && (log.year != y || log.month != m || log.day != d)) log.fd.reset();
  if (!log.fd) {
    std::string path = LogDirectory() + DateName(log.prefix, now);
    UniqueFd opened = OpenFileWithRetry(path, O_WRONLY | O_APPEND | O_CREAT, 0664, 1000);
    if (!opened) {
      WriteDebugLogf("MessageLog", "Error %d opening %s", errno, path.c_str());
      return false;
    }
    log.fd = std::make_shared<UniqueFd>(std::move(opened));
    log.year = y;
    log.month = m;
    log.day = d;
  }
  return true;
}

void WriteLine(DailyLog& log, const LocalTime& now, const std::string& line, bool flush) {
  if (Settings.Debug) fwrite(line.data(), 1, line.size(), stdout);
  std::shared_ptr<UniqueFd> fd;
  {
    MutexLock guard(log.lock);
    if (!ReadyLocked(log, now)) return;
    fd = log.fd;
  }
  // One append write: whole lines, in any order between writers.
  WriteText(fd->get(), line);
  if (flush) fdatasync(fd->get());
}

struct UserLog {
  Mutex lock;
  UniqueFd fd GUARDED_BY(lock);
  std::string path GUARDED_BY(lock);
};
UserLog g_userLog;
}  // namespace

LogContent LogContentOf(const SmsMessageRecord& m) { return LogContent{m.Binary, m.Pid, m.Dcs, m.UDH, m.Data}; }

std::string LogContentText(const LogContent& content, bool& binary) {
  binary = content.binary;
  if (!binary) return content.data;
  if (IsSevenBitDcs(content.dcs)) {
    binary = false;
    int fill = static_cast<int>((content.udh.size() / 2) % 7);
    return DecodeHexSeptetsToUtf8(content.data, fill);
  }
  if (IsUcs2Dcs(content.dcs)) {
    binary = false;
    return Ucs2OctetsToUtf8(HexDecodeLeading(content.data, content.data.size() / 2));
  }
  return content.data;
}

void OpenOutboundLog() {
  if (Settings.DisableOutLog) return;
  MutexLock guard(g_outLog.lock);
  ReadyLocked(g_outLog, LocalNow());
}

std::string OutboundLogDetails(const LogContent& content, std::string_view submitUser, std::string_view smscMessageId,
                               std::string_view sender) {
  std::vector<std::string> parts;
  if (!submitUser.empty()) parts.push_back("SubmitUser=" + Field(submitUser));
  if (!sender.empty()) parts.push_back("Sender=" + Field(sender));
  if (!smscMessageId.empty()) parts.push_back("SMSCMsgId=" + Field(smscMessageId));
  AppendContentDetails(parts, content);
  return Join(parts);
}

void LogOutbound(std::string_view messageFile, std::string_view submittedBy, std::string_view recipient,
                 std::string_view status, const LogContent& content, std::string_view submitUser,
                 std::string_view smscMessageId, std::string_view sender) {
  if (Settings.DisableOutLog) return;
  LocalTime now = LocalNow();
  std::string line = Stamp(now) + "," + Field(messageFile) + "," + Field(submittedBy) + "," + Field(recipient) + "," +
                     Field(status);
  std::string details = OutboundLogDetails(content, submitUser, smscMessageId, sender);
  if (!details.empty()) line += "," + details;
  line += "\r\n";
  WriteLine(g_outLog, now, line, Settings.FlushOutLog);
}

void LogInbound(std::string_view sender, std::string_view connection, std::string_view recipient,
                const LogContent& content, std::string_view receiptMessageId, std::string_view receiptMessageIdOrig) {
  if (Settings.DisableInLog) return;
  LocalTime now = LocalNow();
  std::vector<std::string> parts;
  AppendContentDetails(parts, content);
  if (!recipient.empty()) parts.push_back("Recip=" + Field(recipient));
  if (!receiptMessageId.empty()) parts.push_back("SMSCReceiptMsgId=" + Field(receiptMessageId));
  if (!receiptMessageIdOrig.empty()) parts.push_back("SMSCReceiptMsgIdOrig=" + Field(receiptMessageIdOrig));
  std::string line = Stamp(now) + "," + Field(sender) + "," + Field(connection);
  if (!parts.empty()) line += "," + Join(parts);
  line += "\r\n";
  WriteLine(g_inLog, now, line, false);
}

void LogWeb(std::string_view clientAddress, std::string_view user, std::string_view messageFile,
            std::string_view type) {
  if (Settings.DisableWebLog) return;
  LocalTime now = LocalNow();
  std::string line = Stamp(now) + "," + Field(clientAddress) + "," + Field(user) + "," + Field(messageFile) + "," +
                     Field(type) + "\r\n";
  WriteLine(g_webLog, now, line, false);
}

void LogUser(std::string_view user, std::string_view kind, std::string_view recipient, std::string_view client,
             std::string_view messageFile, std::string_view type, const LogContent& content,
             std::string_view sender) {
  if (Settings.DisableUserLog || user.empty() || EqualsNoCase(user, kLocalSystemUser)) return;
  std::string dir = UserLogDir(user);
  if (dir.empty()) return;
  LocalTime now = LocalNow();
  std::vector<std::string> parts;
  parts.push_back("Sender=" + Field(sender));
  if (!Settings.ExcludeSmsDetailsFromLog) {
    if (content.binary) parts.push_back("Binary=1");
    if (content.pid != 0) parts.push_back(StrPrintf("PID=%X", content.pid));
    if (content.dcs != 0) parts.push_back(StrPrintf("DCS=%X", content.dcs));
    if (!content.udh.empty()) parts.push_back("UDH=" + Field(content.udh));
    if (!content.data.empty()) {
      parts.push_back(content.binary ? "Data=" + Field(content.data) : "Text=" + TextField(content.data));
    }
  }
  std::string line = Stamp(now) + "," + Field(user) + "," + Field(kind) + "," + Field(recipient) + "," +
                     Field(client) + "," + Field(messageFile) + "," + Field(type) + "," +
                     CutTo(Join(parts), 2048) + "\r\n";
  std::string path = dir + DateName("SMS-", now);
  MutexLock guard(g_userLog.lock);
  if (g_userLog.path != path || !g_userLog.fd) {
    g_userLog.fd = OpenFileWithRetry(path, O_WRONLY | O_APPEND | O_CREAT, 0664, 120000);
    g_userLog.path = g_userLog.fd ? path : std::string();
    if (!g_userLog.fd) {
      WriteDebugLogf("LogUser", "Error %d opening %s", errno, path.c_str());
      return;
    }
  }
  // One append write: lines of other writers of the same file are never overwritten.
  WriteText(g_userLog.fd.get(), line);
}

void LogsClose() {
  for (DailyLog* log : {&g_outLog, &g_inLog, &g_webLog}) {
    MutexLock guard(log->lock);
    log->fd.reset();
  }
  MutexLock guard(g_userLog.lock);
  g_userLog.fd.reset();
  g_userLog.path.clear();
}
