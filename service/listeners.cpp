#include "service/listeners.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>

#include "config/settings.h"
#include "outside/outside_tables.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/event_log.h"
#include "runtime/socket_helpers.h"
#include "runtime/str_printf.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"
#include "service/banner.h"
#include "service/status_block.h"

ListenersRecord Listeners;

namespace {
constexpr int kBacklog = 100;
constexpr uint16_t kUdpPushPort = 2948;

struct ListenTexts {
  const char* socketError;
  const char* bindError;
  const char* listenError;
};

UniqueFd Open(const std::string& address, uint16_t port, const ListenTexts& texts) {
  ListenResult r = OpenTcpListener(address, port, kBacklog);
  switch (r.failedAt) {
    case ListenStage::Ok:
      return std::move(r.socket);
    case ListenStage::Socket:
      WriteDebugLog("main", texts.socketError);
      break;
    case ListenStage::Bind:
      WriteDebugLog("main", StrPrintf(texts.bindError, static_cast<unsigned long>(r.error)));
      break;
    case ListenStage::Listen:
      WriteDebugLog("main", StrPrintf(texts.listenError, static_cast<unsigned long>(r.error)));
      break;
  }
  return UniqueFd();
}

// No web listener: tell the console, raise the daily alert, give the operator time to
// read it, and let the caller exit. A stop through the status block ends the wait, as it
// ends a running gateway's main loop.
bool FailWebStart(const char* format, uint16_t port) {
  SetStatusByte(kStatusWebPortError, 1);
  ReportEventOnceADay("SOCKET.ERR", EventKind::Error, StrPrintf(format, kProductBanner, port));
  uint64_t start = TickMs();
  while (TickMs() - start < 30000 && ShutdownRequested.load() == 0 && GetStatusByte(kStatusStopRequest) == 0)
    SleepUnlessShutdown(1000, TickMs());
  return false;
}
// An SMPP listener that cannot be opened is reported; the gateway runs on without it.
UniqueFd OpenSmpp(const std::string& address, uint16_t port, const ListenTexts& texts, const char* started,
                  const char* failed) {
  UniqueFd socket = Open(address, port, texts);
  if (socket) {
    SetStatusByte(kStatusSmppListening, 1);
    WriteDebugLogf("main", started, port);
  } else {
    ReportEvent(EventKind::Error, StrPrintf(failed, port));
    SetStatusByte(kStatusSmppPortError, 1);
  }
  return socket;
}
}  // namespace

bool OpenListeners(const std::string& listenAddress) {
  if (Listeners.webPort != 0) {
    Listeners.web = Open(listenAddress, Listeners.webPort,
                         {"Error opening web socket", "Error %lu from socket bind", "Error %lu from socket listen"});
    if (!Listeners.web) return FailWebStart("%s not started, unable to allocate web port %u", Listeners.webPort);
  }
  if (Listeners.webPortSSL != 0) {
    Listeners.webSSL = Open(listenAddress, Listeners.webPortSSL,
                            {"Error opening SSL socket", "Error %lu from SSL socket bind",
                             "Error %lu from SSL socket listen"});
    if (!Listeners.web && !Listeners.webSSL) {
      return FailWebStart("%s not started, unable to allocate SSL web port %u", Listeners.webPortSSL);
    }
  }
  SetStatusByte(kStatusWebStarted, 1);
  if (Listeners.web) WriteDebugLogf("main", "%s Web server started on port number %u", kProductBanner, Listeners.webPort);
  if (Listeners.webSSL) WriteDebugLogf("main", "SSL Web server started on port number %u", Listeners.webPortSSL);

  if (!OutsideLibraries.peer.Loaded()) return true;
  if (Settings.SMPPPort != 0) {
    Listeners.smpp = OpenSmpp(listenAddress, Settings.SMPPPort,
                              {"Error opening SMPP server socket", "Error %lu from SMPP socket bind",
                               "Error %lu from SMPP socket listen"},
                              "Qar SMS/MMS Gateway SMPP server started on port number %u",
                              "SMPP server not started, unable to allocate port %u");
  }
  if (OutsideLibraries.sslServerAvailable && Settings.SMPPPortSSL != 0) {
    Listeners.smppSSL = OpenSmpp(listenAddress, Settings.SMPPPortSSL,
                                 {"Error opening SMPP server socket", "Error %lu from SMPP SSL socket bind",
                                  "Error %lu from SMPP SSL socket listen"},
                                 "Qar SMS/MMS Gateway SMPP SSL server started on port number %u",
                                 "SMPP SSL server not started, unable to allocate port %u");
  }
  return true;
}

void OpenUdpPushListener() {
  if (!Settings.ListenMMSNotificationIP) return;
  UniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  struct sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(kUdpPushPort);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!sock || bind(sock.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    WriteDebugLogf("main", "Error %lu binding to UDP Server socket 2948 to listen for MMS Notifications over IP",
                   static_cast<unsigned long>(errno));
    return;
  }
  WriteDebugLog("main", "Listen for MMS Notifications over IP active");
  Listeners.udpPush = std::move(sock);
}

void CloseListeners() {
  CloseSocketGracefully(Listeners.web);
  CloseSocketGracefully(Listeners.webSSL);
  CloseSocketGracefully(Listeners.smpp);
  CloseSocketGracefully(Listeners.smppSSL);
  Listeners.udpPush.reset();
}
