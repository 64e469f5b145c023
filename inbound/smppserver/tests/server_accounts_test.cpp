// The account rules of the SMPP server: rate and connection limits, the login checks and
// their statuses, the shared failed-login delay.
#include <gtest/gtest.h>

#include <cstring>

#include "inbound/smppserver/server_accounts.h"

namespace {
SMSUserRecord Account(const char* password, bool smpp, const char* allowed) {
  SMSUserRecord r{};
  std::strncpy(r.UserName, "alice", sizeof r.UserName - 1);
  std::strncpy(r.Password, password, sizeof r.Password - 1);
  std::strncpy(r.RestrictIPAddress, allowed, sizeof r.RestrictIPAddress - 1);
  r.SmppLogin = smpp ? 1 : 0;
  return r;
}
}  // namespace

TEST(SmppServerAccounts, ThrottleSpeedForms) {
  const struct {
    const char* text;
    bool valid;
    uint32_t messages, seconds, connections, intervalMs;
  } cases[] = {
      {"", true, 0, 1, 0, 0},          {"10", true, 10, 1, 0, 100},     {"1/2", true, 1, 2, 0, 2000},
      {"5/1/3", true, 5, 1, 3, 200},   {" 4 / 2 ", true, 4, 2, 0, 500}, {"0", false, 0, 0, 0, 0},
      {"5/0", false, 0, 0, 0, 0},      {"5/1/0", false, 0, 0, 0, 0},    {"5/1/2/3", false, 0, 0, 0, 0},
      {"a", false, 0, 0, 0, 0},        {"5/", false, 0, 0, 0, 0},       {"-5", false, 0, 0, 0, 0},
      {"3000/1", true, 3000, 1, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto speed = ParseThrottleSpeed(c.text);
    ASSERT_EQ(speed.has_value(), c.valid);
    if (!c.valid) continue;
    EXPECT_EQ(speed->messages, c.messages);
    EXPECT_EQ(speed->seconds, c.seconds);
    EXPECT_EQ(speed->connections, c.connections);
    EXPECT_EQ(speed->IntervalMs(), c.intervalMs);
  }
}

TEST(SmppServerAccounts, LoginChecksAndStatuses) {
  SMSUserRecord open = Account("Secret", true, "");
  SMSUserRecord off = Account("Secret", false, "");
  SMSUserRecord listed = Account("Secret", true, "10.1.*.*; 192.168.0.7");
  const struct {
    const SMSUserRecord* account;
    const char* password;
    const char* address;
    LoginRefusal refusal;
    uint32_t status;
  } cases[] = {
      {&open, "Secret", "127.0.0.1", LoginRefusal::None, 0},
      {&open, "SECRET", "127.0.0.1", LoginRefusal::None, 0},
      {&open, "Secre", "127.0.0.1", LoginRefusal::WrongPassword, 0x0E},
      {nullptr, "Secret", "127.0.0.1", LoginRefusal::UnknownAccount, 0x0E},
      {&off, "Secret", "127.0.0.1", LoginRefusal::SmppDisabled, 0x0D},
      {&listed, "Secret", "10.1.200.3", LoginRefusal::None, 0},
      {&listed, "Secret", "192.168.0.7", LoginRefusal::None, 0},
      {&listed, "Secret", "192.168.0.8", LoginRefusal::AddressNotAllowed, 0x0D},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.password) + " from " + c.address);
    LoginRefusal r = CheckCredentials(c.account, c.password, c.address);
    EXPECT_EQ(r, c.refusal);
    if (r != LoginRefusal::None) {
      EXPECT_EQ(RefusalStatus(r), c.status);
    }
  }
  EXPECT_EQ(RefusalStatus(LoginRefusal::TooManyConnections), 0x0Du);
}

// Every refusal waits one second more than the last, from 6 s, up to 105 s; a success resets.
TEST(SmppServerAccounts, FailedLoginDelayGrowsAndResets) {
  ResetFailedLogins();
  for (uint32_t n = 1; n <= 10; ++n) EXPECT_EQ(RaiseFailedLogins(), n * 1000 + 5000);
  ResetFailedLogins();
  EXPECT_EQ(RaiseFailedLogins(), 6000u);
  for (int i = 0; i < 200; ++i) RaiseFailedLogins();
  EXPECT_EQ(RaiseFailedLogins(), 105000u);
  ResetFailedLogins();
}

// Connection slots per account, without regard to case, released by the session's end.
TEST(SmppServerAccounts, ConnectionSlotsPerAccount) {
  ThrottleSpeed none;
  ThrottleSpeed two = *ParseThrottleSpeed("10/1/2");
  uint32_t maximum = 0;
  EXPECT_TRUE(TakeConnectionSlot("Slots", none, 1, maximum));
  EXPECT_EQ(maximum, 1u);
  EXPECT_FALSE(TakeConnectionSlot("slots", none, 1, maximum));
  EXPECT_TRUE(TakeConnectionSlot("SLOTS", two, 1, maximum));
  EXPECT_EQ(maximum, 2u);
  EXPECT_FALSE(TakeConnectionSlot("slots", two, 1, maximum));
  EXPECT_EQ(ActiveConnections("slots"), 2u);
  ReleaseConnectionSlot("slots");
  EXPECT_TRUE(TakeConnectionSlot("slots", two, 1, maximum));
  ReleaseConnectionSlot("slots");
  ReleaseConnectionSlot("slots");
  ReleaseConnectionSlot("slots");
  EXPECT_EQ(ActiveConnections("slots"), 0u);
}
