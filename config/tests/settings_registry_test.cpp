#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <type_traits>

#include "config/settings.h"
#include "config/settings_override.h"
#include "config/settings_registry.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/debug_log.h"
#include "tests/support/temp_dir.h"

namespace {
class ConfigHome {
 public:
  explicit ConfigHome(const std::string& ini, const std::string& shared = "") {
    setenv("QARSMS_HOME", dir_.path().c_str(), 1);
    Write("QARHUB.INI", ini);
    if (!shared.empty()) Write("SHARED.INI", shared);
    SMSIniSetFilename((dir_.path() + "QARHUB.INI").c_str());
  }
  void Write(const std::string& name, const std::string& text) { std::ofstream(dir_.path() + name) << text; }

 private:
  TempDir dir_;
};

SettingsBlock Load(const std::string& ini, const std::string& shared = "") {
  ConfigHome home(ini, shared);
  SettingsBlock s;
  LoadSettings(s);
  return s;
}
}  // namespace

// The loader keeps each key's rule: defaults for missing keys, 0 for empty numbers, and
// the zero rules of the limits and counts.
TEST(SettingsLoad, DefaultsAndRulesFromTheTable) {
  SettingsBlock missing = Load("[QARHUB]\r\n");
  EXPECT_TRUE(missing == SettingsBlock{});  // a block's own defaults are the table's
  EXPECT_FALSE(missing.Debug);
  EXPECT_TRUE(missing.AccountingKeepAlive);
  EXPECT_EQ(missing.DebugMaxSize, 512u);
  EXPECT_EQ(missing.MaxQDirEntries, 10000u);
  EXPECT_EQ(missing.UserQueueThreshold, 10u);
  EXPECT_EQ(missing.DefaultMsgLimitPerDay, 0xFFFFFFFFu);
  EXPECT_EQ(missing.LongTextDCS, 0);
  EXPECT_FALSE(missing.UseRouteCache);

  SettingsBlock set = Load(
      "[QARHUB]\r\nDebug=yes\r\nAccountingKeepAlive=No\r\nDebugMaxSize=\r\nMaxQDirEntries=0\r\n"
      "UserQueueThreshold=0\r\nDefaultMsgLimitPerDay=25\r\nDefaultMsgLimitPerMonth=0\r\nLongTextDCS=1A\r\n"
      "SMPPPort=2775\r\nExtraHttpArgList= Ref ;Tag,,Code \r\nMessageIDPrefix=LOCAL\r\n"
      "Modem1=SMPP - a:1\r\n[SMPP - a:1]\r\nTransmitterCount=4\r\n",
      "[SharedVolume]\r\nMessageIDPrefix=SHARED\r\n");
  EXPECT_TRUE(set.Debug);
  EXPECT_FALSE(set.AccountingKeepAlive);
  EXPECT_EQ(set.DebugMaxSize, 0u);
  EXPECT_EQ(set.MaxQDirEntries, 1000000u);
  EXPECT_EQ(set.UserQueueThreshold, 10u);
  EXPECT_EQ(set.DefaultMsgLimitPerDay, 25u);
  EXPECT_EQ(set.DefaultMsgLimitPerMonth, 0xFFFFFFFFu);
  EXPECT_EQ(set.LongTextDCS, 0x1A);
  EXPECT_EQ(set.SMPPPort, 2775);
  EXPECT_EQ(set.ExtraHttpArgList, (std::vector<std::string>{"Ref", "Tag", "Code"}));
  EXPECT_EQ(set.MessageIDPrefix, "SHARED");
  EXPECT_TRUE(set.UseRouteCache);  // four transmitters
}

TEST(SettingsRegistry, EveryKeyOnceWithAFormThatFitsItsField) {
  std::set<std::string> names;
  for (const SettingKey& k : SettingKeys()) {
    std::string upper;
    for (char c : k.name) upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    EXPECT_TRUE(names.insert(upper).second) << k.name;
    EXPECT_FALSE(k.meaning.empty()) << k.name;
    EXPECT_GT(k.maxLen, 0) << k.name;
    // A key nothing reads yet has no field in the block.
    if (!k.later.empty()) {
      EXPECT_TRUE(std::holds_alternative<std::monostate>(k.field)) << k.name;
    }
    if (std::holds_alternative<bool SettingsBlock::*>(k.field)) {
      EXPECT_EQ(k.form, KeyForm::Flag) << k.name;
    }
  }
  ASSERT_NE(FindSettingKey("route17"), nullptr);
  EXPECT_EQ(FindSettingKey("route17")->name, "Route#");
  EXPECT_EQ(FindSettingKey("Route"), nullptr);
  EXPECT_EQ(FindSettingKey("Route07"), nullptr);
}

// Connection values: the own section only, or the own section before [QARHUB].
TEST(SettingsRegistry, ConnectionValuesAndFallback) {
  ConfigHome home(
      "[QARHUB]\r\nRetryDelay=45\r\nRouteName=main\r\nWindowSize=\r\n"
      "[SMPP - a:1]\r\nRetryMaxAttempts=3\r\nRetryDelay=\r\nCommandTimeout=0\r\n");
  EXPECT_EQ(ConnectionOrMainNumber("SMPP - a:1", "RetryMaxAttempts"), 3u);
  EXPECT_EQ(ConnectionOrMainNumber("SMPP - a:1", "RetryDelay"), 45u);      // empty own value: [QARHUB]
  EXPECT_EQ(ConnectionOrMainNumber("SMPP - a:1", "RetryMaxAge"), 1440u);   // missing everywhere: default
  EXPECT_EQ(ConnectionOrMainNumber("SMPP - a:1", "CommandTimeout"), 0u);    // an explicit 0 stays
  EXPECT_EQ(ConnectionOrMainNumber("SMPP - b:2", "CommandTimeout"), 120u);
  EXPECT_EQ(ConnectionOrMainNumber("SMPP - a:1", "WindowSize"), 0u);
  EXPECT_EQ(ConnectionOrMainValue("SMPP - a:1", "RouteName"), "main");
  EXPECT_EQ(ConnectionValue("SMPP - a:1", "RouteName"), "");
}

// A key that follows the file while running is read again once the file changed.
TEST(SettingsRegistry, RunningKeysFollowTheFile) {
  ConfigHome home("[QARHUB]\r\nAlertEMailQueueSize=5\r\n");
  EXPECT_EQ(MainNumber("AlertEMailQueueSize"), 5u);
  home.Write("QARHUB.INI", "[QARHUB]\r\nAlertEMailQueueSize=70\r\n");
  EXPECT_EQ(MainNumber("AlertEMailQueueSize"), 70u);
}

TEST(SettingsRegistry, NearestKnownKey) {
  struct Case {
    const char* name;
    bool connection;
    const char* nearest;
  } cases[] = {
      {"WindowSise", true, "WindowSize"},
      {"windowsise", true, "WindowSize"},
      {"Debugg", false, "Debug"},
      {"DebugMaxSise", false, "DebugMaxSize"},
      {"TransmiterCount", true, "TransmitterCount"},
      {"Rute3", true, "Route3"},
      {"AllowedUsr12", true, "AllowedUser12"},
      {"TransmitterCount", false, ""},  // a connection key is not offered in [QARHUB]
      {"Qwertyuiop", false, ""},
      {"X", true, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(NearestKnownKey(c.name, c.connection), c.nearest) << c.name;
}

TEST(SettingsRegistry, UnknownKeysAreReportedOncePerSection) {
  ConfigHome home(
      "[QARHUB]\r\nDebugg=Yes\r\nDEBUG2=Yes\r\nModem1=SMPP - host:2775\r\nModem4=SMPP - host:2775\r\n"
      "Qwertyuiop=1\r\nWindowSize=3\r\nDebugg=No\r\n"
      "[SMPP - host:2775]\r\nWindowSise=5\r\nwindowsize=1\r\nRoute3=44\r\nAllowedUser2=bob\r\nTransmitterCount=2\r\n"
      "[Inbound SMS Routing]\r\nAnything=1\r\n");
  std::vector<std::string> expected = {
      "unknown key Debugg in [QARHUB]; did you mean Debug?",
      "unknown key Qwertyuiop in [QARHUB]",
      "unknown key WindowSise in [SMPP - host:2775]; did you mean WindowSize?",
  };
  EXPECT_EQ(UnknownKeyReports(), expected);
}

static_assert(std::is_const_v<std::remove_reference_t<decltype(Settings)>>, "the settings block is read-only");

// Overrides nest; each puts back what it found when its scope ends.
TEST(SettingsOverrideTest, SetsFieldsAndRestoresThemInOrder) {
  ASSERT_EQ(Settings.MaxQDirEntries, 10000u);
  {
    SettingsOverride outer;
    outer->MaxQDirEntries = 2;
    outer->ExtraHttpArgList = {"Ref"};
    {
      SettingsOverride inner(SettingsBlock{});
      EXPECT_EQ(Settings.MaxQDirEntries, 10000u);
      EXPECT_TRUE(Settings.ExtraHttpArgList.empty());
      inner->MaxQDirEntries = 3;
      EXPECT_EQ(Settings.MaxQDirEntries, 3u);
    }
    EXPECT_EQ(Settings.MaxQDirEntries, 2u);
    EXPECT_EQ(Settings.ExtraHttpArgList, std::vector<std::string>{"Ref"});
  }
  EXPECT_EQ(Settings.MaxQDirEntries, 10000u);
  EXPECT_TRUE(Settings.ExtraHttpArgList.empty());
}
