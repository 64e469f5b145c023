#include "inbound/smppserver/user_queue_delivery.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>

#include "config/settings_registry.h"
#include "gsm/code_pages.h"
#include "httpclient/socket_io.h"
#include "inbound/smppserver/server_accounts.h"
#include "outside/outside_tables.h"
#include "outside/qarpeer/qarpeer.h"
#include "outside/seal_table.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
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
constexpr int kAnswerWaitMs = 30000;

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

// What the client's answer means for a file: true when the link is still usable.
bool FinishDelivery(const DeliveryLink& link, ClaimedFile& file, const SmsMessageRecord& m, int status,
                    DeliveryPass& pass) {
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
    if (status == SMPP_ERROR_LINK || status == SMPP_ERROR_PROTOCOL) pass.linkLost = true;
    return !pass.linkLost;
  }
  // The client refused the message for good.
  std::string path = file.path;
  WriteDebugLogf(kLabel, "Client refused %s with status 0x%X, deleted", path.c_str(), unsigned(status));
  LogOutbound(path, m.SubmittedBy, m.PhoneNumber,
              StrPrintf("Refused by SMPP client %s: status 0x%X", link.user.c_str(), unsigned(status)), LogContentOf(m),
              link.user, "", m.Sender);
  DeleteClaimedFile(file);
  return true;
}

// Claims and reads a file that is due; false when there is nothing to send from it.
bool PrepareFile(const DeliveryLink& link, const std::string& path, ClaimedFile& file, SmsMessageRecord& m,
                 DeliveryPass& pass) {
  // Gone, another session has it, or another program is still writing it in place (its
  // close wakes the session again).
  if (!ClaimQueueFile(path, file)) return false;
  LoadSMSMessage(file, m);
  if (m.PhoneNumber.empty() && !m.Sender.empty()) m.PhoneNumber = "1";
  if (m.RetryCount > RetryMaxAttempts("")) {
    WriteDebugLogf(kLabel, "Deleting %s after %u attempts", path.c_str(), m.RetryCount);
    LogOutbound(path, m.SubmittedBy, m.PhoneNumber, "Retry limit reached, deleted", LogContentOf(m), link.user, "",
                m.Sender);
    DeleteClaimedFile(file);
    return false;
  }
  if (m.RetryCount > 0 && (!RetryDue(m.RetryCount, m.LastRetryTime, "") || RecentlyKept(m))) {
    pass.waitingRetries = true;
    ReleaseClaim(file);
    return false;
  }
  return true;
}

std::string LibraryData(const SmsMessageRecord& m) {
  std::string data = m.Data;
  if (!m.Binary) QueueTextToUtf8(data);
  return data;
}

// One file, waiting for the answer: true when the link is still usable afterwards.
bool DeliverNow(const DeliveryLink& link, const std::string& path, DeliveryPass& pass) {
  ClaimedFile file;
  SmsMessageRecord m;
  if (!PrepareFile(link, path, file, m, pass)) return true;
  std::string data = LibraryData(m);
  std::string extra = ExtraParameters(m, link.version);
  auto submit = OutsideLibraries.peer.Call<SMPPServerSubmitMessageNewFn>(peer::SMPPServerSubmitMessageNew);
  int status = submit ? submit(link.socket, link.tls, link.name.c_str(), link.version, m.Sender.c_str(),
                               m.PhoneNumber.c_str(), m.Pid, m.Dcs, m.UDH.c_str(), data.c_str(),
                               int(m.MessageFlags), m.Binary ? 1 : 0, extra.c_str())
                      : SMPP_ERROR_LINK;
  return FinishDelivery(link, file, m, status, pass);
}

SMPPServerSubmitMessageAsyncFn AsyncDeliver() {
  static SMPPServerSubmitMessageAsyncFn fn =
      OutsideLibraries.peer.Loaded()
          ? reinterpret_cast<SMPPServerSubmitMessageAsyncFn>(dlsym(OutsideLibraries.peer.handle, "SMPPServerSubmitMessageAsync"))
          : nullptr;
  return fn;
}

// Runs on the session's own thread, inside one of its library calls.
void DeliveryAnswered(SMPPAsyncSubmit* record) {
  static_cast<PendingDelivery*>(record->context)->done = true;
}

// Sends what waits in the session's outbox and handles what the client has sent so far.
bool Yield(const DeliveryLink& link) {
  auto yield = OutsideLibraries.peer.Call<SMPPServerYieldFn>(peer::SMPPServerYield);
  int linkError = 0;
  yield(link.socket, link.tls, link.name.c_str(), 0, &linkError);
  return linkError == 0;
}

// Waits up to ms for the client to send more. Only once what it had sent is handled: the
// answers already read by a yield free room at once, and nothing more may come.
void WaitForClient(const DeliveryLink& link, int ms) {
  WaitReadable(link.socket, link.tls, ms);
}

// Until the window has room.
void WaitForRoom(const DeliveryLink& link, DeliveryWindow& window, DeliveryPass& pass) {
  while (window.pending.size() >= window.size && !pass.linkLost && ShutdownRequested.load() == 0) {
    if (!Yield(link)) pass.linkLost = true;
    SettleDeliveries(link, window, pass);
    if (window.pending.size() < window.size || pass.linkLost) return;
    WaitForClient(link, 1000);
  }
}

// One file into the window: true when the link is still usable afterwards.
bool DeliverWindowed(const DeliveryLink& link, const std::string& path, DeliveryWindow& window, DeliveryPass& pass) {
  WaitForRoom(link, window, pass);
  if (pass.linkLost || ShutdownRequested.load() != 0) return false;
  auto p = std::make_unique<PendingDelivery>();
  if (!PrepareFile(link, path, p->file, p->message, pass)) return true;
  const SmsMessageRecord& m = p->message;
  std::string data = LibraryData(m);
  std::string extra = ExtraParameters(m, link.version);
  p->record.context = p.get();
  int status = AsyncDeliver()(link.socket, link.tls, link.name.c_str(), link.version, m.Sender.c_str(),
                              m.PhoneNumber.c_str(), m.Pid, m.Dcs, m.UDH.c_str(), data.c_str(), int(m.MessageFlags),
                              m.Binary ? 1 : 0, extra.c_str(), kAnswerWaitMs, &p->record, DeliveryAnswered);
  if (status != 0) return FinishDelivery(link, p->file, p->message, status, pass);
  window.pending.push_back(std::move(p));
  return true;
}
}  // namespace

std::string UserQueueRoot(const std::string& user) {
  std::string dir = UserQueueDir(user);
  if (dir.empty()) return dir;
  size_t q = dir.rfind("/Q/");
  return q == std::string::npos ? dir : dir.substr(0, q + 3);
}

uint32_t DeliveryWindowSize(const std::string& user) {
  std::string own = ConnectionValue("SMPPServerAsyncWindowSize", user);
  if (!Trim(own).empty()) return ParseDecimal(own);
  return MainNumber("SMPPServerAsyncWindowSize");
}

void SettleDeliveries(const DeliveryLink& link, DeliveryWindow& window, DeliveryPass& pass) {
  for (auto it = window.pending.begin(); it != window.pending.end();) {
    PendingDelivery& p = **it;
    if (!p.done.load()) {
      ++it;
      continue;
    }
    FinishDelivery(link, p.file, p.message, p.record.status, pass);
    it = window.pending.erase(it);
  }
}

void DrainDeliveries(const DeliveryLink& link, DeliveryWindow& window, uint32_t maxWaitMs) {
  DeliveryPass pass;
  uint64_t start = TickMs();
  while (!window.pending.empty() && !pass.linkLost && TickMs() - start < maxWaitMs) {
    if (!Yield(link)) pass.linkLost = true;
    SettleDeliveries(link, window, pass);
    if (!window.pending.empty() && !pass.linkLost) WaitForClient(link, 100);
  }
  if (window.pending.empty()) return;
  // A silent client keeps no thread: what it has not answered stays for a retry.
  auto abandon = reinterpret_cast<SMPPAsyncAbandonFn>(dlsym(OutsideLibraries.peer.handle, "SMPPAsyncAbandon"));
  if (abandon) abandon(link.socket);
  SettleDeliveries(link, window, pass);
  for (auto& p : window.pending) FinishDelivery(link, p->file, p->message, SMPP_ERROR_TIMEOUT, pass);
  window.pending.clear();
}

DeliveryPass DeliverUserQueue(const DeliveryLink& link, DeliveryWindow& window) {
  DeliveryPass pass;
  bool windowed = window.size > 0 && AsyncDeliver() != nullptr;
  std::string root = UserQueueRoot(link.user);
  if (root.empty()) return pass;
  QueueWalk walk;
  std::string relative;
  for (bool more = QueueWalkFirst(walk, root, "*.REQ", true, relative); more && ShutdownRequested.load() == 0;
       more = QueueWalkNext(walk, relative)) {
    bool up = windowed ? DeliverWindowed(link, root + relative, window, pass) : DeliverNow(link, root + relative, pass);
    if (!up) break;
  }
  QueueWalkClose(walk);
  // Queued deliveries leave with a yield: the session's next wait is on the socket alone.
  if (windowed && !window.pending.empty() && !pass.linkLost) {
    if (!Yield(link)) pass.linkLost = true;
    SettleDeliveries(link, window, pass);
  }
  return pass;
}
