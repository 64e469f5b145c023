#include "store/dir_listing.h"

#include <sys/stat.h>

#include <algorithm>

#include "runtime/names.h"
#include "runtime/text_helpers.h"
#include "runtime/unique_dir.h"

std::vector<DirEntry> ListDirectory(const std::string& dir, bool withTempFiles) {
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
    out.push_back({std::string(name), directory});
  }
  std::sort(out.begin(), out.end(), [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return out;
}

std::vector<std::string> ListNames(const std::string& dir, std::string_view pattern, bool directories) {
  std::vector<std::string> out;
  for (DirEntry& e : ListDirectory(dir)) {
    if (e.directory == directories && WildcardMatchNoCase(pattern, e.name)) out.push_back(std::move(e.name));
  }
  return out;
}
