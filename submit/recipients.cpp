#include "submit/recipients.h"

#include <arpa/inet.h>

#include <map>

#include "config/settings.h"
#include "config/value_checks.h"
#include "runtime/config_access.h"
#include "runtime/file_io.h"
#include "runtime/names.h"
#include "runtime/text_helpers.h"
#include "runtime/mutex.h"
#include "runtime/unique_dir.h"

namespace {
constexpr size_t kEntryMax = 100;
constexpr size_t kListLineMax = 250;

// Names of the directory, read once per expansion.
struct ListDirectory {
  std::string dir;
  bool read = false;
  std::vector<std::string> names;
};

// The last listing of each list directory, reused while its watch sees no change: most
// submissions name no list, and a look per request would cost a directory open.
struct ListingCache {
  Mutex lock;
  std::map<std::string, std::pair<uint64_t, std::vector<std::string>>> listings GUARDED_BY(lock);
};
ListingCache g_listings;

std::vector<std::string> ListNames(const std::string& dir) {
  uint64_t count = WatchedChangeCount(dir);
  if (count != 0) {
    MutexLock guard(g_listings.lock);
    auto it = g_listings.listings.find(dir);
    if (it != g_listings.listings.end() && it->second.first == count) return it->second.second;
  }
  std::vector<std::string> names;
  UniqueDir h(dir);
  while (struct dirent* e = h.Next()) {
    std::string_view n = e->d_name;
    if (EndsWithNoCase(n, ".TXT")) names.emplace_back(n);
  }
  if (count != 0) {
    MutexLock guard(g_listings.lock);
    // Users' list directories come and go; the cache keeps to a bounded few.
    if (g_listings.listings.size() >= 64) g_listings.listings.clear();
    g_listings.listings[dir] = {count, names};
  }
  return names;
}

std::string FindIn(ListDirectory& d, std::string_view name) {
  if (d.dir.empty() || !IsSafePathName(name)) return {};
  if (!d.read) {
    d.read = true;
    d.names = ListNames(d.dir);
  }
  for (const std::string& n : d.names)
    if (n.size() == name.size() + 4 && StartsWithNoCase(n, name)) return d.dir + n;
  return {};
}

void AddRecipient(std::string_view entry, std::vector<std::string>& out, uint16_t& port) {
  std::string r = NormaliseRecipient(entry, port);
  if (!r.empty()) out.push_back(std::move(r));
}
}  // namespace

std::string DistributionListDir(std::string_view user) {
  std::string dir = ProgramDataDirectory() + "DLists/";
  if (user.empty()) return dir;
  if (!IsSafePathName(user)) return {};
  return dir + std::string(user) + "/";
}

std::string FindListFile(const std::string& dir, std::string_view name) {
  ListDirectory d;
  d.dir = dir;
  return FindIn(d, name);
}

std::string NormaliseRecipient(std::string_view entry, uint16_t& port) {
  std::string_view e = Trim(entry);
  if (e.empty() || IsDottedIPv4(e) || Settings.AllowAlphaRecip) return std::string(e);
  size_t colon = e.rfind(':');
  if (colon != std::string_view::npos) {
    uint32_t p = ParseDecimal(e.substr(colon + 1));
    if (port == 0 && p != 0 && p <= 0xFFFF) port = static_cast<uint16_t>(p);
    e = e.substr(0, colon);
  }
  std::string out;
  if (!e.empty() && e[0] == '+') out += '+';
  for (char c : e)
    if (c >= '0' && c <= '9') out += c;
  return out == "+" ? std::string() : out;
}

std::vector<std::string> SplitRecipientList(std::string_view list) {
  std::vector<std::string> entries;
  size_t pos = 0;
  while (pos < list.size()) {
    size_t end = pos;
    while (end < list.size() && list[end] != ',' && list[end] != ';' && static_cast<unsigned char>(list[end]) > 0x20)
      ++end;
    std::string_view entry = Trim(list.substr(pos, std::min(end - pos, kEntryMax)));
    pos = end + 1;
    if (!entry.empty()) entries.emplace_back(entry);
  }
  return entries;
}

std::vector<std::string> ExpandRecipientEntries(const std::vector<std::string>& entries, std::string_view user,
                                                uint16_t& destinationPort) {
  std::vector<std::string> out;
  ListDirectory lists;
  lists.dir = DistributionListDir(user);
  for (const std::string& entry : entries) {
    std::string file = FindIn(lists, entry);
    if (file.empty()) {
      AddRecipient(entry, out, destinationPort);
      continue;
    }
    std::string content;
    if (!ReadWholeFile(file, content, 16u << 20)) continue;
    std::string_view rest = content;
    if (rest.substr(0, 3) == "\xEF\xBB\xBF") rest.remove_prefix(3);
    while (!rest.empty()) {
      size_t eol = rest.find('\n');
      std::string_view line = rest.substr(0, eol);
      rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
      line = line.substr(0, kListLineMax);
      line = SkipBlanks(line);
      line = line.substr(0, line.find_first_of(" \t\r"));
      AddRecipient(line, out, destinationPort);
    }
  }
  return out;
}

std::vector<std::string> ExpandRecipients(std::string_view list, std::string_view user, uint16_t& destinationPort) {
  return ExpandRecipientEntries(SplitRecipientList(list), user, destinationPort);
}
