#include "smsc/long_messages.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/hex_text.h"
#include "runtime/mutex.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "store/queue_file.h"

namespace {

constexpr uint64_t kLockDeleteAfterMs = 5000;
constexpr std::string_view kPending = "Pending:";

struct LockDeletion {
  std::string path, dirPath;
  SegmentName segment;
  uint64_t tick = 0;
};

struct LockDeletionList {
  Mutex lock;
  std::vector<LockDeletion> entries GUARDED_BY(lock);
};
LockDeletionList g_deletions;

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::string SegmentPath(const std::string& dirPath, const SegmentName& s, unsigned number) {
  return dirPath + SegmentFileNameFor(s, number);
}

bool ParseUnsigned(std::string_view text, unsigned& out) {
  if (text.empty() || text.size() > 3) return false;
  out = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + unsigned(c - '0');
  }
  return true;
}

std::string ReadAll(int fd) {
  std::string out;
  char buffer[512];
  off_t at = 0;
  for (;;) {
    ssize_t n = pread(fd, buffer, sizeof buffer, at);
    if (n <= 0) break;
    out.append(buffer, size_t(n));
    at += n;
    if (out.size() > 4096) break;  // a lock holds one name
  }
  return out;
}

bool WriteAll(int fd, std::string_view content) {
  if (ftruncate(fd, 0) != 0) return false;
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = pwrite(fd, content.data() + done, content.size() - done, off_t(done));
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// The name in a lock's content, up to its NUL.
std::string NameIn(std::string_view content) { return std::string(content.substr(0, content.find('\0'))); }

}  // namespace

std::string SegmentFileNameFor(const SegmentName& s, unsigned number) {
  return s.key + "-" + std::to_string(s.total) + "-" + std::to_string(number) + "." + s.extension;
}

std::string UdhWithoutConcatenation(std::string_view udhHex) {
  constexpr size_t kMaxOctets = 149;
  std::string octets = HexDecodeLeading(udhHex, kMaxOctets);
  // A header that is not hexadecimal text (within what is read) is dropped whole.
  if (octets.empty() || octets.size() < std::min(kMaxOctets, udhHex.size() / 2)) return {};
  size_t end = std::min(octets.size(), size_t(uint8_t(octets[0])) + 1);
  std::string kept;
  for (size_t i = 1; i + 1 < end;) {
    uint8_t id = uint8_t(octets[i]);
    size_t length = uint8_t(octets[i + 1]);
    if (i + 2 + length > end) break;  // a cut element is dropped
    if (id != 0x00 && id != 0x08) kept.append(octets, i, 2 + length);
    i += 2 + length;
  }
  if (kept.empty()) return {};
  return StrPrintf("%02X", unsigned(kept.size())) + HexEncode(kept);
}

bool ParseSegmentName(std::string_view fileName, SegmentName& out) {
  if (!StartsWithNoCase(fileName, "SAR-")) return false;
  size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos) return false;
  std::string_view stem = fileName.substr(0, dot);
  size_t numberDash = stem.rfind('-');
  if (numberDash == std::string_view::npos || numberDash < 4) return false;
  size_t totalDash = stem.rfind('-', numberDash - 1);
  if (totalDash == std::string_view::npos || totalDash < 4) return false;
  size_t referenceDash = stem.rfind('-', totalDash - 1);
  // The first part (after "SAR-") may not be empty.
  if (referenceDash == std::string_view::npos || referenceDash < 5) return false;
  SegmentName s;
  if (!ParseUnsigned(stem.substr(numberDash + 1), s.number) ||
      !ParseUnsigned(stem.substr(totalDash + 1, numberDash - totalDash - 1), s.total)) {
    return false;
  }
  std::string_view reference = stem.substr(referenceDash + 1, totalDash - referenceDash - 1);
  if (reference.empty() || reference.size() > 4) return false;
  for (char c : reference) {
    if (!IsHexDigit(c)) return false;
  }
  if (s.number == 0 || s.total == 0 || s.number > s.total) return false;
  s.key = std::string(stem.substr(0, totalDash));
  s.extension = std::string(fileName.substr(dot + 1));
  out = std::move(s);
  return true;
}

bool EarlierSegmentWaiting(const std::string& dirPath, const SegmentName& segment) {
  for (unsigned n = 1; n < segment.number; ++n) {
    if (Exists(SegmentPath(dirPath, segment, n))) return true;
  }
  return false;
}

std::string NextSegmentFile(const std::string& dirPath, const SegmentName& segment) {
  for (unsigned n = segment.number + 1; n <= segment.total; ++n) {
    std::string path = SegmentPath(dirPath, segment, n);
    if (Exists(path)) return path.substr(dirPath.size());
  }
  return {};
}

bool NoSegmentLeft(const std::string& dirPath, const SegmentName& segment) {
  for (unsigned n = 1; n <= segment.total; ++n) {
    if (Exists(SegmentPath(dirPath, segment, n))) return false;
  }
  return true;
}

bool AcquireLongMessageLock(const std::string& dirPath, const SegmentName& segment, const std::string& connection,
                            LongMessageLock& lock) {
  lock = LongMessageLock{};
  lock.dirPath = dirPath;
  lock.segment = segment;
  lock.path = dirPath + segment.key + ".LCK";
  // Held while a segment is being sent: a busy lock means its owner is alive. The store's
  // protocol also makes sure that the file held is the one the path names, as the main loop
  // deletes locks of finished messages.
  HeldLock held;
  if (!AcquireLockFile(lock.path, held)) {
    if (errno != EWOULDBLOCK) {
      WriteDebugLogf(connection.c_str(), "Cannot open the long-message lock %s (error %d)", lock.path.c_str(), errno);
    }
    return false;
  }
  int fd = held.fd.get();
  std::string content = ReadAll(fd);
  if (!content.empty() && content.compare(0, kPending.size(), kPending) != 0) {
    std::string owner = NameIn(content);
    if (!owner.empty() && owner != connection) return false;
  }
  std::string pending = std::string(kPending) + connection;
  pending.push_back('\0');
  lock.previous = content;
  if (!WriteAll(fd, pending)) {
    WriteDebugLogf(connection.c_str(), "Cannot write the long-message lock %s (error %d)", lock.path.c_str(), errno);
    return false;
  }
  lock.fd = std::move(held.fd);
  return true;
}

void ReleaseLongMessageLock(LongMessageLock& lock, const std::string& connection, bool sent) {
  if (!lock.held()) return;
  if (sent) {
    std::string content = ReadAll(lock.fd.get());
    if (content.empty() || content.compare(0, kPending.size(), kPending) == 0) {
      std::string owner = connection;
      owner.push_back('\0');
      WriteAll(lock.fd.get(), owner);
    }
  } else {
    // A failed attempt leaves the message to whoever owned it before: the segments already
    // accepted went out through that connection.
    WriteAll(lock.fd.get(), lock.previous);
  }
  lock.fd.reset();
  if (NoSegmentLeft(lock.dirPath, lock.segment)) {
    MutexLock guard(g_deletions.lock);
    for (const LockDeletion& e : g_deletions.entries) {
      if (e.path == lock.path) return;
    }
    g_deletions.entries.push_back({lock.path, lock.dirPath, lock.segment, TickMs()});
  }
}

void ProcessLongMessageLockDeletions(bool atShutdown) {
  MutexLock guard(g_deletions.lock);
  uint64_t now = TickMs();
  std::vector<LockDeletion> kept;
  for (LockDeletion& e : g_deletions.entries) {
    if (!NoSegmentLeft(e.dirPath, e.segment)) {
      e.tick = now;
      kept.push_back(std::move(e));
      continue;
    }
    if (!atShutdown && now - e.tick < kLockDeleteAfterMs) {
      kept.push_back(std::move(e));
      continue;
    }
    if (!Exists(e.path)) continue;
    // Never pull a lock from under a sender that holds it; deleted while held, so that a
    // sender who opened it meanwhile finds the path gone when it gets the lock.
    HeldLock held;
    if (!AcquireLockFile(e.path, held)) {
      if (errno == EWOULDBLOCK) kept.push_back(std::move(e));
      continue;
    }
    ReleaseLockFile(held, NoSegmentLeft(e.dirPath, e.segment));
  }
  g_deletions.entries = std::move(kept);
}

size_t LongMessageLockDeletionsPending() {
  MutexLock guard(g_deletions.lock);
  return g_deletions.entries.size();
}
