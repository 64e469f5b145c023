#include "web/web_menu.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/mutex.h"
#include "runtime/names.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "httpclient/http_text.h"
#include "web/responses.h"
#include "web/shipped_pages.h"
#include "web/web_settings.h"

namespace {
Mutex ReaderLock;
CreditBalanceReader CreditReader GUARDED_BY(ReaderLock);

bool BlockKept(std::string_view block, uint8_t opts, bool creditsKnown) {
  if (block == "TextSMS" || block == "Heavy") return true;
  if (block == "MMS") return opts == 0 || opts == 176 || opts == 178 || opts == 180;
  if (block == "WAPMM") return opts == 0 || opts == 176 || opts == 179 || opts == 180;
  if (block == "Advanced") return opts == 0 || opts == 176;
  if (block == "AvailableCredits") return creditsKnown;
  return true;
}

std::string RealDirectory(const std::string& dir) {
  char buf[PATH_MAX];
  if (realpath(dir.c_str(), buf) == nullptr) return "";
  std::string out(buf);
  if (out.empty() || out.back() != '/') out += '/';
  return out;
}
}  // namespace

std::string FilterWebMenuBlocks(std::string_view page, uint8_t webOptions, const std::optional<std::string>& credits) {
  static constexpr const char* kBlocks[] = {"TextSMS", "MMS", "WAPMM", "Advanced", "Heavy", "AvailableCredits"};
  std::string out(page);
  for (const char* block : kBlocks) {
    std::string start = StrPrintf("<!@@StartBlock%s@@>", block);
    std::string end = StrPrintf("<!@@EndBlock%s@@>", block);
    bool keep = BlockKept(block, webOptions, credits.has_value());
    size_t from = 0;
    for (;;) {
      size_t s = out.find(start, from);
      if (s == std::string::npos) break;
      size_t e = out.find(end, s + start.size());
      if (e == std::string::npos) {
        // A start without its end: only the marker goes.
        out.erase(s, start.size());
        from = s;
        continue;
      }
      if (keep) {
        std::string inner = out.substr(s + start.size(), e - s - start.size());
        if (std::string_view(block) == "AvailableCredits" && credits) {
          for (size_t p = inner.find("@@AvailableCredits@@"); p != std::string::npos;
               p = inner.find("@@AvailableCredits@@", p + credits->size()))
            inner.replace(p, 20, *credits);
        }
        out.replace(s, e + end.size() - s, inner);
        from = s + inner.size();
      } else {
        out.erase(s, e + end.size() - s);
        from = s;
      }
    }
  }
  return out;
}

bool ResolveWebMenuFile(const std::string& htmlDirectory, std::string_view requestPath, std::string& resolved) {
  std::string_view path = requestPath.substr(0, requestPath.find('?'));
  std::string decoded = PercentDecode(path);
  if (!decoded.empty() && (decoded[0] == '/' || decoded[0] == '\\')) decoded.erase(0, 1);
  if (!decoded.empty() && (decoded[0] == '/' || decoded[0] == '\\')) return false;  // absolute after the root
  if (decoded.size() >= 2 && decoded[1] == ':') return false;                        // drive letter
  if (HasControlBytes(decoded)) return false;
  std::string relative;
  size_t start = 0;
  while (start <= decoded.size()) {
    size_t end = decoded.find_first_of("/\\", start);
    if (end == std::string::npos) end = decoded.size();
    std::string_view segment = std::string_view(decoded).substr(start, end - start);
    if (segment == "..") return false;
    if (!segment.empty() && segment != ".") {
      if (!relative.empty()) relative += '/';
      relative.append(segment);
    }
    start = end + 1;
  }
  if (relative.empty()) return false;
  std::string root = RealDirectory(htmlDirectory);
  if (root.empty()) return false;
  char buf[PATH_MAX];
  if (realpath((root + relative).c_str(), buf) == nullptr) return false;
  std::string real(buf);
  if (real.compare(0, root.size(), root) != 0) return false;
  struct stat st{};
  if (stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  resolved = real;
  return true;
}

void SetCreditBalanceReader(CreditBalanceReader reader) {
  MutexLock guard(ReaderLock);
  CreditReader = std::move(reader);
}

void SendWebMenu(WebConnection& c, const WebRequest& request) {
  if (!WebSettings.WebMenu) {
    SendErrorPage(c, "400 Bad Request", "Unknown request", "No valid parameters specified, menu not enabled");
    return;
  }
  std::vector<std::string> folders;
  if (!c.user.empty() && IsSafePathName(c.user)) folders.push_back(WebSettings.UsersDirectory + c.user + "/html/");
  folders.push_back(WebSettings.HtmlDirectory);
  std::string file;
  bool found = false;
  for (const std::string& folder : folders)
    if ((found = ResolveWebMenuFile(folder, c.path, file))) break;
  if (!found) {
    for (const std::string& folder : folders)
      if ((found = ResolveWebMenuFile(folder, "/default.htm", file))) break;
  }
  std::string content;
  if (!found || !ReadWholeFile(file, content)) {
    SendNotFound(c);
    return;
  }
  const char* type = "Content-type: text/html\r\n";
  if (FindNoCase(file, ".gif") != std::string::npos) type = "Content-type: image/gif\r\n";
  else if (FindNoCase(file, ".jpg") != std::string::npos) type = "Content-type: image/jpeg\r\n";
  else {
    std::optional<std::string> credits;
    if (!c.user.empty()) {
      CreditBalanceReader reader;
      {
        MutexLock guard(ReaderLock);
        reader = CreditReader;
      }
      std::string balance;
      if (reader && reader(c.user, balance)) credits = HtmlEscape(balance);
    }
    content = FilterWebMenuBlocks(content, c.webOptions, credits);
  }
  SendResponse(c, "200 OK", type, content);
}

bool InstallDefaultWebPages(const std::string& htmlDirectory) {
  // An operator's folder is left as it is: a template removed there stays removed.
  std::string startPage = htmlDirectory + "default.htm";
  if (FileExists(startPage)) return true;
  if (!CreatePathDirectories(startPage)) return false;
  auto install = [&](const ShippedPage& page) {
    std::string target = htmlDirectory + page.name;
    UniqueFd fd(open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd) return FileExists(target);
    if (WriteText(fd.get(), page.text) == page.text.size()) return true;
    WriteDebugLog("InstallDefaultWebPages", "Unable to write " + target);
    unlink(target.c_str());
    return false;
  };
  // The start page last: until it is there, the next start completes the set.
  bool ok = true;
  for (const ShippedPage& page : kShippedPages)
    if (std::string_view(page.name) != "default.htm") ok = install(page) && ok;
  for (const ShippedPage& page : kShippedPages)
    if (std::string_view(page.name) == "default.htm") ok = install(page) && ok;
  return ok;
}
