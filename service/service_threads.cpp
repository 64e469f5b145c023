#include "service/service_threads.h"

#include <thread>

#include "config/connections.h"
#include "config/settings.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/socket_helpers.h"
#include "runtime/str_printf.h"
#include "runtime/thread_frame.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"
#include "service/alert_scanner.h"
#include "service/listeners.h"
#include "inbound/inbound_scan.h"
#include "inbound/smppserver/smpp_server.h"
#include "inbound/udp_push_receiver.h"
#include "mms/mms_retrieval.h"
#include "smsc/connection_worker.h"
#include "store/store_service.h"
#include "web/web_server.h"

void IdleUntilShutdown() {
  while (ShutdownRequested.load() == 0) SleepUnlessShutdown(1000, TickMs());
}

namespace {
bool StartListener(const char* description, UniqueFd& socket, void (*body)(int)) {
  if (!socket) return true;
  int fd = socket.get();
  if (StartServiceThread(description, [body, fd] { body(fd); })) return true;
  WriteDebugLog("main", "Error starting thread");
  CloseSocketGracefully(socket);
  return false;
}

void Start(const std::string& description, std::function<void()> body) {
  if (!StartServiceThread(description, std::move(body))) WriteDebugLog("main", "Error starting thread");
}

// An SMSC connection worker: N in the low 16 bits, the transmitter index in the high 16.
void StartModemWorker(uint32_t parameter) {
  Start("ThreadProcessModem", [parameter] {
    if (DebugSettings.Debug2.load()) WriteDebugLogf("ThreadProcessModem", "Parameter 0x%X", parameter);
    ThreadProcessModem(parameter);
  });
}

// Kind 0 and 1 process "*.IN" files (1 is the primary), kind 2 the "*.REC" files.
void StartInboundWorker(const char* description, int kind) {
  Start(description, [description, kind] {
    if (DebugSettings.Debug2.load()) WriteDebugLogf(description, "Kind %d", kind);
    if (std::string_view(description) == "ThreadProcessInboundReceipts") ThreadProcessInboundReceipts();
    else ThreadProcessInboundSMS(kind);
  });
}
}  // namespace

bool StartListenerThreads() {
  return StartListener("ThreadListenForConnections", Listeners.web, ThreadListenForConnections) &&
         StartListener("ThreadLsitenForSSLConnections", Listeners.webSSL, ThreadListenForSSLConnections) &&
         StartListener("ThreadListenForSMPPConnections", Listeners.smpp, ThreadListenForSMPPConnections) &&
         StartListener("ThreadListenForSSLSMPPConnections", Listeners.smppSSL, ThreadListenForSSLSMPPConnections);
}

void StartWorkerThreads() {
  Start("ThreadFlushCounters", ThreadFlushCounters);
  if (Settings.UseQCache) {
    Start("ThreadProcessQCache", ThreadProcessQCache);
    while (!QCacheFirstScanComplete() && ShutdownRequested.load() == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  if (Settings.EnableLocalRoutingThread || Settings.SDKLinkEnabled) StartModemWorker(0);
  if (Listeners.udpPush) Start("ThreadReceiveWAPPushUDP", [] { ThreadReceiveWAPPushUDP(Listeners.udpPush.get()); });
  for (const ConfiguredConnection& c : EnumerateConnections()) {
    for (uint32_t t = 1; t <= c.transmitterCount; ++t) StartModemWorker(c.number | (t << 16));
  }
  StartInboundWorker("ThreadProcessInboundSMS", 1);
  StartInboundWorker("ThreadProcessInboundSMS", 2);
  if (Settings.EnableReceiptProcessing) StartInboundWorker("ThreadProcessInboundReceipts", 1);
  for (uint32_t extra = 1; extra < Settings.TwoWaySMSThreadCount; ++extra) {
    StartInboundWorker("ThreadProcessInboundSMS", 0);
    StartInboundWorker("ThreadProcessInboundSMS", 2);
  }
  if (Settings.TwoWaySMSThreadCount > 1 && Settings.EnableReceiptProcessing) {
    StartInboundWorker("ThreadProcessInboundReceipts", 0);
  }
  Start("ThreadProcessInboundMMS", ThreadProcessInboundMMS);
  Start("ThreadScanAlerts", ThreadScanAlerts);
  for (int i = 0; i < 3; ++i) Start("ThreadProcessBulkQ", ThreadProcessBulkQ);
  Start("ThreadProcessDelayQ", ThreadProcessDelayQ);
}
