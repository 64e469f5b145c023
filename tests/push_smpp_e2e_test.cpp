// Pushes leaving the real gateway over SMPP to the npm "smpp" centre, their submit_sm
// PDUs decoded by tshark: the segments reassembled into the WSP push, no malformed packet.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "outside/qarpeer/tests/node_peer.h"
#include "tests/support/child_process.h"
#include "tests/support/gateway_process.h"

namespace fs = std::filesystem;

namespace {
const std::string kScripts = QARPEER_NODE_SCRIPTS;
const std::string kNpm = QARPEER_NPM_DIR;

// The submit_sm PDUs as a TCP stream to port, decoded as SMPP.
std::string DecodeSubmits(const std::vector<std::string>& rawHex, unsigned port) {
  TempDir dir;
  std::string dump;
  for (const std::string& hex : rawHex) {
    dump += "0000";
    for (size_t i = 0; i + 1 < hex.size(); i += 2) dump += " " + hex.substr(i, 2);
    dump += "\n";
  }
  WriteFileText(dir.path() + "smpp.txt", dump);
  ChildProcess p;
  std::string command = "text2pcap -q -T 40000," + std::to_string(port) +
                        " \"$0/smpp.txt\" \"$0/smpp.pcap\" && tshark -r \"$0/smpp.pcap\" -V -d tcp.port==" +
                        std::to_string(port) + ",smpp 2>&1";
  if (!p.Start({"sh", "-c", command, dir.path()})) return {};
  std::string line, out;
  while (p.ReadLine(line, 20000)) out += line + "\n";
  p.Stop(1000);
  return out;
}

TEST(PushSmpp, SegmentedAndWholePushesDecodeAsWsp) {
  if (!EnsureNodeSmpp(kNpm)) GTEST_SKIP() << "npm could not install smpp@0.5.1 into " << kNpm;
  if (access("/usr/bin/tshark", X_OK) != 0) GTEST_SKIP() << "tshark is not installed";
  NodeSmsc smsc;
  ASSERT_TRUE(smsc.Start(kNpm, kScripts));
  unsigned smscPort = smsc.port;
  std::string line;
  WebGateway g;
  std::string connection = "SMPP - 127.0.0.1:" + std::to_string(smscPort);
  g.Configure({"Modem1=" + connection, "InitRetryDelay=1"},
              "[" + connection + "]\r\nUserName=gw\r\nPassword=secret\r\n");
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  std::string base = "http://127.0.0.1:" + std::to_string(g.port) + "/?PhoneNumber=447700900123&";
  std::string answer = Curl({base + "WAPURL=http://www.example.com/news&Text=Hello"});
  ASSERT_EQ(answer.substr(answer.rfind('\n') + 1), "200") << answer;
  answer = Curl({base + "WAPPUSHADV_CONTENT_TYPE=text/plain&WAPPUSHADV_CONTENT=" + std::string(290, 'x') +
                 "&WAPPUSHADV_XWAPAPPID=x-wap-application:wml.ua"});
  ASSERT_EQ(answer.substr(answer.rfind('\n') + 1), "200") << answer;
  // One whole push and three segments.
  std::vector<std::string> raw;
  for (int waited = 0; raw.size() < 4 && waited < 40; ++waited) {
    while (smsc.node.ReadLine(line, 500))
      if (line.rfind("RAW ", 0) == 0 && line.size() > 20 && line.substr(12, 8) == "00000004") raw.push_back(line.substr(4));
  }
  ASSERT_EQ(raw.size(), 4u) << p.Output();
  std::string decoded = DecodeSubmits(raw, smscPort);
  EXPECT_EQ(decoded.find("Malformed"), std::string::npos) << decoded;
  for (const char* text : {"Wireless Session Protocol, Method: Push (0x06), Content-Type: application/vnd.wap.sic",
                           "'example.com/news'", "'Hello'", "Content-Type: text/plain", "Reassembled",
                           "3GPP (2948)", "Originator port: UDP/TCP port numbers assigned by IANA without the need to refer to 3GPP (9200)"})
    EXPECT_NE(decoded.find(text), std::string::npos) << text << "\n" << decoded.substr(0, 20000);
}
}  // namespace
