#include "inbound/inbound_files.h"

#include <cerrno>

#include "runtime/debug_log.h"
#include "runtime/mutex.h"
#include "store/counters.h"
#include "store/message_file.h"
#include "store/unique_files.h"

namespace {
Mutex g_inboundFileLock;
}  // namespace

bool ClaimInboundPath(const std::string& path, ClaimedFile& file) {
  MutexLock guard(g_inboundFileLock);
  return ClaimQueueFile(path, file);
}

bool ClaimInboundFile(const std::string& path, ClaimedFile& file, InboundFileFacts& facts) {
  if (!ClaimInboundPath(path, file)) return false;
  facts.path = path;
  size_t slash = path.find_last_of('/');
  facts.name = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = facts.name.find_last_of('.');
  facts.messageId = dot == std::string::npos ? facts.name : facts.name.substr(0, dot);
  facts.extension = dot == std::string::npos ? std::string() : facts.name.substr(dot + 1);
  facts.fileTime = FileCreationTime(path);
  if (!ReadClaimedFile(file, facts.text, kMaxMessageFileSize)) {
    WriteDebugLogf("ProcessInboundSMS", "Cannot read %s", path.c_str());
    MutexLock guard(g_inboundFileLock);
    ReleaseClaim(file);
    return false;
  }
  return true;
}

std::string WriteCopyBeside(const InboundFileFacts& facts, const char* extension) {
  size_t dot = facts.path.find_last_of('.');
  size_t slash = facts.path.find_last_of('/');
  std::string stem = dot == std::string::npos || (slash != std::string::npos && dot < slash) ? facts.path
                                                                                              : facts.path.substr(0, dot);
  std::string path = stem + "." + extension;
  if (PublishFile(path, facts.text, PublishMode::CreateNew)) return path;
  if (errno != EEXIST) return {};
  // An older copy of the same name stays: this one gets a name of its own.
  return CreateUniqueFile(facts.path.substr(0, slash + 1), extension, facts.text);
}

bool DeleteInboundFile(ClaimedFile& file) {
  MutexLock guard(g_inboundFileLock);
  return DeleteClaimedFile(file);
}

bool FinishInboundFile(ClaimedFile& file, const InboundFileFacts& facts, const InboundResult& result, int counter) {
  bool complete = result.complete;
  if (result.copy != InboundCopy::None) {
    const char* extension = result.copy == InboundCopy::Bad ? "BAD" : "SMS";
    if (WriteCopyBeside(facts, extension).empty()) {
      WriteDebugLogf("ProcessInboundSMS", "Cannot write the .%s copy of %s", extension, facts.path.c_str());
      complete = false;
    }
  }
  if (!complete) {
    WriteDebugLogf("ProcessInboundSMS", "Processing incomplete %s...", facts.path.c_str());
    MutexLock guard(g_inboundFileLock);
    ReleaseClaim(file);
    return false;
  }
  if (!DeleteInboundFile(file)) {
    WriteDebugLogf("ProcessInboundSMS", "Cannot delete %s", facts.path.c_str());
    return false;
  }
  WriteDebugLogf("ProcessInboundSMS", "Processing complete %s...", facts.path.c_str());
  CounterSubtract(counter, 1);
  return true;
}
