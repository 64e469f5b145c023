#include "inbound/smppserver/server_accounts.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "runtime/clock.h"
#include "runtime/mutex.h"
#include "runtime/text_helpers.h"
#include "runtime/waits.h"
#include "web/address_checks.h"

namespace {
std::optional<uint32_t> Number(std::string_view text) {
  text = Trim(text);
  if (text.empty() || text.size() > 9) return std::nullopt;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + uint32_t(c - '0');
  }
  return v;
}

struct UserLiveState {
  uint32_t connections = 0;
  uint32_t intervalMs = 0;
  uint64_t lastSubmitTick = 0;
  uint64_t delivered = 0;
};

Mutex g_liveLock;
// Keyed by the account name in lower case.
std::map<std::string, UserLiveState> g_live GUARDED_BY(g_liveLock);
std::atomic<uint32_t> g_failedLogins{0};

std::string Key(std::string_view user) {
  std::string key(user);
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return key;
}

std::string Field(const char* text, size_t size) { return std::string(text, strnlen(text, size)); }
}  // namespace

std::optional<ThrottleSpeed> ParseThrottleSpeed(std::string_view text) {
  ThrottleSpeed speed;
  text = Trim(text);
  if (text.empty()) return speed;
  std::string_view parts[3];
  size_t count = 0;
  while (true) {
    if (count == 3) return std::nullopt;
    size_t slash = text.find('/');
    parts[count++] = text.substr(0, slash);
    if (slash == std::string_view::npos) break;
    text = text.substr(slash + 1);
  }
  auto n = Number(parts[0]);
  if (!n || *n == 0) return std::nullopt;
  speed.messages = *n;
  if (count > 1) {
    auto s = Number(parts[1]);
    if (!s || *s == 0 || *s > 86400) return std::nullopt;
    speed.seconds = *s;
  }
  if (count > 2) {
    auto c = Number(parts[2]);
    if (!c || *c == 0) return std::nullopt;
    speed.connections = *c;
  }
  return speed;
}

bool ReadAccountNow(std::string_view user, SMSUserRecord& out) {
  if (user.empty()) return false;
  std::string name(user);
  SMSUserFile* file = nullptr;
  if (SMSOpenUserFile(&file, SMS_USER_READ) == 0 || file == nullptr) return false;
  SMSUserRecord record{};
  bool found = SMSFindUserRecord(file, name.c_str(), &record) != 0;
  SMSCloseUserFile(file);
  if (found) out = record;
  return found;
}

LoginRefusal CheckCredentials(const SMSUserRecord* account, std::string_view password, std::string_view address) {
  if (account == nullptr) return LoginRefusal::UnknownAccount;
  if (!account->SmppLogin) return LoginRefusal::SmppDisabled;
  if (!EqualsNoCase(Field(account->Password, sizeof account->Password), password)) return LoginRefusal::WrongPassword;
  std::string allowed = Field(account->RestrictIPAddress, sizeof account->RestrictIPAddress);
  if (!Trim(allowed).empty() && !AddressListMatches(allowed, address)) return LoginRefusal::AddressNotAllowed;
  return LoginRefusal::None;
}

uint32_t RefusalStatus(LoginRefusal refusal) {
  return refusal == LoginRefusal::UnknownAccount || refusal == LoginRefusal::WrongPassword ? 0x0E : 0x0D;
}

bool TakeConnectionSlot(std::string_view user, const ThrottleSpeed& speed, uint32_t serverMaximum, uint32_t& maximum) {
  maximum = speed.connections ? speed.connections : serverMaximum;
  MutexLock guard(g_liveLock);
  UserLiveState& s = g_live[Key(user)];
  s.intervalMs = speed.IntervalMs();
  if (s.connections >= maximum) return false;
  ++s.connections;
  return true;
}

void ReleaseConnectionSlot(std::string_view user) {
  MutexLock guard(g_liveLock);
  auto it = g_live.find(Key(user));
  if (it != g_live.end() && it->second.connections > 0) --it->second.connections;
}

uint32_t ActiveConnections(std::string_view user) {
  MutexLock guard(g_liveLock);
  auto it = g_live.find(Key(user));
  return it == g_live.end() ? 0 : it->second.connections;
}

void PaceSubmission(std::string_view user, const std::function<void()>* beforeWait) {
  uint64_t due = 0;
  {
    MutexLock guard(g_liveLock);
    auto it = g_live.find(Key(user));
    if (it == g_live.end() || it->second.intervalMs == 0) return;
    UserLiveState& s = it->second;
    uint64_t now = TickMs();
    // Sessions of one account share the slots: each takes the next one.
    due = std::max(now, s.lastSubmitTick + s.intervalMs);
    s.lastSubmitTick = due;
  }
  if (due <= TickMs()) return;
  if (beforeWait && *beforeWait) (*beforeWait)();
  uint64_t now = TickMs();
  if (due > now) SleepUnlessShutdown(uint32_t(due - now), now);
}

void CountDelivered(std::string_view user) {
  MutexLock guard(g_liveLock);
  ++g_live[Key(user)].delivered;
}

uint32_t RaiseFailedLogins() {
  uint32_t seen = g_failedLogins.load();
  uint32_t next;
  do {
    next = std::min<uint32_t>(seen + 1, 100);
  } while (!g_failedLogins.compare_exchange_weak(seen, next));
  return next * 1000 + 5000;
}

void ResetFailedLogins() { g_failedLogins = 0; }

void FailedLoginDelay(uint32_t ms) { SleepUnlessShutdown(ms, TickMs()); }
