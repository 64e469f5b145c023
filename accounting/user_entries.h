// Per-user runtime entries: one per account name that has made a request (plus
// "**system**"), kept for the life of the process, with the cached account record.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "outside/qarvault/qarvault.h"
#include "runtime/mutex.h"

inline constexpr const char* kSystemUserEntry = "**system**";

struct CachedAccount {
  SMSUserRecord record;
  uint64_t loadedTick;  // TickMs() when read from the account store
};

struct UserRuntimeEntry {
  std::string name;
  std::atomic<uint32_t> useCount{0};
  std::atomic<uint32_t> submissionCounter{0};
  // The cached record is replaced whole, never changed in place: readers keep the copy
  // they took while another thread installs a fresh one.
  Mutex accountLock;
  std::shared_ptr<const CachedAccount> account GUARDED_BY(accountLock);
};

// Finds (by name, without case) or creates the entry and counts a use; through UserEntryUse.
UserRuntimeEntry& AcquireUserEntry(std::string_view name);
void ReleaseUserEntry(UserRuntimeEntry& entry);
// A counted use of the entry of name (made when missing) for the length of a scope.
class UserEntryUse {
 public:
  explicit UserEntryUse(std::string_view name) : entry_(AcquireUserEntry(name)) {}
  ~UserEntryUse() { ReleaseUserEntry(entry_); }
  UserEntryUse(const UserEntryUse&) = delete;
  UserEntryUse& operator=(const UserEntryUse&) = delete;
  UserRuntimeEntry& entry() const { return entry_; }

 private:
  UserRuntimeEntry& entry_;
};
// The entry when it exists; never creates one.
UserRuntimeEntry* FindUserEntry(std::string_view name);

std::shared_ptr<const CachedAccount> CachedAccountOf(UserRuntimeEntry& entry);
void StoreCachedAccount(UserRuntimeEntry& entry, const SMSUserRecord& record);

// The account record for authentication: the cached copy while younger than 120 seconds
// (and of the same name), else read from the account store and cached. False when the
// account does not exist. Entries are created only for accounts that exist, so that
// requests with invented names cannot grow the list.
bool LookupAccount(std::string_view user, SMSUserRecord& out);
// After a change of the account store: the cached copy is replaced by record, or, with
// none, no longer matches any login, so that the next lookup reads the store.
void UpdateCachedAccount(std::string_view user, const SMSUserRecord* record);
