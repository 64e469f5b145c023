#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "config/settings.h"
#include "runtime/text_helpers.h"
#include "smsc/connection_error_file.h"
#include "smsc/local_routing.h"
#include "smsc/route_cache.h"
#include "smsc/route_decision.h"
#include "smsc/routing_tables.h"
#include "smsc/tests/smsc_test_home.h"
#include "store/message_file.h"

namespace {

const char* kConfig = R"([QARHUB]
Modem1=SMPP - a:1
Modem2=SMPP - b:2
Modem3=SMPP - c:3
Modem4=SMPP - d:4
Modem5=SMPP - e:5
Modem6=SMPP - f:6
Modem7=GSM1
Modem8=SMPP - g:7
Modem9=SMPP - h:8
[SMPP - a:1]
Route1=4477*
RoutePrefOnly=Yes
[SMPP - b:2]
Route1=44*
Route2=!4499*
RouteName=BULK
[SMPP - c:3]
PhoneNumber=12345, ALPHA
RoutePrefOnly=Yes
Route1=33*
[SMPP - d:4]
Route1=service_type=WAP*
[SMPP - e:5]
BinaryOrTextOnly=Binary
Route1=+44*
[SMPP - f:6]
AllowedUserOnly=Yes
AllowedUser1=alice
AllowedUser2=localsystem
Route1=49*
[Modem - GSM1]
PhoneNumber=
[SMPP - g:7]
Route1=44*0
Route2=*123
RoutePrefOnly=Yes
[SMPP - h:8]
BackupForRoute=SMPP - a:1
RoutePrefOnly=Yes
Route1=!*
)";

class RoutingTest : public SmscTestHome {};

SmsMessageRecord To(const char* recipient) {
  SmsMessageRecord m;
  m.PhoneNumber = recipient;
  return m;
}

std::set<std::string> Allowed(const RoutingTables& t, const SmsMessageRecord& m, bool* noSmsc = nullptr) {
  std::set<std::string> out;
  for (const std::string& c : t.configured) {
    RouteDecision d = MayConnectionSend(t, m, c);
    if (d.allowed) out.insert(c);
    if (noSmsc && d.noSmscDefined) *noSmsc = true;
  }
  return out;
}

TEST_F(RoutingTest, DecisionsOverOneConfiguration) {
  WriteConfig(kConfig);
  RoutingTables t;
  BuildOutboundRoutingTables(t);
  ASSERT_EQ(t.configured.size(), 9u);
  EXPECT_EQ(t.configured[6], "GSM1");
  struct Case {
    const char* what;
    const char* recipient;
    const char* sender;
    const char* user;
    const char* serviceType;
    bool binary;
    std::set<std::string> expected;
    const char* cacheValue;
  } cases[] = {
      {"longest pattern wins", "447712345", "", "", "", false, {"SMPP - a:1"}, "SMPP - a:1"},
      {"shorter pattern elsewhere", "4425", "", "", "", false, {"SMPP - b:2"}, "SMPP - b:2"},
      {"plus sign is part of the pattern", "+4420", "", "", "", true, {"SMPP - e:5"}, "SMPP - e:5"},
      {"binary-only refuses text", "+4420", "", "", "", false, {"SMPP - b:2", "GSM1"}, "SMPP - b:2\tGSM1"},
      {"block keeps a recipient off", "4499124", "", "", "", false, {"GSM1"}, "GSM1"},
      {"sender owned by c", "447712345", "12345", "", "", false, {"SMPP - c:3"}, "SMPP - c:3"},
      {"alphanumeric sender owned by c", "4420", "alpha", "", "", false, {"SMPP - c:3"}, "SMPP - c:3"},
      {"service type preference", "5555", "", "", "WAPPUSH", false, {"SMPP - d:4"}, "SMPP - d:4"},
      {"allowed user", "4912", "", "alice", "", false, {"SMPP - f:6"}, "SMPP - f:6"},
      {"localsystem users", "4912", "", "localsystem-2way", "", false, {"SMPP - f:6"}, "SMPP - f:6"},
      {"user not admitted", "4912", "", "bob", "", false, {"SMPP - b:2", "GSM1"}, "SMPP - b:2\tGSM1"},
      {"pattern with a star inside backtracks", "4400", "", "", "", false, {"SMPP - g:7"}, "SMPP - g:7"},
      {"leading star backtracks", "1231123", "", "", "", false, {"SMPP - g:7"}, "SMPP - g:7"},
      {"unmatched goes to the open connections", "3999", "", "", "", false, {"SMPP - b:2", "GSM1"},
       "SMPP - b:2\tGSM1"},
  };
  for (const Case& c : cases) {
    SmsMessageRecord m;
    m.SubmitUser = c.user;
    m.Sender = c.sender;
    m.PhoneNumber = c.recipient;
    m.ServiceType = c.serviceType;
    m.Binary = c.binary;
    bool noSmsc = false;
    EXPECT_EQ(Allowed(t, m, &noSmsc), c.expected) << c.what;
    EXPECT_FALSE(noSmsc) << c.what;
    EXPECT_EQ(RouteCacheValue(t, m, ""), c.cacheValue) << c.what;
  }
  EXPECT_EQ(RouteCacheValue(t, To("4420"), "BULK"), "*=BULK");
}

TEST_F(RoutingTest, NoConnectionCanTakeIt) {
  WriteConfig(R"([QARHUB]
Modem1=SMPP - p:1
Modem2=SMPP - q:2
[SMPP - p:1]
Route1=33*
RoutePrefOnly=Yes
[SMPP - q:2]
Route1=34*
RoutePrefOnly=Yes
)");
  RoutingTables t;
  BuildOutboundRoutingTables(t);
  bool noSmsc = false;
  EXPECT_TRUE(Allowed(t, To("4420"), &noSmsc).empty());
  EXPECT_TRUE(noSmsc);
  noSmsc = false;
  EXPECT_EQ(Allowed(t, To("3312"), &noSmsc), std::set<std::string>{"SMPP - p:1"});
  EXPECT_FALSE(noSmsc);
}

TEST_F(RoutingTest, ExplicitRoutesCacheValuesBackupsAndNames) {
  WriteConfig(kConfig);
  RoutingTables t;
  BuildOutboundRoutingTables(t);
  WorkerRouteNames b = RouteNamesFor(t, "SMPP - b:2");
  EXPECT_TRUE(ExplicitRouteMatches("bulk", b));
  EXPECT_TRUE(ExplicitRouteMatches("smpp - B:2", b));
  EXPECT_FALSE(ExplicitRouteMatches("SMPP - a:1", b));
  WorkerRouteNames h = RouteNamesFor(t, "SMPP - h:8");
  EXPECT_EQ(h.backupTarget, "SMPP - a:1");
  EXPECT_TRUE(ExplicitRouteMatches("SMPP - a:1", h));

  struct CacheCase {
    const char* value;
    bool forB;
  } cacheCases[] = {
      {"SMPP - a:1\tSMPP - b:2", true}, {"SMPP - b:20", false}, {"*=BULK", true},
      {"*=SMPP - a:1", false},           {"", false},            {"GSM1\tsmpp - b:2", true},
  };
  for (const CacheCase& c : cacheCases) EXPECT_EQ(RouteCacheIncludes(c.value, b), c.forB) << c.value;

  EXPECT_FALSE(BackupNeeded(t, "SMPP - a:1"));
  WriteConnectionErrorFile("SMPP - a:1", "SMPP Failure -- Unable to connect to SMPP server at a:1");
  EXPECT_EQ(ReadFileText(home() + "PRIVATE/SMPP - a-1.ERR"), "SMPP Failure -- Unable to connect to SMPP server at a:1");
  EXPECT_TRUE(BackupNeeded(t, "SMPP - a:1"));
  EXPECT_TRUE(BackupNeeded(t, "SMPP - a:1"));
  EXPECT_FALSE(BackupNeeded(t, "NO-SUCH-ROUTE"));
  WriteConnectionErrorFile("SMPP - a:1", "");
  EXPECT_FALSE(BackupNeeded(t, "SMPP - a:1"));
  // A route name is served by every connection carrying it.
  EXPECT_FALSE(BackupNeeded(t, "BULK"));
  WriteConnectionErrorFile("SMPP - b:2", "down");
  EXPECT_TRUE(BackupNeeded(t, "BULK"));

  EXPECT_TRUE(ValidateSMSCRoute(t, "SMPP - a:1"));
  EXPECT_TRUE(ValidateSMSCRoute(t, "bulk"));
  EXPECT_TRUE(ValidateSMSCRoute(t, "Modem - GSM1"));
  EXPECT_FALSE(ValidateSMSCRoute(t, "nope"));
  EXPECT_FALSE(ValidateSMSCRoute(t, ""));
}

// Route names follow the connections that run: past a gap in the ModemN keys, and not the
// RouteName of a section that no ModemN names.
TEST_F(RoutingTest, RouteNamesOfConnectionsPastAGap) {
  WriteConfig(R"([QARHUB]
Modem1=SMPP - a:1
Modem3=SMPP - c:3
Modem150=Modem - GSM9
[SMPP - c:3]
RouteName=THIRD
[Modem - GSM9]
RouteName=RADIO
[SMPP - z:9]
RouteName=ORPHAN
)");
  RoutingTables t;
  BuildOutboundRoutingTables(t);
  const struct {
    const char* route;
    bool valid;
  } cases[] = {{"SMPP - a:1", true}, {"smpp - c:3", true}, {"third", true},   {"GSM9", true},
               {"Modem - GSM9", true}, {"RADIO", true},     {"ORPHAN", false}, {"SMPP - z:9", false},
               {"SMPP - b:2", false}};
  for (const auto& c : cases) EXPECT_EQ(ValidateSMSCRoute(t, c.route), c.valid) << c.route;
}

TEST(RoutingRules, SendIntervals) {
  struct Case {
    const char* limit;
    uint32_t ms;
  } cases[] = {{"10/60", 6000}, {"3", 333}, {"0", 0},  {"x", 0},     {"5 /2", 400},
               {"", 0},         {"1000", 1}, {"2000", 0}, {" 4/ 0", 250}, {"1/1", 1000}};
  for (const Case& c : cases) EXPECT_EQ(SendIntervalMs(c.limit), c.ms) << c.limit;
}

// "All" covers what the driver says it covers (here: all but -3..-1).
bool AllButLinkErrors(int status) { return status < -3 || status > -1; }

TEST(RoutingRules, RejectCodeLists) {
  struct Case {
    const char* list;
    bool hexadecimal;
    int status;
    bool listed;
  } cases[] = {
      {"0x000000B;45", true, 0x0B, true}, {"0x000000B;45", true, 0x45, true}, {"0x000000B;45", true, 0x0A, false},
      {"All", true, 0x0B, true},          {"all", true, -1, false},           {"All", true, -3, false},
      {"All", false, 88, true},           {"All", false, -2, false},          {"24, 5", false, 24, true},
      {"24, 5", false, 0x24, false},      {" 0x58 , ", true, 0x58, true},     {"zz", true, 0, false},
      {"", true, 0x0B, false},            {"-5; 7", false, -5, true},         {"-5; 7", true, -5, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StatusInList(c.list, c.status, c.hexadecimal, AllButLinkErrors), c.listed) << c.list << " " << c.status;
  }
}

TEST(RoutingRules, PatternsBacktrack) {
  struct Case {
    const char* pattern;
    const char* text;
    bool match;
  } cases[] = {{"44*0", "4400", true}, {"*123", "1231123", true}, {"44*", "+4420", false}, {"+44*", "+4420", true},
               {"4?77*", "4477", true}, {"4?77*", "477", false},  {"abc", "ABC", true},   {"*", "", true}};
  for (const Case& c : cases) EXPECT_EQ(RoutePatternMatches(c.pattern, c.text), c.match) << c.pattern << " " << c.text;
}

TEST(LocalRouting, SectionLines) {
  auto lines = ParseLocalRoutingSection({{"alice", "4477*, service_type=CHAT"},
                                         {"bob", "44*,!4499*"},
                                         {"carol", "service_type=POLL*"},
                                         {"dave", "4477123*, !service_type=SPAM"}});
  struct Case {
    const char* recipient;
    const char* serviceType;
    const char* user;
  } cases[] = {
      {"447719999", "", "bob"},           // alice's line needs its service type
      {"447719999", "CHAT", "alice"},     // the first service-type line outranks earlier matches
      {"4477123456", "", "dave"},         // longest recipient item
      {"4477123456", "SPAM", "bob"},      // excluded by service type
      {"4499000", "", ""},                // bob excludes it
      {"5555", "POLLX", "carol"},         // service type only
      {"5555", "", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(LocalUserFromLines(lines, c.recipient, c.serviceType), c.user) << c.recipient << "/" << c.serviceType;
}

TEST_F(RoutingTest, LocalUserNamesAreCheckedAndTheSectionReloaded) {
  WriteConfig("[QARHUB]\n[Inbound SMS Routing]\nalice=4477*\n../evil=55*\n");
  SmsMessageRecord m;
  m.PhoneNumber = "447700";
  EXPECT_EQ(LocalUserForMessage(m), "alice");
  m.PhoneNumber = "5512";
  EXPECT_EQ(LocalUserForMessage(m), "");  // not a safe name
  m.RouteToLocalUser = "~SMSIN";
  EXPECT_EQ(LocalUserForMessage(m), "~SMSIN");
  m.RouteToLocalUser = "~SMSIN::rct";
  EXPECT_EQ(LocalUserForMessage(m), "~SMSIN::rct");
  m.RouteToLocalUser = "~SMSIN::../../x";
  EXPECT_EQ(LocalUserForMessage(m), "");
  m.RouteToLocalUser = "nobody";  // no RECV.FLG: the section decides
  m.PhoneNumber = "447700";
  EXPECT_EQ(LocalUserForMessage(m), "alice");
}

TEST_F(RoutingTest, DeliveryToLocalUsersWritesTheFiles) {
  SmsMessageRecord m;
  m.Sender = "4477";
  m.PhoneNumber = "1234";
  m.Data = "two\r\nlines";
  m.Dcs = 0;
  m.MessageFlags = kMsgReceiptRequested;
  m.ServiceType = "CHAT";
  ASSERT_TRUE(DeliverToLocalUser(m, "~SMSIN::rct", "Q/0000ABCD.req", "SMPP - a:1"));
  ASSERT_TRUE(DeliverToLocalUser(m, "alice", "Q/0000ABCD.req", "SMPP - a:1"));
  EXPECT_FALSE(DeliverToLocalUser(m, "../alice", "Q/0000ABCD.req", "SMPP - a:1"));
  std::string expectedBody = "Sender=4477\r\nPhoneNumber=1234\r\nData=two\\r\\nlines\r\npid=00\r\ndcs=00\r\nBinary=0\r\n"
                             "ReceiptRequested=Yes\r\nServiceType=CHAT\r\n";
  int inbound = 0, user = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(home())) {
    std::string path = entry.path().string();
    if (EndsWithNoCase(path, ".rct")) {
      ++inbound;
      EXPECT_EQ(ReadFileText(path), "[SMS-IN]\r\n" + expectedBody);
    }
    if (EndsWithNoCase(path, ".req")) {
      ++user;
      EXPECT_NE(path.find("alice"), std::string::npos) << path;
      EXPECT_EQ(ReadFileText(path), "[SMS]\r\n" + expectedBody);
    }
  }
  EXPECT_EQ(inbound, 1);
  EXPECT_EQ(user, 1);
}

TEST_F(RoutingTest, RouteCacheInsertsOnceAndPrunesVanishedFiles) {
  MessageRoutesClear();
  MessageRoutesAdd("./0000AAAA.req", "SMPP - a:1");
  MessageRoutesAdd("./0000AAAA.req", "SMPP - b:2");
  std::string value;
  ASSERT_TRUE(MessageRoutesFind("./0000AAAA.req", value));
  EXPECT_EQ(value, "SMPP - a:1");
  std::filesystem::create_directories(home() + "Q");
  WriteFileText(home() + "Q/0000BBBB.req", "[SMS]\r\n");
  MessageRoutesAdd("0000BBBB.req", "SMPP - b:2");
  EXPECT_EQ(MessageRoutesPrune(home() + "Q/"), 1u);
  EXPECT_FALSE(MessageRoutesFind("./0000AAAA.req", value));
  EXPECT_TRUE(MessageRoutesFind("0000BBBB.req", value));
  MessageRoutesRemove("0000BBBB.req");
  EXPECT_EQ(MessageRoutesCount(), 0u);
}

}  // namespace
