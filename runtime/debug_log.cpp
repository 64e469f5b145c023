#include "runtime/debug_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/mutex.h"
#include "runtime/secret_mask.h"
#include "runtime/str_printf.h"
#include "runtime/thread_registry.h"
#include "runtime/unique_fd.h"

DebugSettingsRecord DebugSettings;

namespace {
struct DebugLogState {
  Mutex lock;
  UniqueFd file GUARDED_BY(lock);
  int day GUARDED_BY(lock) = -1;  // day of the month the file was opened on; -1 forces a rotation
  std::string directory GUARDED_BY(lock);  // empty: asked of the configuration on first use
  bool closed GUARDED_BY(lock) = false;    // closed at the end of shutdown: later lines reach stderr only
};
DebugLogState g_debugLog;

std::string LogPath() REQUIRES(g_debugLog.lock) {
  if (g_debugLog.directory.empty()) g_debugLog.directory = DebugLogDirectory();
  return g_debugLog.directory + "SMSDEBUG.LOG";
}

void RotationWait() {
  unsigned ms = DebugSettings.RotationWaitMs.load();
  if (ms != 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Moves SMSDEBUG.LOG to SMSDEBUG.BAK, replacing an older backup.
void RotateLocked(const std::string& path) REQUIRES(g_debugLog.lock) {
  g_debugLog.file.reset();
  std::string backup = path.substr(0, path.size() - 4) + ".BAK";
  unlink(backup.c_str());
  RotationWait();
  if (rename(path.c_str(), backup.c_str()) != 0) unlink(path.c_str());
  RotationWait();
}

void OpenLocked(const std::string& path, const LocalTime& now) REQUIRES(g_debugLog.lock) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    LocalTime written = LocalFromSeconds(st.st_mtime);
    if (written.tm.tm_mday != now.tm.tm_mday || written.tm.tm_mon != now.tm.tm_mon ||
        written.tm.tm_year != now.tm.tm_year) {
      RotateLocked(path);
    }
  }
  g_debugLog.file.reset(open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0664));
  g_debugLog.day = now.tm.tm_mday;
}
}  // namespace

void SetDebugLogDirectory(const std::string& dirWithSlash) {
  MutexLock guard(g_debugLog.lock);
  g_debugLog.file.reset();
  g_debugLog.day = -1;
  g_debugLog.closed = false;
  g_debugLog.directory = dirWithSlash;
}

void WriteDebugLog(std::string_view label, std::string_view text) {
  if (DebugSettings.Debug.load()) WriteDebugLogAlways(label, text);
}

void WriteDebugLogAlways(std::string_view label, std::string_view rawText) {
  // Every line passes here: no caller can write a password or credentials.
  std::string masked = MaskSecrets(rawText);
  std::string_view text = masked;
  LocalTime now = LocalNow();
  bool open;
  {
    MutexLock guard(g_debugLog.lock);
    std::string path = LogPath();
    uint64_t maxSize = DebugSettings.DebugMaxSize.load();
    if (g_debugLog.file && maxSize != 0) {
      struct stat st;
      if (fstat(g_debugLog.file.get(), &st) == 0 && static_cast<uint64_t>(st.st_size) > maxSize * 1048576ull) {
        g_debugLog.day = -1;
      }
    }
    if (!g_debugLog.closed && now.tm.tm_mday != g_debugLog.day) {
      RotateLocked(path);
      OpenLocked(path, now);
    }
    open = g_debugLog.file.valid();
  }
  char prefix[64];
  snprintf(prefix, sizeof prefix, "%02u:%02u:%02u:%03u [%u] ", static_cast<unsigned>(now.tm.tm_hour),
           static_cast<unsigned>(now.tm.tm_min), static_cast<unsigned>(now.tm.tm_sec),
           static_cast<unsigned>(now.millisecond), CurrentThreadNumber());
  if (open) {
    MutexLock guard(g_debugLog.lock);
    if (g_debugLog.file) {
      struct iovec parts[5] = {
          {prefix, strlen(prefix)},
          {const_cast<char*>(label.data()), label.size()},
          {const_cast<char*>(":  "), 3},
          {const_cast<char*>(text.data()), text.size()},
          {const_cast<char*>("\r\n"), 2},
      };
      ssize_t ignored = writev(g_debugLog.file.get(), parts, 5);
      (void)ignored;
    }
  }
  if (DebugSettings.CopyToStderr.load()) {
    fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(label.size()), label.data(), static_cast<int>(text.size()),
            text.data());
  }
}

void WriteDebugLogf(const char* label, const char* fmt, ...) {
  if (!DebugSettings.Debug.load()) return;
  va_list ap;
  va_start(ap, fmt);
  std::string text = StrVPrintf(fmt, ap);
  va_end(ap);
  WriteDebugLog(label, text);
}

void WriteDebugHexDump(std::string_view label, const void* data, size_t length, size_t shownMax) {
  if (!DebugSettings.Debug.load()) return;
  // Masked as a whole: a secret may span the dump's lines or its cut.
  std::string masked = MaskSecrets(std::string_view(static_cast<const char*>(data), length));
  const auto* bytes = reinterpret_cast<const unsigned char*>(masked.data());
  length = std::min(masked.size(), shownMax);
  for (size_t offset = 0; offset < length; offset += 16) {
    std::string line = StrPrintf("%04zX  ", offset);
    std::string ascii;
    for (size_t i = offset; i < offset + 16; ++i) {
      if (i < length) {
        line += StrPrintf("%02X ", bytes[i]);
        ascii.push_back(bytes[i] >= 32 && bytes[i] < 127 ? static_cast<char>(bytes[i]) : '.');
      } else {
        line += "   ";
      }
    }
    WriteDebugLog(label, line + " " + ascii);
  }
}

void CloseDebugLog() {
  MutexLock guard(g_debugLog.lock);
  g_debugLog.file.reset();
  g_debugLog.day = -1;
  g_debugLog.closed = true;
}

void WriteDebugLogUnlessRepeated(RepeatedDebugLine& line, std::string_view label, std::string_view text) {
  if (!DebugSettings.Debug.load()) return;
  uint64_t now = TickMs();
  if (text == line.last && line.writtenTick != 0) {
    ++line.repeats;
    if (now - line.writtenTick < kRepeatedDebugLineEveryMs) return;
    WriteDebugLog(label, StrPrintf("%.*s (%u times since the last line)", int(text.size()), text.data(), line.repeats));
  } else {
    WriteDebugLog(label, text);
  }
  line.last.assign(text);
  line.writtenTick = now;
  line.repeats = 0;
}
