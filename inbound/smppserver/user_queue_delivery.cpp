#include "inbound/smppserver/user_queue_delivery.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>

#include "gsm/code_pages.h"
#include "inbound/smppserver/server_accounts.h"
#include "outside/outside_tables.h"
#include "outside/qarpeer/qarpeer.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/str_printf.h"
#include "runtime/thread_registry.h"
#include "store/dir_listing.h"
#include "store/message_file.h"
#include "store/message_logs.h"
#include "store/queue_dirs.h"
#include "store/queue_file.h"
#include "store/retry_schedule.h"

namespace {
constexpr const char* kLabel = "ThreadProcessSMPPConnection";
constexpr time_t kKeptPauseSeconds = 5;
constexpr uint32_t kEvents = IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE;

bool KeepsFile(int status) { return status == 0x58 || status == 0x14 || status < 0; }

// The state of a report for the client: delivered, still under way, or not delivered.
int MessageState(uint32_t flags) {
  if (flags & kMsgReportDelivered) return 2;
  if (flags & kMsgReportIntransit) return 1;
  return 5;
}

std::string ExtraParameters(const SmsMessageRecord& m, int version) {
  std::string extra = m.SMPPOptions;
  auto add = [&extra](const std::string& item) { extra += (extra.empty() ? "" : "; ") + item; };
  if (!m.ServiceType.empty()) add("ServiceType=" + m.ServiceType);
  if (!m.SMSCRoute.empty()) add("SMSCRouteInfo=" + m.SMSCRoute);
  if ((m.MessageFlags & kMsgIsReport) && version >= 0x34) {
    if (!m.ReceiptMessageId.empty()) add("SMPPOption_receipted_message_id=" + m.ReceiptMessageId.substr(0, 64));
    add(StrPrintf("SMPPOption_message_state=%d", MessageState(m.MessageFlags)));
  }
  return extra;
}

// A client that asked us to wait (throttled, queue full) is not asked again at once, even
// where the retry schedule would allow it.
bool RecentlyKept(const SmsMessageRecord& m) {
  if (m.LastRetryTime.absent()) return false;
  time_t last = LocalCalendarToSeconds(m.LastRetryTime);
  return NowSeconds() < last + kKeptPauseSeconds;
}

// One file: true when the link is still usable afterwards.
bool DeliverFile(const DeliveryLink& link, const std::string& path, DeliveryPass& pass) {
  ClaimedFile file;
  if (!ClaimQueueFile(path, file)) return true;  // gone, or another session has it
  SmsMessageRecord m;
  LoadSMSMessage(file, m);
  if (m.PhoneNumber.empty() && !m.Sender.empty()) m.PhoneNumber = "1";
  if (m.RetryCount > RetryMaxAttempts("")) {
    WriteDebugLogf(kLabel, "Deleting %s after %u attempts", path.c_str(), m.RetryCount);
    LogOutbound(path, m.SubmittedBy, m.PhoneNumber, "Retry limit reached, deleted", LogContentOf(m), link.user, "",
                m.Sender);
    DeleteClaimedFile(file);
    return true;
  }
  if (m.RetryCount > 0 && (!RetryDue(m.RetryCount, m.LastRetryTime, "") || RecentlyKept(m))) {
    pass.waitingRetries = true;
    ReleaseClaim(file);
    return true;
  }
  std::string data = m.Data;
  if (!m.Binary) QueueTextToUtf8(data);
  std::string extra = ExtraParameters(m, link.version);
  auto submit = OutsideLibraries.peer.Call<SMPPServerSubmitMessageNewFn>(peer::SMPPServerSubmitMessageNew);
  int status = submit ? submit(link.socket, link.tls, link.name.c_str(), link.version, m.Sender.c_str(),
                               m.PhoneNumber.c_str(), m.Pid, m.Dcs, m.UDH.c_str(), data.c_str(),
                               int(m.MessageFlags), m.Binary ? 1 : 0, extra.c_str())
                      : -1;
  if (status == 0) {
    DeleteClaimedFile(file);
    CountDelivered(link.user);
    ++pass.delivered;
    return true;
  }
  if (KeepsFile(status)) {
    WriteErrorDetail(file, m.RetryCount, StrPrintf("SMPP status %d", status), "");
    ReleaseClaim(file);
    pass.waitingRetries = true;
    if (status < 0) {
      pass.linkLost = true;
      return false;
    }
    return true;
  }
  // The client refused the message for good.
  WriteDebugLogf(kLabel, "Client refused %s with status 0x%X, deleted", path.c_str(), unsigned(status));
  LogOutbound(path, m.SubmittedBy, m.PhoneNumber, StrPrintf("Refused by SMPP client %s: status 0x%X",
                                                            link.user.c_str(), unsigned(status)),
              LogContentOf(m), link.user, "", m.Sender);
  DeleteClaimedFile(file);
  return true;
}
}  // namespace

std::string UserQueueRoot(const std::string& user) {
  std::string dir = UserQueueDir(user);
  if (dir.empty()) return dir;
  size_t q = dir.rfind("/Q/");
  return q == std::string::npos ? dir : dir.substr(0, q + 3);
}

bool WatchUserQueue(const std::string& root, QueueWatch& watch) {
  CreatePathDirectories(root);
  watch.root = root;
  watch.fd.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!watch.fd) return false;
  if (inotify_add_watch(watch.fd.get(), root.c_str(), kEvents) < 0) return false;
  for (const DirEntry& e : ListDirectory(root))
    if (e.directory) inotify_add_watch(watch.fd.get(), (root + e.name).c_str(), kEvents);
  return true;
}

bool DrainQueueWatch(QueueWatch& watch) {
  if (!watch.fd) return false;
  alignas(struct inotify_event) char buffer[4096];
  bool any = false, newFolder = false;
  for (;;) {
    ssize_t n = read(watch.fd.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    any = true;
    for (ssize_t at = 0; at < n;) {
      auto* event = reinterpret_cast<struct inotify_event*>(buffer + at);
      if (event->mask & IN_ISDIR) newFolder = true;
      at += ssize_t(sizeof(struct inotify_event) + event->len);
    }
  }
  if (newFolder)
    for (const DirEntry& e : ListDirectory(watch.root))
      if (e.directory) inotify_add_watch(watch.fd.get(), (watch.root + e.name).c_str(), kEvents);
  return any;
}

DeliveryPass DeliverUserQueue(const DeliveryLink& link) {
  DeliveryPass pass;
  std::string root = UserQueueRoot(link.user);
  if (root.empty()) return pass;
  QueueWalk walk;
  std::string relative;
  for (bool more = QueueWalkFirst(walk, root, "*.REQ", true, relative); more && ShutdownRequested.load() == 0;
       more = QueueWalkNext(walk, relative)) {
    if (!DeliverFile(link, root + relative, pass)) break;
  }
  QueueWalkClose(walk);
  return pass;
}
