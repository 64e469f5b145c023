#include "outside/qarvault/file_watch.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "runtime/mutex.h"
#include "runtime/unique_fd.h"

namespace {
struct WatchedFile {
  std::string path;
  std::string name;  // the entry in its directory; empty: any entry of the watched directory
  int wd = -1;
  uint64_t count = 0;
};

struct FileWatches {
  Mutex lock;
  UniqueFd inotify GUARDED_BY(lock);
  bool unavailable GUARDED_BY(lock) = false;
  uint64_t serial GUARDED_BY(lock) = 0;  // counts are never reused, even for a path watched again
  std::vector<WatchedFile> files GUARDED_BY(lock);
};
FileWatches g_watches;

constexpr uint32_t kEvents = IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                             IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// Remote edits raise no inotify event on these.
bool EventsAreLocal(const std::string& dir) {
  struct statfs fs;
  if (statfs(dir.c_str(), &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x65735546:  // FUSE
    case 0x01021997:  // 9P
    case 0x73757245:  // Coda
    case 0x564C:      // NCP
    case 0x47504653:  // GPFS
    case 0x00C36400:  // Ceph
      return false;
    default:
      return true;
  }
}

// Reads every queued event without blocking. A file with news is dropped from the list, so
// that the next ask looks at it afresh (it may have turned into a link) with a new count.
void Drain() REQUIRES(g_watches.lock) {
  alignas(struct inotify_event) char buf[8192];
  for (;;) {
    ssize_t n = read(g_watches.inotify.get(), buf, sizeof buf);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return;
    }
    for (char* p = buf; p < buf + n;) {
      const auto* ev = reinterpret_cast<const struct inotify_event*>(p);
      p += sizeof(struct inotify_event) + ev->len;
      std::string_view name = ev->len ? std::string_view(ev->name) : std::string_view();
      std::erase_if(g_watches.files, [&](const WatchedFile& f) {
        return (ev->mask & IN_Q_OVERFLOW) ||
               (f.wd == ev->wd && ((ev->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) || name == f.name ||
                                    (f.name.empty() && !name.empty())));
      });
    }
  }
}

// Enough for the configuration files; past it, files are looked at each time.
constexpr size_t kMaxWatchedFiles = 32;

bool IsLink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

WatchedFile* Add(const std::string& path, const std::string& watched, const std::string& name)
    REQUIRES(g_watches.lock) {
  if (!EventsAreLocal(watched)) return nullptr;
  int wd = inotify_add_watch(g_watches.inotify.get(), watched.c_str(), kEvents);
  if (wd < 0) return nullptr;
  g_watches.files.push_back(WatchedFile{path, name, wd, ++g_watches.serial});
  return &g_watches.files.back();
}

WatchedFile* Watch(const std::string& path) REQUIRES(g_watches.lock) {
  if (g_watches.files.size() >= kMaxWatchedFiles || path.empty()) return nullptr;
  bool directory = path.back() == '/';
  std::string entry = directory ? path.substr(0, path.size() - 1) : path;
  size_t slash = entry.rfind('/');
  std::string parent = slash == std::string::npos ? "./" : entry.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? entry : entry.substr(slash + 1);
  if (name.empty() || IsLink(entry)) return nullptr;
  if (directory && IsDirectory(entry)) return Add(path, path, "");
  // A missing folder on the way: its creation is the change to wait for, seen from the
  // nearest folder that exists (a user's list folder is mostly never made).
  if (std::string up = parent; up.size() > 1 && !IsDirectory(up.substr(0, up.size() - 1))) {
    for (;;) {
      std::string missing = up.substr(0, up.size() - 1);
      size_t cut = missing.rfind('/');
      if (cut == std::string::npos) return nullptr;
      up = missing.substr(0, cut + 1);
      if (up.size() > 1 && !IsDirectory(up.substr(0, up.size() - 1))) continue;
      WatchedFile* added = Add(path, up, missing.substr(cut + 1));
      if (added != nullptr && Exists(missing)) {  // made between the look and the watch
        g_watches.files.pop_back();
        return nullptr;
      }
      return added;
    }
  }
  WatchedFile* added = Add(path, parent, name);
  // The entry may have changed between the look and the watch, unseen by it.
  if (added != nullptr && (IsLink(entry) || (directory && IsDirectory(entry)))) {
    g_watches.files.pop_back();
    return nullptr;
  }
  return added;
}
}  // namespace

uint64_t FileChangeCount(const std::string& path) {
  MutexLock guard(g_watches.lock);
  if (g_watches.unavailable) return 0;
  if (!g_watches.inotify) {
    g_watches.inotify.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!g_watches.inotify) {
      g_watches.unavailable = true;
      return 0;
    }
  }
  Drain();
  for (WatchedFile& f : g_watches.files)
    if (f.path == path) return f.count;
  WatchedFile* added = Watch(path);
  return added ? added->count : 0;
}

