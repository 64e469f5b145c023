// File helpers: reads and writes that ride out a resource shortage, opening with retry,
// directory creation and wildcard counts.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "runtime/unique_fd.h"

// read/write, retried up to 20 times (i x 100 ms) while the kernel reports a resource
// shortage (ENOMEM, ENOBUFS). Result as the system call's.
ssize_t ReadFileWithRetry(int fd, void* buf, size_t count);
// The retry itself: calls call() until it succeeds, fails otherwise, or 20 retries pass.
ssize_t RetryOnResourceShortage(const char* label, const std::function<ssize_t()>& call);
ssize_t WriteFileWithRetry(int fd, const void* buf, size_t count);
// Writes all of text; bytes written, or 0 on failure.
size_t WriteText(int fd, std::string_view text);

// Opens path with open(2) flags. When O_CREAT is given and the open fails because a
// directory is missing, creates the directories and tries once more. With lockExclusive,
// also takes a non-blocking exclusive flock. While the file is busy or locked, tries
// again every millisecond until timeoutMs have passed. Other errors fail at once.
UniqueFd OpenFileWithRetry(const std::string& path, int flags, mode_t mode, unsigned timeoutMs,
                           bool lockExclusive = false);

bool FileExists(const std::string& path);
bool FileExistsNotDirectory(const std::string& path);
// Non-directory entries whose names match the wildcard (case-insensitive) of pattern's
// last component, in the directory the pattern names.
unsigned CountFiles(const std::string& pattern);
// Creates every directory named by path up to its last "/".
bool CreatePathDirectories(const std::string& path);
// Reads a whole file (up to maxBytes); false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& out, size_t maxBytes = 64u << 20);
