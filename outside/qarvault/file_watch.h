// Change counts for a few files, from inotify watches on their directories: a reader that
// keeps the count it saw can skip looking at the file again while the count stays the same.
#pragma once

#include <cstdint>
#include <string>

// A path ending in "/" stands for a directory's list of entries (an entry added, removed or
// renamed in it, or the directory itself created, removed or renamed).
//
// A number that differs from every earlier answer for path once the file may have changed
// (written, replaced, removed, created, its directory gone). Read it before looking at the
// file. 0 when the file cannot be watched (no inotify, a symbolic link, a network or FUSE
// file system, whose remote edits raise no event): then the file must be looked at each time.
uint64_t FileChangeCount(const std::string& path);

