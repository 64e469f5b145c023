// The escalation of a modem that does not come back, with recorder commands in place of
// the USB switch and the reboot (nothing here reboots anything) and the settable clock.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/process_runner.h"
#include "runtime/text_helpers.h"
#include "smsc/modem/modem_recovery.h"
#include "smsc/modem/modem_settings.h"
#include "tests/support/data_folder.h"
#include "tests/support/gateway_process.h"
#include "tests/support/test_files.h"

namespace fs = std::filesystem;

namespace {

class ModemRecoveryTest : public DataFolderTest {
 protected:
  void SetUp() override {
    DataFolderTest::SetUp();
    recorder_ = home() + "recorder.sh";
    calls_ = home() + "calls";
    WriteFileText(recorder_, "#!/bin/sh\necho \"$@\" >> " + calls_ + "\nexit ${RECORDER_EXIT:-0}\n");
    chmod(recorder_.c_str(), 0755);
  }
  void TearDown() override {
    SetClockOverride(0);
    unsetenv("RECORDER_EXIT");
    DataFolderTest::TearDown();
  }
  void Configure(const std::string& connection, const std::string& sectionLines) {
    WriteConfig("[QARHUB]\nModemUSBCommand=" + recorder_ + " usb\nModemRebootCommand=" + recorder_ +
                " reboot \"QarSMS is rebooting\"\n[" + ConnectionSectionName(connection) + "]\n" + sectionLines);
  }
  std::string Calls() const { return ReadFileText(calls_); }
  std::string recorder_, calls_;
};

TEST_F(ModemRecoveryTest, UsbCyclesBeforeTenMinutesThenMarkerAndReboot) {
  Configure("/dev/ttyUSB7", "RebootOnModemError=Yes\nUSBDevice=1-1.4");
  ModemSettings settings = ReadModemSettings("/dev/ttyUSB7");
  ModemEscalation e;
  const time_t start = 1800000000;
  struct Step {
    time_t at;
    const char* calls;  // all calls so far
    bool marker;
  } steps[] = {
      {start, "usb DISABLE 1-1.4\nusb ENABLE 1-1.4\n", false},
      {start + 599, "usb DISABLE 1-1.4\nusb ENABLE 1-1.4\nusb DISABLE 1-1.4\nusb ENABLE 1-1.4\n", false},
      {start + 600,
       "usb DISABLE 1-1.4\nusb ENABLE 1-1.4\nusb DISABLE 1-1.4\nusb ENABLE 1-1.4\nusb DISABLE 1-1.4\n"
       "reboot QarSMS is rebooting\n",
       true},
      // Asked for once: the machine goes down within a minute.
      {start + 700,
       "usb DISABLE 1-1.4\nusb ENABLE 1-1.4\nusb DISABLE 1-1.4\nusb ENABLE 1-1.4\nusb DISABLE 1-1.4\n"
       "reboot QarSMS is rebooting\n",
       true},
  };
  for (const Step& s : steps) {
    SetClockOverride(s.at);
    EscalateAfterFailedStart("/dev/ttyUSB7", settings, e);
    EXPECT_EQ(Calls(), s.calls) << s.at - start;
    EXPECT_EQ(SMSIniString("Modem - /dev/ttyUSB7", "USBReEnable") == "Yes", s.marker) << s.at - start;
  }
}

// No USB device (an IP modem): the switch fails without running anything, so no marker is
// left; the reboot still comes after ten minutes.
TEST_F(ModemRecoveryTest, ModemWithoutUsbDeviceRunsNoSwitch) {
  const std::string name = "IPModem - 127.0.0.1:7000";
  Configure(name, "RebootOnModemError=Yes");
  ModemSettings settings = ReadModemSettings(name);
  EXPECT_FALSE(USBModemEnable(name, settings));
  ModemEscalation e;
  SetClockOverride(1800000000);
  EscalateAfterFailedStart(name, settings, e);
  SetClockOverride(1800000000 + 601);
  EscalateAfterFailedStart(name, settings, e);
  EXPECT_EQ(Calls(), "reboot QarSMS is rebooting\n");
  EXPECT_EQ(SMSIniString(ConnectionSectionName(name), "USBReEnable"), "");
}

TEST_F(ModemRecoveryTest, NothingWithoutTheSettings) {
  Configure("/dev/ttyUSB7", "USBDevice=1-1.4");
  ModemSettings settings = ReadModemSettings("/dev/ttyUSB7");
  ModemEscalation e;
  SetClockOverride(1800000000);
  EscalateAfterFailedStart("/dev/ttyUSB7", settings, e);
  SetClockOverride(1800000000 + 5000);
  EscalateAfterFailedStart("/dev/ttyUSB7", settings, e);
  EXPECT_EQ(Calls(), "");
}

// The first start after the reboot enables the device and deletes the marker; a failed
// enable is not repeated.
TEST_F(ModemRecoveryTest, MarkerAfterRebootEnablesTheDeviceOnce) {
  Configure("/dev/ttyUSB7", "USBDevice=1-1.4\nUSBReEnable=Yes");
  setenv("RECORDER_EXIT", "5", 1);
  ReEnableAfterReboot("/dev/ttyUSB7", ReadModemSettings("/dev/ttyUSB7"));
  EXPECT_EQ(Calls(), "usb ENABLE 1-1.4\n");
  EXPECT_EQ(SMSIniString("Modem - /dev/ttyUSB7", "USBReEnable", "absent"), "absent");
  ReEnableAfterReboot("/dev/ttyUSB7", ReadModemSettings("/dev/ttyUSB7"));
  EXPECT_EQ(Calls(), "usb ENABLE 1-1.4\n");
}

TEST(ModemRecovery, CommandLinesSplitWithQuotes) {
  struct Case {
    const char* line;
    std::vector<std::string> want;
  } cases[] = {
      {"shutdown -r +1 \"QarSMS is rebooting to recover from modem problems\"",
       {"shutdown", "-r", "+1", "QarSMS is rebooting to recover from modem problems"}},
      {"  qarhubusb  ", {"qarhubusb"}},
      {"a \"\" b", {"a", "", "b"}},
      {"", {}},
      {"x;rm -rf /", {"x;rm", "-rf", "/"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.want) << c.line;
}

// The walk up from a tty to the USB device that has the switch, over a made-up sysfs.
TEST(ModemRecovery, UsbDeviceAboveTheTty) {
  TempDir dir;
  std::string sys = dir.path() + "sys";
  std::string usb = sys + "/devices/pci0000:00/usb1/1-1";
  std::string iface = usb + "/1-1:1.0";
  fs::create_directories(iface + "/ttyUSB3");
  WriteFileText(usb + "/authorized", "1");
  WriteFileText(usb + "/idVendor", "1199");
  WriteFileText(sys + "/devices/pci0000:00/usb1/authorized", "1");  // the hub: no vendor id here
  fs::create_directories(sys + "/class/tty/ttyUSB3");
  fs::create_symlink(iface, sys + "/class/tty/ttyUSB3/device");
  WriteFileText(dir.path() + "dev/ttyUSB3", "");
  fs::create_symlink(dir.path() + "dev/ttyUSB3", dir.path() + "dev/modem");
  EXPECT_EQ(UsbDeviceOfTty(dir.path() + "dev/modem", sys), fs::canonical(usb).string());
  WriteFileText(dir.path() + "dev/pts7", "");
  EXPECT_EQ(UsbDeviceOfTty(dir.path() + "dev/pts7", sys), "");
  EXPECT_EQ(UsbDeviceOfTty(dir.path() + "dev/missing", sys), "");
}

TEST(ModemRecovery, QarhubusbWritesTheSwitch) {
  TempDir dir;
  std::string device = dir.path() + "1-1";
  fs::create_directories(device);
  WriteFileText(device + "/authorized", "1");
  std::string program = BinDirectory() + "qarhubusb";
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* value;
  } cases[] = {
      {{"DISABLE", device}, 0, "0"},
      {{"ENABLE", device}, 0, "1"},
      {{"enable", device}, 2, "1"},
      {{"DISABLE"}, 2, "1"},
      {{"DISABLE", device + "/../1-1"}, 2, "1"},
      {{"DISABLE", dir.path() + "none"}, 3, "1"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ProcessOptions options;
    options.stdoutPath = dir.path() + "out";
    options.stderrToStdout = true;
    EXPECT_EQ(RunProcess(argv, options), c.code) << (c.args.size() > 1 ? c.args[1] : c.args[0]);
    EXPECT_EQ(ReadFileText(device + "/authorized"), c.value);
  }
}

}  // namespace
