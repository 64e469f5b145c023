#include "runtime/event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/secret_mask.h"
#include "runtime/unique_fd.h"

namespace {
std::atomic<AlertMailHook> g_alertMailHook{nullptr};

int Priority(EventKind kind) {
  switch (kind) {
    case EventKind::Error:
      return LOG_ERR;
    case EventKind::Warning:
      return LOG_WARNING;
    default:
      return LOG_INFO;
  }
}
}  // namespace

void SetAlertMailHook(AlertMailHook hook) { g_alertMailHook.store(hook); }

void ReportEvent(EventKind kind, std::string_view rawText) {
  std::string masked = MaskSecrets(rawText);
  std::string_view text = masked;
  if (AlertMailHook hook = g_alertMailHook.load()) hook(kind, text);
  if (SMSIniFlag(kMainSection, "DisableEventLog", false)) return;
  openlog("QarSMS", LOG_PID, LOG_DAEMON);
  syslog(Priority(kind), "%.*s", static_cast<int>(text.size()), text.data());
  closelog();
}

void ReportEventOnceADay(std::string_view markerName, EventKind kind, std::string_view text) {
  std::string marker = PrivateDataDirectory() + std::string(markerName);
  struct stat st;
  if (stat(marker.c_str(), &st) == 0) {
    LocalTime made = LocalFromSeconds(st.st_mtime);
    LocalTime now = LocalNow();
    if (made.tm.tm_yday == now.tm.tm_yday && made.tm.tm_year == now.tm.tm_year) return;
    unlink(marker.c_str());
  }
  // O_EXCL: of two threads racing here, only one reports.
  UniqueFd fd(open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0664));
  if (!fd) return;
  // Dated by the gateway's clock, which is the one the next comparison uses.
  struct timespec times[2] = {{NowSeconds(), 0}, {NowSeconds(), 0}};
  futimens(fd.get(), times);
  ReportEvent(kind, text);
}
