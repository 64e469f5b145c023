#include "smsc/smpp/smpp_receive.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "outside/outside_tables.h"
#include "outside/qarpeer/qarpeer.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/thread_frame.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"
#include "smsc/smpp/smpp_link.h"
#include "smsc/smpp/smpp_settings.h"
#include "store/message_logs.h"
#include "store/retry_schedule.h"

namespace {

constexpr int kReceiveStopSteps = 150;  // of 100 ms

bool Stopping() { return ShutdownRequested.load() != 0; }

// Longest single wait: a stop that is not announced (the connection's own) is seen within it.
constexpr uint64_t kReceiveWaitStepMs = 1000;

// True when sock has something to read (or was closed); false after ms or at the stop.
bool WaitReadableOrStop(int sock, int ms) {
  pollfd p[2] = {{sock, POLLIN, 0}, {ShutdownWakeFd(), POLLIN, 0}};
  int n = poll(p, 2, ms);
  ++ReceiveWaits.wakeUps;
  return n > 0 && p[0].revents != 0 && !Stopping();
}

}  // namespace

ReceiveWaitCounts ReceiveWaits;

void ThreadProcessSMPPReceive(ReceiveThreadBlock& block) {
  std::string host;
  uint16_t namePort = 0;
  ParseSmppAddress(block.connection, host, namePort);
  uint32_t failures = 0;
  auto report = [&](const std::string& text) {
    ++failures;
    LogOutbound("System", "", block.connection, text, LogContent{}, "", "", "");
    WriteDebugLog(block.connection, text);
  };
  block.running = true;
  while (!Stopping() && !block.stop.load()) {
    SmppConnectionSettings settings = ReadSmppSettings(block.connection);
    LinkRole role;
    role.localPort = settings.receiverLocalPort;
    role.remotePort = settings.receiverRemotePort;
    role.bindType = SMPP_BIND_RECEIVER;
    role.portText = "receiver";
    UniqueFd sock;
    TlsSession tls;
    if (namePort == 0 && role.remotePort == 0) {
      report(StrPrintf("SMPP Failure -- Unable to connect to SMPP server at %s:%u", host.c_str(), 0u));
    } else if (OpenSmppLink(block.connection, settings, host, namePort, role, report, sock, tls)) {
      failures = 0;
      WriteDebugLogf(block.connection.c_str(), "SMPP receiver connection OK");
      const std::string& name = block.connection;
      auto linkUp = [&] { return SmppLinkUp(sock.get(), tls.session, name); };
      bool linkError = false;
      uint64_t lastKeepAlive = TickMs();
      // A read that waited for an answer (the bind's, an enquire_link's) may have taken the
      // centre's next PDUs with it; those are served before the socket is waited on, since
      // the socket will not tell of them.
      bool readAhead = true;
      while (!Stopping() && !block.stop.load() && linkUp()) {
        if (settings.keepAliveSeconds != 0 &&
            (linkError || TickMs() - lastKeepAlive >= uint64_t(settings.keepAliveSeconds) * 1000)) {
          if (SmppEnquireLink(sock.get(), tls.session, name, settings.version) != 0) {
            linkError = true;
          } else {
            linkError = false;
            lastKeepAlive = TickMs();
          }
          readAhead = true;
          settings = ReadSmppSettings(block.connection);
        }
        ServeReceiveQueue(name);
        if (linkError) break;
        // An idle receiver sleeps until the centre sends, its keep-alive is due or the stop;
        // the library is called only for what has arrived.
        uint64_t waitMs = kReceiveWaitStepMs;
        if (settings.keepAliveSeconds != 0) {
          uint64_t due = lastKeepAlive + uint64_t(settings.keepAliveSeconds) * 1000;
          uint64_t now = TickMs();
          waitMs = std::min<uint64_t>(waitMs, due > now ? due - now : 0);
        }
        if (!readAhead && !WaitReadableOrStop(sock.get(), int(waitMs))) continue;
        readAhead = false;
        if (SmppYield(sock.get(), tls.session, name, settings.version, 0) != 0) break;
      }
      ServeReceiveQueue(block.connection);
      CloseSmppLink(name, settings.version, !linkError, sock, tls);
      if (Stopping() || block.stop.load()) break;
      failures = std::max<uint32_t>(failures, 1);
    }
    time_t until = ReconnectTime(std::max<uint32_t>(failures, 1), block.connection);
    while (!Stopping() && !block.stop.load() && NowSeconds() < until) SleepUnlessShutdown(1000, TickMs());
  }
  block.ended = true;
}

void WakeSmppReceiveAsync(const char* connectionName) {
  QarEvent* event = OpenEventForInterface("SmppReceiveAsync", connectionName);
  if (!event) return;
  SetEventForInterface(event);
  CloseEventForInterface(event);
}

void ThreadProcessSMPPReceiveAsyncQ(ReceiveThreadBlock& block) {
  QarEvent* event = OpenEventForInterface("SmppReceiveAsync", block.connection.c_str());
  if (!event) event = CreateEventForInterface("SmppReceiveAsync", block.connection.c_str());
  block.running = true;
  while (!ShutdownRequested.load() && !block.stop.load()) {
    if (OutsideLibraries.peer.Loaded()) {
      OutsideLibraries.peer.Call<SMPPReceiveFromAsyncQFn>(peer::SMPPReceiveFromAsyncQ)(block.connection.c_str());
    }
    if (event) WaitEventForInterface(event, 5000);
    else std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (event) CloseEventForInterface(event);
  block.ended = true;
}

void ReceiveThreads::Start(const std::string& description, const std::string& connection,
                           void (*body)(ReceiveThreadBlock&)) {
  auto block = std::make_shared<ReceiveThreadBlock>();
  block->connection = connection;
  if (!StartServiceThread(description, [block, body] { body(*block); })) {
    WriteDebugLog("ThreadProcessModem", "Error starting thread");
    return;
  }
  blocks.push_back(block);
}

void ReceiveThreads::WaitRunning() {
  for (int i = 0; i < 600 && !blocks.empty() && !blocks.front()->running.load() && !Stopping(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

ReceiveThreads::~ReceiveThreads() {
  for (auto& b : blocks) b->stop = true;
  for (int step = 0; step < kReceiveStopSteps; ++step) {
    bool all = true;
    for (auto& b : blocks) {
      if (b->ended.load()) continue;
      all = false;
      // A queue thread waiting on its event sees the stop flag at once.
      WakeSmppReceiveAsync(b->connection.c_str());
    }
    if (all) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (auto& b : blocks) {
    if (!b->ended.load()) {
      WriteDebugLogf(b->connection.c_str(), "Receive thread of %s has not ended; going on without it",
                     b->connection.c_str());
    }
  }
}
