#include "smsc/connection_worker.h"

#include <algorithm>
#include <optional>
#include <string>

#include "config/settings.h"
#include "config/settings_registry.h"
#include "runtime/broadcast_wake.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/event_log.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"
#include "smsc/connection_error_file.h"
#include "smsc/connection_figures.h"
#include "smsc/queue_pass.h"
#include "smsc/route_decision.h"
#include "smsc/routing_tables.h"
#include "smsc/skip_queue.h"
#include "smsc/smsc_driver.h"
#include "smsc/work_wait.h"
#include "store/queue_dirs.h"
#include "store/message_logs.h"
#include "store/retry_schedule.h"

namespace {

bool Stopping() { return ShutdownRequested.load() != 0; }

// What a worker keeps across the rounds of one cycle.
struct WorkerState {
  uint32_t index = 0, instance = 0;
  std::string name;
  std::string backupTarget, backupTargetRoute;  // when this connection is a backup
  std::string backupRoute;                       // BackupForRoute as written
  uint32_t failures = 0;
  bool eventRaised = false;
  bool restart = false;
  uint32_t retryMaxAttempts = 20;
  uint32_t sendIntervalMs = 0;
};

std::string ConnectionNameFor(uint32_t index) {
  if (index == 0) return "SDKLINK - VirtualSMSC";
  return MainValue("Modem" + std::to_string(index));
}

void ReadPacing(WorkerState& s) {
  s.retryMaxAttempts = RetryMaxAttempts(s.name);
  s.sendIntervalMs = SendIntervalMs(ConnectionValue(ConnectionSectionName(s.name), "SMSCSendLimit"));
}

void ReportFailure(WorkerState& s, const std::string& text) {
  ++s.failures;
  LogOutbound("System", "", s.name, text, LogContent{}, "", "", "");
  WriteDebugLog(s.name, text);
  WriteConnectionErrorFile(s.name, text);
}

void ReportRecovery(WorkerState& s) {
  WriteConnectionErrorFile(s.name, "");
  if (s.eventRaised) {
    std::string text = StrPrintf("SMSC Interface '%s' successfully initiaized.  Error condition resolved.", s.name.c_str());
    WriteDebugLog(s.name, text);
    ReportEvent(EventKind::Information, text);
    s.eventRaised = false;
  }
  s.failures = 0;
}

// The backup test; sets restart when this backup is no longer needed.
void CheckBackup(WorkerState& s) {
  if (s.backupRoute.empty()) return;
  if (!BackupNeeded(OutboundRouting, s.backupTarget.empty() ? s.backupRoute : s.backupTarget)) s.restart = true;
}

// The change check of the settings: a new connection name ends the cycle, settings that
// need a new session end the session; the others are now in use.
void CheckSettingsChange(WorkerState& s, SmscDriver& driver) {
  std::string current = ConnectionNameFor(s.index);
  if (current != s.name) {
    WriteDebugLogf("ThreadProcessModem", "Connection settings have changed for %s, init required for %s.",
                   s.name.c_str(), current.c_str());
    s.restart = true;
    return;
  }
  if (driver.reload()) {
    WriteDebugLog(s.name, "Connection settings have changed, requiring a reconnection");
    s.restart = true;
  }
}

// Waits for the reconnect time or the stop. The settings are read again when the
// configuration changed (the registry's notice, or a look every kChangeLookEveryMs); a
// backup whose target recovers ends the wait as soon as the target's error file goes.
void ReconnectWait(WorkerState& s, SmscDriver& driver) {
  s.failures = std::max<uint32_t>(s.failures, 1);
  time_t until = ReconnectTime(s.failures, s.name);
  if (s.failures > 2 && !s.eventRaised) {
    std::string text = StrPrintf("Error initializing SMSC Interface '%s'.  Interface is not available.", s.name.c_str());
    WriteDebugLog(s.name, text);
    ReportEvent(EventKind::Error, text);
    s.eventRaised = true;
  }
  BroadcastWake errorFiles(kConnectionErrorsChannel);
  BroadcastWake settingsNotice(kConfigurationChangeChannel);
  ConfigurationStamp configuration;  // none yet: the first look reads the settings again
  bool look = true;
  uint64_t lookTick = TickMs();
  while (!Stopping() && !s.restart) {
    errorFiles.Rearm();
    settingsNotice.Rearm();
    if (look) {
      lookTick = TickMs();
      ++ReconnectWaits.looks;
      if (ConfigurationChanged(configuration)) {
        if (driver.reload) CheckSettingsChange(s, driver);
        ReadPacing(s);
      }
    }
    CheckBackup(s);
    time_t now = NowSeconds();
    if (now >= until || s.restart) break;
    uint64_t sinceLook = TickMs() - lookTick;
    uint64_t ms = std::min<uint64_t>(uint64_t(until - now) * 1000,
                                     sinceLook >= kChangeLookEveryMs ? 0 : kChangeLookEveryMs - sinceLook);
    int told = WaitForAnyBroadcast({&errorFiles, &settingsNotice}, uint32_t(ms));
    if (told == 0) ++ReconnectWaits.errorFiles;
    look = told == 1 || TickMs() - lookTick >= kChangeLookEveryMs;
  }
}

// The pacing of the worker's own settings.
void ApplyPacing(const WorkerState& s, QueueWorker& w) {
  w.settings.retryMaxAttempts = s.retryMaxAttempts;
  w.settings.sendIntervalMs = s.sendIntervalMs;
}

// One session: connect and log in, queue passes (or only serving the link when there is
// nothing to send), close. False when the round failed before the login (already reported).
bool RunSession(WorkerState& s, SmscDriver& driver) {
  if (!driver.connect([&](const std::string& text) { ReportFailure(s, text); })) return false;
  WriteDebugLog(s.name, s.name);
  ReportRecovery(s);
  // Logged in from here until the session ends, for the status pages.
  struct SessionUp {
    ConnectionFigures& figures;
    explicit SessionUp(ConnectionFigures& f) : figures(f) { ++figures.sessionsUp; }
    ~SessionUp() { --figures.sessionsUp; }
  } sessionUp(FiguresOf(s.name));
  QueueWorker w;
  w.connection = s.name;
  w.routingName = s.backupTarget.empty() ? s.name : s.backupTarget;
  w.names = RouteNamesFor(OutboundRouting, s.name);
  if (!s.backupTarget.empty()) {
    w.names.backupTarget = s.backupTarget;
    w.names.targetRouteName = s.backupTargetRoute;
  }
  w.lastActivityTick = TickMs();
  ApplyPacing(s, w);
  QueueTransport transport;
  // Declared after w and transport: the session ends (the driver's threads that use them
  // with it) before either goes.
  struct CloseOnLeave {
    SmscDriver& driver;
    QueueWorker& w;
    const WorkerState& s;
    ~CloseOnLeave() {
      driver.close(w, s.failures == 0);
      SkipQFree(w.skipQueue);
    }
  } closeOnLeave{driver, w, s};
  driver.open(w, transport);
  ConfigurationStamp configuration;  // none yet: the first check reads the settings again
  w.changeCheck = [&] {
    // The settings come from the configuration file alone: while it is unchanged there is
    // nothing to read again.
    if (ConfigurationChanged(configuration)) {
      CheckSettingsChange(s, driver);
      ReadPacing(s);
      ApplyPacing(s, w);
      driver.apply(w);
    }
    CheckBackup(s);
    w.restart = s.restart;
  };
  bool receiveOnly = driver.receiveOnly();
  if (receiveOnly) WriteDebugLogf(s.name.c_str(), "Receive only connection for %s", s.name.c_str());
  uint64_t lastCheckTick = TickMs();
  // Files written to the queue wake this worker; without them it waits.
  FolderWake wake({OutboundQueueRoot()});
  // While waiting, the change check runs when the configuration changed and, for a backup,
  // when an error file did (its target may have recovered).
  BroadcastWake settingsNotice(kConfigurationChangeChannel);
  std::optional<BroadcastWake> errorFiles;
  if (!s.backupRoute.empty()) errorFiles.emplace(kConnectionErrorsChannel);
  WorkWaitContext waitContext;
  waitContext.wake = receiveOnly ? nullptr : &wake;
  waitContext.changeCheck = w.changeCheck;
  waitContext.lastCheckTick = &lastCheckTick;
  waitContext.checkEveryMs = kChangeLookEveryMs;
  waitContext.changeWakes[0] = &settingsNotice;
  waitContext.changeWakes[1] = errorFiles ? &*errorFiles : nullptr;
  while (!w.linkError && !Stopping() && !s.restart) {
    if (receiveOnly) {
      // Nothing to send: keep the link served and alive.
      WaitForWork(w, transport, waitContext);
    } else {
      wake.Rearm();
      RunQueuePass(w, transport);
      ApplyPacing(s, w);
      driver.apply(w);
      // A pass that found nothing to do waits for a file, the link or a timer.
      if (w.handledInPass == 0 && !w.queueRestart && !w.linkError && !w.restart) {
        WaitForWork(w, transport, waitContext);
      }
    }
    // Besides the checks inside the passes (after each subdirectory, every 256 messages):
    // once a second, so that a link with nothing to send, or only the root queue, or
    // nothing to send at all (receive-only), still sees changes and its backup target.
    if (TickMs() - lastCheckTick >= 1000) {
      lastCheckTick = TickMs();
      w.changeCheck();
    }
    if (w.restart) s.restart = true;
  }
  return true;
}

// Sessions of one driver until the cycle ends; a kind without one fails every round with
// its text.
void RunSessions(WorkerState& s, SmscDriver& driver) {
  while (!Stopping() && !s.restart) {
    if (!driver.unavailable.empty()) {
      ReportFailure(s, driver.unavailable);
      ReconnectWait(s, driver);
      if (ConnectionNameFor(s.index) != s.name) s.restart = true;
      continue;
    }
    RunSession(s, driver);
    if (Stopping() || s.restart) break;
    ReconnectWait(s, driver);
  }
}

// Worker 0 without the HTTP transport: queue passes that deliver messages to local users
// (the local-routing rules), so that they do not wait for an SMS centre connection. It
// sends nothing: messages for the numbers of [SDKLink] stay queued, and the operator is
// told so once.
void RunLocalRoutingPasses(WorkerState& s) {
  WriteDebugLogf("ThreadProcessModem", "%s delivers queued messages to local users", s.name.c_str());
  if (Settings.SDKLinkEnabled) {
    std::string text = s.name + ": forwarding to the numbers of [SDKLink] is not available in this build; "
                                "messages for them stay in the queue";
    WriteDebugLog("ThreadProcessModem", text);
    ReportEvent(EventKind::Warning, text);
  }
  QueueWorker w;
  w.connection = s.name;
  w.routingName = s.name;
  w.names = RouteNamesFor(OutboundRouting, s.name);
  w.settings.keepAliveSeconds = 0;
  w.lastActivityTick = TickMs();
  QueueTransport t;
  t.yield = [](int) { return 0; };
  t.linkUp = [] { return true; };
  t.enquireLink = [] { return 0; };
  ConfigurationStamp configuration;
  ConfigurationChanged(configuration);
  FolderWake wake({OutboundQueueRoot()});
  uint64_t lastCheckTick = TickMs();
  bool changed = false;
  BroadcastWake settingsNotice(kConfigurationChangeChannel);
  WorkWaitContext waitContext;
  waitContext.wake = &wake;
  waitContext.lastCheckTick = &lastCheckTick;
  waitContext.checkEveryMs = kChangeLookEveryMs;
  waitContext.changeWakes[0] = &settingsNotice;
  waitContext.changeCheck = [&] { changed = changed || ConfigurationChanged(configuration); };
  while (!Stopping()) {
    // The local-routing section may have changed: every file is looked at again.
    if (changed) SkipQFree(w.skipQueue);
    changed = false;
    wake.Rearm();
    RunQueuePass(w, t);
    // Delivered files are gone: only a write, a due retry or the periodic look brings more.
    if (w.handledInPass == 0) WaitForWork(w, t, waitContext);
  }
  SkipQFree(w.skipQueue);
}

void WaitWhileBackupNotNeeded(WorkerState& s) {
  std::string value = RoutingConnectionName(ConnectionValue(ConnectionSectionName(s.name), "BackupForRoute"));
  s.backupRoute = value;
  s.backupTarget.clear();
  s.backupTargetRoute.clear();
  if (value.empty()) return;
  for (const std::string& c : OutboundRouting.configured) {
    if (EqualsNoCase(c, value)) {
      s.backupTarget = c;
      if (const ConnectionRouting* r = OutboundRouting.Find(c)) s.backupTargetRoute = r->routeName;
    }
  }
  WriteDebugLogf("ThreadProcessModem", "Route %s is a backup for %s", s.name.c_str(), value.c_str());
  // The target's failure shows as its error file: its writing wakes this wait at once. The
  // configuration is looked at when the registry tells of a change (every
  // kChangeLookEveryMs without being told).
  BroadcastWake errorFiles(kConnectionErrorsChannel);
  BroadcastWake settingsNotice(kConfigurationChangeChannel);
  ConfigurationStamp configuration;
  ConfigurationChanged(configuration);
  for (;;) {
    errorFiles.Rearm();
    settingsNotice.Rearm();
    if (Stopping() || BackupNeeded(OutboundRouting, s.backupTarget.empty() ? value : s.backupTarget)) break;
    int told = WaitForAnyBroadcast({&errorFiles, &settingsNotice}, uint32_t(kChangeLookEveryMs));
    ++(told == 0 ? BackupWaits.errorFiles : BackupWaits.looks);
    if (told != 0 && ConfigurationChanged(configuration) && ConnectionNameFor(s.index) != s.name) {
      s.restart = true;
      return;
    }
  }
  if (!Stopping()) WriteDebugLogf("ThreadProcessModem", "Activating backup route %s for %s", s.name.c_str(), value.c_str());
}

}  // namespace

BackupWaitCounts BackupWaits;
ReconnectWaitCounts ReconnectWaits;

void ThreadProcessModem(uint32_t parameter) {
  WorkerState s;
  s.index = parameter & 0xFFFF;
  s.instance = parameter >> 16;
  while (!Stopping()) {
    s.restart = false;
    s.failures = 0;
    s.eventRaised = false;
    s.name = ConnectionNameFor(s.index);
    if (s.name.empty()) return;
    WriteDebugLog("ThreadProcessModem", s.name);
    ReadPacing(s);
    WaitWhileBackupNotNeeded(s);
    if (Stopping()) break;
    if (s.restart) continue;
    ConnectionKind kind = ConnectionKindOf(s.index, s.name);
    // The virtual SMSC forwards to the numbers of [SDKLink] over HTTP (and delivers locally).
    if (kind == ConnectionKind::LocalRouting && Settings.SDKLinkEnabled &&
        SmscDriverRegistered(ConnectionKind::Http)) {
      kind = ConnectionKind::Http;
    }
    if (kind == ConnectionKind::LocalRouting) {
      RunLocalRoutingPasses(s);
    } else {
      SmscDriver driver = MakeSmscDriver(kind, s.name, s.instance);
      RunSessions(s, driver);
    }
  }
}
