#include "admin/admin_requests.h"

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <set>

#include "admin/account_pages.h"
#include "admin/admin_commands.h"
#include "admin/admin_responses.h"
#include "admin/page_templates.h"
#include "admin/provisioning.h"
#include "admin/status_figures.h"
#include "admin/status_renderings.h"
#include "config/admin_password.h"
#include "httpclient/http_text.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/names.h"
#include "runtime/text_helpers.h"
#include "runtime/unique_dir.h"
#include "web/address_checks.h"
#include "web/request_parameters.h"
#include "web/web_menu.h"
#include "web/web_server.h"
#include "admin_shipped_pages.h"

namespace {
constexpr size_t kStaticPathLimit = 260;

// The path after "/ADMIN" up to a blank; the query stays.
std::string_view AfterAdmin(std::string_view path) { return path.size() > 6 ? path.substr(6) : std::string_view(); }

// True when rest (after "/ADMIN") is name followed by its end or "?".
bool IsPage(std::string_view rest, std::string_view name) {
  if (!StartsWithNoCase(rest, name)) return false;
  return rest.size() == name.size() || rest[name.size()] == '?';
}

const char* StaticContentType(std::string_view file) {
  static constexpr struct {
    const char* extension;
    const char* type;
  } kTypes[] = {
      {".dm", "application/vnd.oma.drm.message"}, {".mms", "application/vnd.wap.mms-message"},
      {".jpg", "image/jpeg"}, {".jpeg", "image/jpeg"}, {".gif", "image/gif"}, {".wbmp", "image/vnd.wap.wbmp"},
      {".txt", "text/plain"}, {".smil", "application/smil"}, {".wml", "text/vnd.wap.wml"},
      // The site's own pages and their parts.
      {".htm", "text/html"}, {".html", "text/html"}, {".css", "text/css"}, {".js", "application/javascript"},
      {".png", "image/png"}, {".svg", "image/svg+xml"}, {".ico", "image/x-icon"}, {".xml", "text/xml"},
  };
  size_t slash = file.rfind('/');
  size_t dot = file.rfind('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return nullptr;
  for (const auto& t : kTypes)
    if (EqualsNoCase(file.substr(dot), t.extension)) return t.type;
  return "";
}

std::string ContentTypeOf(std::string_view file) {
  const char* known = StaticContentType(file);
  if (known == nullptr) return "application/octet-stream";
  if (*known != '\0') return known;
  std::string extension(file.substr(file.rfind('.') + 1));
  // The system's table, then the extension itself.
  std::string table;
  if (ReadWholeFile("/etc/mime.types", table, 1 << 20)) {
    for (size_t pos = 0; pos < table.size();) {
      size_t end = FindLineEnd(table, pos);
      std::string_view line = std::string_view(table).substr(pos, end == std::string::npos ? end : end - pos);
      pos = end == std::string::npos ? table.size() : end + 1;
      if (line.empty() || line[0] == '#') continue;
      std::vector<std::string> words = SplitList(line, " \t");
      for (size_t i = 1; i < words.size(); ++i)
        if (EqualsNoCase(words[i], extension)) return words[0];
    }
  }
  return "application/" + extension;
}

void SendTemplatePage(WebConnection& c, const std::string& templateName, PageValues values, bool noCache,
                      std::string_view ownPath) {
  std::string text;
  if (!ReadWholeFile(AdminSiteDirectory() + templateName, text, 4u << 20)) {
    SendRaw(c, "HTTP/1.0 404 File Not Found\r\n\r\n");
    return;
  }
  values.tokens.emplace_back("PostURL", std::string(ownPath));
  values.tokens.emplace_back("QuitURL", ownPath == "/ADMIN" ? "/" : "/ADMIN");
  std::string page = ExpandPage(text, values);
  if (noCache) SendNoCache(c, "text/html", page);
  else SendRaw(c, std::string(kHtmlHeader) + page);
}

void SendStatusPage(WebConnection& c) {
  SendTemplatePage(c, "STATUS.HTM", StatusPageValues(GatherGatewayStatus()), true, "/ADMIN/STATUS");
}

void SendIndexPage(WebConnection& c) { SendTemplatePage(c, "INDEX.HTM", PageValues{}, false, "/ADMIN"); }

// The names of directory matching pattern, except those in skip.
void AddLogFiles(std::set<std::string>& names, const std::string& directory, std::string_view pattern,
                 std::initializer_list<std::string_view> skip) {
  UniqueDir dir(directory);
  while (dirent* e = dir.Next()) {
    std::string_view name = e->d_name;
    if (!WildcardMatchNoCase(pattern, name)) continue;
    if (std::any_of(skip.begin(), skip.end(), [&](std::string_view s) { return EqualsNoCase(s, name); })) continue;
    if (FileExistsNotDirectory(directory + std::string(name))) names.insert(std::string(name));
  }
}

void SendLogFiles(WebConnection& c, const WebRequest& request) {
  std::string wanted = RequestParameterOr(request, "LogFile", 260);
  if (!wanted.empty()) {
    wanted = wanted.substr(0, wanted.find_first_of("\\/"));
    std::string text;
    bool found = FindNoCase(wanted, ".LOG") != std::string::npos && IsSafePathName(wanted) &&
                 (ReadWholeFile(PrivateDataDirectory() + wanted, text) || ReadWholeFile(LogDirectory() + wanted, text));
    if (!found) {
      SendRaw(c, "HTTP/1.0 404 Not Found\r\n\r\n");
      return;
    }
    SendWithLength(c, "text/plain", text);
    return;
  }
  std::set<std::string> names;
  AddLogFiles(names, DebugLogDirectory(), "*DEBUG.LOG", {});
  AddLogFiles(names, LogDirectory(), "SMS*.LOG", {"SMSDEBUG.LOG"});
  AddLogFiles(names, MMSCLogDirectory(), "MMS*.LOG", {"MMSCDEBUG.LOG", "QARDIALDEBUG.LOG"});
  PageValues values;
  values.AddList("LogFileList", std::vector<std::string>(names.begin(), names.end()));
  SendTemplatePage(c, "LOGFILES.HTM", std::move(values), false, "/ADMIN/LOGFILES");
}

void SendStaticFile(WebConnection& c, std::string_view rest) {
  std::string_view path = rest.substr(0, rest.find(' '));
  if (path.size() > kStaticPathLimit) path = path.substr(0, kStaticPathLimit);
  std::string file, content;
  // The web menu's confinement: no "..", no absolute or encoded escape, nothing outside.
  if (!ResolveWebMenuFile(AdminSiteDirectory(), path, file) || !ReadWholeFile(file, content)) {
    WriteDebugLogf("ProcessAdminRequest", "Not found:  %.*s", static_cast<int>(path.size()), path.data());
    SendRaw(c, "HTTP/1.0 404 Not Found\r\n\r\n");
    return;
  }
  SendWithLength(c, ContentTypeOf(file), content);
}

// POST to "/ADMIN": the option chosen on the index page.
void ProcessIndexPost(WebConnection& c, WebRequest& request) {
  std::optional<std::string> select = RequestParameter(request, "AdminSelectOption", 100);
  if (!select) select = RequestParameter(request, "AdminSelectOption.x", 100);
  if (!select) {
    SendIndexPage(c);
    return;
  }
  std::string option = RequestParameterOr(request, "AdminOption", 100);
  WriteDebugLogf("ProcessAdminRequestPostIndex", "AdminSelectOption=%s", select->c_str());
  WriteDebugLogf("ProcessAdminRequestPostIndex", "AdminOption=%s", option.c_str());
  if (EqualsNoCase(option, "Users")) SendAccountPage(c, request, false);
  else if (EqualsNoCase(option, "SMSUsers")) SendAccountPage(c, request, true);
  else if (EqualsNoCase(option, "Status")) SendStatusPage(c);
  else if (EqualsNoCase(option, "XMLStatus")) SendNoCache(c, "application/xml", StatusXml(GatherGatewayStatus()));
  else if (EqualsNoCase(option, "LogFiles")) SendLogFiles(c, request);
  else if (EqualsNoCase(option, "ChgPass")) return;  // no page: the connection just closes
  else SendIndexPage(c);
}
}  // namespace

std::string AdminSiteDirectory() { return ProgramDataDirectory() + "WEBADMIN/"; }

bool InstallDefaultAdminPages(const std::string& directory) {
  if (FileExistsNotDirectory(directory + "INDEX.HTM")) return true;
  bool ok = CreatePathDirectories(directory);
  for (const AdminShippedPage& page : kAdminShippedPages) {
    std::string path = directory + page.name;
    if (FileExistsNotDirectory(path)) continue;
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd.valid() || WriteText(fd.get(), page.text) != page.text.size()) ok = false;
  }
  return ok;
}

bool AdminAccessAllowed(WebConnection& c, const WebRequest& request, const char* label, bool checkLogin,
                        std::string* passwordOut) {
  if (!AdminAddressAllowed(c.clientAddress)) {
    WriteDebugLogf(label, "Connection not allowed from %s...\n", c.clientAddress.c_str());
    SendAdminForbidden(c);
    return false;
  }
  std::string user, password;
  HttpBasicCredentials(request.Header(), user, password);
  user = CutTo(user, 250);
  password = CutTo(password, 250);
  if (user.empty() && password.empty()) {
    user = RequestParameter(request, "User", 250).value_or(RequestParameterOr(request, "UserName", 250));
    password = RequestParameterOr(request, "Password", 250);
  }
  if (passwordOut) *passwordOut = password;
  if (!checkLogin) return true;
  if (!AdminLoginMatches(ReadAdminCredentials(), user, password)) {
    WriteDebugLogf(label, "Administrator login refused from %s", c.clientAddress.c_str());
    SendAdminUnauthorized(c, "QarSMS Administration");
    return false;
  }
  return true;
}

bool ProcessAdminRequest(WebConnection& c, WebRequest& request) {
  c.keepAlive = false;
  if (!AdminAccessAllowed(c, request, "ProcessAdminRequest", true)) return true;
  std::string_view rest = AfterAdmin(c.path);
  if (IsPage(rest, "/USERS")) SendAccountPage(c, request, false);
  else if (IsPage(rest, "/SMSUSERS")) SendAccountPage(c, request, true);
  else if (IsPage(rest, "/LOGFILES")) SendLogFiles(c, request);
  else if (IsPage(rest, "/STATUS")) SendStatusPage(c);
  else if (IsPage(rest, "/XMLSTATUS")) SendNoCache(c, "application/xml", StatusXml(GatherGatewayStatus()));
  else if (IsPage(rest, "/STATUS.json")) SendNoCache(c, "application/json", StatusJson(GatherGatewayStatus()));
  else if (IsPage(rest, "/metrics")) SendNoCache(c, "text/plain; version=0.0.4", StatusMetrics(GatherGatewayStatus()));
  else if (IsPage(rest, "") || IsPage(rest, "/")) {
    if (c.isPost) ProcessIndexPost(c, request);
    else SendIndexPage(c);
  } else {
    std::string_view name = rest.substr(rest.empty() || rest[0] != '/' ? 0 : 1);
    size_t query = name.find('?');
    std::string program = query == std::string_view::npos ? std::string() : AdminCommandProgram(name.substr(0, query));
    if (!program.empty()) RunAdminCommand(c, request, program);
    else SendStaticFile(c, name);
  }
  return true;
}

void InstallAdminHandlers() {
  InstallDefaultAdminPages(AdminSiteDirectory());
  RegisterWebHandler(WebRoute::Admin, ProcessAdminRequest);
  RegisterWebHandler(WebRoute::Provision, ProcessProvisionRequest);
}
