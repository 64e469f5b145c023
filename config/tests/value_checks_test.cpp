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
      {"ipv4", [](std::string_view v) { return IsDottedIPv4(v); }, "10.0.0.1", true},
      {"ipv4", [](std::string_view v) { return IsDottedIPv4(v); }, "::1", false},
      {"ipv4", [](std::string_view v) { return IsDottedIPv4(v); }, "10.0.1", false},
      {"ipv4", [](std::string_view v) { return IsDottedIPv4(v); }, "10.0.0.256", false},
      {"ipv4", [](std::string_view v) { return IsDottedIPv4(v); }, std::string("10.0.0.1\0x", 10), false},
      {"ipv4", [](std::string_view v) { return IsDottedIPv4(v); }, "", false},
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
TEST(ValueChecks, SettingFormsAtTheirBoundaries) {
  struct {
    const char* key;
    std::string value;
    bool accepted;
  } cases[] = {
      {"WebPort", "0", true},
      {"WebPort", "65535", true},
      {"WebPort", "65536", false},
      {"WebPort", "00080", true},  // leading zeros read as the number
      {"WebPort", "80a", false},
      {"WebPort", "-1", false},
      {"WebPort", "", true},  // empty reads as the default
      {"Debug", "Yes", true},
      {"Debug", "no", true},
      {"Debug", "TRUE", true},
      {"Debug", "maybe", false},
      {"PIN", std::string(19, '1'), true},
      {"PIN", std::string(20, '1'), false},
      {"AdminUser", "ops\tteam", false},
      {"AdminUser", "ops\r\nDebug=Yes", false},
      {"AdminUser", "ops team", true},
  };
  for (const auto& c : cases) {
    const SettingKey* k = FindSettingKey(c.key);
    ASSERT_NE(k, nullptr) << c.key;
    std::string why = CheckSettingValue(*k, c.value);
    EXPECT_EQ(why.empty(), c.accepted) << c.key << "=" << c.value << ": " << why;
  }
  // A decimal of another form: the full 32-bit range and no more.
  int forms = 0;
  for (const SettingKey& k : SettingKeys()) {
    if (k.form != KeyForm::Number || k.maxLen < 11) continue;
    ++forms;
    EXPECT_EQ(CheckSettingValue(k, "4294967295"), "") << k.name;
    EXPECT_NE(CheckSettingValue(k, "4294967296"), "") << k.name;
    break;
  }
  for (const SettingKey& k : SettingKeys()) {
    if (k.form != KeyForm::HexByte) continue;
    ++forms;
    EXPECT_EQ(CheckSettingValue(k, "0f"), "") << k.name;
    EXPECT_NE(CheckSettingValue(k, "g"), "") << k.name;
    EXPECT_NE(CheckSettingValue(k, "100"), "") << k.name;
    break;
  }
  EXPECT_EQ(forms, 2);
}
}  // namespace
