#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "outside/qarvault/qarvault.h"
#include "tests/support/data_folder.h"
#include "tests/support/gateway_process.h"

namespace {

SMSUserRecord MakeUser(const std::string& name, const std::string& password = "pw") {
  SMSUserRecord rec{};
  std::strncpy(rec.UserName, name.c_str(), sizeof rec.UserName - 1);
  std::strncpy(rec.Password, password.c_str(), sizeof rec.Password - 1);
  return rec;
}

struct UserFile {
  SMSUserFile* h = nullptr;
  explicit UserFile(int access) { SMSOpenUserFile(&h, access); }
  ~UserFile() {
    if (h != nullptr) SMSCloseUserFile(h);
  }
};

std::vector<std::string> Names(SMSUserFile* h) {
  std::vector<std::string> names;
  SMSUserRecord rec;
  for (uint32_t i = 0; SMSGetUserRecord(h, i, &rec); ++i) names.push_back(rec.UserName);
  return names;
}

class UserStoreTest : public DataFolderTest {};

TEST_F(UserStoreTest, RoundTripsEveryField) {
  UserFile f(SMS_USER_READWRITE);
  ASSERT_NE(f.h, nullptr);
  SMSUserRecord rec = MakeUser("Alice", "secret");
  std::strcpy(rec.FullName, "Alice Example");
  rec.WebLoginDisabled = 1;
  rec.SmppLogin = 1;
  rec.SmtpLogin = 1;
  rec.WebOptions = 178;
  rec.MsgLimitPerDay = 100;
  rec.MsgLimitPerMonth = 4000000000u;
  std::strcpy(rec.RestrictIPAddress, "10.0.0.*,192.168.1.1");
  std::strcpy(rec.ForcedSenderAddress, "12345678901234567890");
  std::strcpy(rec.ThrottleSpeed, "5/1");
  rec.ReceiveSMS = 1;
  rec.ReceiveSMPP = 0;
  rec.CreditBalanceEnabled = 1;
  ASSERT_EQ(SMSAddUser(f.h, &rec), 1);
  EXPECT_TRUE(std::filesystem::exists(home_ + "PRIVATE/USERS.DB"));

  SMSUserRecord got;
  std::memset(&got, 0x55, sizeof got);
  ASSERT_EQ(SMSFindUserRecord(f.h, "aLiCe", &got), 1);
  EXPECT_EQ(std::memcmp(&got, &rec, sizeof rec), 0);
  EXPECT_EQ(SMSGetRecordCount(f.h), 1u);
  ASSERT_EQ(SMSGetUserRecord(f.h, 0, &got), 1);
  EXPECT_EQ(std::memcmp(&got, &rec, sizeof rec), 0);
  EXPECT_EQ(SMSGetUserRecord(f.h, 1, &got), 0);
  EXPECT_EQ(SMSFindUserRecord(f.h, "bob", &got), 0);
}

TEST_F(UserStoreTest, ReplacesWithoutCaseDeletesAndKeepsNameOrder) {
  UserFile f(SMS_USER_READWRITE);
  for (const char* name : {"carol", "Bob", "alice", "Dave"}) {
    SMSUserRecord rec = MakeUser(name);
    ASSERT_EQ(SMSAddUser(f.h, &rec), 1);
  }
  EXPECT_EQ(Names(f.h), (std::vector<std::string>{"alice", "Bob", "carol", "Dave"}));
  SMSUserRecord rec = MakeUser("BOB", "new");
  ASSERT_EQ(SMSAddUser(f.h, &rec), 1);
  EXPECT_EQ(SMSGetRecordCount(f.h), 4u);
  SMSUserRecord got;
  ASSERT_EQ(SMSFindUserRecord(f.h, "bob", &got), 1);
  EXPECT_STREQ(got.UserName, "BOB");
  EXPECT_STREQ(got.Password, "new");
  EXPECT_EQ(SMSDeleteUser(f.h, "CAROL"), 1);
  EXPECT_EQ(SMSDeleteUser(f.h, "carol"), 0);
  EXPECT_EQ(Names(f.h), (std::vector<std::string>{"alice", "BOB", "Dave"}));
}

TEST_F(UserStoreTest, ReadOnlyHandleRefusesWritesAndSeesOthersChanges) {
  {
    UserFile w(SMS_USER_READWRITE);
    SMSUserRecord rec = MakeUser("first");
    ASSERT_EQ(SMSAddUser(w.h, &rec), 1);
  }
  UserFile r(SMS_USER_READ);
  ASSERT_NE(r.h, nullptr);
  EXPECT_EQ(SMSGetRecordCount(r.h), 1u);
  SMSUserRecord rec = MakeUser("second");
  EXPECT_EQ(SMSAddUser(r.h, &rec), 0);
  EXPECT_EQ(SMSDeleteUser(r.h, "first"), 0);
  UserFile w(SMS_USER_READWRITE);
  ASSERT_EQ(SMSAddUser(w.h, &rec), 1);
  EXPECT_EQ(Names(r.h), (std::vector<std::string>{"first", "second"}));
  SMSUserFile* bad = nullptr;
  EXPECT_EQ(SMSOpenUserFile(&bad, 7), 0);
  EXPECT_EQ(bad, nullptr);
}

TEST_F(UserStoreTest, ReadOnlyOpenOfFreshInstallationWorks) {
  UserFile r(SMS_USER_READ);
  ASSERT_NE(r.h, nullptr);
  EXPECT_EQ(SMSGetRecordCount(r.h), 0u);
}

TEST_F(UserStoreTest, RefusesNamesThatCannotBeDirectories) {
  UserFile f(SMS_USER_READWRITE);
  const std::string bad[] = {"", ".", "..", "a/b", "/etc", "a\\b", "tab\tname", "nl\n",
                             std::string("del\x7f")};
  for (const std::string& name : bad) {
    SMSUserRecord rec = MakeUser(name);
    EXPECT_EQ(SMSAddUser(f.h, &rec), 0) << name;
  }
  // A name filling the whole field has no terminator: refused, not read past.
  SMSUserRecord full{};
  std::memset(full.UserName, 'x', sizeof full.UserName);
  EXPECT_EQ(SMSAddUser(f.h, &full), 0);
  SMSUserRecord longest = MakeUser(std::string(SMS_USER_NAME_SIZE - 1, 'y'));
  EXPECT_EQ(SMSAddUser(f.h, &longest), 1);
  EXPECT_EQ(SMSGetRecordCount(f.h), 1u);
}

TEST_F(UserStoreTest, TwoProcessesWriteAtOnce) {
  constexpr int kEach = 40;
  auto writer = [](const char* prefix) {
    return [prefix] {
      SMSUserFile* h = nullptr;
      if (!SMSOpenUserFile(&h, SMS_USER_READWRITE)) return false;
      bool ok = true;
      for (int i = 0; i < kEach && ok; ++i) {
        SMSUserRecord rec = MakeUser(prefix + std::to_string(i));
        ok = SMSAddUser(h, &rec) == 1;
      }
      SMSCloseUserFile(h);
      return ok;
    };
  };
  pid_t a = StartChild(writer("procA"));
  pid_t b = StartChild(writer("procB"));
  EXPECT_TRUE(writer("self")());
  EXPECT_EQ(WaitChild(a), 0);
  EXPECT_EQ(WaitChild(b), 0);
  UserFile r(SMS_USER_READ);
  EXPECT_EQ(SMSGetRecordCount(r.h), 3u * kEach);
  SMSUserRecord got;
  EXPECT_EQ(SMSFindUserRecord(r.h, "PROCB39", &got), 1);
}

}  // namespace

namespace {

TEST_F(UserStoreTest, ReadsAStoreThisAccountMayNotWrite) {
  {
    UserFile w(SMS_USER_READWRITE);
    SMSUserRecord rec = MakeUser("keeper");
    ASSERT_EQ(SMSAddUser(w.h, &rec), 1);
  }
  // Another account that may read but not write the installation.
  for (const std::string& dir : {home_, home_ + "PRIVATE/"}) ::chmod(dir.c_str(), 0755);
  for (const auto& entry : std::filesystem::directory_iterator(home_ + "PRIVATE/")) {
    ::chmod(entry.path().c_str(), 0644);
  }
  pid_t child = StartChild([] {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return false;
    auto start = std::chrono::steady_clock::now();
    UserFile r(SMS_USER_READ);
    if (r.h == nullptr) return false;
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(2)) return false;
    return Names(r.h) == std::vector<std::string>{"keeper"};
  });
  EXPECT_EQ(WaitChild(child), 0);
}

}  // namespace
