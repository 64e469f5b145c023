// Wake-ups for threads that wait for files to appear in folders. Whoever publishes a file
// calls SignalFolderWrite with its path; files that other programs drop in are seen through
// inotify (one watcher thread for every waited folder and its subfolders). Network file
// systems do not report remote writes: a waiter still looks on its own every few seconds.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct FolderWaiter;

// One waiter's wake: its descriptor becomes readable once a file was written in one of its
// folders (or their subfolders) since the last Rearm. Usable by any thread that polls.
class FolderWake {
 public:
  // folders: directory paths ending in "/". suffixes (without case): only files whose names
  // end so wake this waiter, and new subfolders; empty: every file.
  explicit FolderWake(std::vector<std::string> folders, std::vector<std::string> suffixes = {});
  ~FolderWake();
  FolderWake(const FolderWake&) = delete;
  FolderWake& operator=(const FolderWake&) = delete;

  int Fd() const;
  // Call before looking at the folders: what is written from now on wakes again.
  void Rearm();
  // Waits up to ms for a write (true) or the stop (false), for a thread with nothing else
  // to wait on.
  bool Wait(uint32_t ms);
  // How many separate wake-ups were signalled so far.
  uint64_t Signalled() const;

 private:
  std::shared_ptr<FolderWaiter> waiter_;
};

// A file is about to be published at path: the events inotify reports for it are known as
// this process's own even when the watcher reads them before SignalFolderWrite runs.
void ExpectFolderWrite(std::string_view path);
// A file was published at path: wakes the waiters of every folder that holds it.
void SignalFolderWrite(std::string_view path);
// True while inotify watches the waited folders.
bool FolderWatchActive();
// Stops inotify watching, as on a system without it (tests of the periodic look).
void DisableFolderWatch(bool disabled);
// True after DisableFolderWatch(true): other inotify users act as if it were missing too.
bool FolderWatchDisabled();
