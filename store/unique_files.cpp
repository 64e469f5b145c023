#include "store/unique_files.h"

#include <cerrno>

#include "config/settings.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/names.h"
#include "runtime/str_printf.h"
#include "store/queue_file.h"
#include "store/unique_ids.h"

namespace {
std::string UniqueFile(const std::string& directory, std::string_view prefix, std::string_view extension,
                       std::string_view content) {
  if (!extension.empty() && !IsSafePathName(extension)) {
    WriteDebugLogf("CreateUniqueFile", "Refused extension \"%s\"", StripControlBytes(extension).c_str());
    return std::string();
  }
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string path = directory + std::string(prefix) + StrPrintf("%08X", NextUniqueId());
    if (!extension.empty()) path += "." + std::string(extension);
    if (PublishFile(path, content, PublishMode::CreateNew)) return path;
    if (errno != EEXIST) {
      WriteDebugLogf("CreateUniqueFile", "Error %d creating %s", errno, path.c_str());
      return std::string();
    }
  }
  WriteDebugLogf("CreateUniqueFile", "No unique name in %s after 1000 attempts", directory.c_str());
  return std::string();
}
}  // namespace

std::string CreateUniqueFile(const std::string& directory, std::string_view extension, std::string_view content) {
  return UniqueFile(directory, Settings.MessageIDPrefix, extension, content);
}

std::string CreateUniqueFileNoPrefix(const std::string& directory, std::string_view extension,
                                     std::string_view content) {
  return UniqueFile(directory, "", extension, content);
}

std::string SegmentFileName(std::string_view recipient, unsigned reference, unsigned total, unsigned number,
                            std::string_view extension) {
  std::string cut(recipient.substr(0, 50));
  for (char& c : cut) {
    if (c == '?' || c == '*' || c == ':' || c == '/' || c == '\\' || c == '|') c = '!';
  }
  if (!IsSafePathName(cut) || !IsSafePathName(extension)) return std::string();
  return StrPrintf("SAR-%s%s-%x-%u-%u.%s", Settings.MessageIDPrefix.c_str(), cut.c_str(), reference & 0xFFFFu,
                   total & 0xFFu, number & 0xFFu, std::string(extension).c_str());
}

std::string CreateSegmentFile(const std::string& directory, std::string_view recipient, unsigned reference,
                              unsigned total, unsigned number, std::string_view extension,
                              std::string_view content) {
  std::string name = SegmentFileName(recipient, reference, total, number, extension);
  if (name.empty()) {
    WriteDebugLogf("CreateSegmentFile", "Refused recipient \"%s\"", StripControlBytes(recipient).c_str());
    errno = EINVAL;
    return std::string();
  }
  std::string path = directory + name;
  if (!PublishFile(path, content, PublishMode::CreateNew)) {
    WriteDebugLogf("CreateSegmentFile", "Error %d creating %s", errno, path.c_str());
    return std::string();
  }
  return path;
}

uint8_t ChooseConcatReference(const std::string& directory, std::string_view recipient, unsigned total,
                              std::string_view extension) {
  uint8_t reference = NextConcatReference();
  for (int attempt = 0; attempt < 256; ++attempt) {
    bool clash = false;
    for (unsigned n = 1; n <= total && !clash; ++n) {
      std::string name = SegmentFileName(recipient, reference, total, n, extension);
      clash = !name.empty() && FileExists(directory + name);
    }
    if (!clash) return reference;
    reference = NextConcatReference();
  }
  return reference;
}

std::string MessageIdFromPath(std::string_view path) {
  size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  size_t dot = name.rfind('.');
  return std::string(dot == std::string_view::npos ? name : name.substr(0, dot));
}
