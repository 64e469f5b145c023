#include "runtime/local_system_account.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/config_access.h"
#include "runtime/file_io.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/unique_fd.h"

namespace {
constexpr size_t kRandomBytes = 16;

std::string RandomHex() {
  unsigned char bytes[kRandomBytes];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return {};
  std::string out;
  for (unsigned char b : bytes) out += StrPrintf("%02x", b);
  return out;
}

std::string ReadKey(const std::string& path) {
  std::string text;
  if (!ReadWholeFile(path, text, 1024)) return {};
  // Whoever copied the folder may have widened the mode: the key stays the owner's.
  chmod(path.c_str(), 0600);
  return std::string(Trim(text));
}

// Publishes a new key under path unless another process published one first; false when
// nothing could be written.
bool PublishKey(const std::string& path, bool replace) {
  std::string key = RandomHex();
  if (key.empty()) return false;
  std::string temporary = path + StrPrintf(".%d.tmp", static_cast<int>(getpid()));
  UniqueFd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd) return false;
  bool written = WriteText(fd.get(), key) == key.size() && fsync(fd.get()) == 0;
  fd.reset();
  // link never replaces: of two first starts, one key wins and both read it.
  bool published = written && (replace ? rename(temporary.c_str(), path.c_str()) == 0
                                       : (link(temporary.c_str(), path.c_str()) == 0 || errno == EEXIST));
  unlink(temporary.c_str());
  return published;
}
}  // namespace

std::string LocalSystemPasswordIn(const std::string& privateDirectory) {
  std::string path = privateDirectory + kLocalSystemKeyFile;
  std::string key = ReadKey(path);
  if (!key.empty()) return key;
  bool exists = FileExists(path);
  if (!exists) CreatePathDirectories(path);
  if (!PublishKey(path, exists)) return {};
  return ReadKey(path);
}

std::string LocalSystemPassword() { return LocalSystemPasswordIn(PrivateDataDirectory()); }
