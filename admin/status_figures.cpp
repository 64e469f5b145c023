#include "admin/status_figures.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <atomic>

#include "config/connections.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/file_io.h"
#include "runtime/mutex.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/unique_dir.h"
#include "runtime/unique_fd.h"
#include "smsc/connection_error_file.h"
#include "smsc/connection_figures.h"
#include "store/counters.h"
#include "store/queue_dirs.h"

namespace {
constexpr size_t kErrorTextLimit = 250;
constexpr size_t kSmppClientLimit = 10000;

struct StatusHooks {
  Mutex lock;
  std::function<bool()> smppRunning GUARDED_BY(lock);
};
StatusHooks Hooks;
std::atomic<time_t> ProcessStart{0};

// Reads a year's cells; false when the file is missing.
bool ReadCells(const std::string& path, std::array<uint32_t, kCounterCells>& cells) {
  cells.fill(0);
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  uint8_t bytes[kCounterFileSize] = {};
  ssize_t n = pread(fd.get(), bytes, sizeof bytes, 0);
  for (size_t i = 0; n > 0 && i < kCounterCells && (i + 1) * 4 <= static_cast<size_t>(n); ++i) {
    cells[i] = bytes[i * 4] | static_cast<uint32_t>(bytes[i * 4 + 1]) << 8 |
               static_cast<uint32_t>(bytes[i * 4 + 2]) << 16 | static_cast<uint32_t>(bytes[i * 4 + 3]) << 24;
  }
  return true;
}

uint32_t Clamp(uint64_t value) { return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value); }

std::string MainCounterPath(std::string_view name, int year) {
  return PrivateDataDirectory() + "STATS/" + std::string(name) + StrPrintf("-%d.CTR", year);
}

DaySums MainCounterSums(std::string_view name, const struct tm& today) {
  return SumCounterDays([&](int year) { return MainCounterPath(name, year); }, today);
}

DaySums Plus(const DaySums& a, const DaySums& b) {
  return {Clamp(uint64_t(a.today) + b.today), Clamp(uint64_t(a.last7) + b.last7), Clamp(uint64_t(a.last30) + b.last30)};
}

std::string ErrorText(std::string_view connection) {
  std::string text;
  if (!ReadWholeFile(ConnectionErrorFilePath(connection), text, kErrorTextLimit)) return {};
  return text.substr(0, kErrorTextLimit);
}

// "*.REQ" in the outbound root's subdirectories "MMSQ__*" (not in the queue-size counter).
uint32_t MmsRequestFiles() {
  uint32_t count = 0;
  std::string root = OutboundQueueRoot();
  UniqueDir dir(root);
  if (!dir) return 0;
  while (dirent* e = dir.Next()) {
    if (StartsWithNoCase(e->d_name, "MMSQ__")) count += CountFiles(root + e->d_name + "/*.REQ");
  }
  return count;
}

// "*.MMS" waiting in the routes under the MMSC's VASPOUT directory.
uint32_t MmsOutFiles() {
  uint32_t count = 0;
  std::string root = MmscDataDir() + "VASPOUT/";
  UniqueDir dir(root);
  if (!dir) return 0;
  while (dirent* e = dir.Next()) {
    if (e->d_name[0] != '.') count += CountFiles(root + e->d_name + "/*.MMS");
  }
  return count;
}
}  // namespace

DaySums SumCounterDays(const std::function<std::string(int year)>& pathForYear, const struct tm& today) {
  std::array<uint32_t, kCounterCells> thisYear, lastYear;
  int year = today.tm_year + 1900;
  ReadCells(pathForYear(year), thisYear);
  bool lastYearRead = false;
  uint64_t sum7 = 0, sum30 = 0;
  DaySums sums;
  for (int back = 0; back < 30; ++back) {
    struct tm day = today;
    day.tm_mday -= back;
    day.tm_hour = 12;  // away from a daylight-saving change
    day.tm_isdst = -1;
    time_t t = mktime(&day);
    struct tm d;
    localtime_r(&t, &d);
    unsigned cell = CounterCell(d.tm_year + 1900, d.tm_mon + 1, d.tm_mday);
    uint32_t value;
    if (d.tm_year + 1900 == year) {
      value = thisYear[cell];
    } else {
      if (!lastYearRead) {
        ReadCells(pathForYear(year - 1), lastYear);
        lastYearRead = true;
      }
      value = lastYear[cell];
    }
    if (back == 0) sums.today = value;
    if (back < 7) sum7 += value;
    sum30 += value;
  }
  sums.last7 = Clamp(sum7);
  sums.last30 = Clamp(sum30);
  return sums;
}

std::vector<SmppClient> LiveSmppClients(const std::string& directory) {
  std::vector<SmppClient> out;
  UniqueDir dir(directory);
  if (!dir) return out;
  while (dirent* e = dir.Next()) {
    std::string_view name = e->d_name;
    if (!EndsWithNoCase(name, ".FLG") || out.size() >= kSmppClientLimit) continue;
    UniqueFd fd(open((directory + std::string(name)).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid()) continue;
    // A lock we can take means no session holds the file: a closed one.
    if (flock(fd.get(), LOCK_SH | LOCK_NB) == 0) continue;
    name.remove_suffix(4);
    SmppClient c;
    size_t a = name.find('-');
    size_t b = a == std::string_view::npos ? a : name.find('-', a + 1);
    size_t t = b == std::string_view::npos ? b : name.find('-', b + 1);
    if (t == std::string_view::npos) continue;
    c.address = name.substr(0, a);
    c.port = name.substr(a + 1, b - a - 1);
    c.bindType = name.substr(b + 1, t - b - 1);
    c.account = name.substr(t + 1);
    out.push_back(std::move(c));
  }
  return out;
}

void SetSmppServerRunningCheck(std::function<bool()> check) {
  MutexLock guard(Hooks.lock);
  Hooks.smppRunning = std::move(check);
}

void SetProcessStartTime(time_t started) { ProcessStart = started; }

GatewayStatus GatherGatewayStatus() {
  GatewayStatus s;
  CountersFlush();  // the files hold today's counts too
  LocalTime now = LocalNow();
  std::vector<ConnectionFiguresCopy> live = AllConnectionFigures();
  for (const ConfiguredConnection& configured : EnumerateConnections()) {
    ConnectionStatus c;
    c.number = configured.number;
    c.name = configured.displayName;
    c.errorText = ErrorText(c.name);
    std::string sanitized = SanitizePathName(c.name);
    c.messages = SumCounterDays(
        [&](int year) { return PrivateDataDirectory() + sanitized + StrPrintf("-%d.CTR", year); }, now.tm);
    for (const ConnectionFiguresCopy& f : live) {
      if (!EqualsNoCase(f.connection, c.name)) continue;
      c.up = f.up;
      c.sent = f.sent;
      c.failed = f.failed;
      c.retried = f.retried;
    }
    s.connections.push_back(std::move(c));
  }
  // No MMS service in this gateway.
  s.mmscState = "ERROR:  Service is NOT Installed";
  s.smsOutQueue = Clamp(uint64_t(CounterValue(kSmsQSize)) + MmsRequestFiles());
  s.smsInQueue = CounterValue(kSmsInQSize);
  s.smsReceiptQueue = CounterValue(kSmsRcptQSize);
  s.mmsOutQueue = MmsOutFiles();
  TrafficSums& t = s.traffic;
  t.submitted = MainCounterSums("SMSSUBMIT", now.tm);
  t.sent = MainCounterSums("SMSSENT", now.tm);
  t.received = MainCounterSums("SMSRECEIVED", now.tm);
  t.failed = MainCounterSums("SMSFAILED", now.tm);
  t.retried = MainCounterSums("SMSRETRY", now.tm);
  t.mmsProcessedUser = MainCounterSums("MMSIN-USER", now.tm);
  t.mmsProcessedVasp = Plus(MainCounterSums("MMSIN-VASP", now.tm), MainCounterSums("MMSIN-MODEM", now.tm));
  t.mmsSentMmsc = MainCounterSums("MMSOUT-MMSC", now.tm);
  t.mmsSentVasp = MainCounterSums("MMSOUT-VASP", now.tm);
  t.mmsSentSmtp = MainCounterSums("MMSOUT-SMTP", now.tm);
  t.mmsRetrieved = MainCounterSums("MMSRETRIEVED", now.tm);
  {
    MutexLock guard(Hooks.lock);
    s.smppServerRunning = Hooks.smppRunning && Hooks.smppRunning();
  }
  if (s.smppServerRunning) s.smppClients = LiveSmppClients(PrivateDataDirectory() + "SMPPData/ActiveUsers/");
  s.submittedTotal = CounterAddedSinceStart(kSmsSubmit);
  s.sentTotal = CounterAddedSinceStart(kSmsSent);
  s.failedTotal = CounterAddedSinceStart(kSmsFailed);
  s.retriedTotal = CounterAddedSinceStart(kSmsRetry);
  s.receivedTotal = CounterAddedSinceStart(kSmsReceived);
  s.processStart = ProcessStart.load();
  return s;
}
