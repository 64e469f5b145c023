#include "mms/mms_retrieval.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "config/settings_registry.h"
#include "httpclient/client_connect.h"
#include "httpclient/http_client.h"
#include "mms/mms_data_call.h"
#include "mms/mms_inbound.h"
#include "mms/mms_routing.h"
#include "mms/mms_store.h"
#include "push/wsp_decode.h"
#include "runtime/auto_reset_event.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/dates.h"
#include "runtime/debug_log.h"
#include "runtime/event_log.h"
#include "runtime/file_io.h"
#include "runtime/hex_text.h"
#include "runtime/mutex.h"
#include "runtime/names.h"
#include "runtime/str_printf.h"
#include "runtime/stream_socket.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_frame.h"
#include "runtime/thread_registry.h"
#include "runtime/unique_fd.h"
#include "store/counters.h"
#include "store/dir_listing.h"
#include "store/message_file.h"

namespace {

constexpr const char* kLabel = "ThreadProcessInboundMMS";
constexpr const char* kMmsType = "application/vnd.wap.mms-message";

struct Workers {
  Mutex lock;
  std::map<std::string, std::shared_ptr<AutoResetEvent>> running GUARDED_BY(lock);
};
Workers& TheWorkers() {
  static Workers w;
  return w;
}

// The worker's wake-up when a notification is queued for its folder.
std::shared_ptr<AutoResetEvent> RegisterWorker(const std::string& dir) {
  Workers& w = TheWorkers();
  MutexLock guard(w.lock);
  if (w.running.count(dir)) return nullptr;
  auto event = std::make_shared<AutoResetEvent>();
  w.running[dir] = event;
  return event;
}

void UnregisterWorker(const std::string& dir) {
  Workers& w = TheWorkers();
  MutexLock guard(w.lock);
  w.running.erase(dir);
}

bool WakeWorker(const std::string& dir) {
  Workers& w = TheWorkers();
  MutexLock guard(w.lock);
  auto it = w.running.find(dir);
  if (it == w.running.end()) return false;
  it->second->Set();
  return true;
}

struct QueueEntry {
  std::string to, modem, location, retryCount, lastRetry, firstAttempt;
  std::string notification;
};

QueueEntry ReadQueueEntry(std::string_view text) {
  QueueEntry e;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = FindLineEnd(text, pos);
    std::string_view line = text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = Trim(line.substr(0, eq)), value = line.substr(eq + 1);
    if (EqualsNoCase(key, "To")) e.to = value;
    else if (EqualsNoCase(key, "ModemName")) e.modem = value;
    else if (EqualsNoCase(key, "ContentLocation")) e.location = value;
    else if (EqualsNoCase(key, "RetryCount")) e.retryCount = value;
    else if (EqualsNoCase(key, "LastRetryTime")) e.lastRetry = value;
    else if (EqualsNoCase(key, "FirstAttemptTime")) e.firstAttempt = value;
    else if (EqualsNoCase(key, "Notification")) e.notification = HexDecodeLeading(value, value.size() / 2);
  }
  return e;
}

MmsFetch FetchDirect(const std::string& url, std::string& body) {
  HttpResponse response;
  RetrieveOptions options;
  options.timeoutSeconds = 120;
  options.acceptErrorStatus = true;
  std::string error;
  options.errorText = &error;
  if (!RetrieveURL(url, response, options)) {
    WriteDebugLogf(kLabel, "MMS Content Server request failed: %s", error.c_str());
    return MmsFetch::Temporary;
  }
  unsigned status = 0;
  size_t sp = response.text.find(' ');
  if (sp != std::string::npos) status = ParseDecimal(std::string_view(response.text).substr(sp + 1, 3));
  if (status >= 400 && status <= 599) {
    WriteDebugLogf(kLabel, "MMS Content Server returned HTTP status %u", status);
    return MmsFetch::Permanent;
  }
  if (status < 200 || status > 299) return MmsFetch::Temporary;
  std::string_view type = Trim(std::string_view(response.contentType).substr(0, response.contentType.find(';')));
  if (!EqualsNoCase(type, kMmsType)) {
    WriteDebugLogf(kLabel, "MMS Content Server returned invalid content type %s", response.contentType.c_str());
    return MmsFetch::Permanent;
  }
  body.assign(response.Body());
  return MmsFetch::Ok;
}

// POST of the acknowledgement over its own connection to the MMSC; the reply is logged.
void SendAcknowledgement(const std::string& mmsUrl, const std::string& pdu) {
  std::string rest = mmsUrl;
  size_t scheme = rest.find("://");
  if (scheme != std::string::npos) rest = rest.substr(scheme + 3);
  size_t slash = rest.find('/');
  std::string hostPort = rest.substr(0, slash), path = slash == std::string::npos ? "" : rest.substr(slash + 1);
  std::string host;
  uint16_t port = 80;
  if (!SplitHostPort(hostPort, host, port) || host.empty()) {
    WriteDebugLogf(kLabel, "MMSURL %s names no host", mmsUrl.c_str());
    return;
  }
  if (size_t at = host.rfind('@'); at != std::string::npos) host = host.substr(at + 1);
  ConnectFailure failure;
  UniqueFd sock = ConnectTcp(host, port, 30000, failure);
  if (!sock) {
    WriteDebugLogf(kLabel, "Cannot connect to the MMSC %s:%u", host.c_str(), port);
    return;
  }
  std::string request = StrPrintf("POST /%s HTTP/1.0\r\nHost: %s\r\nContent-length: %zu\r\n", path.c_str(),
                                  host.c_str(), pdu.size()) +
                        "Content-type: application/vnd.wap.mms-message\r\n"
                        "Accept: application/vnd.wap.mms-message\r\n\r\n" +
                        pdu;
  if (SendAllWithin(sock.get(), request, 30000) != 0) {
    WriteDebugLog(kLabel, "Cannot send the acknowledgement");
    return;
  }
  std::string reply;
  while (reply.size() < 8192 && ReceiveSome(sock.get(), 30000, reply) == 1) {
  }
  WriteDebugLogf(kLabel, "Acknowledgement reply: %s",
                 StripControlBytes(std::string_view(reply).substr(0, FindLineEnd(reply))).c_str());
}

bool ReplaceFile(const std::string& path, std::string_view text) {
  std::string temp = path + ".tmp";
  {
    UniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd || WriteText(fd.get(), text) != text.size()) {
      unlink(temp.c_str());
      return false;
    }
  }
  return rename(temp.c_str(), path.c_str()) == 0;
}

void RecordRetry(const std::string& path, const std::string& text, const QueueEntry& e, time_t now) {
  std::string out = text;
  size_t at = out.find("\r\nRetryCount=");
  if (at != std::string::npos) out.resize(at + 2);
  if (!out.empty() && !out.ends_with("\r\n")) out += "\r\n";
  std::string stamp = FormatTimestamp14(now);
  uint32_t count = ParseDecimal(e.retryCount);
  if (count == 0) out += "FirstAttemptTime=" + stamp + "\r\n";
  out += StrPrintf("RetryCount=%u\r\nLastRetryTime=%s\r\n", count + 1, stamp.c_str());
  if (!ReplaceFile(path, out)) WriteDebugLogf(kLabel, "Cannot record the retry in %s", path.c_str());
}

void GiveUp(const std::string& path, const QueueEntry& e) {
  ReportEvent(EventKind::Warning, StrPrintf("MMS Message could not be retrieved.  URL = %s; Modem = %s",
                                            e.location.c_str(), e.modem.c_str()));
  std::string bad = path.substr(0, path.rfind('.')) + ".BAD";
  if (rename(path.c_str(), bad.c_str()) != 0) WriteDebugLogf(kLabel, "Cannot rename %s", path.c_str());
}

// True when the file was retrieved or given up.
bool ProcessQueueFile(const std::string& path, time_t now, MmsDataCall& call) {
  std::string text;
  if (!ReadWholeFile(path, text, 1u << 20)) return false;
  QueueEntry e = ReadQueueEntry(text);
  bool expired = false;
  uint32_t count = ParseDecimal(e.retryCount);
  if (count > 0) {
    CalendarTime first = ParseTimestamp14(e.firstAttempt), last = ParseTimestamp14(e.lastRetry);
    if (first.year >= 2001 && now - LocalCalendarToSeconds(first) > 1440 * 60) {
      expired = true;
    } else if (now < LocalCalendarToSeconds(last) + static_cast<time_t>(std::min<uint32_t>(count, 15)) * 60) {
      return false;
    }
  }
  WriteDebugLogf(kLabel, "Processing %s...", path.c_str());
  MmsFetch outcome = MmsFetch::Permanent;
  if (expired) {
    WriteDebugLogf(kLabel, "MMS notification expired: first attempt %s", e.firstAttempt.c_str());
  } else if (e.location.empty()) {
    WriteDebugLog(kLabel, "MMS notification without Content-location");
  } else {
    std::string body;
    MmsDataCallSettings dial;
    bool dataCall = DataCallSettingsOf(e.modem, dial);
    outcome = dataCall ? FetchOverDataCall(call, dial, e.location, count, body) : FetchDirect(e.location, body);
    if (outcome == MmsFetch::Ok) {
      CounterAdd(kMmsInModem, 1);
      std::string routing = e.modem.empty() ? "" : ConnectionValue(ConnectionSectionName(e.modem), "MMSRouting");
      if (RouteInboundMMS(routing, body)) {
        WriteDebugLogf(kLabel, "MMS routed by %s", routing.c_str());
      } else if (!ParseInboundMMS(e.to, e.notification, std::string_view(body))) {
        WriteDebugLog(kLabel, "ParseInboundMMS failed");
        outcome = MmsFetch::Permanent;
      }
    }
  }
  std::string mmsUrl = e.modem.empty() ? "" : ConnectionValue(ConnectionSectionName(e.modem), "MMSURL");
  if (outcome != MmsFetch::Temporary && !mmsUrl.empty()) {
    std::string pdu = NotifyRespPdu(e.notification, outcome == MmsFetch::Permanent);
    MmsDataCallSettings dial;
    if (DataCallSettingsOf(e.modem, dial))
      AcknowledgeOverDataCall(dial, mmsUrl, pdu);
    else
      SendAcknowledgement(mmsUrl, pdu);
  }
  switch (outcome) {
    case MmsFetch::Ok:
      unlink(path.c_str());
      return true;
    case MmsFetch::Temporary:
      RecordRetry(path, text, e, now);
      return false;
    case MmsFetch::Permanent:
      GiveUp(path, e);
      return true;
  }
  return false;
}

// The folder's lock, removed when the worker ends.
class FolderLock {
 public:
  explicit FolderLock(const std::string& dir) : path_(dir + "MMSINQ.LCK") {
    fd_.reset(open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (fd_ && flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) fd_.reset();
  }
  ~FolderLock() {
    if (fd_) unlink(path_.c_str());
  }
  bool held() const { return fd_.valid(); }

 private:
  std::string path_;
  UniqueFd fd_;
};

void RunWorker(const std::string& dir, AutoResetEvent& wake) {
  FolderLock lock(dir);
  if (!lock.held()) {
    WriteDebugLogf(kLabel, "%s is served by another worker", dir.c_str());
    return;
  }
  MmsDataCall call;
  // Passes over an empty folder write nothing, and a folder holding only notifications not
  // yet due again writes its lines once a minute: an idle gateway's debug log stays put.
  RepeatedDebugLine begin, end;
  while (ShutdownRequested.load() == 0) {
    bool queued = DebugSettings.Debug.load() && !ListNames(dir, "*.Q", false).empty();
    if (queued) WriteDebugLogUnlessRepeated(begin, kLabel, "Begin scan loop");
    unsigned done = ProcessMmsQueuePass(dir, NowSeconds(), call);
    if (queued) WriteDebugLogUnlessRepeated(end, kLabel, "End scan loop");
    // Two seconds between idle passes, one after a pass that finished something, ten while a
    // borrowed modem is kept for the next notification; a queued notification wakes the
    // worker at once. The stop is seen within a second.
    unsigned waitMs = done ? 1000 : KeepDataCallAfterIdlePass(call) ? 10000 : 2000;
    for (unsigned waited = 0; waited < waitMs && ShutdownRequested.load() == 0; waited += 1000)
      if (wake.Wait(std::min(1000u, waitMs - waited))) break;
  }
  EndDataCall(call, "#4");
}

void StartWorkerFor(const std::string& dir) {
  std::shared_ptr<AutoResetEvent> event = RegisterWorker(dir);
  if (!event) {
    WakeWorker(dir);
    return;
  }
  bool started = StartServiceThread(kLabel, [dir, event] {
    RunWorker(dir, *event);
    UnregisterWorker(dir);
  });
  if (!started) {
    WriteDebugLog(kLabel, "Error starting thread");
    UnregisterWorker(dir);
  }
}

}  // namespace

std::string NotifyRespPdu(std::string_view notification, bool rejected) {
  std::string pdu = "\x8C\x83";
  WspField f;
  if (FindHeaderField(notification, 0x98, f) && !f.value.empty() && static_cast<uint8_t>(f.value[0]) >= 0x20 &&
      static_cast<uint8_t>(f.value[0]) < 0x80)
    pdu += '\x98' + std::string(f.value);
  else
    pdu += std::string("\x98unknown", 8) + '\0';
  if (FindHeaderField(notification, 0x8D, f) && !f.value.empty())
    pdu += '\x8D' + std::string(f.value);
  else
    pdu += "\x8D\x90";
  pdu += rejected ? "\x95\x82" : "\x95\x81";
  pdu += "\x91\x80";
  return pdu;
}

unsigned ProcessMmsQueuePass(const std::string& dir, time_t now, MmsDataCall& call) {
  unsigned done = 0;
  for (const std::string& name : ListNames(dir, "*.Q", false)) {
    if (ShutdownRequested.load() != 0) break;
    if (ProcessQueueFile(dir + name, now, call)) ++done;
  }
  return done;
}

unsigned ProcessMmsQueuePass(const std::string& dir, time_t now) {
  MmsDataCall call;
  unsigned done = ProcessMmsQueuePass(dir, now, call);
  EndDataCall(call, "#4");
  return done;
}

void StartInboundMMSWorker(std::string_view connection) { StartWorkerFor(MmsQueueDirectory(connection)); }

void ThreadProcessInboundMMS() {
  std::string root = MmsQueueDirectory("");
  std::shared_ptr<AutoResetEvent> event = RegisterWorker(root);
  if (!event) return;
  for (const std::string& folder : ListNames(root, "*", true))
    if (!ListNames(root + folder + "/", "*.Q", false).empty()) StartWorkerFor(root + folder + "/");
  RunWorker(root, *event);
  UnregisterWorker(root);
}
