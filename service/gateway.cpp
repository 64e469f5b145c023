#include "service/gateway.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "config/settings.h"
#include "config/settings_registry.h"
#include "config/wake_events.h"
#include "outside/outside_tables.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/control_signals.h"
#include "runtime/crash_log.h"
#include "runtime/debug_log.h"
#include "runtime/event_log.h"
#include "runtime/socket_helpers.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_frame.h"
#include "runtime/thread_registry.h"
#include "runtime/unique_fd.h"
#include "runtime/waits.h"
#include "service/banner.h"
#include "service/database_check.h"
#include "service/listeners.h"
#include "service/mms_hooks.h"
#include "service/receive_markers.h"
#include "service/service_threads.h"
#include "service/status_block.h"
#include "smsc/http/http_driver.h"
#include "smsc/smpp/smpp_driver.h"
#include "smsc/ucpcimd/ucpcimd_driver.h"
#include "smsc/modem/modem_driver.h"
#include "inbound/inbound_receive.h"
#include "inbound/inbound_wake.h"
#include "inbound/modem_inbound.h"
#include "smsc/long_messages.h"
#include "smsc/queue_pass.h"
#include "smsc/route_decision.h"
#include "smsc/routing_tables.h"
#include "store/queue_dirs.h"
#include "store/queue_file.h"
#include "store/store_service.h"
#include "accounting/accounting.h"
#include "admin/admin_requests.h"
#include "admin/status_figures.h"
#include "httpclient/http_client.h"
#include "inbound/failure_report.h"
#include "smsc/queue_pass.h"
#include "submit/submission.h"
#include "web/submission.h"
#include "inbound/smppserver/smpp_server.h"
#include "outside/seal_table.h"
#include "web/web_menu.h"
#include "web/web_settings.h"

namespace {
constexpr int kExitFailure = -1;
// Deleted queue files kept for reuse; enough for a burst of some seconds at full speed.
constexpr size_t kSpareQueueFiles = 10000;

// Binds a configuration file, creating it empty when it does not exist.
void BindConfigurationFile(const std::string& path, void (*setFilename)(const char*)) {
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0664));
  setFilename(path.c_str());
}

void ApplyDebugSettings() {
  DebugSettings.Debug.store(Settings.Debug);
  DebugSettings.Debug2.store(Settings.Debug2);
  DebugSettings.NoDebugProtocol.store(Settings.NoDebugProtocol);
  DebugSettings.DebugMaxSize.store(Settings.DebugMaxSize);
}

// An operator turns HTTPS on by setting WebPortSSL: without a certificate of its own the
// gateway makes a self-signed one rather than ignoring the port.
void EnsureServerCertificate() {
  if (!OutsideLibraries.sslAvailable || OutsideLibraries.sslServerAvailable) return;
  if (MainNumber("WebPortSSL") == 0 && Settings.SMPPPortSSL == 0) return;
  char error[256] = {0};
  auto generate = OutsideLibraries.seal.Call<int (*)(const char*, char*, uint32_t)>(seal::sslGenerateCertificate);
  char host[256] = {0};
  gethostname(host, sizeof host - 1);
  if (generate(host, error, sizeof error) != 0) {
    WriteDebugLog("main", "Self-signed server certificate generated");
    OutsideLibraries.sslServerAvailable = OutsideLibraries.seal.Call<int (*)()>(seal::sslServerCertExists)() != 0;
  } else {
    WriteDebugLogf("main", "Error generating a server certificate: %s", error);
  }
}

// Steps 7 and 8: which web ports to open.
void ChooseWebPorts() {
  Listeners.webPortSSL = 0;
  if (OutsideLibraries.sslServerAvailable) Listeners.webPortSSL = static_cast<uint16_t>(MainNumber("WebPortSSL"));
  Listeners.webPort = static_cast<uint16_t>(MainNumber("WebPort"));
  if (Listeners.webPort == 0 && Listeners.webPortSSL == 0) Listeners.webPort = 8800;
  SettingsBlock s = Settings;
  s.WebPort = Listeners.webPort;
  s.WebPortSSL = Listeners.webPortSSL;
  if (Listeners.webPort != 0 && Listeners.webPortSSL != 0) s.SSLRedirect = MainFlag("SSLRedirect");
  InstallSettings(s);
}

void ReportServiceStarted() {
  std::string text = StrPrintf("%s service started.", kProductBanner);
  if (Listeners.web) text += StrPrintf("  Using web port %u.", Listeners.webPort);
  if (Listeners.webSSL) text += StrPrintf("  Using web SSL port %u.", Listeners.webPortSSL);
  if (Listeners.smpp) text += StrPrintf("  Using SMPP port %u.", Settings.SMPPPort);
  if (Listeners.smppSSL) text += StrPrintf("  Using SMPP SSL port %u.", Settings.SMPPPortSSL);
  ReportEvent(EventKind::Information, text);
}

// A stop from the console (status byte 0), a signal, or a configuration change.
void MainLoop() {
  std::string trigger = Settings.ConfigurationUpdateTriggerRestart;
  int lastHour = -1;
  while (ShutdownRequested.load() == 0 && GetStatusByte(kStatusStopRequest) == 0) {
    LocalTime now = LocalNow();
    if (now.tm.tm_hour != lastHour) {
      lastHour = now.tm.tm_hour;
      RunHourlyHousekeeping();
    }
    WriteBackCounters();
    ProcessLongMessageLockDeletions(false);
    std::string current = MainValue("ConfigurationUpdateTriggerRestart");
    if (CompareNoCase(current, trigger) > 0) {
      AnnounceShutdown();
      SetStatusByte(kStatusStopRequest, 1);
      WriteDebugLog("main", "Restarting for configuration update");
      break;
    }
    RefreshCrashTimeZone();
    // One look at the configuration for every waiting thread.
    NoteConfigurationChange();
    // A second, or until the stop (announced, or a signal: both make the descriptor readable).
    pollfd stop = {ShutdownWakeFd(), POLLIN, 0};
    poll(&stop, 1, 1000);
    PollControlEvent();
  }
  PollControlEvent();
}

int Shutdown() {
  AnnounceShutdown();
  CloseListeners();
  InboundMessageEvent.Set();
  InboundReceiptEvent.Set();
  WakeAllInboundWorkers();
  WaitForServiceThreads();
  ProcessLongMessageLockDeletions(true);
  FlushUserUsage();
  WriteBackCounters();
  SaveUniqueId();
  ReportEvent(EventKind::Information, StrPrintf("%s service stopped.", kProductBanner));
  WriteDebugLog("main", "Shutdown:  Closing log files");
  CloseMessageLogs();
  CloseDebugLog();
  CloseAccountingKeepAlives();
  using CloseAllFn = void (*)();
  if (auto closeAll = OutsideLibraries.ledger.Call<CloseAllFn>(ledger::sqlSMSCMessageIdCloseAll)) closeAll();
  CloseCounters();
  UnloadOutsideLibraries();
  CloseStatusBlock();
  fprintf(stderr, "Shutdown complete!\n");
  return 0;
}
}  // namespace

int GatewayMain() {
  // 1. Configuration files.
  std::string programData = ProgramDataDirectory();
  BindConfigurationFile(programData + "QARHUB.INI", SMSIniSetFilename);
  BindConfigurationFile(programData + "MMSC.INI", MMSCIniSetFilename);
  std::string privateData = PrivateDataDirectory();

  // 2. Signals, the crash log and the thread table.
  InstallControlHandlers();
  InstallCrashHandlers(privateData, DebugLogDirectory());
  ClearThreadTable();

  // 3. Single instance, before anything touches the queues or counters of a running one.
  int error = 0;
  switch (OpenStatusBlock(privateData, error)) {
    case InstanceResult::Ok:
      break;
    case InstanceResult::AlreadyActive:
      fprintf(stderr, "%s is already active on this workstation.\n", kProductBanner);
      return kExitFailure;
    case InstanceResult::CreateFailed:
      fprintf(stderr, "Error %lu creating shared memory area!\n", static_cast<unsigned long>(error));
      return kExitFailure;
    case InstanceResult::MapFailed:
      fprintf(stderr, "Error %lu opening shared memory area!\n", static_cast<unsigned long>(error));
      return kExitFailure;
  }

  // 5 and 6. Settings (with the [IPNotify] flag of MMSC.INI).
  SettingsBlock loaded;
  LoadSettings(loaded);
  InstallSettings(loaded);
  ApplyDebugSettings();
  InstallAccountingHooks();  // alert mails and the usage write-back, before any event
  WriteDebugLog("UseRouteCache", Settings.UseRouteCache ? "Yes" : "No");
  StoreStartup();
  if (SpareFilesPay(privateData)) {
    size_t spares = EnableSpareFiles(privateData + "SPARE/", kSpareQueueFiles);
    WriteDebugLogf("StoreStartup", "Deleted queue files are reused (file system without a journal; %zu spare)", spares);
  }
  // After the store: the event log's alert mails are written through it.
  ReportUnknownKeys();

  // 7 to 9. Outside libraries and web ports.
  std::string programDir = RealProgramDirectory();
  LoadSealLibrary(programDir);
  EnsureServerCertificate();
  BindSealTable(OutsideLibraries.seal, OutsideLibraries.sslAvailable, OutsideLibraries.sslServerAvailable, SealCalls);
  ChooseWebPorts();
  LoadWebSettings(WebSettings);
  InstallDefaultWebPages(WebSettings.HtmlDirectory);
  LoadProtocolLibraries(programDir, Settings.Debug && !Settings.NoDebugProtocol);
  // The SMPP, UCP and CIMD drivers hand received messages to the inbound side.
  InstallSmppDriver(ReceiveSmppMessage);
  InstallSmppServer();
  InstallUcpCimdDrivers(ReceiveCentreMessage);
  InstallHttpDriver();
  InstallModemDriver(ReceiveModemMessage);

  // 10. Receive markers of the accounts.
  UpdateReceiveMarkers();

  // 11 to 15. Listeners.
  if (!OpenListeners(ResolveListenAddress(Settings.IPAddress))) {
    CloseStatusBlock();
    return kExitFailure;
  }
  ReportServiceStarted();

  // 16 and 17. Restriction lists, routing tables, the handlers; listeners.
  BuildIPRestrictionLists(IPRestrictions);
  BuildOutboundRoutingTables();
  SetRouteValidator([](std::string_view route) { return ValidateSMSCRoute(route); });
  SetFailureReceiptHook(FailureReceiptHookFunction);
  SetInboundWakeHook([] { WakeInboundWorkers(InboundWakeKind::Messages); });
  SetInboundReceiveWakeHooks([] { WakeInboundWorkers(InboundWakeKind::Messages); },
                             [] { WakeInboundWorkers(InboundWakeKind::Reports); },
                             [] { WakeInboundWorkers(InboundWakeKind::Receipts); });
  InstallMmsHooks();
  RegisterSubmissionHandlers();
  SetProcessStartTime(NowSeconds());
  SetSmppServerRunningCheck([] { return GetStatusByte(kStatusSmppListening) != 0; });
  InstallAdminHandlers();
  if (!StartListenerThreads()) {
    AnnounceShutdown();
    WaitForServiceThreads();
    CloseStatusBlock();
    return kExitFailure;
  }

  // 18. Logs, the ledger and the message-id database check.
  OpenOutboundLog();
  LoadLedgerLibrary(programDir);
  LoadSignLibrary(programDir);
  CheckMessageIdDatabases(MessageIdTrackingDir());

  // 19 and 20.
  OpenUdpPushListener();
  StartWorkerThreads();
  MainLoop();
  return Shutdown();
}
