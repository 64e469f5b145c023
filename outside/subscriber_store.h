// The MMS subscriber store of the ledger library, open for one piece of work (a provisioning
// request, the routing of one received message).
#pragma once

#include <cstring>
#include <string>

#include "outside/outside_tables.h"
#include "outside/qarledger/qarledger.h"

struct SubscriberStore {
  MMSCUserDB* db = nullptr;
  explicit SubscriberStore(const LoadedLibrary& l) : ledgerLibrary(l) {
    if (auto open = l.Call<sqlMMSCOpenUserDB_t>(ledger::sqlMMSCOpenUserDB); open && open(&db) == 0) db = nullptr;
  }
  SubscriberStore(const SubscriberStore&) = delete;
  SubscriberStore& operator=(const SubscriberStore&) = delete;
  ~SubscriberStore() {
    if (db) ledgerLibrary.Call<sqlMMSCCloseUserDB_t>(ledger::sqlMMSCCloseUserDB)(db);
  }
  bool Find(const std::string& number, MMSCUserRecord& r) const {
    return ledgerLibrary.Call<sqlMMSCFindUserRecord_t>(ledger::sqlMMSCFindUserRecord)(db, number.c_str(), &r) != 0;
  }
  // The number that has alias; "" when none.
  std::string AliasOwner(const std::string& alias) const {
    char number[MMSC_USER_FIELD_SIZE] = {};
    if (ledgerLibrary.Call<sqlMMSCFindAlias_t>(ledger::sqlMMSCFindAlias)(db, alias.c_str(), number, sizeof number) == 0)
      return {};
    return std::string(number, strnlen(number, sizeof number));
  }
  const LoadedLibrary& ledgerLibrary;
};
