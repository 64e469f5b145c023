#include "mms/mms_submit.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "config/settings_registry.h"
#include "httpclient/client_connect.h"
#include "httpclient/http_client.h"
#include "httpclient/http_text.h"
#include "mms/mms_store.h"
#include "outside/qarmedia/qarmedia.h"
#include "push/wbxml.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/local_system_account.h"
#include "runtime/names.h"
#include "runtime/process_runner.h"
#include "runtime/str_printf.h"
#include "runtime/stream_socket.h"
#include "runtime/text_helpers.h"
#include "runtime/unique_fd.h"
#include "store/dir_listing.h"
#include "store/queue_dirs.h"
#include "store/unique_ids.h"

MmsSubmitSettingsRecord MmsSubmitSettings;

namespace {

constexpr const char* kLabel = "SubmitMMS";

std::string Mmsc(const char* key, const char* def = "") { return MMSCIniString("MMSC", key, def); }

// Q form for Subject and From: kept as is when every byte is printable ASCII.
std::string HeaderText(std::string_view value) {
  bool plain = true;
  for (unsigned char c : value)
    if (c < 0x20 || c >= 0x7F) plain = false;
  if (plain) return std::string(value);
  std::string out = "=?utf-8?Q?";
  for (unsigned char c : value) {
    if (c >= 0x20 && c < 0x7F && c != '=' && c != '?')
      out += static_cast<char>(c);
    else
      out += StrPrintf("=%02X", c);
  }
  return out + "?=";
}

// MMSHeaders: lines with a colon, without control bytes, never our own part lines.
std::string ExtraHeaders(std::string_view text) {
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = FindLineEnd(text, pos);
    std::string line = StripControlBytes(text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
    pos = end == std::string_view::npos ? text.size() : end + 1;
    if (line.find(':') == std::string::npos || StartsWithNoCase(line, "X-QarMMS-")) continue;
    out += line + "\r\n";
  }
  return out;
}

bool SectionHasEntries(std::string_view section) { return !MMSCIniSection(section).empty(); }

bool IsRouted(const MmsSubmitRequest& r) {
  return !r.pushKind.empty() || SectionHasEntries("Outbound MMS Routing") || MainFlag("RouteMMSViaMMSC") ||
         !Trim(Mmsc("DefaultOutboundRoute")).empty() || ConfigBool(Mmsc("WAPPushToExternalUsers")) ||
         ParseDecimal(Mmsc("ExpireDynamicLinks")) != 0 || !Trim(Mmsc("MMSRoutingURL")).empty() ||
         SectionHasEntries("IPNotify");
}

// A part file name from a URL's last path component or a client's name.
std::string PartFileName(std::string_view given, unsigned number) {
  std::string name(given.substr(0, given.find('?')));
  size_t cut = name.find_last_of("/\\");
  if (cut != std::string::npos) name = name.substr(cut + 1);
  name = StripControlBytes(name);
  for (char& c : name)
    if (c == '?' || c == '*' || c == ':' || c == '/' || c == '\\' || c == '|') c = '-';
  if (name.size() > 200) name = name.substr(name.size() - 200);
  if (name.empty() || name == "." || name == ".." || !IsSafePathName(name)) name = StrPrintf("unk%u", number);
  return name;
}

// name, or name1.. before the extension when taken, or a fresh name; "" when none is free.
std::string FreeName(const std::string& dir, const std::string& name) {
  size_t dot = name.rfind('.');
  std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  std::string ext = dot == std::string::npos || dot == 0 ? "" : name.substr(dot);
  for (unsigned i = 0; i <= 100; ++i) {
    std::string candidate = i == 0 ? name : stem + StrPrintf("%u", i) + ext;
    if (!FileExists(dir + candidate)) return candidate;
  }
  return stem + StrPrintf("-%08X", NextUniqueId()) + ext;
}

bool WriteNewFile(const std::string& path, std::string_view data) {
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd) return false;
  if (!data.empty() && WriteText(fd.get(), data) != data.size()) {
    fd.reset();
    unlink(path.c_str());
    return false;
  }
  return true;
}

// Everything this request made in TEMP/, removed when the submission ends.
struct WorkFiles {
  std::string dir;                  // TEMP/<id>/
  std::vector<std::string> files;   // inside dir and beside it
  ~WorkFiles() {
    for (const std::string& f : files) unlink(f.c_str());
    if (!dir.empty()) {
      for (const std::string& f : ListNames(dir, "*", false)) unlink((dir + f).c_str());
      rmdir(dir.c_str());
    }
  }
};

int CallIsMMSCServiceActive() {
  std::string path = RealProgramDirectory() + "libqarmedia.so";
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return -1;
  auto fn = reinterpret_cast<decltype(&IsMMSCServiceActive)>(dlsym(handle, "IsMMSCServiceActive"));
  int active = fn ? fn() : -1;
  dlclose(handle);
  return active;
}

MmsSubmitResult Fail(std::string text) {
  WriteDebugLogf(kLabel, "%s", text.c_str());
  return {MmsSubmitStatus::Failed, std::move(text)};
}

std::string QueryArguments(const MmsSubmitRequest& r) {
  std::string query;
  auto add = [&](std::string_view name, std::string_view value) {
    query += query.empty() ? "?" : "&";
    query += std::string(name) + "=" + UrlEscape(value);
  };
  if (!r.from.empty()) add("SENDER", r.from);
  for (const auto& [name, value] : r.passedOn) add(name, value);
  if (r.wapUrlOnly) query += query.empty() ? "?MMWAPURLOnly=Yes" : "&MMWAPURLOnly=Yes";
  return query;
}

MmsSubmitResult HandOver(const MmsSubmitRequest& r, const std::string& messagePath) {
  uint32_t port = ParseDecimal(Mmsc("WebPortDynamic"));
  if (port == 0) port = ParseDecimal(Mmsc("WebPort", "8080"));
  if (port == 0 || port > 65535) port = 8080;
  std::string address(Trim(Mmsc("IPAddress", "127.0.0.1")));
  if (address.empty()) address = "127.0.0.1";
  std::string message;
  if (!ReadWholeFile(messagePath, message)) return Fail("Internal Error (message file unreadable)");
  ConnectFailure failure;
  UniqueFd sock = ConnectTcp(address, static_cast<uint16_t>(port), 30000, failure);
  if (!sock) {
    WriteDebugLogf(kLabel, "Unable to connect to %s:%u", address.c_str(), port);
    return {MmsSubmitStatus::Failed, "Internal Error (unable to connect to MMSC)"};
  }
  std::string request = StrPrintf("POST /%s=%s", "localSystem", LocalSystemPassword().c_str()) + QueryArguments(r) +
                        " HTTP/1.0\r\nContent-type: application/vnd.wap.mms-message\r\n" +
                        StrPrintf("Content-length: %zu\r\n\r\n", message.size()) + message;
  if (SendAllWithin(sock.get(), request, 30000) != 0) return Fail("Invalid response from MMSC");
  std::string response;
  if (HttpResponseWait(sock.get(), nullptr, response, false, 120) == 0 || !response.starts_with("HTTP/"))
    return Fail("Invalid response from MMSC");
  size_t sp = response.find(' ');
  unsigned status = sp == std::string::npos ? 0 : ParseDecimal(std::string_view(response).substr(sp + 1, 3));
  if (status < 200 || status > 299) return Fail(StrPrintf("Error code %u from MMSC", status));
  WriteDebugLog(kLabel, "Checking Message-ID MMS header");
  std::string id;
  size_t headerEnd = response.find("\r\n\r\n");
  std::string_view header = std::string_view(response).substr(0, headerEnd);
  for (size_t pos = 0; pos < header.size();) {
    size_t end = FindLineEnd(header, pos);
    std::string_view line = header.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    pos = end == std::string_view::npos ? header.size() : end + 1;
    if (StartsWithNoCase(line, "Message-ID:")) id = StripControlBytes(Trim(line.substr(11)));
  }
  return {MmsSubmitStatus::Accepted, "MMSMessageID=" + id};
}

}  // namespace

std::string NormaliseMmsSender(std::string_view from, bool allowAlpha) {
  if (from.find('@') != std::string_view::npos || allowAlpha) return StripControlBytes(from);
  std::string_view cut = from.substr(0, from.find(':'));
  std::string out;
  for (size_t i = 0; i < cut.size(); ++i)
    if ((cut[i] >= '0' && cut[i] <= '9') || (i == 0 && cut[i] == '+')) out += cut[i];
  return out;
}

std::string MmsTypeForFileName(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return "";
  std::string ext(name.substr(dot));
  static const char* const kTypes[] = {"image/jpeg", "image/gif", "image/png", "image/vnd.wap.wbmp", "text/plain",
                                       "application/smil", "audio/amr", "audio/mpeg", "video/3gpp", "video/mp4",
                                       "text/x-vCard", "text/x-vCalendar", "audio/midi"};
  for (const char* type : kTypes)
    if (EqualsNoCase(MmsExtensionForType(type), ext)) return type;
  if (EqualsNoCase(ext, ".jpeg")) return "image/jpeg";
  if (EqualsNoCase(ext, ".dm")) return "application/vnd.oma.drm.message";
  return "";
}

std::string MmsSubmitHeaderText(const MmsSubmitRequest& r, unsigned transactionId, bool routed) {
  std::string out = routed ? "X-MMS-Message-type: m-send-req\r\n" : "X-MMS-Message-type: m-retrieve-conf\r\n";
  bool applic = !r.applicId.empty() || !r.replyApplicId.empty();
  out += applic ? "X-MMS-MMS-Version: 1.3\r\n" : "X-MMS-MMS-Version: Auto\r\n";
  out += StrPrintf("X-MMS-Transaction-ID: %08X\r\n", transactionId);
  if (routed) {
    std::string kind = r.pushKind.empty() ? "PLMN" : r.pushKind;
    std::string suffix = !r.pushKind.empty() && !r.pushTemplate.empty() ? ":" + StripControlBytes(r.pushTemplate) : "";
    for (const std::string& to : r.recipients)
      out += std::string(r.bcc ? "Bcc" : "To") + ": " + StripControlBytes(to) + "/TYPE=" + kind + suffix + "\r\n";
  }
  if (!r.subject.empty()) out += "Subject: " + HeaderText(r.subject) + "\r\n";
  if (!r.from.empty()) out += "From: " + HeaderText(r.from) + "\r\n";
  if (r.deliveryReport) out += std::string("X-MMS-Delivery-Report: ") + (*r.deliveryReport ? "Yes" : "No") + "\r\n";
  if (r.readReport) out += std::string("X-MMS-Read-Reply: ") + (*r.readReport ? "Yes" : "No") + "\r\n";
  if (!r.priority.empty())
    out += std::string("X-MMS-Priority: ") +
           (StartsWithNoCase(r.priority, "Lo") ? "Low" : StartsWithNoCase(r.priority, "Hi") ? "High" : "Normal") + "\r\n";
  if (!r.messageClass.empty())
    out += std::string("X-MMS-Message-Class: ") +
           (StartsWithNoCase(r.messageClass, "Info")  ? "Informational"
            : StartsWithNoCase(r.messageClass, "Ad") ? "Advertisement"
                                                     : "Personal") +
           "\r\n";
  if (!r.applicId.empty()) out += "X-MMS-Applic-ID: " + StripControlBytes(r.applicId) + "\r\n";
  if (!r.replyApplicId.empty()) out += "X-MMS-Reply-Applic-ID: " + StripControlBytes(r.replyApplicId) + "\r\n";
  out += ExtraHeaders(r.headers) + "\r\n";
  return out;
}

std::string MmsSmilFor(const std::vector<std::string>& partLines) {
  bool old = ConfigBool(Mmsc("EMailAutoSmilOldFormat", "No"));
  auto duration = [](const char* key, const char* def) {
    std::string v(Trim(Mmsc(key)));
    return HtmlEscape(v.empty() ? def : v);
  };
  std::string smil = "<smil>";
  if (!old) {
    std::string header = UnescapeCrLf(Mmsc("EMailAutoSmilHeader"));
    smil += !header.empty() ? header
                            : "<head><layout><region id=\"Image\" height=\"100%\" width=\"100%\" fit=\"meet\"/>"
                              "<region id=\"Text\" height=\"100%\" width=\"100%\" fit=\"scroll\"/></layout></head>";
  }
  smil += "<body>";
  bool open = false;
  unsigned audio = 0, text = 0, visual = 0;
  auto close = [&] {
    if (open) smil += "</par>";
    open = false;
    audio = text = visual = 0;
  };
  auto openPar = [&](const std::string& dur) {
    if (!open) smil += "<par dur=\"" + dur + "\">";
    open = true;
  };
  for (const std::string& line : partLines) {
    size_t semi = line.find(';');
    std::string name = line.substr(0, semi);
    std::string type = semi == std::string::npos ? MmsTypeForFileName(name) : line.substr(semi + 1);
    type = type.substr(0, type.find(';'));
    if (EqualsNoCase(type, "application/smil")) return "";
    std::string src = HtmlEscape(name.substr(name.find_last_of("/\\") + 1));
    if (EqualsNoCase(type, "text/plain")) {
      if (text || visual) close();
      openPar(duration("EMailAutoSmilParDurText", "3s"));
      smil += "<text src=\"" + src + "\"" + (old ? "" : " region=\"Text\"") + "/>";
      ++text;
    } else if (StartsWithNoCase(type, "audio/")) {
      if (audio) close();
      openPar(duration("EMailAutoSmilParDurImage", "5s"));
      smil += "<audio src=\"" + src + "\"/>";
      ++audio;
    } else if (StartsWithNoCase(type, "video/")) {
      if (text || visual) close();
      openPar(duration("EMailAutoSmilParDurVideo", "11s"));
      smil += "<video src=\"" + src + "\"" + (old ? "" : " region=\"Image\"") + "/>";
      ++visual;
    } else {
      if (text || visual) close();
      openPar(duration("EMailAutoSmilParDurImage", "5s"));
      smil += std::string(StartsWithNoCase(type, "image/") ? "<img" : "<ref") + " src=\"" + src + "\"" +
              (old ? "" : " region=\"Image\"") + "/>";
      ++visual;
    }
  }
  close();
  return smil + "</body></smil>";
}

std::string MmsDrmRights(const MmsSubmitRequest& r, std::string_view contentId) {
  std::string constraint;
  if (!r.count.empty()) constraint += "<o-dd:count>" + HtmlEscape(StripControlBytes(r.count)) + "</o-dd:count>";
  if (!r.start.empty() || !r.end.empty()) {
    constraint += "<o-dd:datetime>";
    if (!r.start.empty()) constraint += "<o-dd:start>" + HtmlEscape(StripControlBytes(r.start)) + "</o-dd:start>";
    if (!r.end.empty()) constraint += "<o-dd:end>" + HtmlEscape(StripControlBytes(r.end)) + "</o-dd:end>";
    constraint += "</o-dd:datetime>";
  }
  if (!r.interval.empty())
    constraint += "<o-dd:interval>" + HtmlEscape(StripControlBytes(r.interval)) + "</o-dd:interval>";
  std::string inner = constraint.empty() ? "" : "<o-ex:constraint>" + constraint + "</o-ex:constraint>";
  std::string permission;
  auto add = [&](bool on, const char* name) {
    if (on) permission += std::string("<o-dd:") + name + ">" + inner + "</o-dd:" + name + ">";
  };
  add(r.play, "play");
  add(r.display, "display");
  add(r.execute, "execute");
  add(r.print, "print");
  return "<o-ex:rights xmlns:o-ex=\"http://odrl.net/1.1/ODRL-EX\" xmlns:o-dd=\"http://odrl.net/1.1/ODRL-DD\">"
         "<o-ex:context><o-dd:version>1.0</o-dd:version></o-ex:context><o-ex:agreement><o-ex:asset><o-ex:context>"
         "<o-dd:uid>cid:" + HtmlEscape(contentId) + "</o-dd:uid></o-ex:context></o-ex:asset><o-ex:permission>" +
         permission + "</o-ex:permission></o-ex:agreement></o-ex:rights>";
}

std::string MmsDrmMessage(const MmsSubmitRequest& r, std::string_view type, std::string_view contentId,
                          std::string_view data, unsigned number) {
  std::string boundary = StrPrintf("--drm-boundary-%08X", number);
  std::string out;
  if (r.drmRestrict) {
    std::string rights = MmsDrmRights(r, contentId), binary, error;
    // WBXML 1.3 in UTF-8; should a client's constraint text defeat the compiler, the XML
    // object still carries the same rights.
    if (!r.rightsAsXml && !CompileXmlDocument(rights, 0x03, 0x6A, binary, error))
      WriteDebugLogf(kLabel, "DRM rights sent as XML: %s", error.c_str());
    bool wbxml = !r.rightsAsXml && !binary.empty();
    out += boundary + "\r\nContent-Type: application/vnd.oma.drm.rights+" + (wbxml ? "wbxml" : "xml") +
           "\r\nContent-Transfer-Encoding: binary\r\n\r\n" + (wbxml ? binary : rights) + "\r\n";
  }
  out += boundary + "\r\nContent-Type: " + std::string(type.empty() ? "application/octet-stream" : type) + "\r\n";
  if (r.drmRestrict) out += "Content-ID: <" + std::string(contentId) + ">\r\n";
  out += "Content-Transfer-Encoding: binary\r\n\r\n" + std::string(data) + "\r\n" + boundary + "--\r\n";
  return out;
}

MmsSubmitResult SubmitMMS(const MmsSubmitRequest& r) {
  if (CallIsMMSCServiceActive() != 1) {
    WriteDebugLog(kLabel, "MMS service not active");
    return {MmsSubmitStatus::ServiceInactive, "MMS service not active"};
  }
  std::string temp = PrivateDataDirectory() + "TEMP/";
  CreatePathDirectories(temp);
  WorkFiles work;
  std::string id;
  for (int attempt = 0; attempt < 1000 && work.dir.empty(); ++attempt) {
    id = StrPrintf("%08X", NextUniqueId());
    if (FileExists(temp + id + ".hdr")) continue;
    if (mkdir((temp + id).c_str(), 0755) == 0) work.dir = temp + id + "/";
    else if (errno != EEXIST) break;
  }
  if (work.dir.empty()) return Fail("Internal Error (no work folder)");
  std::string base = temp + id;
  for (const char* ext : {".hdr", ".txt", ".smil", ".MMS"}) work.files.push_back(base + ext);

  std::vector<std::string> partLines;  // relative to TEMP/: "<id>/name" or "<id>.txt;text/plain..."
  if (r.text) {
    if (!WriteNewFile(base + ".txt", *r.text)) return Fail("Internal Error (text part not written)");
    partLines.push_back(id + ".txt;text/plain;charset=utf-8");
  }
  unsigned number = 0;
  for (const MmsContentFile& f : r.files) {
    ++number;
    bool url = StartsWithNoCase(f.value, "http://") || StartsWithNoCase(f.value, "https://");
    if (url) {
      HttpResponse response;
      RetrieveOptions options;
      options.timeoutSeconds = 120;
      std::string error;
      options.errorText = &error;
      if (!RetrieveURL(f.value, response, options)) {
        WriteDebugLogf(kLabel, "Part %s not fetched: %s", f.value.c_str(), error.c_str());
        continue;
      }
      std::string name = FreeName(work.dir, PartFileName(f.value.substr(f.value.find("://") + 3), number));
      if (!WriteNewFile(work.dir + name, response.Body())) continue;
      partLines.push_back(id + "/" + name);
    } else if (!f.uploadedPath.empty()) {
      std::string name = FreeName(work.dir, PartFileName(f.clientName.empty() ? f.value : f.clientName, number));
      // The part keeps the client's name; the upload itself belongs to the request.
      if (link(f.uploadedPath.c_str(), (work.dir + name).c_str()) != 0) {
        std::string data;
        if (!ReadWholeFile(f.uploadedPath, data) || !WriteNewFile(work.dir + name, data)) continue;
      }
      partLines.push_back(id + "/" + name);
    } else {
      WriteDebugLogf(kLabel, "Part %s is neither a URL nor a file uploaded with this request",
                     StripControlBytes(f.value).c_str());
    }
  }
  if (partLines.empty()) return Fail("No MMS content");
  // The SMIL names each part by what it holds, also when it travels wrapped.
  std::vector<std::string> smilLines = partLines;
  if (r.forwardLock || r.drmRestrict) {
    for (size_t i = 0; i < partLines.size(); ++i) {
      std::string& line = partLines[i];
      bool textPart = line.starts_with(id + ".txt;");
      std::string name = textPart ? id + ".txt" : line.substr(line.find('/') + 1);
      std::string path = textPart ? base + ".txt" : work.dir + name, data;
      if (!ReadWholeFile(path, data)) continue;
      std::string type = textPart ? "text/plain; charset=utf-8" : MmsTypeForFileName(name);
      std::string wrapped = MmsDrmMessage(r, type, name, data, NextUniqueId());
      std::string dm = textPart ? name + ".dm" : FreeName(work.dir, name + ".dm");
      std::string dmPath = textPart ? base + ".txt.dm" : work.dir + dm;
      if (textPart) work.files.push_back(dmPath);
      if (!WriteNewFile(dmPath, wrapped)) return Fail("Internal Error (DRM message not written)");
      unlink(path.c_str());
      line = textPart ? dm : id + "/" + dm;
      smilLines[i] = line + ";" + (textPart ? "text/plain" : type);
    }
  }

  bool routed = IsRouted(r);
  if (!r.applicId.empty()) WriteDebugLogf(kLabel, "X-MMS-Applic-ID: %s", r.applicId.c_str());
  if (!r.replyApplicId.empty()) WriteDebugLogf(kLabel, "X-MMS-Reply-Applic-ID: %s", r.replyApplicId.c_str());
  std::string header = MmsSubmitHeaderText(r, NextUniqueId(), routed);
  for (const std::string& line : partLines) header += "X-QarMMS-Content-Location: " + line + "\r\n";
  if (ConfigBool(Mmsc("EMailAutoSmil", "Yes"))) {
    std::string smil = MmsSmilFor(smilLines);
    if (!smil.empty()) {
      if (!WriteNewFile(base + ".smil", smil)) return Fail("Internal Error (SMIL not written)");
      header += "X-QarMMS-Content-Location: " + id + ".smil;application/smil;charset=utf-8\r\n";
    }
  }
  if (!WriteNewFile(base + ".hdr", header)) return Fail("Internal Error (header file not written)");

  std::string packer = MmsSubmitSettings.packerPath.empty() ? FindProgram(RealProgramDirectory(), "qarpacker")
                                                             : MmsSubmitSettings.packerPath;
  if (packer.empty()) return Fail("Internal Error (MMS packer missing)");
  std::vector<std::string> argv = {packer};
  for (std::string& a : SplitCommandLine(MainValue("QARPACKERParameters"))) argv.push_back(std::move(a));
  argv.push_back(base + ".hdr");
  ProcessOptions options;
  options.timeoutMs = MmsSubmitSettings.packerTimeoutMs;
  int status = RunProcess(argv, options);
  if (status != 0 || !FileExistsNotDirectory(base + ".MMS"))
    return Fail(StrPrintf("Internal Error (MMS packer failed, %d)", status));

  time_t now = time(nullptr);
  struct tm local{};
  localtime_r(&now, &local);
  std::string dataDir = MmscDataDir() + StrPrintf("%04d%02d%02d/%02d/", local.tm_year + 1900, local.tm_mon + 1,
                                                  local.tm_mday, local.tm_hour);
  CreatePathDirectories(dataDir);
  std::string stored = dataDir + StrPrintf("%08Xa.MMS", NextUniqueId());
  if (rename((base + ".MMS").c_str(), stored.c_str()) != 0) return Fail("Internal Error (message not moved)");
  WriteDebugLogf(kLabel, "MMS message %s", stored.c_str());
  return HandOver(r, stored);
}
