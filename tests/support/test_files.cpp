#include "tests/support/test_files.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFileText(const std::string& path, std::string_view text) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void DropFileText(const std::string& path, std::string_view text) {
  std::filesystem::path final(path);
  std::filesystem::path temporary = final.parent_path() / (".~" + final.filename().string() + ".tmp");
  WriteFileText(temporary.string(), text);
  std::filesystem::rename(temporary, final);
}

void SetMTime(const std::string& path, time_t t) {
  struct timespec times[2] = {{t, 0}, {t, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

time_t LocalAt(int year, int month, int day, int hour, int minute, int second) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return mktime(&t);
}

std::vector<std::string> FilesUnder(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec); it != std::filesystem::recursive_directory_iterator(); ++it)
    if (it->is_regular_file()) out.push_back(it->path().string());
  std::sort(out.begin(), out.end());
  return out;
}
