// Directory listings for the store's walkers: sorted by name, without "." and "..".
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct DirEntry {
  std::string name;
  bool directory;
};

// Entries of dir (ending in "/"). Temporary files of PublishFile are left out unless
// withTempFiles is set; symbolic links count as what they point to.
std::vector<DirEntry> ListDirectory(const std::string& dir, bool withTempFiles = false);
// The same, keeping only the entries keep(name, directory) accepts.
using EntryFilter = std::function<bool(std::string_view name, bool directory)>;
std::vector<DirEntry> ListDirectoryWhere(const std::string& dir, const EntryFilter& keep, bool withTempFiles = false);
// The names of the files (or of the subdirectories) matching pattern without regard to case.
std::vector<std::string> ListNames(const std::string& dir, std::string_view pattern, bool directories);
