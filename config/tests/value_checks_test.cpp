// Which values may be written for a key: the boundaries of each form and of the length.
#include "config/value_checks.h"

#include <gtest/gtest.h>

namespace {
TEST(ValueChecks, EachFormAtItsBoundaries) {
  struct {
    const char* key;
    std::string value;
    bool accepted;
  } cases[] = {
      {"WebPort", "0", true},
      {"WebPort", "65535", true},
      {"WebPort", "65536", false},
      {"WebPort", "000080", true},  // leading zeros read as the number
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
