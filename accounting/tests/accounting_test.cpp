// Quotas, credits, the accounting callback against a loopback server, alert mail files.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "accounting/accounting.h"
#include "config/settings.h"
#include "config/settings_override.h"
#include "httpclient/http_client.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/dates.h"
#include "runtime/debug_log.h"
#include "runtime/event_log.h"
#include "runtime/text_helpers.h"
#include "store/counters.h"
#include "store/queue_dirs.h"
#include "accounting/user_entries.h"
#include "tests/support/data_folder.h"
#include "tests/support/test_files.h"
#include "tests/support/test_servers.h"

namespace fs = std::filesystem;

namespace {
std::string Home;
std::unique_ptr<TestDataFolder> Folder;

class AccountingEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    Folder = std::make_unique<TestDataFolder>();
    Home = Folder->path();
    DebugSettings.CopyToStderr = false;
    ReloadStoreDirectories();
    InstallAccountingHooks();
  }
  void TearDown() override { Folder.reset(); }
};
[[maybe_unused]] ::testing::Environment* const kEnv = ::testing::AddGlobalTestEnvironment(new AccountingEnvironment);

std::vector<std::string> MailFiles() {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(Home + "MMSCOUT", ec)) out.push_back(e.path().string());
  return out;
}
void AddAccount(const char* name, uint32_t perDay, uint32_t perMonth) {
  SMSUserFile* file = nullptr;
  ASSERT_NE(SMSOpenUserFile(&file, SMS_USER_READWRITE), 0);
  SMSUserRecord r;
  std::memset(&r, 0, sizeof r);
  std::strncpy(r.UserName, name, sizeof r.UserName - 1);
  std::strcpy(r.Password, "pw");
  r.MsgLimitPerDay = perDay;
  r.MsgLimitPerMonth = perMonth;
  ASSERT_NE(SMSAddUser(file, &r), 0);
  SMSCloseUserFile(file);
}
time_t LocalTimeOf(int y, int mo, int d, int h) {
  struct tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_isdst = -1;
  return mktime(&tm);
}
std::string RequestTarget(const std::string& request) {
  size_t a = request.find(' ');
  size_t b = request.find(' ', a + 1);
  return request.substr(a + 1, b - a - 1);
}

class Accounting : public ::testing::Test {
 protected:
  SettingsOverride settings{SettingsBlock{}};
  void SetUp() override {
    ResetUserUsageCache();
    std::error_code ec;
    fs::remove_all(Home + "USERS", ec);
    fs::remove_all(Home + "MMSCOUT", ec);
    fs::remove(Home + "QARHUB.INI", ec);
    SetClockOverride(0);
  }
  void TearDown() override { SetClockOverride(0); }
};
}  // namespace

TEST_F(Accounting, AmountsParseAndShow) {
  struct { const char* text; int64_t value; const char* shown; } cases[] = {
      {"1.5", 1500, "1.5"}, {"2", 2000, "2"}, {"1.05", 1050, "1.05"}, {"-3.25", -3250, "-3.25"},
      {"0.001", 1, "0.001"}, {"2.5", 2500, "2.5"}, {"7.1239", 7123, "7.123"}, {"", 0, "0"}, {"abc", 0, "0"},
  };
  for (auto& c : cases) {
    EXPECT_EQ(ParseAmount(c.text), c.value) << c.text;
    EXPECT_EQ(FormatAmount(c.value), c.shown) << c.text;
  }
}

TEST_F(Accounting, DailyQuotaOfAccountRefusesSixthAndReportsOncePerDay) {
  SMSIniWrite(kMainSection, "AlertEMailRecip", "ops@example.org, boss@example.org");
  SMSIniWrite(kMainSection, "DisableEventLog", "Yes");
  AddAccount("alice", 5, 0);
  settings->DefaultMsgLimitPerDay = 100;
  settings->DefaultMsgLimitPerMonth = 1000;
  SetClockOverride(LocalTimeOf(2026, 5, 10, 12));
  std::string text;
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(QuotaCheckOrCount("alice", &text, 1, false)) << i;
  EXPECT_TRUE(QuotaCheckOrCount("alice", &text, 0, true));
  EXPECT_FALSE(QuotaCheckOrCount("alice", &text, 1, false));
  EXPECT_EQ(text, "Account alice:  message quota exceeded.  Account can send no more than 5 messages per day.");
  EXPECT_FALSE(QuotaCheckOrCount("alice", &text, 1, true));
  ResetUserUsageCache();
  // Counted on the file: slot of 10 May 2026 = 120 + 10 - 1.
  std::string cells = ReadFileText(Home + "USERS/alice/2026.QTA");
  ASSERT_EQ(cells.size(), 366u * 4);
  uint32_t v;
  std::memcpy(&v, cells.data() + 129 * 4, 4);
  EXPECT_EQ(v, 5u);
  // Two refusals on one day: two mails (one per recipient) from the first only.
  auto mails = MailFiles();
  ASSERT_EQ(mails.size(), 2u);
  std::string mail = ReadFileText(mails[0]);
  EXPECT_NE(mail.find("X-MMSC-RCPT-TO: "), std::string::npos);
  EXPECT_NE(mail.find("Subject:  QarSMS Alert - Warning\r\n\r\nAccount alice:  message quota exceeded."),
            std::string::npos);
  EXPECT_NE(mail.find("From: qarsms\r\n"), std::string::npos);
  EXPECT_TRUE(fs::exists(Home + "USERS/alice/QUOTA.ERR"));
  // The next day reports again.
  SetClockOverride(LocalTimeOf(2026, 5, 11, 12));
  std::string marker = Home + "USERS/alice/QUOTA.ERR";
  struct timespec old[2] = {{LocalTimeOf(2026, 5, 10, 12), 0}, {LocalTimeOf(2026, 5, 10, 12), 0}};
  utimensat(AT_FDCWD, marker.c_str(), old, 0);
  QuotaReport("alice", "again");
  EXPECT_EQ(MailFiles().size(), 4u);
}

TEST_F(Accounting, AccountLimitsIgnoredUnlessBothDefaultsSet) {
  AddAccount("bob", 2, 0);
  settings->DefaultMsgLimitPerDay = 0xFFFFFFFFu;
  settings->DefaultMsgLimitPerMonth = 1000;
  std::string text;
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(QuotaCheckOrCount("bob", &text, 1, false));
  settings->DisableUserQuota = true;
  settings->DefaultMsgLimitPerDay = 1;
  settings->DefaultMsgLimitPerMonth = 1;
  EXPECT_TRUE(QuotaCheckOrCount("bob", &text, 10, false));
  settings->DisableUserQuota = false;
  EXPECT_TRUE(QuotaCheckOrCount("localsystem", &text, 10, false));
}

TEST_F(Accounting, LeapYearMonthTotalIncludesLastDayOfMarch) {
  settings->DefaultMsgLimitPerDay = 100;
  settings->DefaultMsgLimitPerMonth = 3;
  // 1 March 2028 is slot 60; 31 March slot 90; 29 February slot 59 (not March).
  std::string cells(366 * 4, '\0');
  uint32_t two = 2, nine = 9;
  std::memcpy(&cells[60 * 4], &two, 4);
  std::memcpy(&cells[59 * 4], &nine, 4);
  WriteFileText(Home + "USERS/carol/2028.QTA", cells);
  SetClockOverride(LocalTimeOf(2028, 3, 31, 9));
  std::string text;
  EXPECT_TRUE(QuotaCheckOrCount("carol", &text, 1, false));
  EXPECT_FALSE(QuotaCheckOrCount("carol", &text, 1, false));
  EXPECT_EQ(text, "Account carol:  message quota exceeded.  Account can send no more than 3 messages per month.");
  std::string after = ReadFileText(Home + "USERS/carol/2028.QTA");
  uint32_t v;
  std::memcpy(&v, after.data() + 90 * 4, 4);
  EXPECT_EQ(v, 1u);
}

TEST_F(Accounting, CreditBalanceModesAndFileForms) {
  std::string ctr = Home + "USERS/dave/SMS.CTR";
  std::string text;
  EXPECT_EQ(CreditCheckOrDebit("dave", &text, 1000, CreditMode::Debit), kUnknownBalance);  // no SMS.CTR
  EXPECT_FALSE(CreditEnabled("dave"));
  int32_t seven = 7;
  WriteFileText(ctr, std::string(reinterpret_cast<char*>(&seven), 4));
  EXPECT_TRUE(CreditEnabled("dave"));
  EXPECT_EQ(CreditCheckOrDebit("dave", &text, 0, CreditMode::Check), 7000);
  EXPECT_EQ(CreditCheckOrDebit("dave", &text, 2500, CreditMode::Debit), 4500);
  EXPECT_EQ(ReadFileText(ctr).size(), 8u);
  EXPECT_EQ(CreditCheckOrDebit("dave", &text, 4501, CreditMode::DebitIfCovered), -1);
  EXPECT_EQ(text, "Account dave:  credit limit exceeded.");
  EXPECT_EQ(CreditCheckOrDebit("dave", nullptr, 4500, CreditMode::DebitIfCovered), 0);
  EXPECT_EQ(CreditCheckOrDebit("dave", nullptr, -1500, CreditMode::Debit), 1500);
  EXPECT_EQ(CreditCheckOrDebit("dave", nullptr, 2000, CreditMode::Debit), -500);  // stored as 0
  int64_t stored;
  std::memcpy(&stored, ReadFileText(ctr).data(), 8);
  EXPECT_EQ(stored, 0);
  int64_t negative = -5000;
  WriteFileText(ctr, std::string(reinterpret_cast<char*>(&negative), 8));
  EXPECT_EQ(CreditCheckOrDebit("dave", nullptr, 0, CreditMode::Check), 0);
  WriteFileText(ctr, "abc");
  EXPECT_EQ(CreditCheckOrDebit("dave", nullptr, 0, CreditMode::Check), 0);
  EXPECT_EQ(CreditCheckOrDebit("localsystem", nullptr, 5, CreditMode::Debit), kUnknownBalance);
}

TEST_F(Accounting, ConcurrentReservationsNeverOverdraw) {
  for (bool cached : {false, true}) {
    std::string name = cached ? "erin" : "frank";
    if (cached) {
      AddAccount(name.c_str(), 0, 0);
      UserEntryUse made(name);
    }
    int64_t balance = 5500;
    WriteFileText(Home + "USERS/" + name + "/SMS.CTR", std::string(reinterpret_cast<char*>(&balance), 8));
    std::atomic<int> granted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
      threads.emplace_back([&] {
        for (int i = 0; i < 4; ++i)
          if (CreditCheckOrDebit(name, nullptr, 1000, CreditMode::DebitIfCovered) >= 0) ++granted;
      });
    for (auto& t : threads) t.join();
    EXPECT_EQ(granted.load(), 5) << name;
    FlushUserUsage();
    int64_t left;
    std::memcpy(&left, ReadFileText(Home + "USERS/" + name + "/SMS.CTR").data(), 8);
    EXPECT_EQ(left, 500) << name;
  }
}

TEST_F(Accounting, CachedQuotaIsWrittenByFlush) {
  AddAccount("gina", 0, 0);
  { UserEntryUse made("gina"); }
  settings->DefaultMsgLimitPerDay = 50;
  settings->DefaultMsgLimitPerMonth = 500;
  SetClockOverride(LocalTimeOf(2026, 1, 3, 10));
  EXPECT_TRUE(QuotaCheckOrCount("gina", nullptr, 7, false));
  std::string path = Home + "USERS/gina/2026.QTA";
  uint32_t v = 0;
  std::string before = ReadFileText(path);
  if (before.size() >= 12) std::memcpy(&v, before.data() + 8, 4);
  EXPECT_EQ(v, 0u);  // cached until the flush
  FlushUserUsage();
  std::memcpy(&v, ReadFileText(path).data() + 8, 4);
  EXPECT_EQ(v, 7u);
}

TEST_F(Accounting, CallbackAnswersTable) {
  struct { const char* answer; int code; const char* reject; const char* charge; const char* route; } cases[] = {
      {"SMPPErrorCode=0x45", 69, "", "", ""},
      {"smpperrorcode= 0x0B\r\n", 11, "", "", ""},
      {"SMPPErrorCode=45", 45, "", "", ""},
      {"PreAuth=Deny", 88, "", "", ""},
      {"SMPPErrorCode=0\nPreAuth=Deny\nRejectMessage=No money<br>", 88, "No money", "", ""},
      {"OK RouteCharge=2.5\r\n", 0, "", "2.5", ""},
      {"<html>SMSCRoute=Fast<br>UserData=abc</html>", 0, "", "", "Fast"},
      {"nothing here", 0, "", "", ""},
  };
  for (auto& c : cases) {
    PreAuthAnswer a = ParsePreAuthAnswer(c.answer);
    EXPECT_EQ(a.code, c.code) << c.answer;
    EXPECT_EQ(a.rejectMessage, c.reject) << c.answer;
    EXPECT_EQ(a.routeCharge, c.charge) << c.answer;
    EXPECT_EQ(a.route, c.route) << c.answer;
  }
  EXPECT_EQ(ParseAmount(ParsePreAuthAnswer("RouteCharge=2.5").routeCharge), 2500);
  EXPECT_EQ(AccountingEscape("a b&c=d/e?+%;<>\\\x7F\x80!*,"), "a%20b%26c=d/e%3F%2B%25%3B%3C%3E%5C\x7F%80%21%2A%2C");
}

TEST_F(Accounting, PreAuthoriseSendsExactQueryAndRefuses) {
  std::atomic<int> mode{0};
  ScriptedServer server([&](const std::string&, int, int) {
    const char* body[] = {"OK", "SMPPErrorCode=0x45", "PreAuth=Deny", "RouteCharge=2.5\r\nSMSCRoute=Fast\r\nUserData=u1\r\n",
                          "SMSCRoute=Nowhere"};
    std::string b = body[mode.load()];
    return ScriptedReply{"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(b.size()) + "\r\n\r\n" + b, false,
                         false};
  });
  SMSIniWrite(kMainSection, "Modem1", "SMPP - 127.0.0.1:2775");
  SMSIniWrite("SMPP - 127.0.0.1:2775", "RouteName", "Fast");
  settings->SMSAccountingURL = "http://127.0.0.1:" + std::to_string(server.port()) + "/acct?k=1";
  settings->AccountingKeepAlive = true;
  SmsMessageRecord r;
  r.SubmitUser = "alice";
  r.SubmittedBy = "127.0.0.1";
  r.Sender = "+44 1";
  r.Data = "Hi & bye?";
  r.MessageFlags = kMsgReceiptRequested;
  r.AcctInfo = "x;y";
  r.SMPPOptions = "SMPPOption_a=1; SMPPOption_empty=; SMPPOption_b=two words";
  AccountingMessage m{"SMSSend", r};
  std::string text;
  EXPECT_EQ(AccountingPreAuthorise(m, {"4477", " 4488"}, 4, nullptr, &text), 0);
  mode = 1;
  EXPECT_EQ(AccountingPreAuthorise(m, {"4477"}, 1, nullptr, &text), 69);
  EXPECT_EQ(text, "Request rejected by accounting callback");
  mode = 2;
  EXPECT_EQ(AccountingPreAuthorise(m, {"4477"}, 1, nullptr, &text), 88);
  mode = 3;
  SMSIniWrite(kMainSection, "SMSAccountingPreAuthPerRecip", "Yes");
  PreAuthOutputs out;
  EXPECT_EQ(AccountingPreAuthorise(m, {"4477", "4488"}, 4, &out, &text), 0);
  ASSERT_EQ(out.routes.size(), 2u);
  EXPECT_EQ(out.routes[0], "Fast");
  EXPECT_EQ(out.charges[1], "2.5");
  EXPECT_EQ(out.userData[0], "u1");
  mode = 4;
  out = PreAuthOutputs{};
  EXPECT_EQ(AccountingPreAuthorise(m, {"4477"}, 1, &out, &text), 0);
  EXPECT_EQ(out.routes[0], "");  // unknown route dropped
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 6u);
  EXPECT_EQ(RequestTarget(requests[0]),
            "/acct?k=1&PreAuth=Yes&Type=SMSSend&From=alice&To=4477%2C4488&MsgCount=4&SubmitIP=127.0.0.1"
            "&Sender=%2B44%201&Text=Hi%20%26%20bye%3F&ReceiptRequested=Yes&AcctInfo=x%3By"
            "&SMPPOption_a=1&SMPPOption_b=two%20words");
  EXPECT_NE(RequestTarget(requests[3]).find("&To=4477&MsgCount=2&"), std::string::npos);
  EXPECT_NE(RequestTarget(requests[4]).find("&To=4488&MsgCount=2&"), std::string::npos);
  EXPECT_LE(server.Connections(), 2);  // the accounting pool reuses the connection
  SMSIniWrite(kMainSection, "SMSAccountingPreAuthPerRecip", "No");
  CloseAccountingKeepAlives();
}

TEST_F(Accounting, UnreachableCallbackRefusesWith88) {
  settings->SMSAccountingURL = "http://127.0.0.1:" + std::to_string(FreeTcpPort()) + "/";
  SmsMessageRecord r;
  AccountingMessage m{"SMSSend", r};
  std::string text;
  EXPECT_EQ(AccountingPreAuthorise(m, {"1"}, 1, nullptr, &text), 88);
  EXPECT_EQ(text.rfind("Error from Accounting Callback", 0), 0u);
  settings->SMSAccountingURL.clear();
  EXPECT_EQ(AccountingPreAuthorise(m, {"1"}, 1, nullptr, &text), 0);
}

TEST_F(Accounting, NoticesCarryFieldsInOrderAndLongTextEscapes) {
  ScriptedServer server([&](const std::string&, int, int) {
    std::string b = "SMSCRoute=Fast";
    return ScriptedReply{"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(b.size()) + "\r\n\r\n" + b, false,
                         false};
  });
  SMSIniWrite(kMainSection, "Modem1", "SMPP - 127.0.0.1:2775");
  SMSIniWrite("SMPP - 127.0.0.1:2775", "RouteName", "Fast");
  settings->SMSAccountingURL = "http://127.0.0.1:" + std::to_string(server.port()) + "/n";
  SmsMessageRecord r;
  r.SubmitUser = "al";
  r.Binary = true;
  r.Dcs = 8;
  r.Data = "00480069";  // "Hi" in UCS-2
  r.UDH = "050003010201";
  AccountingMessage m{"SMSSend", r};
  AccountingNoticeFields f;
  f.recipient = "4477";
  f.messageId = "ABC";
  f.routeCharge = "2.5";
  std::string route;
  AccountingNotice(m, f, &route);
  EXPECT_EQ(route, "Fast");
  r.Binary = false;
  r.Dcs = 0;
  r.UDH.clear();
  r.Data = std::string(8191, '&');
  OutboundAccountingNotice(r, "4477", "ABC", "S1", "", "Sent OK -- SMPP - x");
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(RequestTarget(requests[0]),
            "/n?Type=SMSSend&From=al&To=4477&MessageID=ABC&Binary=1&DCS=8&UDH=050003010201&Text=Hi&RouteCharge=2.5");
  std::string second = RequestTarget(requests[1]);
  EXPECT_EQ(second.size(), std::string("/n?Type=SMSOut&From=al&To=4477&MessageID=ABC&Text=").size() + 8191 * 3 +
                               std::string("&SMSCMsgId=S1&SMSCName=SMPP%20-%20x&Status=Sent%20OK").size());
  EXPECT_NE(second.find("&SMSCMsgId=S1&SMSCName=SMPP%20-%20x&Status=Sent%20OK"), std::string::npos);
  CloseAccountingKeepAlives();
}

TEST_F(Accounting, AlertMailFilesExactAndSwitchedByKind) {
  SMSIniWrite(kMainSection, "AlertEMailRecip", "a@x.org,  b@y.org");
  SetClockOverride(LocalTimeOf(2026, 7, 4, 15));
  MMSCIniWriteProfileString("MMSC", "DomainName", "gw.example");
  auto written = SendAlertEMail(1, "Link down");
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[0].rfind(Home + "MMSCOUT/", 0), 0u);
  EXPECT_TRUE(EndsWithNoCase(written[0], ".RFC"));
  std::string expected = "To: b@y.org\r\nX-MMSC-RCPT-TO: b@y.org\r\nDate: " + FormatRfc822Date() +
                         "\r\nFrom: qarsms@gw.example\r\nSubject:  QarSMS Alert - ERROR\r\n\r\nLink down\r\n" +
                         FormatLongDate() + " @ " + FormatShortTime() + "\r\n";
  EXPECT_EQ(ReadFileText(written[1]), expected);
  SMSIniWrite(kMainSection, "AlertEMailSender", "ops@gw");
  EXPECT_NE(ReadFileText(SendAlertEMail(0, "x")[0]).find("From: ops@gw\r\nSubject:  QarSMS Alert - Information\r\n"),
            std::string::npos);
  SMSIniWrite(kMainSection, "AlertEMailSendWarning", "No");
  EXPECT_TRUE(SendAlertEMail(2, "quiet").empty());
  // Events reach the mail through the hook; the once-a-day marker keeps the second away.
  SMSIniWrite(kMainSection, "DisableEventLog", "Yes");
  size_t before = MailFiles().size();
  ReportEventOnceADay("TEST.FLG", EventKind::Error, "daily");
  ReportEventOnceADay("TEST.FLG", EventKind::Error, "daily");
  EXPECT_EQ(MailFiles().size(), before + 2);  // two recipients, once
  MMSCIniWriteProfileString("MMSC", "DomainName", "");
}

TEST(UserEntries, UseCountedForItsScopeOneEntryPerNameWithoutCase) {
  {
    UserEntryUse first("Hazel");
    UserEntryUse second("HAZEL");
    EXPECT_EQ(&first.entry(), &second.entry());
    EXPECT_EQ(first.entry().useCount.load(), 2u);
  }
  UserRuntimeEntry* entry = FindUserEntry("hazel");
  ASSERT_NE(entry, nullptr);  // kept after its last use
  EXPECT_EQ(entry->useCount.load(), 0u);
}

TEST(AccountingKeepAlive, Pool) {
  auto local = [](uint16_t port) { return "127.0.0.1:" + std::to_string(port); };
  ScriptedServer server([](const std::string&, int, int) {
    return ScriptedReply{"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 1\r\n\r\nk", false};
  });
  HttpResponse r;
  int kept = -1;
  {
    PooledKeepAlive lent;
    EXPECT_LT(lent.slot().socket, 0);  // an empty pool lends an empty slot
    ASSERT_TRUE(RetrieveURL(local(server.port()), r, {.slot = &lent.slot(), .timeoutSeconds = 5}));
    kept = lent.slot().socket;
    ASSERT_GE(kept, 0);
  }
  {
    PooledKeepAlive lent;  // the one given back at scope end
    EXPECT_EQ(lent.slot().socket, kept);
    CloseKeepAliveSlot(lent.slot());  // a closed slot is not given back
  }
  KeepAliveSlot taken;
  EXPECT_FALSE(TakeAccountingKeepAlive(taken));
  // A connection the server closed meanwhile is dropped on take.
  ScriptedServer once([](const std::string&, int, int) {
    return ScriptedReply{"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx", false};
  });
  KeepAliveSlot second;
  ASSERT_TRUE(RetrieveURL(local(once.port()), r, {.slot = &second, .timeoutSeconds = 5}));
  PutAccountingKeepAlive(second.socket, second.ssl);
  CloseAccountingKeepAlives();
}
