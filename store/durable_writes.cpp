#include "store/durable_writes.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "runtime/debug_log.h"
#include "runtime/mutex.h"

namespace {
struct Batch {
  std::vector<UniqueFd> files;
  std::vector<size_t> fileDirectory;     // of each file, its index in directories
  std::vector<std::string> directories;  // unique, each ending in "/"
};

}  // namespace

struct FlushTicket {
  // Set under the queue's lock; read without it once done.
  std::atomic<bool> done{false};
  bool ok = false;
  bool failedEarly = false;  // an early flush of the scope failed
  int notifyFd = -1;         // handed off: signalled once done
  std::vector<std::function<void(bool)>> settled;
};

namespace {
struct Waiting {
  Batch batch;
  std::shared_ptr<FlushTicket> ticket;
};

struct FlushQueue {
  Mutex lock;
  std::condition_variable changed;
  std::vector<Waiting> pending GUARDED_BY(lock);
  bool flushing GUARDED_BY(lock) = false;
  size_t handedOff GUARDED_BY(lock) = 0;  // pending batches nobody waits in
  bool stop GUARDED_BY(lock) = false;
};
FlushQueue g_queue;

// syncfs: on ext4 every fdatasync and fsync ends in a flush of the device's cache, so a
// group of 30 files costs 30 or more of them per file; syncfs costs one journal commit and
// one cache flush whatever the group's size (bench/submit: 2,364 against 113 messages/s).
std::atomic<FlushMethod> g_method{FlushMethod::SyncFs};
std::atomic<size_t> g_flushes{0}, g_filesFlushed{0};

thread_local Batch t_batch;
thread_local bool t_collecting = false;
thread_local bool t_failed = false;  // an early flush of this scope failed
thread_local std::vector<std::function<void(bool)>> t_settled;

// A scope with this many files flushes them before it goes on, so that a submission to
// thousands of recipients never holds thousands of descriptors.
constexpr size_t kMaxHeldFiles = 256;

size_t AddDirectory(Batch& b, const std::string& dir) {
  auto it = std::find(b.directories.begin(), b.directories.end(), dir);
  if (it != b.directories.end()) return size_t(it - b.directories.begin());
  b.directories.push_back(dir);
  return b.directories.size() - 1;
}

UniqueFd OpenDirectory(const std::string& dir) {
  return UniqueFd(open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool SyncOne(int fd, bool dataOnly) {
  int r;
  do {
    r = dataOnly ? fdatasync(fd) : fsync(fd);
  } while (r != 0 && errno == EINTR);
  return r == 0;
}

// Files first, then the directories that name them: a name on disk always has its content.
bool FlushPerFile(std::vector<Waiting>& work) {
  bool ok = true;
  std::vector<std::string> dirs;
  for (Waiting& w : work) {
    for (UniqueFd& f : w.batch.files) ok = SyncOne(f.get(), true) && ok;
    for (const std::string& d : w.batch.directories)
      if (std::find(dirs.begin(), dirs.end(), d) == dirs.end()) dirs.push_back(d);
  }
  for (const std::string& d : dirs) {
    UniqueFd fd = OpenDirectory(d);
    // A directory emptied and removed meanwhile holds nothing of ours any more.
    if (!fd) {
      if (errno != ENOENT) ok = false;
      continue;
    }
    ok = SyncOne(fd.get(), false) && ok;
  }
  return ok;
}

// One syncfs per file system: it writes back everything dirty there, logs included, so it
// pays only when many files share a flush.
bool FlushFileSystems(std::vector<Waiting>& work) {
  bool ok = true;
  std::vector<dev_t> done;
  // Files of one directory share its file system: one look per directory.
  std::vector<std::string_view> looked;
  for (Waiting& w : work) {
    for (size_t i = 0; i < w.batch.files.size(); ++i) {
      std::string_view dir = w.batch.directories[w.batch.fileDirectory[i]];
      if (std::find(looked.begin(), looked.end(), dir) != looked.end()) continue;
      looked.push_back(dir);
      int fd = w.batch.files[i].get();
      struct stat st;
      if (fstat(fd, &st) != 0) {
        ok = false;
        continue;
      }
      if (std::find(done.begin(), done.end(), st.st_dev) != done.end()) continue;
      done.push_back(st.st_dev);
      if (syncfs(fd) != 0) ok = false;
    }
  }
  return ok;
}

bool Flush(std::vector<Waiting>& work) {
  size_t files = 0;
  for (const Waiting& w : work) files += w.batch.files.size();
  // A file alone (one client, a modem) costs less flushed by itself: syncfs would also write
  // back every log and counter dirty on the file system (journaled ext4, one submission at
  // a time: 330 against 370 us of CPU each).
  bool perFile = g_method.load() == FlushMethod::PerFile || files == 1;
  bool ok = perFile ? FlushPerFile(work) : FlushFileSystems(work);
  g_flushes.fetch_add(1);
  g_filesFlushed.fetch_add(files);
  if (!ok) WriteDebugLogf("Debug", "Flush of %zu accepted files failed: %s", files, strerror(errno));
  return ok;
}
}  // namespace

void SetFlushMethod(FlushMethod method) { g_method.store(method); }
FlushMethod CurrentFlushMethod() { return g_method.load(); }

DurableWrites::DurableWrites(bool on) {
  if (!on || t_collecting) return;
  t_collecting = true;
  owner_ = true;
}

namespace {
void RunSettled(bool flushed) {
  // Taken first: a step may publish again, into this scope.
  std::vector<std::function<void(bool)>> steps;
  steps.swap(t_settled);
  for (auto& step : steps) step(flushed);
}
}  // namespace

DurableWrites::~DurableWrites() {
  if (!owner_) return;
  RunSettled(false);
  t_batch = Batch();
  t_collecting = false;
  t_failed = false;
}

namespace {
// Runs one flush of everything pending, the queue's lock let go meanwhile.
void LeadFlush() REQUIRES(g_queue.lock) {
  g_queue.flushing = true;
  std::vector<Waiting> work;
  work.swap(g_queue.pending);
  g_queue.lock.unlock();
  bool ok = Flush(work);
  g_queue.lock.lock();
  for (Waiting& w : work) {
    w.ticket->ok = ok;
    w.ticket->done.store(true);
    if (w.ticket->notifyFd >= 0) {
      --g_queue.handedOff;
      uint64_t one = 1;
      // An eventfd: the write only fails when its counter is full, and then it is readable.
      (void)!write(w.ticket->notifyFd, &one, sizeof one);
    }
  }
  g_queue.flushing = false;
  g_queue.changed.notify_all();
}

// Flushes the batches handed off, so that the threads that handed them go on meanwhile.
// Threads that wait lead their own flushes as before; whoever is free takes the next one.
struct Flusher {
  std::thread thread;
  Flusher() {
    thread = std::thread([] {
      pthread_setname_np(pthread_self(), "DurableFlusher");
      MutexLock guard(g_queue.lock);
      while (!g_queue.stop) {
        if (g_queue.handedOff == 0 || g_queue.flushing) {
          guard.Wait(g_queue.changed);
          continue;
        }
        LeadFlush();
      }
    });
  }
  ~Flusher() {
    {
      MutexLock guard(g_queue.lock);
      g_queue.stop = true;
      g_queue.changed.notify_all();
    }
    thread.join();
  }
};

void StartFlusher() {
  static Flusher flusher;
}

// Hands this thread's batch to the group flush and waits for it. False when it failed.
bool FlushCollected() {
  if (t_batch.files.empty() && t_batch.directories.empty()) return true;
  auto ticket = std::make_shared<FlushTicket>();
  MutexLock guard(g_queue.lock);
  g_queue.pending.push_back(Waiting{std::move(t_batch), ticket});
  t_batch = Batch();
  while (!ticket->done.load()) {
    if (g_queue.flushing) {
      guard.Wait(g_queue.changed);
      continue;
    }
    LeadFlush();
  }
  return ticket->ok;
}
}  // namespace

bool DurableWrites::Await() {
  if (!owner_) return true;
  bool ok = FlushCollected() && !t_failed;
  t_failed = false;
  RunSettled(ok);
  return ok;
}

FlushHandle DurableWrites::HandOff(int notifyFd) {
  auto ticket = std::make_shared<FlushTicket>();
  auto done = [&ticket] {
    ticket->ok = true;
    ticket->done.store(true);
    return ticket;
  };
  // Not the outermost scope: the steps and files are the outer one's to answer for.
  if (!owner_) return done();
  ticket->failedEarly = t_failed;
  t_failed = false;
  ticket->settled.swap(t_settled);
  if (t_batch.files.empty() && t_batch.directories.empty()) return done();
  StartFlusher();
  ticket->notifyFd = notifyFd;
  MutexLock guard(g_queue.lock);
  g_queue.pending.push_back(Waiting{std::move(t_batch), ticket});
  t_batch = Batch();
  ++g_queue.handedOff;
  g_queue.changed.notify_all();
  return ticket;
}

bool FlushDone(const FlushHandle& flush) { return flush->done.load(); }

bool FinishFlush(const FlushHandle& flush) {
  if (!flush->done.load()) {
    MutexLock guard(g_queue.lock);
    while (!flush->done.load()) guard.Wait(g_queue.changed);
  }
  bool ok = flush->ok && !flush->failedEarly;
  std::vector<std::function<void(bool)>> steps;
  steps.swap(flush->settled);
  for (auto& step : steps) step(ok);
  return ok;
}

void WhenDurable(std::function<void(bool flushed)> settled) {
  if (!t_collecting) {
    settled(true);
    return;
  }
  t_settled.push_back(std::move(settled));
}

void NoteDurableFile(UniqueFd fd, const std::string& directory, bool madeDirectories) {
  if (!t_collecting) return;
  if (t_batch.files.size() >= kMaxHeldFiles && !FlushCollected()) t_failed = true;
  Batch* b = &t_batch;
  b->files.push_back(std::move(fd));
  b->fileDirectory.push_back(AddDirectory(*b, directory));
  if (!madeDirectories) return;
  // A new directory is only found again once its own entry is stored, and so up the path.
  std::string up = directory;
  while (up.size() > 1) {
    up.pop_back();
    size_t slash = up.rfind('/');
    if (slash == std::string::npos) break;
    up.resize(slash + 1);
    AddDirectory(*b, up);
  }
}

FlushCounts DurableFlushCounts() { return FlushCounts{g_flushes.load(), g_filesFlushed.load()}; }
