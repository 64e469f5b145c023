#include "config/admin_password.h"

#include <gtest/gtest.h>

#include <string>

namespace {
// Stored forms worked out apart from this code.
TEST(AdminPassword, StoredFormsAndTheirReverse) {
  struct Case {
    std::string plain;
    std::string stored;
  } cases[] = {
      {"secret", "GWOUONLUJKPU"},
      {"A", "JU"},
      {"Pass word!", "IVOYPNLVMVPVMKGXOVCL"},
      {"abcdefghij", "HUPLONLKJKOWMSINPQNW"},  // longer than the key: it wraps
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ScrambleAdminPassword(c.plain), c.stored) << c.plain;
    EXPECT_EQ(UnscrambleAdminPassword(c.stored), c.plain) << c.stored;
  }
  std::string every;
  for (int b = 1; b < 256; ++b) every.push_back(static_cast<char>(b));
  EXPECT_EQ(UnscrambleAdminPassword(ScrambleAdminPassword(every)), every);
}

TEST(AdminPassword, DamagedStoredFormsGiveNothing) {
  for (const char* stored : {"GWOUONLUJKP", "gwouonlujkpu", "GWOUONLUJKPA", "QKAA", "secret", "GW OU"}) {
    EXPECT_EQ(UnscrambleAdminPassword(stored), "") << stored;
  }
}

TEST(AdminPassword, LoginCheck) {
  AdminCredentials admin{"Admin", "GWOUONLUJKPU", "Remover", "Changer"};
  AdminCredentials noUser{"", "GWOUONLUJKPU", "Remover", "Changer"};
  AdminCredentials onlyScrambled{"admin", "GWOUONLUJKPU", "", ""};
  AdminCredentials damaged{"admin", "secret", "", ""};
  struct Case {
    const AdminCredentials* a;
    const char* user;
    const char* password;
    bool ok;
  } cases[] = {
      {&admin, "admin", "secret", true},
      {&admin, "ADMIN", "SECRET", true},  // both without case
      {&admin, "admin", "remover", true},
      {&admin, "admin", "CHANGER", true},
      {&admin, "admin", "GWOUONLUJKPU", false},  // the stored form is no password
      {&admin, "admin", "", false},
      {&admin, "other", "secret", false},
      {&admin, "", "secret", false},
      {&noUser, "", "secret", false},  // no AdminUser: nobody gets in
      {&noUser, "admin", "remover", false},
      {&onlyScrambled, "admin", "", false},  // empty extra passwords match no empty password
      {&damaged, "admin", "secret", false},
      {&damaged, "admin", "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AdminLoginMatches(*c.a, c.user, c.password), c.ok) << c.user << "/" << c.password;
  }
}
}  // namespace
