#include "accounting/user_entries.h"

#include <deque>

#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/mutex.h"
#include "runtime/text_helpers.h"

namespace {
SharedMutex EntriesLock;
std::deque<UserRuntimeEntry> Entries GUARDED_BY(EntriesLock);  // a deque never moves its elements

constexpr uint64_t kAccountCacheMs = 119999;

UserRuntimeEntry* FindLocked(std::string_view name) REQUIRES_SHARED(EntriesLock) {
  for (UserRuntimeEntry& e : Entries)
    if (EqualsNoCase(e.name, name)) return &e;
  return nullptr;
}
}  // namespace

UserRuntimeEntry* FindUserEntry(std::string_view name) {
  ReaderMutexLock guard(EntriesLock);
  return FindLocked(name);
}

UserRuntimeEntry& AcquireUserEntry(std::string_view name) {
  UserRuntimeEntry* entry = FindUserEntry(name);
  if (entry == nullptr) {
    WriterMutexLock guard(EntriesLock);
    entry = FindLocked(name);
    if (entry == nullptr) {
      entry = &Entries.emplace_back();
      entry->name = std::string(name);
    }
  }
  entry->useCount.fetch_add(1);
  return *entry;
}

void ReleaseUserEntry(UserRuntimeEntry& entry) { entry.useCount.fetch_sub(1); }

std::shared_ptr<const CachedAccount> CachedAccountOf(UserRuntimeEntry& entry) {
  MutexLock guard(entry.accountLock);
  return entry.account;
}

void StoreCachedAccount(UserRuntimeEntry& entry, const SMSUserRecord& record) {
  auto fresh = std::make_shared<CachedAccount>(CachedAccount{record, TickMs()});
  MutexLock guard(entry.accountLock);
  entry.account = std::move(fresh);
}

bool LookupAccount(std::string_view user, SMSUserRecord& out) {
  if (user.empty()) return false;
  if (UserRuntimeEntry* entry = FindUserEntry(user)) {
    auto cached = CachedAccountOf(*entry);
    if (cached && TickMs() - cached->loadedTick <= kAccountCacheMs && EqualsNoCase(cached->record.UserName, user)) {
      out = cached->record;
      return true;
    }
  }
  std::string name(user);
  SMSUserFile* file = nullptr;
  if (SMSOpenUserFile(&file, SMS_USER_READ) == 0 || file == nullptr) return false;
  SMSUserRecord record{};
  bool found = SMSFindUserRecord(file, name.c_str(), &record) != 0;
  SMSCloseUserFile(file);
  if (!found) return false;
  UserEntryUse use(user);
  if (CachedAccountOf(use.entry())) WriteDebugLog("TheadProcessConnection", "Updating cached user info");
  StoreCachedAccount(use.entry(), record);
  out = record;
  return true;
}

void UpdateCachedAccount(std::string_view user, const SMSUserRecord* record) {
  UserRuntimeEntry* entry = FindUserEntry(user);
  if (entry == nullptr) return;
  // An empty name never equals a login's.
  StoreCachedAccount(*entry, record != nullptr ? *record : SMSUserRecord{});
}
