#include <gtest/gtest.h>

#include "web/address_checks.h"
#include "web/tests/web_test_support.h"
#include "web/web_settings.h"

namespace {
TEST(AddressPatterns, Matching) {
  struct Case { const char* pattern; const char* address; bool match; };
  const Case cases[] = {
      {"192.168.*.*", "192.168.1.5", true},
      {"192.168.*.*", "10.0.0.1", false},
      {"10.*", "10.4.0.0", true},  // missing parts are 0, not wildcards
      {"10.*", "10.4.0.1", false},
      {"  10.1.2.3", "10.1.2.3", true},
      {"*.*.*.*", "8.8.8.8", true},
      {"10.1.2.3.4", "10.1.2.3", false},
      {"10.1.2.256", "10.1.2.0", false},
      {"10.1.x.3", "10.1.0.3", false},
      {"10.1*.2.3", "10.1.2.3", false},
      {"10.1.2.3 ", "10.1.2.3", false},
      {"", "0.0.0.0", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(MatchAddressPattern(c.pattern, c.address), c.match) << c.pattern << " vs " << c.address;
}

TEST(AddressPatterns, RestrictionLists) {
  ResetWebTestSettings();
  IPRestrictions.Allowed = {"192.168.*.*"};
  EXPECT_TRUE(IPRestrictionAllows("192.168.1.5"));
  EXPECT_FALSE(IPRestrictionAllows("10.0.0.1"));
  EXPECT_TRUE(IPRestrictionAllows("127.0.0.1"));
  EXPECT_TRUE(IPRestrictionAllows("::1"));  // the same machine over IPv6
  IPRestrictions.Allowed = {"10.1.*.*"};
  IPRestrictions.Blocked = {"10.*.*.*"};
  EXPECT_FALSE(IPRestrictionAllows("10.1.2.3"));  // blocked wins over allowed
  IPRestrictions.Allowed.clear();
  EXPECT_TRUE(IPRestrictionAllows("11.0.0.1"));
  IPRestrictions.Blocked = {"*.*.*.*"};
  EXPECT_TRUE(IPRestrictionAllows("127.0.0.1"));
  EXPECT_TRUE(IPRestrictionAllows("::1"));
  // Other IPv6 addresses match no dotted pattern.
  IPRestrictions.Blocked.clear();
  IPRestrictions.Allowed = {"*.*.*.*"};
  EXPECT_FALSE(IPRestrictionAllows("fd00::2"));
  ResetWebTestSettings();
}

TEST(AddressPatterns, AdministrationList) {
  ResetWebTestSettings();
  EXPECT_TRUE(AdminAddressAllowed("1.2.3.4"));  // empty list
  WebSettings.AdminIPAddressList = "10.0.0.1;  192.168.*.*, 172.16.0.9";
  EXPECT_TRUE(AdminAddressAllowed("192.168.7.7"));
  EXPECT_TRUE(AdminAddressAllowed("172.16.0.9"));
  EXPECT_FALSE(AdminAddressAllowed("172.16.0.8"));
  EXPECT_TRUE(IsLocalAddress("127.0.0.1"));
  EXPECT_TRUE(IsLocalAddress("::1"));
  EXPECT_FALSE(IsLocalAddress("203.0.113.9"));
  ResetWebTestSettings();
}

TEST(AddressPatterns, ListsBuiltFromConfiguration) {
  WriteFileText(TestGateway.home + "QARHUB.INI",
                "[IPRestrictions]\r\nAllowed1=10.*.*.*\r\nAllowed2=11.*.*.*\r\nAllowed4=12.*.*.*\r\n"
                "Blocked1=10.9.*.*\r\nBlocked2=\r\nBlocked3=13.*.*.*\r\n");
  IPRestrictionLists lists;
  BuildIPRestrictionLists(lists);
  EXPECT_EQ(lists.Allowed, (std::vector<std::string>{"10.*.*.*", "11.*.*.*"}));
  EXPECT_EQ(lists.Blocked, (std::vector<std::string>{"10.9.*.*"}));
  WriteFileText(TestGateway.home + "QARHUB.INI",
                "[QARHUB]\r\nWebAuth=Yes\r\nWebMenu=No\r\nAdminIPAddressList=10.0.0.1\r\n"
                "MaxWebRequestBytes=100000\r\n");
  WriteFileText(TestGateway.home + "MMSC.INI", "[MMSC]\r\nHostName=gw.example\r\n");
  WebSettingsRecord s;
  LoadWebSettings(s);
  EXPECT_TRUE(s.WebAuth);
  EXPECT_FALSE(s.WebMenu);
  EXPECT_EQ(s.AdminIPAddressList, "10.0.0.1");
  EXPECT_EQ(s.MaxWebRequestBytes, 100000u);
  EXPECT_EQ(s.Realm, "gw.example");
  EXPECT_EQ(s.HtmlDirectory, TestGateway.home + "html/");
  WriteFileText(TestGateway.home + "QARHUB.INI", "[QARHUB]\r\nMaxWebRequestBytes=12\r\n");
  WriteFileText(TestGateway.home + "MMSC.INI", "");
  LoadWebSettings(s);
  EXPECT_FALSE(s.WebAuth);
  EXPECT_TRUE(s.WebMenu);
  EXPECT_EQ(s.Realm, "Qar SMS/MMS Gateway");
  EXPECT_EQ(s.MaxWebRequestBytes, 32u << 20);  // absurdly small limits fall back to the default
  WriteFileText(TestGateway.home + "QARHUB.INI", "");
}
}  // namespace
