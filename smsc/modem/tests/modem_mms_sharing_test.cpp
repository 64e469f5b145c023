// A modem shared with MMS retrieval: the SMS session gives the modem up when the MMS worker
// asks for it and receiving is quiet, the MMS worker fetches through the WAP gateway's proxy,
// and no SMS goes to the modem while the MMS worker holds it; queued SMS leave afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mms/tests/mms_vectors.h"
#include "runtime/hex_text.h"
#include "runtime/text_helpers.h"
#include "smsc/modem/tests/modem_gateway.h"
#include "smsc/modem/tests/modem_sim.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_files.h"
#include "tests/support/test_servers.h"

namespace {

constexpr unsigned kLong = 90000;

// The SMS submissions the debug log shows while the MMS worker held the modem, and how often
// the MMS worker had it.
struct Holding {
  unsigned mmsHeld = 0, smsHeld = 0, smsWhileMmsHeld = 0;
};
Holding ReadHolding(const std::string& debug, const std::string& modem) {
  Holding h;
  bool mms = false;
  for (const std::string& line : SplitList(debug, "\n")) {
    bool mmsWorker = line.find("ThreadProcessInboundMMS") != std::string::npos;
    if (mmsWorker && line.find("After ModemAllocate - " + modem + " - OK") != std::string::npos) {
      mms = true;
      ++h.mmsHeld;
    } else if (!mmsWorker && line.find("After ModemAllocate - " + modem + " - OK") != std::string::npos) {
      ++h.smsHeld;
    } else if (mmsWorker && line.find("Before ModemRelease - " + modem) != std::string::npos) {
      mms = false;
    } else if (!mmsWorker && mms && line.find("AT+CMGS") != std::string::npos) {
      ++h.smsWhileMmsHeld;
    }
  }
  return h;
}

TEST(ModemMmsSharing, NoSmsWhileMmsHoldsTheModem) {
  std::string mms = RetrieveConfThreeParts();
  ScriptedServer proxy([&](const std::string&, int, int) {
    return ScriptedReply{MmsHttpAnswer(mms), true};
  });
  ModemSim sim;
  ASSERT_TRUE(sim.Start());
  ModemGateway g;
  std::string modem = sim.device();  // the connection's name
  // The modem's own notifications are fetched by a data call over it; a connection that
  // fetches over another modem is MmsDataCall.OnlyModemsNamedForDataCallsAreShared's.
  g.Configure(sim.device(), {"MMSModeSwitchTimeout=1", "ReceiveSMS=Yes"},
              {"UseDial=Yes", "WAPGatewayIP=http:127.0.0.1:" + std::to_string(proxy.port())});
  std::string note = Bytes({0x8C, 0x82}) + "\x98" + Txt("N-5") + Bytes({0x8D, 0x92}) + "\x83" +
                     Txt("http://mmsc.example/m/5");
  // The connection's notification folder: its name with "/" as "-".
  std::string folder = modem;
  std::replace(folder.begin(), folder.end(), '/', '-');
  WriteFileText(g.home.path() + "PRIVATE/MMSINQ/" + folder + "/00000005.Q",
                "[MMSINQ]\r\nTo=+4970\r\nModemName=" + modem + "\r\nNotification=" + HexEncode(note) +
                    "\r\nContentLocation=http://mmsc.example/m/5\r\n");
  g.Drop("K1.req", "PhoneNumber=+4912301\r\nData=first\r\n");
  g.Start();
  ASSERT_TRUE(WaitUntil(kLong, [&] {
    for (const std::string& f : FilesUnder(g.home.path() + "MMS-IN/"))
      if (f.ends_with(".hdr")) return true;
    return false;
  })) << g.Debug();
  // Queued while the MMS worker may still hold the modem: it leaves once the modem is back.
  g.Drop("K2.req", "PhoneNumber=+4912302\r\nData=second\r\n");
  ASSERT_TRUE(sim.WaitFor(R"({"cmd":"submits"})", "len([s for s in a['submits'] if s['result']=='OK'])", "2", kLong))
      << g.Debug();
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.QueueEmpty(); }));
  std::string debug = g.Debug();
  Holding h = ReadHolding(debug, modem);
  // Whichever side took the modem first, both had it, one after the other.
  EXPECT_GE(h.mmsHeld, 1u) << debug;
  EXPECT_GE(h.smsHeld, 1u) << debug;
  EXPECT_EQ(h.smsWhileMmsHeld, 0u) << debug;
  ASSERT_FALSE(proxy.Requests().empty());
  EXPECT_TRUE(proxy.Requests()[0].starts_with("GET http://mmsc.example/m/5 HTTP/1.1\r\n")) << proxy.Requests()[0];
}

// The notification comes as an SMS the modem received (WAP push to port 2948): it is handed
// to MMS retrieval, which takes the same modem from the SMS session once receiving is quiet,
// fetches over it and stores the message for the modem's own number; no SMS copy is kept.
TEST(ModemMmsSharing, NotificationReceivedByTheModemIsFetchedOverIt) {
  std::string mms = RetrieveConfThreeParts();
  ScriptedServer proxy([&](const std::string&, int, int) {
    return ScriptedReply{MmsHttpAnswer(mms), true};
  });
  std::string note = Bytes({0x8C, 0x82}) + "\x98" + Txt("N-6") + Bytes({0x8D, 0x92}) + "\x83" +
                     Txt("http://mmsc.example/m/6");
  // Transaction 1, push, one header octet: application/vnd.wap.mms-message.
  std::string push = Bytes({0x01, 0x06, 0x01, 0xBE}) + note;
  TempDir dir;
  WriteFileText(dir.path() + "script.json", R"({"messages": [{"sender": "+4911", "data": ")" + HexEncode(push) +
                                                R"(", "udh": "0605040B8423F0", "dcs": 4}]})");
  ModemSim sim;
  ASSERT_TRUE(sim.Start({"--script", dir.path() + "script.json", "--set", "own_number=\"+4930123\""}));
  ModemGateway g;
  std::string modem = sim.device();
  g.Configure(sim.device(), {"MMSModeSwitchTimeout=1", "ReceiveSMS=Yes"},
              {"ReceiveMMS=Yes", "UseDial=Yes", "WAPGatewayIP=http:127.0.0.1:" + std::to_string(proxy.port())});
  g.Start();
  std::string stored;
  ASSERT_TRUE(WaitUntil(kLong, [&] {
    for (const std::string& f : FilesUnder(g.home.path() + "MMS-IN/"))
      if (f.ends_with(".hdr")) stored = ReadFileText(f);
    return !stored.empty();
  })) << g.Debug();
  EXPECT_TRUE(stored.starts_with("Message-type: m-retrieve-conf\r\nTransaction-id: T123\r\nMMS-version: 1.2\r\n"
                                 "To: +4930123\r\n"))
      << stored;
  ASSERT_FALSE(proxy.Requests().empty());
  EXPECT_TRUE(proxy.Requests()[0].starts_with("GET http://mmsc.example/m/6 HTTP/1.1\r\n")) << proxy.Requests()[0];
  ASSERT_TRUE(sim.WaitFor(R"({"cmd":"storage"})", "sum(len(v) for v in a['memories'].values())", "0", kLong))
      << sim.Ask(R"({"cmd":"storage"})");
  std::string debug = g.Debug();
  Holding h = ReadHolding(debug, modem);
  EXPECT_GE(h.mmsHeld, 1u) << debug;
  EXPECT_GE(h.smsHeld, 1u) << debug;
  EXPECT_EQ(h.smsWhileMmsHeld, 0u) << debug;
  EXPECT_EQ(g.ReceivedText().find("0605040B8423F0"), std::string::npos) << g.ReceivedText();
}

}  // namespace
