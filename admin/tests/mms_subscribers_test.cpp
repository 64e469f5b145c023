#include "admin/mms_subscribers.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "outside/outside_tables.h"
#include "outside/subscriber_store.h"
#include "tests/support/data_folder.h"
#include "tests/support/gateway_process.h"

namespace {
TEST(MmsSubscribers, FolderLevelsOfANumber) {
  struct Case {
    const char* number;
    const char* folder;
  } cases[] = {
      {"447000123456", "R/447000/123/447000123456"},
      {"4470001", "R/447000/1XX/4470001"},
      {"+4470", "R/+4470X/XXX/+4470"},
      {"", "R/XXXXXX/XXX/X"},
  };
  for (const Case& c : cases) EXPECT_EQ(SubscriberFolder("R/", c.number), c.folder) << c.number;
}

// EMailForwarding sets the subscriber's flag on Add and Modify; a request without it leaves
// the flag as stored (off for a new subscriber).
TEST(MmsSubscribers, EMailForwardingFollowsTheRequest) {
  TestDataFolder home;
  LoadLedgerLibrary(BinDirectory());
  ASSERT_TRUE(OutsideLibraries.ledger.Loaded());
  struct Step {
    const char* action;
    std::map<std::string, std::string> values;
    const char* number;
    int forwarding;
  } steps[] = {
      {"Add", {{"PhoneNumber", "4470001"}, {"Name", "alice"}, {"EMailForwarding", "Yes"}}, "4470001", 1},
      {"Modify", {{"PhoneNumber", "4470001"}, {"FullName", "Alice"}}, "4470001", 1},
      {"Modify", {{"PhoneNumber", "4470001"}, {"EMailForwarding", "No"}}, "4470001", 0},
      {"Add", {{"PhoneNumber", "4470002"}, {"Name", "bob"}}, "4470002", 0},
      {"Modify", {{"PhoneNumber", "4470002"}, {"EMailForwarding", "yes"}}, "4470002", 1},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(std::string(step.action) + " " + step.number);
    ParameterLookup lookup = [&](std::string_view name, size_t) -> std::optional<std::string> {
      auto it = step.values.find(std::string(name));
      if (it == step.values.end()) return std::nullopt;
      return it->second;
    };
    ProvisionResult result = ProvisionMmsSubscriber(step.action, lookup, "");
    EXPECT_TRUE(result.ok) << result.text;
    SubscriberStore store(OutsideLibraries.ledger);
    MMSCUserRecord record{};
    ASSERT_TRUE(store.Find(step.number, record));
    EXPECT_EQ(record.EMailForwarding, step.forwarding);
  }
}
}  // namespace
