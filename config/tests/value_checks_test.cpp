#include "config/value_checks.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {
TEST(ValueChecks, AcceptsAndRefuses) {
  struct Case {
    const char* what;
    std::function<bool(std::string_view)> check;
    std::string value;
    bool ok;
  } cases[] = {
      {"ini", IsIniSafeValue, "Plain value, with commas; and spaces", true},
      {"ini", IsIniSafeValue, "", true},
      {"ini", IsIniSafeValue, "x\r\nAdminUser=evil", false},
      {"ini", IsIniSafeValue, "x\n[AdminCommands]", false},
      {"ini", IsIniSafeValue, "a=b", false},
      {"ini", IsIniSafeValue, "tab\there", false},
      {"ini", IsIniSafeValue, std::string("nul\0byte", 8), false},
      {"ini", IsIniSafeValue, "del\x7f", false},
      {"name", IsSafeAccountName, "alice", true},
      {"name", IsSafeAccountName, "Bob Smith", true},
      {"name", IsSafeAccountName, "", false},
      {"name", IsSafeAccountName, "..", false},
      {"name", IsSafeAccountName, ".", false},
      {"name", IsSafeAccountName, "../etc", false},
      {"name", IsSafeAccountName, "a/b", false},
      {"name", IsSafeAccountName, "a\\b", false},
      {"name", IsSafeAccountName, ";comment", false},
      {"name", IsSafeAccountName, "x=y", false},
      {"name", IsSafeAccountName, "[sec]", false},
      {"name", IsSafeAccountName, "line\r\n", false},
      {"phone", IsPhoneNumberKey, "+4470123456", true},
      {"phone", IsPhoneNumberKey, "0123", true},
      {"phone", IsPhoneNumberKey, "+", false},
      {"phone", IsPhoneNumberKey, "", false},
      {"phone", IsPhoneNumberKey, "12 34", false},
      {"phone", IsPhoneNumberKey, "1+2", false},
      {"phone", IsPhoneNumberKey, "123456789012345678901", false},
      {"phone", IsPhoneNumberKey, "12\r\nX=1", false},
      {"ip", IsIpAddress, "192.168.1.10", true},
      {"ip", IsIpAddress, "::1", true},
      {"ip", IsIpAddress, "256.1.1.1", false},
      {"ip", IsIpAddress, "host.example", false},
      {"ip", IsIpAddress, "1.2.3.4:80", false},
      {"ip", IsIpAddress, "", false},
      {"port", IsPortNumber, "2775", true},
      {"port", IsPortNumber, "65535", true},
      {"port", IsPortNumber, "0", false},
      {"port", IsPortNumber, "65536", false},
      {"port", IsPortNumber, "-1", false},
      {"port", IsPortNumber, "80 ", false},
      {"decimal", IsDecimalNumber, "0", true},
      {"decimal", IsDecimalNumber, "4294967295", true},
      {"decimal", IsDecimalNumber, "4294967296", false},
      {"decimal", IsDecimalNumber, "12a", false},
      {"decimal", IsDecimalNumber, "", false},
      {"amount", IsCreditAmount, "10", true},
      {"amount", IsCreditAmount, "-2.5", true},
      {"amount", IsCreditAmount, "0.125", true},
      {"amount", IsCreditAmount, "0.1255", false},
      {"amount", IsCreditAmount, "1.", false},
      {"amount", IsCreditAmount, "abc", false},
      {"amount", IsCreditAmount, "", false},
      {"patterns", IsAddressPatternList, "192.168.*.*", true},
      {"patterns", IsAddressPatternList, "10.0.0.1, 127.0.0.1;172.16", true},
      {"patterns", IsAddressPatternList, "300.1.1.1", false},
      {"patterns", IsAddressPatternList, "1.2.3.4.5", false},
      {"patterns", IsAddressPatternList, "evil\r\nX", false},
      {"patterns", IsAddressPatternList, "", false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.check(c.value), c.ok) << c.what << ": " << c.value;
}
}  // namespace
