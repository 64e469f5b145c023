// The debug log SMSDEBUG.LOG: one line per event, rotated daily and by size.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Loaded once at start-up from [QARHUB]; atomics so that tests may change them.
struct DebugSettingsRecord {
  std::atomic<bool> Debug{false};
  std::atomic<bool> Debug2{false};
  std::atomic<bool> NoDebugProtocol{false};
  std::atomic<uint32_t> DebugMaxSize{512};  // megabytes, 0 = no size limit
  std::atomic<uint32_t> RotationWaitMs{1000};  // the two waits of a rotation
  std::atomic<bool> CopyToStderr{true};
};
extern DebugSettingsRecord DebugSettings;

// "hh:mm:ss:mmm [thread] label:  text" CR LF; also "label: text" on standard error.
void WriteDebugLog(std::string_view label, std::string_view text);
// The same line whatever Debug says: for the lines that a narrower debug switch asks for.
void WriteDebugLogAlways(std::string_view label, std::string_view text);
void WriteDebugLogf(const char* label, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// A line that a loop would write on every round, unchanged while nothing happens: written
// when its text changes, otherwise at most once a minute with how often it came meanwhile.
struct RepeatedDebugLine {
  std::string last;
  uint64_t writtenTick = 0;
  uint32_t repeats = 0;
};
inline constexpr uint64_t kRepeatedDebugLineEveryMs = 60000;
void WriteDebugLogUnlessRepeated(RepeatedDebugLine& line, std::string_view label, std::string_view text);
// Writes a hexadecimal dump of data (16 bytes a line, at most shownMax bytes) under label,
// when Debug is on. Secrets are masked in all of data before it is cut.
void WriteDebugHexDump(std::string_view label, const void* data, size_t length, size_t shownMax = SIZE_MAX);
void CloseDebugLog();
// The log directory is asked for once; tests point it elsewhere.
void SetDebugLogDirectory(const std::string& dirWithSlash);
