#include "store/dir_listing.h"

#include <sys/stat.h>

#include <algorithm>

#include "runtime/names.h"
#include "runtime/text_helpers.h"
#include "runtime/unique_dir.h"

std::vector<DirEntry> ListDirectoryWhere(const std::string& dir, const EntryFilter& keep, bool withTempFiles) {
  std::vector<DirEntry> out;
  UniqueDir d(dir);
  while (struct dirent* e = d.Next()) {
    std::string_view name = e->d_name;
    if (name == "." || name == ".." || (!withTempFiles && IsTempFileName(name))) continue;
    bool directory = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      struct stat st;
      if (stat((dir + e->d_name).c_str(), &st) != 0) continue;
      directory = S_ISDIR(st.st_mode);
    }
    // Refused before it costs a copy or a place in the sort: a folder of kept copies
    // (".SMS" beside the ".IN" a walk looks for) stays cheap to look through.
    if (keep && !keep(name, directory)) continue;
    out.push_back({std::string(name), directory});
  }
  std::sort(out.begin(), out.end(), [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return out;
}

std::vector<DirEntry> ListDirectory(const std::string& dir, bool withTempFiles) {
  return ListDirectoryWhere(dir, nullptr, withTempFiles);
}

std::vector<std::string> ListNames(const std::string& dir, std::string_view pattern, bool directories) {
  std::vector<std::string> out;
  auto matches = [&](std::string_view name, bool directory) {
    return directory == directories && WildcardMatchNoCase(pattern, name);
  };
  for (DirEntry& e : ListDirectoryWhere(dir, matches)) out.push_back(std::move(e.name));
  return out;
}
