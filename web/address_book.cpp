#include "web/address_book.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "runtime/file_io.h"
#include "runtime/names.h"
#include "runtime/text_helpers.h"
#include "runtime/unique_dir.h"
#include "runtime/unique_fd.h"
#include "httpclient/http_text.h"
#include "submit/recipients.h"
#include "web/responses.h"
#include "httpclient/socket_io.h"
#include "web/request_parameters.h"
#include "web/web_settings.h"

namespace {
constexpr size_t kLineMax = 1024;
constexpr size_t kValueMax = 100;
constexpr const char* kAddressFile = "ADDRESS.LST";
constexpr const char* kNoCache = "Expires: Tue, 01 Jan 1980 1:00:00 GMT\r\nCache-Control: no-cache\r\n";

// An exclusive flock on the list file itself, taken again when the file was replaced or
// deleted while we waited, so that every read-modify-write sees the latest content.
UniqueFd LockList(const std::string& path, bool create) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
    UniqueFd fd = create ? OpenFileWithRetry(path, flags, 0664, 0) : UniqueFd(open(path.c_str(), flags));
    if (!fd.valid()) return fd;
    if (flock(fd.get(), LOCK_EX) != 0) return UniqueFd();
    struct stat held, now;
    if (fstat(fd.get(), &held) == 0 && stat(path.c_str(), &now) == 0 && held.st_ino == now.st_ino &&
        held.st_dev == now.st_dev)
      return fd;
    if (!create) return UniqueFd();
  }
  return UniqueFd();
}

std::string ReadAll(int fd) {
  std::string out;
  char buf[8192];
  off_t offset = 0;
  for (;;) {
    ssize_t n = pread(fd, buf, sizeof buf, offset);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
    offset += n;
  }
  return out;
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  while (!text.empty()) {
    size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) lines.emplace_back(line.substr(0, kLineMax));
  }
  return lines;
}

std::string NumberOf(std::string_view line) { return std::string(line.substr(0, line.find(' '))); }

bool HasNumber(const std::vector<std::string>& lines, std::string_view number) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return EqualsNoCase(NumberOf(l), number); });
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\r\n";
  return out;
}

bool Replace(int fd, const std::string& content) {
  if (pwrite(fd, content.data(), content.size(), 0) != static_cast<ssize_t>(content.size())) return false;
  return ftruncate(fd, static_cast<off_t>(content.size())) == 0;
}

std::string Entry(std::string_view number, std::string_view name) {
  std::string line = StripControlBytes(number);
  std::string n = StripControlBytes(Trim(name));
  if (!n.empty()) line += " - " + n;
  return line;
}

// An import line: the number (up to a space, "," or ";"), then spaces and one optional
// "-", "," or ";", then the name.
std::string ImportEntry(std::string_view line, std::string& number) {
  line = SkipBlanks(line);
  size_t end = line.find_first_of(" ,;\t");
  std::string_view raw = line.substr(0, std::min<size_t>(end, kValueMax));
  uint16_t port = 0;
  number = NormaliseRecipient(raw, port);
  std::string_view rest = end == std::string_view::npos ? std::string_view() : line.substr(end);
  rest = SkipSpaces(rest);
  if (!rest.empty() && (rest[0] == '-' || rest[0] == ',' || rest[0] == ';')) rest.remove_prefix(1);
  rest = Trim(rest);
  return Entry(number, rest.substr(0, kValueMax));
}

std::vector<std::string> SplitLinesKeepEmpty(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line.substr(0, 2048));
  }
  return lines;
}

std::vector<std::string> ListNames(const std::string& dir) {
  std::vector<std::string> names;
  UniqueDir h(dir);
  while (struct dirent* e = h.Next()) {
    std::string_view n = e->d_name;
    if (n.size() > 4 && EndsWithNoCase(n, ".TXT")) names.emplace_back(n.substr(0, n.size() - 4));
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) { return CompareNoCase(a, b) < 0; });
  return names;
}

std::string Param(const WebRequest& r, std::string_view name, size_t maxLen = kValueMax) {
  return std::string(Trim(RequestParameterOr(r, name, maxLen)));
}

void SendLinesHeader(WebConnection& c, bool plain) {
  c.keepAlive = false;
  std::string header = std::string(ResponseVersion(c)) + " 200 OK\r\n" + ConnectionHeaderLine(c) +
                       (plain ? "Content-type: text/plain\r\n" : "Content-type: text/html\r\n") + kNoCache + "\r\n";
  SendData(c.socket, c.ssl, header);
}

void SendTextAnswer(WebConnection& c, const std::vector<std::string>& lines) {
  SendLinesHeader(c, true);
  std::string body;
  for (const std::string& l : lines) body += l + "\r\n";
  SendData(c.socket, c.ssl, body);
}

struct Placeholder {
  std::string token;
  std::vector<std::string> items;
};

// False when the template is missing (the request is then answered as not found).
bool SendTemplate(WebConnection& c, const char* file, const std::vector<Placeholder>& placeholders) {
  std::string page;
  if (!ReadWholeFile(WebSettings.HtmlDirectory + file, page, 1u << 20)) return false;
  std::string body;
  for (std::string line : SplitLinesKeepEmpty(page)) {
    const Placeholder* hit = nullptr;
    for (const Placeholder& p : placeholders)
      if (FindToken(line, p.token) != std::string::npos) hit = &p;
    if (!hit) {
      body += line + "\r\n";
      continue;
    }
    for (const std::string& item : hit->items) {
      std::string copy = line;
      for (size_t at; (at = FindToken(copy, hit->token)) != std::string::npos;)
        copy.replace(at, hit->token.size(), HtmlEscape(item));
      body += copy + "\r\n";
    }
  }
  SendLinesHeader(c, false);
  SendData(c.socket, c.ssl, body);
  return true;
}
}  // namespace

std::vector<std::string> ReadListLines(const std::string& path) {
  std::string content;
  if (!ReadWholeFile(path, content, 64u << 20)) return {};
  return SplitLines(content);
}

bool RemoveListLine(const std::string& path, std::string_view number, bool deleteWhenEmpty) {
  UniqueFd fd = LockList(path, false);
  if (!fd.valid()) return false;
  std::vector<std::string> lines = SplitLines(ReadAll(fd.get()));
  size_t before = lines.size();
  lines.erase(std::remove_if(lines.begin(), lines.end(),
                             [&](const std::string& l) { return EqualsNoCase(NumberOf(l), number); }),
              lines.end());
  if (lines.size() == before) return false;
  if (lines.empty() && deleteWhenEmpty) {
    unlink(path.c_str());  // while still held: waiters see the inode change
    return true;
  }
  return Replace(fd.get(), JoinLines(lines));
}

bool AddListLine(const std::string& path, std::string_view line, bool replace) {
  std::string entry = StripControlBytes(line);
  std::string number = NumberOf(entry);
  if (number.empty()) return false;
  UniqueFd fd = LockList(path, true);
  if (!fd.valid()) return false;
  std::vector<std::string> lines = SplitLines(ReadAll(fd.get()));
  if (HasNumber(lines, number)) {
    if (!replace) return false;
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [&](const std::string& l) { return EqualsNoCase(NumberOf(l), number); }),
                lines.end());
  }
  lines.push_back(entry);
  return Replace(fd.get(), JoinLines(lines));
}

bool HandleAddressBook(WebConnection& c, WebRequest& r) {
  std::string dir = DistributionListDir(c.user);
  if (dir.empty()) return false;
  std::string book = dir + kAddressFile;
  std::string member = Param(r, "AddrBookMember", std::max<size_t>(r.text.size(), kValueMax));
  std::string memberName = Param(r, "AddrBookMemberName");
  std::string memberAction = Param(r, "AddrBookMemberAction");
  std::string action = Param(r, "AddrBookAction");

  if (EqualsNoCase(action, "Import")) {
    std::string data = RequestParameterOr(r, "AddrBookImportData", std::max<size_t>(r.text.size(), kValueMax));
    if (data.empty()) return SendTemplate(c, "Address Book Import.htm", {});
    if (RequestFlag(r, "AddrBookImportReplace")) unlink(book.c_str());
    for (const std::string& line : SplitLines(data)) {
      std::string number;
      std::string entry = ImportEntry(line, number);
      if (!number.empty()) AddListLine(book, entry, true);
    }
  } else if (EqualsNoCase(memberAction, "List")) {
    if (!FileExistsNotDirectory(book)) {
      SendTextAnswer(c, {"ERROR : ADDRESS.LST not found"});
      return true;
    }
    std::vector<std::string> lines = {"OK : ADDRESS.LST"};
    for (std::string& l : ReadListLines(book)) lines.push_back(std::move(l));
    SendTextAnswer(c, lines);
    return true;
  } else if (EqualsNoCase(memberAction, "Add") && !member.empty()) {
    AddListLine(book, Entry(NumberOf(member), memberName), true);
  } else if (EqualsNoCase(memberAction, "Delete") && !member.empty()) {
    for (const std::string& item : SplitList(member)) {
      if (item.size() > 1 && item[0] == '#') {
        std::string name(Trim(item.substr(1, item.rfind(" [DList]") == std::string::npos ? std::string::npos
                                                                                        : item.rfind(" [DList]") - 1)));
        std::string file = FindListFile(dir, name);
        if (!file.empty()) unlink(file.c_str());
      } else {
        RemoveListLine(book, NumberOf(item), false);
      }
    }
  }
  Placeholder members{"@@AddrBookMembers@@", ReadListLines(book)};
  for (const std::string& list : ListNames(dir)) members.items.push_back("#" + list + " [DList]");
  return SendTemplate(c, "Address Book.htm", {members});
}

bool HandleDistributionLists(WebConnection& c, WebRequest& r) {
  std::string dir = DistributionListDir(c.user);
  if (dir.empty()) return false;
  std::string name = Param(r, "DListName");
  std::string action = Param(r, "DListAction");
  std::string member = NumberOf(Param(r, "DListMember"));
  std::string memberAction = Param(r, "DListMemberAction");
  std::string memberName = Param(r, "DListMemberName");
  if (!name.empty() && !IsSafePathName(name)) {
    SendErrorPage(c, "400 Bad Request", "Invalid Parameter", "Invalid Parameter", "Invalid distribution list name.");
    return true;
  }
  std::string existing = name.empty() ? std::string() : FindListFile(dir, name);
  std::string path = existing.empty() && !name.empty() ? dir + name + ".TXT" : existing;

  if (EqualsNoCase(action, "Import") && !name.empty()) {
    std::string data = RequestParameterOr(r, "DListImportData", std::max<size_t>(r.text.size(), kValueMax));
    if (data.empty()) return SendTemplate(c, "DList Import.htm", {{"@@DListName@@", {name}}});
    if (RequestFlag(r, "DListImportReplace")) unlink(path.c_str());
    for (const std::string& line : SplitLines(data)) {
      std::string number;
      std::string entry = ImportEntry(line, number);
      if (!number.empty()) AddListLine(path, entry, false);
    }
  } else if (EqualsNoCase(action, "List")) {
    if (name.empty()) {
      SendTextAnswer(c, ListNames(dir));
    } else if (existing.empty()) {
      SendTextAnswer(c, {"ERROR : " + name + " not found"});
    } else {
      std::vector<std::string> lines = {"OK : " + name};
      for (std::string& l : ReadListLines(existing)) lines.push_back(std::move(l));
      SendTextAnswer(c, lines);
    }
    return true;
  }
  if (name.empty())
    return SendTemplate(c, "DList Index.htm", {{"@@DListIndex@@", ListNames(dir)}});
  if (EqualsNoCase(action, "Add")) {
    UniqueFd created = LockList(path, true);
  } else if (EqualsNoCase(action, "Delete")) {
    if (UniqueFd held = LockList(path, false); held.valid()) unlink(path.c_str());
  } else if (EqualsNoCase(memberAction, "Add") && !member.empty()) {
    AddListLine(path, Entry(member, memberName), false);
    if (!memberName.empty()) AddListLine(dir + kAddressFile, Entry(member, memberName), false);
  } else if (EqualsNoCase(memberAction, "Delete") && !member.empty()) {
    RemoveListLine(path, member, true);
  }
  Placeholder book{"@@AddrBookMembers@@", ReadListLines(dir + kAddressFile)};
  for (const std::string& list : ListNames(dir)) book.items.push_back("#" + list + " [DList]");
  return SendTemplate(c, "DList Members.htm",
                      {{"@@DListName@@", {name}}, {"@@DListMembers@@", ReadListLines(path)}, book});
}
