#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <dlfcn.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <thread>

#include "config/settings.h"
#include "config/settings_registry.h"
#include "inbound/smppserver/server_accounts.h"
#include "inbound/smppserver/server_submit.h"
#include "inbound/smppserver/smpp_server.h"
#include "inbound/smppserver/user_queue_delivery.h"
#include "outside/outside_tables.h"
#include "outside/seal_table.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/folder_wake.h"
#include "runtime/names.h"
#include "runtime/socket_helpers.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_frame.h"
#include "runtime/thread_registry.h"
#include "runtime/unique_fd.h"
#include "store/durable_writes.h"
#include "store/queue_file.h"

namespace {
constexpr const char* kLabel = "ThreadProcessSMPPConnection";
constexpr int kLoginWaitMs = 120000;
constexpr const char* kServerSystemId = "QarSMS";
// How long a session's end waits for the answers to its deliveries.
constexpr uint32_t kDrainWaitMs = 10000;
constexpr uint32_t kSystemError = 0x08;

thread_local uint64_t t_lastActivity = 0;
thread_local uint64_t t_pdusSeen = 0;

void NoteActivity(const char*, uint32_t) {
  t_lastActivity = TickMs();
  ++t_pdusSeen;
}

const LoadedLibrary& Peer() { return OutsideLibraries.peer; }

template <typename Fn>
Fn PeerExtra(const char* name) {
  return Peer().Loaded() ? reinterpret_cast<Fn>(dlsym(Peer().handle, name)) : nullptr;
}

void EndLibrarySession(int sock) {
  if (!Peer().Loaded()) return;
  if (auto end = reinterpret_cast<SMPPEndSessionFn>(dlsym(Peer().handle, "SMPPEndSession"))) end(sock);
}

void PeerAddress(int fd, std::string& address, uint16_t& port) {
  struct sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return;
  char text[INET6_ADDRSTRLEN] = {0};
  if (peer.ss_family == AF_INET) {
    auto* sa = reinterpret_cast<sockaddr_in*>(&peer);
    inet_ntop(AF_INET, &sa->sin_addr, text, sizeof text);
    port = ntohs(sa->sin_port);
  } else if (peer.ss_family == AF_INET6) {
    auto* sa6 = reinterpret_cast<sockaddr_in6*>(&peer);
    if (IN6_IS_ADDR_V4MAPPED(&sa6->sin6_addr)) inet_ntop(AF_INET, &sa6->sin6_addr.s6_addr[12], text, sizeof text);
    else inet_ntop(AF_INET6, &sa6->sin6_addr, text, sizeof text);
    port = ntohs(sa6->sin6_port);
  }
  address = text;
}

std::string Field(const char* text, size_t size) { return std::string(text, strnlen(text, size)); }

char BindLetter(int bindType) {
  return bindType == SMPP_BIND_RECEIVER ? 'R' : bindType == SMPP_BIND_TRANSCEIVER ? 'T' : 'S';
}

const char* RefusalText(LoginRefusal r) {
  switch (r) {
    case LoginRefusal::UnknownAccount: return "unknown account";
    case LoginRefusal::WrongPassword: return "invalid password";
    case LoginRefusal::SmppDisabled: return "SMPP access is not enabled for account";
    case LoginRefusal::AddressNotAllowed: return "IP address not allowed for account";
    case LoginRefusal::TooManyConnections: return "too many connections";
    case LoginRefusal::None: break;
  }
  return "";
}

// The account checks of a running session: the text that ends it, or "".
std::string AccountStillValid(const std::string& user, const std::string& password, const std::string& address) {
  SMSUserRecord account{};
  if (!ReadAccountNow(user, account)) return "Connection terminated - user account deleted";
  switch (CheckCredentials(&account, password, address)) {
    case LoginRefusal::SmppDisabled: return "Connection terminated - SMPP access is not enabled for account";
    case LoginRefusal::WrongPassword: return "Connection terminated - account password is no longer valid";
    case LoginRefusal::AddressNotAllowed: return "Connection terminated - IP address restrictions have changed";
    default: return {};
  }
}

struct Session {
  UniqueFd socket;
  void* tls = nullptr;
  std::string address;
  uint16_t port = 0;
  std::string name;
};

void FinishSession(Session& s) {
  EndLibrarySession(s.socket.get());
  WriteDebugLogf(kLabel, "Releasing SMPP connection from %s", s.address.c_str());
  if (s.tls && SealCalls.sslFreeSession) SealCalls.sslFreeSession(s.tls);
  s.tls = nullptr;
  CloseSocketGracefully(s.socket);
}

// Answers held until the files of their submissions are flushed, group by group in their
// order, while the session reads and writes the next submissions.
struct HeldGroup {
  FlushHandle flush;
  int responses = 0;
};
struct HeldAnswers {
  UniqueFd flushed;  // an eventfd the flusher signals
  std::deque<HeldGroup> groups;
  int count = 0;  // answers held in groups
};

// Sends the answers of the groups whose flush is done, oldest first (with wait: of all).
void SendFlushedAnswers(Session& s, HeldAnswers& held, bool wait) {
  static const auto sendFirst = PeerExtra<SMPPServerSendFirstHeldResponsesFn>("SMPPServerSendFirstHeldResponses");
  while (!held.groups.empty()) {
    HeldGroup& g = held.groups.front();
    if (!wait && !FlushDone(g.flush)) break;
    bool safe = FinishFlush(g.flush);
    if (!safe) WriteDebugLog(kLabel, "Accepted messages could not be flushed to stable storage; answered as failed");
    if (g.responses > 0) sendFirst(s.socket.get(), s.tls, s.name.c_str(), g.responses, safe ? 0 : int(kSystemError));
    held.count -= g.responses;
    held.groups.pop_front();
  }
}

// Waits on the socket, the queue's wake and the end of a flush up to ms; true when the
// client sent something.
bool WaitForTraffic(Session& s, FolderWake* wake, HeldAnswers& held, int ms, bool& queueWoke) {
  if (s.tls && SealCalls.sslDataPending && SealCalls.sslDataPending(s.tls) > 0) return true;
  struct pollfd fds[3] = {{s.socket.get(), POLLIN, 0},
                          {wake ? wake->Fd() : -1, POLLIN, 0},
                          {held.groups.empty() ? -1 : held.flushed.get(), POLLIN, 0}};
  int ready = poll(fds, 3, ms);
  if (ready <= 0) return false;
  if (fds[1].revents & POLLIN) queueWoke = true;
  if (fds[2].revents & POLLIN) {
    uint64_t signals;
    (void)!read(held.flushed.get(), &signals, sizeof signals);
    SendFlushedAnswers(s, held, false);
  }
  return fds[0].revents != 0;
}

// Handles every PDU the client has sent so far. The submissions among them are written
// first, and answered in their order only once their files are safe. Their flush is handed
// off: the session reads and writes the next ones meanwhile, so a client's window is never
// idle for a whole write and flush, and submissions that arrive together share one flush.
void HandleReceived(Session& s, SMPPServerYieldFn yield, HeldAnswers& held, int& linkError) {
  static const auto hold = PeerExtra<SMPPServerHoldResponsesFn>("SMPPServerHoldResponses");
  static const auto count = PeerExtra<SMPPServerHeldResponseCountFn>("SMPPServerHeldResponseCount");
  static const auto sendFirst = PeerExtra<SMPPServerSendFirstHeldResponsesFn>("SMPPServerSendFirstHeldResponses");
  static const auto release = PeerExtra<SMPPServerReleaseHoldFn>("SMPPServerReleaseHold");
  bool batched = hold != nullptr && count != nullptr && sendFirst != nullptr && release != nullptr && held.flushed;
  // Without held answers each submission flushes for itself before the library answers it.
  DurableWrites durable(Settings.DurableAccept && batched);
  if (!batched) {
    yield(s.socket.get(), s.tls, s.name.c_str(), 0, &linkError);
    return;
  }
  auto handOff = [&] {
    int added = count(s.socket.get(), s.tls, s.name.c_str()) - held.count;
    held.groups.push_back(HeldGroup{durable.HandOff(held.flushed.get()), added});
    held.count += added;
  };
  // A paced account's submissions are answered before each pause, as they were accepted.
  std::function<void()> answerAll = [&] {
    handOff();
    SendFlushedAnswers(s, held, true);
  };
  hold(s.socket.get(), s.tls, s.name.c_str());
  SetAnswerHeld(&answerAll);
  yield(s.socket.get(), s.tls, s.name.c_str(), 0, &linkError);
  SetAnswerHeld(nullptr);
  // Submissions the session's deliveries come across flush for themselves and are answered
  // at once, as before any group.
  release(s.socket.get(), s.tls, s.name.c_str());
  handOff();
  SendFlushedAnswers(s, held, false);
}

void RunBoundSession(Session& s, const SMPPLoginRequest& login, const std::string& user, const std::string& password) {
  uint32_t idleSeconds = MainNumber("SMPPServerEnquireLink");
  uint32_t checkSeconds = MainNumber("SMPPServerValidateUserInterval");
  if (checkSeconds == 0) checkSeconds = 60;
  bool receives = login.bindType != SMPP_BIND_TRANSMITTER;
  DeliveryLink link{s.socket.get(), s.tls, s.name, login.interfaceVersion >= 0x34 ? 0x34 : 0x33, user};
  DeliveryWindow window;
  window.size = receives ? DeliveryWindowSize(user) : 0;
  std::optional<FolderWake> wake;
  if (receives) {
    std::string root = UserQueueRoot(user);
    CreatePathDirectories(root);
    wake.emplace(std::vector<std::string>{root});
  }
  auto yield = Peer().Call<SMPPServerYieldFn>(peer::SMPPServerYield);
  HeldAnswers held;
  held.flushed.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!held.flushed) WriteDebugLogf(kLabel, "Cannot make an event for flushes: %s", strerror(errno));
  uint64_t lastCheck = TickMs();
  bool queueWoke = receives, retriesWaiting = false, moreBuffered = true;
  uint64_t lastPass = 0;
  t_lastActivity = TickMs();
  while (ShutdownRequested.load() == 0) {
    // Without inotify (a network folder) the queue is looked at on every turn, once a second.
    if (receives && (queueWoke || (retriesWaiting && TickMs() - lastPass >= 5000) || !FolderWatchActive())) {
      queueWoke = false;
      wake->Rearm();
      lastPass = TickMs();
      DeliveryPass pass = DeliverUserQueue(link, window);
      retriesWaiting = pass.waitingRetries;
      if (pass.linkLost) break;
      if (pass.delivered) t_lastActivity = TickMs();
    }
    int waitMs = 1000;
    // The library may hold PDUs it has read but not handled (sent together with the bind,
    // or more than one call handles): while a call handles any, the next one does not wait.
    if (moreBuffered || WaitForTraffic(s, wake ? &*wake : nullptr, held, waitMs, queueWoke)) {
      int linkError = 0;
      uint64_t seen = t_pdusSeen;
      HandleReceived(s, yield, held, linkError);
      moreBuffered = t_pdusSeen != seen;
      if (!window.pending.empty()) {
        DeliveryPass settled;
        SettleDeliveries(link, window, settled);
        if (settled.delivered) t_lastActivity = TickMs();
      }
      if (linkError) break;
    }
    uint64_t now = TickMs();
    if (idleSeconds != 0 && now - t_lastActivity >= uint64_t(idleSeconds) * 1000) {
      WriteDebugLog(kLabel, "Closing inactive connection");
      break;
    }
    if (now - lastCheck >= uint64_t(checkSeconds) * 1000) {
      lastCheck = now;
      idleSeconds = MainNumber("SMPPServerEnquireLink");
      std::string end = AccountStillValid(user, password, s.address);
      if (!end.empty()) {
        WriteDebugLog(kLabel, end);
        break;
      }
    }
  }
  // Accepted files stay accepted: their answers still go out if the link allows.
  SendFlushedAnswers(s, held, true);
  DrainDeliveries(link, window, kDrainWaitMs);
}

void RunSession(Session& s) {
  WriteDebugLogf(kLabel, "Processing SMPP connection from %s...", s.address.c_str());
  s.name = StrPrintf("SMPPServer - %s:%u", s.address.c_str(), unsigned(s.port));
  SMPPLoginRequest login{};
  int r = Peer().Call<SMPPServerWaitForLoginFn>(peer::SMPPServerWaitForLogin)(s.socket.get(), s.tls, s.name.c_str(),
                                                                              &login, kLoginWaitMs);
  if (r != 0) {
    WriteDebugLogf(kLabel, "No bind from %s (%d)", s.address.c_str(), r);
    return;
  }
  std::string user = Field(login.systemId, sizeof login.systemId);
  std::string password = Field(login.password, sizeof login.password);
  SMSUserRecord account{};
  bool exists = ReadAccountNow(user, account);
  LoginRefusal refusal = CheckCredentials(exists ? &account : nullptr, password, s.address);
  bool slot = false;
  if (refusal == LoginRefusal::None) {
    user = Field(account.UserName, sizeof account.UserName);
    ThrottleSpeed speed = ParseThrottleSpeed(Field(account.ThrottleSpeed, sizeof account.ThrottleSpeed))
                              .value_or(ThrottleSpeed{});
    uint32_t maximum = 0;
    slot = TakeConnectionSlot(user, speed, MainNumber("SMPPServerMaxConnectionsPerUser"), maximum);
    if (!slot) {
      WriteDebugLogf(kLabel, "SMPP Connection rejected, connection count for user %s exceeds maximum of %u",
                     user.c_str(), maximum);
      refusal = LoginRefusal::TooManyConnections;
    }
  }
  auto reject = Peer().Call<SMPPServerRejectLoginFn>(peer::SMPPServerRejectLogin);
  if (refusal != LoginRefusal::None) {
    WriteDebugLogf(kLabel, "SMPP login refused for \"%s\" from %s: %s", StripControlBytes(user).c_str(),
                   s.address.c_str(), RefusalText(refusal));
    FailedLoginDelay(RaiseFailedLogins());
    reject(s.socket.get(), s.tls, s.name.c_str(), &login, int(RefusalStatus(refusal)));
    return;
  }
  ResetFailedLogins();
  std::string flagPath = PrivateDataDirectory() + "SMPPData/ActiveUsers/" +
                         StrPrintf("%s-%u-%c-", s.address.c_str(), unsigned(s.port), BindLetter(login.bindType)) +
                         user + ".FLG";
  for (char& c : flagPath)
    if (c == ':') c = '_';  // an IPv6 address
  CreatePathDirectories(flagPath);
  HeldLock flag;
  if (!AcquireLockFile(flagPath, flag)) WriteDebugLogf(kLabel, "Cannot hold %s", flagPath.c_str());
  if (Peer().Call<SMPPServerAcceptLoginFn>(peer::SMPPServerAcceptLogin)(s.socket.get(), s.tls, s.name.c_str(), &login,
                                                                        kServerSystemId) == 0) {
    int one = 1;
    setsockopt(s.socket.get(), SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    WriteDebugLogf(kLabel, "SMPP login of %s from %s (bind %c)", user.c_str(), s.address.c_str(),
                   BindLetter(login.bindType));
    SubmittingClient client{user, s.address, Field(account.ForcedSenderAddress, sizeof account.ForcedSenderAddress)};
    SetSubmittingClient(&client);
    RunBoundSession(s, login, user, password);
    SetSubmittingClient(nullptr);
  }
  ReleaseConnectionSlot(user);
  if (flag.valid()) ReleaseLockFile(flag, true);
}

void SessionThread(int fd, bool tls) {
  Session s;
  s.socket.reset(fd);
  PeerAddress(fd, s.address, s.port);
  if (tls) {
    char error[2048] = {0};
    s.tls = SealCalls.sslAcceptSession ? SealCalls.sslAcceptSession(fd, error, sizeof error, 30000) : nullptr;
    if (s.tls == nullptr) {
      WriteDebugLog("ThreadProcessSSLSMPPConnection", error[0] ? error : "TLS is not available");
      CloseSocketGracefully(s.socket);
      return;
    }
  }
  RunSession(s);
  FinishSession(s);
}

void ListenLoop(int listenSocket, bool tls) {
  const char* label = tls ? "ThreadListenForSSLSMPPConnections" : "ThreadListenForSMPPConnections";
  while (ShutdownRequested.load() == 0) {
    struct pollfd pfd = {listenSocket, POLLIN, 0};
    int ready = poll(&pfd, 1, 1000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (pfd.revents & POLLNVAL)) {
      WriteDebugLogf(label, "Error %d waiting for connections", errno);
      return;
    }
    if (ready == 0) continue;
    int fd = accept4(listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!StartServiceThread("InternalProcessSMPPConnection", [fd, tls] { SessionThread(fd, tls); })) {
      WriteDebugLog(label, "Error starting thread");
      UniqueFd closing(fd);
      CloseSocketGracefully(closing);
    }
  }
}
}  // namespace

void InstallSmppServer() {
  if (!Peer().Loaded()) return;
  Peer().Call<SMPPServerSetReceiveMessageCallbackFnType>(peer::SMPPServerSetReceiveMessageCallback)(
      SMPPServerReceiveMessageCallback);
  if (auto activity = Peer().Call<SMPPServerSetActivityCallbackFnType>(peer::SMPPServerSetActivityCallback))
    activity(NoteActivity);
}

void ThreadListenForSMPPConnections(int listenSocket) { ListenLoop(listenSocket, false); }
void ThreadListenForSSLSMPPConnections(int listenSocket) { ListenLoop(listenSocket, true); }
