#include "mms/mms_data_call.h"

#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>

#include "config/connections.h"
#include "config/settings_registry.h"
#include "outside/qardial/qardial.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/names.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_registry.h"
#include "runtime/unique_fd.h"
#include "runtime/waits.h"

namespace {

constexpr const char* kLabel = "ThreadProcessInboundMMS";
constexpr const char* kMmsType = "application/vnd.wap.mms-message";

// The entry points, typed by the library's own declarations.
struct Qardial {
  bool present = false;
  decltype(&WSPRasDial) rasDial = nullptr;
  decltype(&WSPRasHangUp) rasHangUp = nullptr;
  decltype(&WSPConnect) connect = nullptr;
  decltype(&WSPRequest) request = nullptr;
  decltype(&WSPDisconnect) disconnect = nullptr;
  decltype(&ModemAllocate) allocate = nullptr;
  decltype(&ModemRequested) requested = nullptr;
  decltype(&ModemRelease) release = nullptr;
  decltype(&WSPRasGetErrorString) errorString = nullptr;
  decltype(&ModemReset) reset = nullptr;
};

template <typename Fn>
bool Bind(void* handle, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(dlsym(handle, name));
  return fn != nullptr;
}

const Qardial& Library() {
  static const Qardial lib = [] {
    Qardial q;
    void* h = dlopen((RealProgramDirectory() + "libqardial.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) return q;
    q.present = Bind(h, "WSPRasDial", q.rasDial) && Bind(h, "WSPRasHangUp", q.rasHangUp) &&
                Bind(h, "WSPConnect", q.connect) && Bind(h, "WSPRequest", q.request) &&
                Bind(h, "WSPDisconnect", q.disconnect) && Bind(h, "ModemAllocate", q.allocate) &&
                Bind(h, "ModemRequested", q.requested) && Bind(h, "ModemRelease", q.release) &&
                Bind(h, "WSPRasGetErrorString", q.errorString) && Bind(h, "ModemReset", q.reset);
    if (!q.present) WriteDebugLog(kLabel, "libqardial.so lacks an entry point; MMS is fetched directly");
    return q;
  }();
  return lib;
}

void HangUpAndRelease(MmsDataCall& call, const char* which) {
  const Qardial& q = Library();
  if (call.dialled) {
    WriteDebugLogf(kLabel, "Before WSPRasHangUp (%s) - %s", which, call.profile.c_str());
    q.rasHangUp(call.profile.c_str());
    WriteDebugLogf(kLabel, "After WSPRasHangUp (%s) - %s", which, call.profile.c_str());
    call.dialled = false;
  }
  if (call.modemHandle) {
    WriteDebugLogf(kLabel, "Before ModemRelease - %s", call.modem.c_str());
    q.release(call.modemHandle);
    WriteDebugLogf(kLabel, "After ModemRelease - %s", call.modem.c_str());
    call.modemHandle = nullptr;
  }
}

std::string HostOf(const std::string& url) {
  std::string rest = url.substr(url.find("://") == std::string::npos ? 0 : url.find("://") + 3);
  return rest.substr(0, rest.find_first_of("/?"));
}

std::string OptionalHeaders(const MmsDataCallSettings& s) {
  std::string out;
  if (!s.userAgent.empty()) out += "User-Agent: " + s.userAgent + "\r\n";
  if (!s.wapProfile.empty()) out += "x-wap-profile: " + s.wapProfile + "\r\n";
  return out;
}

// One request through the gateway on a socket of its own; "" when nothing came back.
std::string Exchange(const MmsDataCallSettings& s, const std::string& request, bool* connected) {
  const Qardial& q = Library();
  bool stream = StartsWithNoCase(s.gateway, "http:");
  UniqueFd sock(socket(AF_INET, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0));
  sockaddr_in any{};
  any.sin_family = AF_INET;
  if (!sock || bind(sock.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
    *connected = false;
    return "";
  }
  WSPContext context{};
  if (!q.connect(sock.get(), s.gateway.c_str(), "", &context, s.profile.c_str())) {
    *connected = false;
    return "";
  }
  *connected = true;
  char* answer = nullptr;
  uint32_t length = 0;
  std::string out;
  if (q.request(sock.get(), s.gateway.c_str(), &context, request.data(), static_cast<uint32_t>(request.size()), &answer,
                &length, s.profile.c_str()) == 0 &&
      answer) {
    out.assign(answer, length);
  }
  free(answer);
  q.disconnect(sock.get(), s.gateway.c_str(), &context, s.profile.c_str());
  return out;
}

std::string HeaderValue(std::string_view header, std::string_view name) {
  for (size_t pos = 0; pos < header.size();) {
    size_t end = FindLineEnd(header, pos);
    std::string_view line = header.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    pos = end == std::string_view::npos ? header.size() : end + 1;
    if (line.size() > name.size() && StartsWithNoCase(line, name) && line[name.size()] == ':')
      return std::string(Trim(line.substr(name.size() + 1)));
  }
  return "";
}

std::string Dechunk(std::string_view body) {
  std::string out;
  size_t pos = 0;
  while (pos < body.size()) {
    size_t eol = body.find("\r\n", pos);
    if (eol == std::string_view::npos) break;
    uint32_t size = static_cast<uint32_t>(strtoul(std::string(body.substr(pos, eol - pos)).c_str(), nullptr, 16));
    if (size == 0 || eol + 2 + size > body.size()) break;
    out.append(body.substr(eol + 2, size));
    pos = eol + 2 + size + 2;
  }
  return out;
}

}  // namespace

bool QardialPresent() { return Library().present; }

void* QardialModemAllocate(const std::string& modem, int timeoutSeconds) {
  const Qardial& q = Library();
  if (!q.present) return nullptr;
  volatile int stop = 0;
  void* handle = nullptr;
  for (int waited = 0; waited < timeoutSeconds && !handle && ShutdownRequested.load() == 0; ++waited)
    handle = q.allocate(modem.c_str(), 1, &stop);
  return handle;
}

bool QardialModemRequested(void* handle) { return handle && Library().requested(handle) != 0; }

void QardialModemRelease(void* handle) {
  if (handle) Library().release(handle);
}

bool DataCallSettingsOf(const std::string& connection, MmsDataCallSettings& s) {
  if (connection.empty() || !QardialPresent()) return false;
  std::string section = ConnectionSectionName(connection);
  if (!ConfigBool(ConnectionValue(section, "UseDial"))) return false;
  s.profile = ConnectionValue(section, "DialUpProfile");
  s.gateway = ConnectionValue(section, "WAPGatewayIP");
  if (Trim(s.profile).empty() && Trim(s.gateway).empty()) return false;
  s.modem = ConnectionValue(section, "UseModem");
  if (Trim(s.modem).empty()) s.modem = connection;
  s.apn = ConnectionValue(section, "APN");
  s.apnLogin = ConnectionValue(section, "APNLogin");
  s.apnPassword = ConnectionValue(section, "APNPass");
  s.userAgent = StripControlBytes(MMSCIniString("MMSC", "HeaderUserAgent"));
  s.wapProfile = StripControlBytes(MMSCIniString("MMSC", "HeaderProfile"));
  return true;
}

bool MmsDataCallWantsModem(const std::string& modem) {
  if (modem.empty() || !QardialPresent()) return false;
  for (const ConfiguredConnection& c : EnumerateConnections()) {
    MmsDataCallSettings s;
    if (DataCallSettingsOf(c.displayName, s) && EqualsNoCase(Trim(s.modem), Trim(modem))) return true;
  }
  return false;
}

MmsFetch FetchOverDataCall(MmsDataCall& call, const MmsDataCallSettings& s, const std::string& url,
                           uint32_t retryCount, std::string& body) {
  const Qardial& q = Library();
  if ((call.modemHandle && call.modem != s.modem) || (call.dialled && call.profile != s.profile))
    HangUpAndRelease(call, "#1");
  if (!call.modemHandle) {
    WriteDebugLogf(kLabel, "Before ModemAllocate - %s", s.modem.c_str());
    call.modemHandle = QardialModemAllocate(s.modem, 30);
    WriteDebugLogf(kLabel, "After ModemAllocate - %s - %s", s.modem.c_str(), call.modemHandle ? "OK" : "busy");
    if (!call.modemHandle) {
      WriteDebugLogf(kLabel, "Modem Busy - %s", s.modem.c_str());
      return MmsFetch::Temporary;
    }
    call.modem = s.modem;
  }
  if (!call.dialled) {
    WriteDebugLogf(kLabel, "Before WSPRasDial - %s", s.profile.c_str());
    int result = q.rasDial(s.profile.c_str(), s.apn.c_str(), s.apnLogin.c_str(), s.apnPassword.c_str(),
                           s.gateway.c_str());
    if (result != 0) {
      if (result == 1) {
        WriteDebugLog(kLabel, "After WSPRasDial - failed to connect to WAP gateway");
      } else {
        std::string text = "After WSPRasDial - failed";
        if (result >= 600 && result <= 799) {
          char error[256] = "";
          q.errorString(result, error, sizeof error);
          text += StrPrintf(" -- RAS Error %u -- ", static_cast<unsigned>(result)) + error;
        }
        WriteDebugLog(kLabel, text);
      }
      if ((retryCount + 1) % 5 == 0) {
        SleepUnlessShutdown(5000, TickMs());  // the modem settles before its reset
        q.reset(s.modem.c_str());
      }
      return MmsFetch::Temporary;
    }
    WriteDebugLog(kLabel, "After WSPRasDial - OK");
    call.dialled = true;
    call.profile = s.profile;
  }
  std::string request = "GET " + url + " HTTP/1.1\r\nAccept: application/vnd.wap.mms-message\r\nHost: " + HostOf(url) +
                        "\r\n" + OptionalHeaders(s) + "\r\n";
  bool connected = false;
  std::string answer = Exchange(s, request, &connected);
  if (!connected) {
    WriteDebugLogf(kLabel, "mm1 - unable to connect to WAP Gateway %s", s.gateway.c_str());
    return MmsFetch::Temporary;
  }
  if (answer.empty()) {
    WriteDebugLog(kLabel, "mm1 - timeout waiting for response");
    return MmsFetch::Temporary;
  }
  size_t headerEnd = answer.find("\r\n\r\n");
  std::string_view header = std::string_view(answer).substr(0, headerEnd);
  size_t sp = answer.find(' ');
  char first = sp == std::string::npos || sp + 1 >= answer.size() ? '\0' : answer[sp + 1];
  if (first == '2') {
    std::string type = HeaderValue(header, "Content-type");
    if (type.empty()) {
      WriteDebugLog(kLabel, "mm1 - missing content type in response");
      return MmsFetch::Temporary;
    }
    if (!EqualsNoCase(Trim(std::string_view(type).substr(0, type.find(';'))), kMmsType)) {
      WriteDebugLog(kLabel, "mm1 - got unknown response");
      return MmsFetch::Temporary;
    }
    WriteDebugLog(kLabel, "mm1 - got http ok response");
    std::string_view raw = headerEnd == std::string::npos ? "" : std::string_view(answer).substr(headerEnd + 4);
    body = FindNoCase(HeaderValue(header, "Transfer-Encoding"), "chunked") != std::string::npos ? Dechunk(raw)
                                                                                               : std::string(raw);
    return MmsFetch::Ok;
  }
  if (first == '4') {
    WriteDebugLog(kLabel, "mm1 - got error response");
    return MmsFetch::Permanent;
  }
  WriteDebugLog(kLabel, "mm1 - got unknown response");
  return MmsFetch::Temporary;
}

void AcknowledgeOverDataCall(const MmsDataCallSettings& s, const std::string& mmsUrl, const std::string& pdu) {
  std::string address = mmsUrl.substr(mmsUrl.find("://") == std::string::npos ? 0 : mmsUrl.find("://") + 3);
  std::string request = "POST http://" + address + " HTTP/1.1\r\n" + StrPrintf("Content-length: %zu\r\n", pdu.size()) +
                        "Content-type: application/vnd.wap.mms-message\r\nAccept: application/vnd.wap.mms-message\r\n"
                        "Host: " + HostOf(mmsUrl) + "\r\n" + OptionalHeaders(s) + "\r\n" + pdu;
  bool connected = false;
  std::string answer = Exchange(s, request, &connected);
  WriteDebugLogf(kLabel, "Acknowledgement reply: %s",
                 StripControlBytes(std::string_view(answer).substr(0, FindLineEnd(answer))).c_str());
}

bool KeepDataCallAfterIdlePass(MmsDataCall& call) {
  if (!call.modemHandle) return false;
  if (!Library().requested(call.modemHandle)) return true;
  HangUpAndRelease(call, "#3");
  return false;
}

void EndDataCall(MmsDataCall& call, const char* which) {
  if (QardialPresent()) HangUpAndRelease(call, which);
}
