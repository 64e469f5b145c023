// Waits for files to leave one folder (deleted or moved away), for a thread that paces its
// writes against what others take out. Seen through inotify; without it (or on a network
// file system) the caller's own look every few seconds is all there is.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/unique_fd.h"

class FolderRemovals {
 public:
  // folder ends in "/"; only names ending in suffix (without regard to case) are counted.
  FolderRemovals(const std::string& folder, std::string suffix);
  // False when inotify is not watching the folder.
  bool Watching() const { return fd_.valid(); }
  // Waits until count files went since the last call (true), or ms passed or the stop was
  // announced (false). A lost event queue counts as enough, so the caller looks again.
  bool Wait(uint32_t count, uint32_t ms);

 private:
  UniqueFd fd_;
  std::string suffix_;
  uint32_t seen_ = 0;
};
