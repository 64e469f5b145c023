#include "outside/qarvault/ini_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <unordered_map>

#include "outside/qarvault/directories.h"
#include "outside/qarvault/file_watch.h"
#include "runtime/mutex.h"
#include "runtime/names.h"
#include "runtime/text_helpers.h"
#include "runtime/unique_fd.h"

namespace {

struct IniSectionData {
  std::string name;
  std::vector<std::string> lines;                        // as the section listing gives them
  std::vector<std::pair<std::string, std::string>> keys;  // file order
  std::unordered_map<std::string, size_t> keyIndex;     // upper-case key -> first in keys
};

struct IniParsed {
  std::vector<IniSectionData> sections;
  std::unordered_map<std::string, size_t> sectionIndex;  // upper-case name -> first
};

// Identity of one version of a file: an atomic replace changes the inode.
struct FileStamp {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  struct timespec mtime {};
  bool operator==(const FileStamp& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec;
  }
};

struct CachedIni {
  FileStamp stamp;
  uint64_t changeCount = 0;  // the file's watch count when it was read; 0: not watched
  std::shared_ptr<const IniParsed> parsed;
};

// The process-wide INI state: bound file names, parsed copies, the writers' lock.
struct IniState {
  Mutex pathsLock;
  std::string smsPath GUARDED_BY(pathsLock);
  std::string mmscPath GUARDED_BY(pathsLock);
  Mutex cacheLock;
  std::map<std::string, CachedIni> cache GUARDED_BY(cacheLock);
  Mutex writeLock;
};

IniState& State() {
  static IniState state;
  return state;
}

// Splits at LF; each line keeps its terminator ("\n" or "\r\n"), the last may have none.
std::vector<std::string> SplitRawLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
    lines.emplace_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

std::string_view LineContent(std::string_view raw) {
  if (!raw.empty() && raw.back() == '\n') raw.remove_suffix(1);
  if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
  return raw;
}

// "[name]" gives name (trimmed); nullopt for other lines.
std::optional<std::string_view> SectionHeaderName(std::string_view content) {
  std::string_view t = Trim(content);
  if (t.empty() || t.front() != '[') return std::nullopt;
  size_t close = t.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(t.substr(1, close - 1));
}

bool IsCommentLine(std::string_view content) {
  std::string_view t = SkipBlanks(content);
  return !t.empty() && t.front() == ';';
}

// The key of a "key=value" line (trimmed); nullopt for comments and lines without "=".
std::optional<std::string_view> KeyOfLine(std::string_view content) {
  if (IsCommentLine(content)) return std::nullopt;
  size_t eq = content.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return Trim(content.substr(0, eq));
}

// A value in matching single or double quotes reads without them (blanks inside kept).
std::string_view Unquoted(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

std::shared_ptr<const IniParsed> Parse(std::string_view text) {
  auto parsed = std::make_shared<IniParsed>();
  IniSectionData* current = nullptr;
  for (const std::string& raw : SplitRawLines(text)) {
    std::string_view content = LineContent(raw);
    if (auto name = SectionHeaderName(content)) {
      parsed->sections.push_back(IniSectionData{std::string(*name), {}, {}, {}});
      parsed->sectionIndex.emplace(ToUpper(*name), parsed->sections.size() - 1);
      current = &parsed->sections.back();
      continue;
    }
    if (current == nullptr || Trim(content).empty()) continue;
    auto key = KeyOfLine(content);
    if (!key) {
      current->lines.emplace_back(content);
      continue;
    }
    std::string_view value = Trim(content.substr(content.find('=') + 1));
    current->lines.push_back(std::string(*key) + "=" + std::string(value));
    current->keys.emplace_back(std::string(*key), std::string(Unquoted(value)));
    current->keyIndex.emplace(ToUpper(*key), current->keys.size() - 1);
  }
  return parsed;
}

FileStamp StampOf(const struct stat& st) {
  FileStamp stamp;
  stamp.dev = st.st_dev;
  stamp.ino = st.st_ino;
  stamp.size = st.st_size;
  stamp.mtime = st.st_mtim;
  return stamp;
}

bool ReadAll(int fd, std::string& out) {
  out.clear();
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    out.append(chunk, static_cast<size_t>(n));
  }
}

// The parsed file; a missing or unreadable file reads as empty. Writers replace the file
// by rename, so an open descriptor always sees one whole version.
std::shared_ptr<const IniParsed> Load(const std::string& path) {
  static const std::shared_ptr<const IniParsed> empty = std::make_shared<IniParsed>();
  IniState& state = State();
  // Settings are read many times a second: while the watch saw no change the file is not
  // looked at; without a watch an unchanged file costs one stat.
  uint64_t changeCount = FileChangeCount(path);
  if (changeCount != 0) {
    MutexLock lock(state.cacheLock);
    auto it = state.cache.find(path);
    if (it != state.cache.end() && it->second.changeCount == changeCount) return it->second.parsed;
  }
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    FileStamp stamp = StampOf(st);
    MutexLock lock(state.cacheLock);
    auto it = state.cache.find(path);
    if (it != state.cache.end() && it->second.stamp == stamp) {
      it->second.changeCount = changeCount;
      return it->second.parsed;
    }
  }
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd || ::fstat(fd.get(), &st) != 0) {
    // A missing file stays empty until its directory reports it.
    if (errno == ENOENT && changeCount != 0) {
      MutexLock lock(state.cacheLock);
      state.cache[path] = CachedIni{FileStamp{}, changeCount, empty};
    }
    return empty;
  }
  FileStamp stamp = StampOf(st);
  std::string text;
  if (!ReadAll(fd.get(), text)) return empty;
  std::shared_ptr<const IniParsed> parsed = Parse(text);
  MutexLock lock(state.cacheLock);
  state.cache[path] = CachedIni{stamp, changeCount, parsed};
  return parsed;
}

const IniSectionData* FindSection(const IniParsed& ini, std::string_view section) {
  auto it = ini.sectionIndex.find(ToUpper(Trim(section)));
  return it == ini.sectionIndex.end() ? nullptr : &ini.sections[it->second];
}

bool ValidSectionName(std::string_view section) {
  std::string_view t = Trim(section);
  return !t.empty() && !HasControlBytes(section) && t.find(']') == std::string_view::npos;
}

bool ValidKeyName(std::string_view key) {
  std::string_view t = Trim(key);
  return !t.empty() && !HasControlBytes(key) && t.find('=') == std::string_view::npos &&
         t.front() != ';' && t.front() != '[';
}

void EnsureLineEnd(std::string& line) {
  if (line.empty() || line.back() != '\n') line.append("\r\n");
}

// The new text of the file, or nullopt when nothing changes.
std::optional<std::string> EditText(std::string_view text, std::string_view section,
                                    std::optional<std::string_view> key,
                                    std::optional<std::string_view> value) {
  std::vector<std::string> lines = SplitRawLines(text);
  std::string wantedSection = ToUpper(Trim(section));
  size_t header = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    auto name = SectionHeaderName(LineContent(lines[i]));
    if (name && ToUpper(*name) == wantedSection) {
      header = i;
      break;
    }
  }
  if (header == lines.size()) {
    if (!key || !value) return std::nullopt;
    std::string out(text);
    if (!out.empty() && out.back() != '\n') out.append("\r\n");
    out.append("[").append(Trim(section)).append("]\r\n");
    out.append(Trim(*key)).append("=").append(*value).append("\r\n");
    return out;
  }
  size_t end = header + 1;
  while (end < lines.size() && !SectionHeaderName(LineContent(lines[end]))) ++end;

  if (!key) {
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(header),
                lines.begin() + static_cast<std::ptrdiff_t>(end));
  } else {
    std::string wantedKey = ToUpper(Trim(*key));
    std::string newLine = value ? std::string(Trim(*key)) + "=" + std::string(*value) + "\r\n" : "";
    bool changed = false;
    size_t lastContent = header;
    for (size_t i = header + 1; i < end; ++i) {
      std::string_view content = LineContent(lines[i]);
      if (!Trim(content).empty()) lastContent = i;
      auto k = KeyOfLine(content);
      if (!k || ToUpper(*k) != wantedKey) continue;
      if (value) {
        lines[i] = newLine;  // the first occurrence is the one readers see
        changed = true;
        break;
      }
      lines[i].clear();  // deleting removes every occurrence, so none shows through
      changed = true;
    }
    if (!changed) {
      if (!value) return std::nullopt;
      EnsureLineEnd(lines[lastContent]);
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(lastContent + 1), newLine);
    }
  }
  std::string out;
  out.reserve(text.size() + 64);
  for (const std::string& line : lines) out.append(line);
  return out;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes text under a temporary name beside path and renames it over path.
bool ReplaceFile(const std::string& path, std::string_view text) {
  std::string tmp = path + ".XXXXXX";
  UniqueFd fd(::mkostemp(tmp.data(), O_CLOEXEC));
  if (!fd) return false;
  struct stat old;
  if (::stat(path.c_str(), &old) == 0) {
    ::fchmod(fd.get(), old.st_mode & 07777);
    if (::fchown(fd.get(), old.st_uid, old.st_gid) != 0) {
      // only root may hand the file to its old owner; the content matters, not the owner
    }
  } else {
    ::fchmod(fd.get(), 0644);
  }
  bool ok = WriteAll(fd.get(), text) && ::fsync(fd.get()) == 0;
  ok = (::close(fd.release()) == 0) && ok;
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  UniqueFd dir(::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
  return true;
}

}  // namespace

std::string SMSIniPath() {
  IniState& state = State();
  {
    MutexLock lock(state.pathsLock);
    if (!state.smsPath.empty()) return state.smsPath;
  }
  return ProgramDataDir() + "QARHUB.INI";
}

std::string MMSCIniPath() {
  IniState& state = State();
  {
    MutexLock lock(state.pathsLock);
    if (!state.mmscPath.empty()) return state.mmscPath;
  }
  return ProgramDataDir() + "MMSC.INI";
}

std::string SharedVolumeIniPath() { return ProgramDataDir() + "SHARED.INI"; }

void SetSMSIniPath(std::string_view path) {
  MutexLock lock(State().pathsLock);
  State().smsPath = path;
}

void SetMMSCIniPath(std::string_view path) {
  MutexLock lock(State().pathsLock);
  State().mmscPath = path;
}

std::optional<std::string> IniFindString(const std::string& path, std::string_view section,
                                         std::string_view key) {
  std::shared_ptr<const IniParsed> ini = Load(path);
  const IniSectionData* sec = FindSection(*ini, section);
  if (sec == nullptr) return std::nullopt;
  auto it = sec->keyIndex.find(ToUpper(Trim(key)));
  if (it == sec->keyIndex.end()) return std::nullopt;
  return sec->keys[it->second].second;
}

std::string IniGetString(const std::string& path, std::string_view section, std::string_view key,
                         std::string_view def) {
  std::optional<std::string> value = IniFindString(path, section, key);
  return value ? *value : std::string(def);
}

std::vector<std::string> IniSectionLines(const std::string& path, std::string_view section) {
  std::shared_ptr<const IniParsed> ini = Load(path);
  const IniSectionData* sec = FindSection(*ini, section);
  return sec != nullptr ? sec->lines : std::vector<std::string>{};
}

std::vector<std::string> IniSectionNames(const std::string& path) {
  std::shared_ptr<const IniParsed> ini = Load(path);
  std::vector<std::string> names;
  for (size_t i = 0; i < ini->sections.size(); ++i) {
    // a repeated section is listed once, as readers only see the first
    if (ini->sectionIndex.at(ToUpper(ini->sections[i].name)) == i) {
      names.push_back(ini->sections[i].name);
    }
  }
  return names;
}

std::vector<std::string> IniKeyNames(const std::string& path, std::string_view section) {
  std::shared_ptr<const IniParsed> ini = Load(path);
  const IniSectionData* sec = FindSection(*ini, section);
  std::vector<std::string> names;
  if (sec == nullptr) return names;
  for (size_t i = 0; i < sec->keys.size(); ++i) {
    if (sec->keyIndex.at(ToUpper(sec->keys[i].first)) == i) names.push_back(sec->keys[i].first);
  }
  return names;
}

bool IniWriteString(const std::string& path, std::string_view section,
                    std::optional<std::string_view> key, std::optional<std::string_view> value) {
  if (path.empty() || !ValidSectionName(section)) return false;
  if (key && !ValidKeyName(*key)) return false;
  if (value && HasControlBytes(*value)) return false;
  IniState& state = State();
  // Threads queue on the mutex, processes (the console, a second tool) on the lock file.
  MutexLock lock(state.writeLock);
  UniqueFd lockFd(::open((path + ".LCK").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!lockFd) return false;
  while (::flock(lockFd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  std::string text;
  UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (in) {
    if (!ReadAll(in.get(), text)) return false;
  } else if (errno != ENOENT) {
    return false;
  }
  std::optional<std::string> edited = EditText(text, section, key, value);
  if (!edited) return true;
  return ReplaceFile(path, *edited);
}
