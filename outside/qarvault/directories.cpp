#include "outside/qarvault/directories.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <unordered_map>

#include "outside/qarvault/buffer_copy.h"
#include "outside/qarvault/ini_file.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/mutex.h"

namespace {

const char* const kDefaultProgramData = "/var/lib/qarsms/";

std::string WithSlash(std::string_view path) {
  std::string out(path);
  if (out.empty() || out.back() != '/') out.push_back('/');
  return out;
}

// The C interface: 0 when the buffer cannot hold the whole path.
int CopyDirectory(const std::string& dir, char* buf, uint32_t size) {
  if (buf == nullptr || dir.empty() || dir.size() + 1 > size) return 0;
  CopyToBuffer(dir, buf, size);
  return static_cast<int>(dir.size());
}

// Directories are asked for on every request; one seen within the last second is taken
// as still there, so a folder removed by hand comes back a second later.
struct SeenDirectories {
  Mutex lock;
  std::unordered_map<std::string, std::chrono::steady_clock::time_point> seen GUARDED_BY(lock);
};
SeenDirectories g_seen;
constexpr auto kSeenFor = std::chrono::seconds(1);

bool SeenRecently(const std::string& path) {
  MutexLock guard(g_seen.lock);
  auto it = g_seen.seen.find(path);
  return it != g_seen.seen.end() && std::chrono::steady_clock::now() - it->second < kSeenFor;
}

bool NoteSeen(const std::string& path) {
  MutexLock guard(g_seen.lock);
  if (g_seen.seen.size() > 1024) g_seen.seen.clear();
  g_seen.seen[path] = std::chrono::steady_clock::now();
  return true;
}

}  // namespace

bool EnsureDirectory(const std::string& path) {
  if (path.empty()) return false;
  if (SeenRecently(path)) return true;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) && NoteSeen(path);
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    std::string part = path.substr(0, pos);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return false;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && NoteSeen(path);
}

std::string ProgramDataDir() {
  const char* home = std::getenv("QARSMS_HOME");
  std::string dir = (home != nullptr && *home != '\0') ? WithSlash(home) : kDefaultProgramData;
  EnsureDirectory(dir);
  return dir;
}

std::string ProgramDataSubdir(std::string_view name) {
  std::string dir = ProgramDataDir() + std::string(name) + "/";
  EnsureDirectory(dir);
  return dir;
}

std::string ConfiguredDirectory(std::string_view configured, const std::string& fallback) {
  std::string dir = configured.empty() ? fallback : WithSlash(configured);
  EnsureDirectory(dir);
  return dir;
}

std::string MessageIdTrackingDir() {
  std::string configured = IniGetString(SMSIniPath(), "QARHUB", "MessageIDTrackingDir", "");
  return ConfiguredDirectory(configured, ProgramDataDir() + "SMPPData/");
}

std::string MMSCDataDir() {
  std::string configured = IniGetString(MMSCIniPath(), "MMSC", "DataDir", "");
  return ConfiguredDirectory(configured, ProgramDataDir() + "MMSCDATA/");
}

extern "C" {

int GetProgramDataDirectory(char* buf, uint32_t size) {
  return CopyDirectory(ProgramDataDir(), buf, size);
}

int GetPrivateDataDirectory(char* buf, uint32_t size) {
  return CopyDirectory(ProgramDataSubdir("PRIVATE"), buf, size);
}

int GetLogDirectory(char* buf, uint32_t size) {
  return CopyDirectory(ProgramDataSubdir("LOGS"), buf, size);
}

int GetDebugLogDirectory(char* buf, uint32_t size) { return GetLogDirectory(buf, size); }

int GetMMSCLogDirectory(char* buf, uint32_t size) {
  return CopyDirectory(ProgramDataSubdir("MMSCLOGS"), buf, size);
}

int GetRealProgramDirectory(char* buf, uint32_t size) {
  std::string exe(4096, '\0');
  ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size());
  if (n <= 0 || static_cast<size_t>(n) >= exe.size()) return 0;
  exe.resize(static_cast<size_t>(n));
  size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return 0;
  return CopyDirectory(exe.substr(0, slash + 1), buf, size);
}

int GetMessageIdTrackingDirectory(char* buf, uint32_t size) {
  return CopyDirectory(MessageIdTrackingDir(), buf, size);
}

int GetMMSCDataDirectory(char* buf, uint32_t size) {
  return CopyDirectory(MMSCDataDir(), buf, size);
}

}  // extern "C"
