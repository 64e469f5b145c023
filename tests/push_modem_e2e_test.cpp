// Pushes leaving through a GSM modem: the SMS-SUBMIT PDUs the modem simulator recorded,
// decoded and linked into whole messages by python3-gammu, are WAP pushes from port 9200
// to port 2948 carrying the push PDU the request asked for.
#include <gtest/gtest.h>

#include <string>

#include "smsc/modem/tests/modem_gateway.h"
#include "smsc/modem/tests/modem_sim.h"
#include "tests/support/gateway_process.h"

namespace {
constexpr unsigned kLong = 90000;
const char* kSubmits = R"({"cmd":"submits"})";

// Per whole message: parts, number, coding, class, what gammu reads in it, the ports of the
// first part, whether every part carries them, and the PDU after its transaction id.
const char* kMessages =
    "sorted('%d|%s|%s|%s|%s|%d|%d|%s|%s' % (len(m), m[0]['Number'], m[0]['Coding'], m[0]['Class'], "
    "info(m)['Entries'][0]['ID'], m[0]['UDH']['Text'][3] * 256 + m[0]['UDH']['Text'][4], "
    "m[0]['UDH']['Text'][5] * 256 + m[0]['UDH']['Text'][6], "
    "all(p['UDH']['Text'][1:7] == bytes.fromhex('05040B8423F0') for p in m), "
    "b''.join(p['Text'] for p in m)[1:].hex().upper()) "
    "for m in link([s['pdu'] for s in a['submits'] if s['result'] == 'OK']))";

TEST(PushModem, PushesLeaveAsWapPushMessagesThatGammuReassembles) {
  ModemSim sim;
  ASSERT_TRUE(sim.Start());
  ModemGateway g;
  g.Configure(sim.device());
  g.Start();
  ASSERT_TRUE(WaitReady(*g.process, g.webPort)) << g.Debug();
  const std::string base = "http://127.0.0.1:" + std::to_string(g.webPort) + "/?PhoneNumber=%2B447700900123&";
  const std::string kQueries[] = {
      "WAPURL=http://www.example.com/a&WAPSL=1",
      "WAPPUSHADV_CONTENT_TYPE=application/vnd.wap.mms-message&WAPPUSHADV_CONTENT_ENCODING=HEX&"
      "WAPPUSHADV_CONTENT=" + std::string(592, 'B'),
  };
  for (const std::string& q : kQueries) {
    std::string answer = Curl({base + q});
    EXPECT_EQ(answer.substr(answer.rfind('\n') + 1), "200") << answer;
  }
  // The SL in one message, the 300-octet push in three.
  ASSERT_TRUE(sim.WaitFor(kSubmits, "len([s for s in a['submits'] if s['result']=='OK'])", "4", kLong)) << g.Debug();
  EXPECT_EQ(sim.Ask(kSubmits, kMessages),
            "1|+447700900123|8bit|1|MMSIndicatorLong|2948|9200|True|"
            "0601B002066A00850A036578616D706C652E636F6D2F610001\n"
            "3|+447700900123|8bit|1|MMSIndicatorLong|2948|9200|True|0601BE" + std::string(592, 'B'))
      << g.Debug();
}
}  // namespace
