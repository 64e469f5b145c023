// Which transport a connection name means, and the serial device of a telephony modem name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "modem/modem_line.h"
#include "modem/modem_names.h"
#include "tests/support/ports.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_files.h"

namespace {

TEST(ModemNames, Kinds) {
  struct Case {
    const char* name;
    ModemNameKind kind;
    const char* path;
    const char* host;
    uint16_t port;
  } cases[] = {
      {"COM1:", ModemNameKind::SerialPort, "/dev/ttyS0", "", 0},
      {"COM12:", ModemNameKind::SerialPort, "/dev/ttyS11", "", 0},
      {"com3:", ModemNameKind::SerialPort, "/dev/ttyS2", "", 0},
      {"COM3", ModemNameKind::Telephony, "", "", 0},
      {"COM0:", ModemNameKind::Telephony, "", "", 0},
      {"COM3:x", ModemNameKind::Telephony, "", "", 0},
      {"/dev/ttyUSB0", ModemNameKind::SerialPort, "/dev/ttyUSB0", "", 0},
      {"/dev/serial/by-id/usb-Modem-if00", ModemNameKind::SerialPort, "/dev/serial/by-id/usb-Modem-if00", "", 0},
      {"/run/modems/gsm0", ModemNameKind::SerialPort, "/run/modems/gsm0", "", 0},
      {"Standard 33600 bps Modem", ModemNameKind::Telephony, "", "", 0},
      {"IPModem - 10.1.2.3:2001", ModemNameKind::IpModem, "", "10.1.2.3", 2001},
      {"IPModem - modems.example:23", ModemNameKind::IpModem, "", "modems.example", 23},
      {"IPModem - 10.1.2.3", ModemNameKind::IpModem, "", "10.1.2.3", 0},
      {"IPModem - 10.1.2.3:0", ModemNameKind::IpModem, "", "10.1.2.3", 0},
      {"IPModem - 10.1.2.3:70000", ModemNameKind::IpModem, "", "10.1.2.3", 0},
      {"IPModem - 10.1.2.3:20x", ModemNameKind::IpModem, "", "10.1.2.3", 0},
  };
  for (const auto& c : cases) {
    ModemName m = ParseModemName(c.name);
    EXPECT_EQ(m.kind, c.kind) << c.name;
    EXPECT_EQ(m.path, c.path) << c.name;
    EXPECT_EQ(m.host, c.host) << c.name;
    EXPECT_EQ(m.port, c.port) << c.name;
  }
}

TEST(ModemNames, LastResortProbeAcceptsComWithoutColon) {
  EXPECT_EQ(HammerPortPath("COM3"), "/dev/ttyS2");
  EXPECT_EQ(HammerPortPath("COM3:"), "/dev/ttyS2");
  EXPECT_EQ(HammerPortPath("/dev/ttyACM0"), "/dev/ttyACM0");
  EXPECT_EQ(HammerPortPath("Some Modem"), "");
}

TEST(ModemNames, FindModemPortUnderById) {
  TempDir dir;
  const std::string byId = dir.path() + "by-id/";
  WriteFileText(byId + "usb-Acme_GSM_Modem_1234-if00-port0", "");
  WriteFileText(byId + "usb-Other_Thing-if00", "");
  EXPECT_EQ(FindModemPort("Acme GSM Modem", byId), byId + "usb-Acme_GSM_Modem_1234-if00-port0");
  EXPECT_EQ(FindModemPort("usb-other_thing-if00", byId), byId + "usb-Other_Thing-if00");
  EXPECT_EQ(FindModemPort("Missing Modem", byId), "");
  EXPECT_EQ(FindModemPort("", byId), "");
  EXPECT_EQ(FindModemPort("Acme GSM Modem", dir.path() + "none/"), "");
}

TEST(ModemNames, OpenFailsWithoutDevice) {
  ModemLine line;
  ModemDevice none = OpenDevice("No Such Telephony Modem 7", line);
  EXPECT_FALSE(none.valid());
  EXPECT_EQ(none.failure, ModemOpenFailure::NotFound);
  ModemDevice noPort = OpenDevice("IPModem - 127.0.0.1", line);
  EXPECT_FALSE(noPort.valid());
  EXPECT_EQ(noPort.failure, ModemOpenFailure::Failed);
  ModemDevice refused = OpenDevice("IPModem - 127.0.0.1:" + std::to_string(FreeTcpPort()), line);
  EXPECT_FALSE(refused.valid());
  EXPECT_EQ(refused.failure, ModemOpenFailure::Failed);
  ModemDevice missing = OpenDevice("/dev/qar-no-such-tty", line);
  EXPECT_FALSE(missing.valid());
  EXPECT_EQ(missing.failure, ModemOpenFailure::NotFound);
}

}  // namespace
