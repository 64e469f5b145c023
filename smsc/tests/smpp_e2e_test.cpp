// The real gateway delivering queue files to an SMS centre played by the npm "smpp" server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "outside/qarpeer/tests/node_peer.h"
#include "tests/support/gateway_process.h"
#include "tests/support/ports.h"

namespace fs = std::filesystem;

namespace {

const std::string kScripts = QARPEER_NODE_SCRIPTS;
const std::string kNpm = QARPEER_NPM_DIR;

// What the centre has been sent so far: lines read until it is quiet, then its submits.
struct SmscProcess : NodeSmsc {
  bool Start(const std::string& options) { return NodeSmsc::Start(kNpm, kScripts, options); }
  int CountSubmits() {
    std::string line;
    while (node.ReadLine(line, 50)) {
    }
    return int(NodeSmsc::CountSubmits());
  }
};

struct Gateway {
  GatewayHome home;
  uint16_t webPort = FreeTcpPort();
  std::string connection;
  void Configure(unsigned smscPort, const std::string& sectionExtra = "") {
    connection = "SMPP - 127.0.0.1:" + std::to_string(smscPort);
    home.WriteConfig({"Debug=Yes", "WebPort=" + std::to_string(webPort), "Modem1=" + connection, "InitRetryDelay=1",
                      "InitRetryDelayMax=2"},
                     "[" + connection + "]\r\nUserName=gw\r\nPassword=secret\r\nSystemType=VMA\r\n" + sectionExtra);
  }
  // Published as another program must: complete, under a temporary name first.
  void Drop(const std::string& name, const std::string& body) {
    std::string dir = home.path() + "Q/";
    fs::create_directories(dir);
    WriteFileText(dir + ".~" + name + ".tmp", "[SMS]\r\n" + body);
    fs::rename(dir + ".~" + name + ".tmp", dir + name);
  }
  std::string ErrorFile() { return home.path() + "PRIVATE/SMPP - 127.0.0.1-" + connection.substr(17) + ".ERR"; }
  std::string OutLog() {
    std::string all;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(home.path() + "LOGS", ec)) {
      if (e.path().filename().string().rfind("SMSOUT", 0) == 0) all += ReadFileText(e.path().string());
    }
    return all;
  }
};

#define REQUIRE_NODE_SMPP() \
  if (!EnsureNodeSmpp(kNpm)) GTEST_SKIP() << "npm could not install smpp@0.5.1 into " << kNpm

TEST(SmppDelivery, QueuedMessageReachesTheSmscExactlyOnce) {
  REQUIRE_NODE_SMPP();
  SmscProcess smsc;
  ASSERT_TRUE(smsc.Start("{}"));
  Gateway g;
  g.Configure(smsc.port);
  GatewayProcess p(g.home);
  std::string line;
  ASSERT_TRUE(smsc.node.WaitFor("PDU bind_transmitter ", line, 20000)) << p.Output();
  EXPECT_NE(line.find(R"("system_id":"gw")"), std::string::npos) << line;
  EXPECT_NE(line.find(R"("system_type":"VMA")"), std::string::npos) << line;
  g.Drop("0000CAFE.req", "SubmitUser=alice\r\nSender=+447700900001\r\nData=Hello from the queue\r\n"
                         "PhoneNumber=+447700900123\r\nReceiptRequested=Yes\r\n");
  ASSERT_TRUE(smsc.node.WaitFor("PDU submit_sm ", line, 20000)) << p.Output();
  EXPECT_NE(line.find(R"("destination_addr":"447700900123")"), std::string::npos) << line;
  EXPECT_NE(line.find(R"("dest_addr_ton":1)"), std::string::npos) << line;
  EXPECT_NE(line.find(R"("message":"Hello from the queue")"), std::string::npos) << line;
  EXPECT_NE(line.find(R"("registered_delivery":1)"), std::string::npos) << line;
  ASSERT_TRUE(WaitUntil(10000, [&] { return !fs::exists(g.home.path() + "Q/0000CAFE.req"); }));
  ASSERT_TRUE(WaitUntil(5000, [&] { return g.OutLog().find("OK -- " + g.connection) != std::string::npos; }))
      << g.OutLog();
  EXPECT_NE(g.OutLog().find("MSG1"), std::string::npos) << g.OutLog();
  usleep(1500000);
  EXPECT_EQ(smsc.CountSubmits(), 1);
  EXPECT_FALSE(fs::exists(g.ErrorFile()));
  // An orderly stop unbinds.
  p.Signal(SIGTERM);
  int code = -1;
  EXPECT_TRUE(p.WaitExit(20000, code));
  EXPECT_TRUE(smsc.node.WaitFor("PDU unbind ", line, 5000)) << p.Output();
}

TEST(SmppDelivery, RefusedBindIsReportedAndTheLinkComesBack) {
  REQUIRE_NODE_SMPP();
  SmscProcess refusing;
  ASSERT_TRUE(refusing.Start(R"({"bindStatus":14})"));
  unsigned port = refusing.port;
  Gateway g;
  g.Configure(port);
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitUntil(20000, [&] { return fs::exists(g.ErrorFile()); })) << p.Output();
  EXPECT_EQ(ReadFileText(g.ErrorFile()),
            "SMPP Failure -- Unable to login to SMPP server with specified parameters:  Invalid Password");
  ASSERT_TRUE(p.WaitForOutput("Error initializing SMSC Interface '" + g.connection + "'.  Interface is not available.",
                              30000))
      << p.Output();
  g.Drop("0000BEEF.req", "Data=after recovery\r\nPhoneNumber=4477\r\n");
  refusing.node.Send("close");
  refusing.node.Stop();
  SmscProcess accepting;
  ASSERT_TRUE(accepting.Start(R"({"port":)" + std::to_string(port) + "}"));
  std::string line;
  ASSERT_TRUE(accepting.node.WaitFor("PDU submit_sm ", line, 30000)) << p.Output();
  EXPECT_NE(line.find(R"("message":"after recovery")"), std::string::npos) << line;
  ASSERT_TRUE(WaitUntil(10000, [&] { return !fs::exists(g.ErrorFile()); })) << p.Output();
  EXPECT_TRUE(p.WaitForOutput("successfully initiaized.  Error condition resolved.", 5000));
}

TEST(SmppDelivery, TemporaryErrorIsRetriedAndRejectionKeepsAnErrCopy) {
  REQUIRE_NODE_SMPP();
  SmscProcess smsc;
  ASSERT_TRUE(smsc.Start(R"({"submitStatuses":[69, 11]})"));
  Gateway g;
  g.Configure(smsc.port, "RetryDelay=1\r\nRetryDelayAfterAttempts=5\r\n");
  GatewayProcess p(g.home);
  g.Drop("0000D00D.req", "Data=try again\r\nPhoneNumber=4477\r\nSender=555\r\nReceiptRequested=Yes\r\n");
  std::string line;
  ASSERT_TRUE(smsc.node.WaitFor("PDU submit_sm ", line, 20000)) << p.Output();
  // 0x45 is temporary: the file stays with its retry state; 0x0B next time is final.
  ASSERT_TRUE(smsc.node.WaitFor("PDU submit_sm ", line, 20000)) << p.Output();
  // The copy is kept before the message is deleted: wait for both.
  ASSERT_TRUE(WaitUntil(10000, [&] {
    return fs::exists(g.home.path() + "Q/0000D00D.ERR") && !fs::exists(g.home.path() + "Q/0000D00D.req");
  })) << p.Output();
  std::string err = ReadFileText(g.home.path() + "Q/0000D00D.ERR");
  EXPECT_NE(err.find("RetryCount=2"), std::string::npos) << err;
  EXPECT_NE(err.find("Invalid Dest Addr -- " + g.connection), std::string::npos) << err;
  EXPECT_NE(g.OutLog().find("Retry Pending - submit_sm or submit_multi failed -- " + g.connection),
            std::string::npos)
      << g.OutLog();
  EXPECT_EQ(smsc.CountSubmits(), 2);
  // The submitter asked for a receipt: the failure report waits in the inbound directory.
  std::string report;
  for (auto& e : fs::recursive_directory_iterator(g.home.path() + "SMS-IN")) {
    if (e.is_regular_file() && e.path().extension() == ".rec") report = ReadFileText(e.path().string());
  }
  EXPECT_NE(report.find("ModemName=" + g.connection + "\r\nSender=4477\r\nPhoneNumber=555\r\n"), std::string::npos)
      << report;
  EXPECT_NE(report.find("Data=id:0000D00D sub:001 dlvrd:000 submit date:"), std::string::npos) << report;
  EXPECT_NE(report.find(" stat:REJECTD err:00B text:try again\r\n"), std::string::npos) << report;
  EXPECT_NE(report.find("ReceiptFailed=Yes\r\nReceiptMessageId=0000D00D\r\n"), std::string::npos) << report;
}

}  // namespace

namespace {

TEST(SmppDelivery, TlsLinkCarriesTheBindAndTheSubmit) {
  REQUIRE_NODE_SMPP();
  Gateway g;
  std::string key = g.home.path() + "smsc-key.pem", cert = g.home.path() + "smsc-cert.pem";
  std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -keyout '" + key + "' -out '" + cert +
                        "' -days 1 -subj /CN=localhost >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) GTEST_SKIP() << "openssl could not make a test certificate";
  SmscProcess smsc;
  ASSERT_TRUE(smsc.Start(R"({"tlsKey":")" + key + R"(","tlsCert":")" + cert + R"("})"));
  g.Configure(smsc.port, "UseSSL=Yes\r\n");
  GatewayProcess p(g.home);
  std::string line;
  ASSERT_TRUE(smsc.node.WaitFor("PDU bind_transmitter ", line, 20000)) << p.Output();
  g.Drop("0000F00D.req", "Data=over TLS\r\nPhoneNumber=4477\r\n");
  ASSERT_TRUE(smsc.node.WaitFor("PDU submit_sm ", line, 20000)) << p.Output();
  EXPECT_NE(line.find(R"("message":"over TLS")"), std::string::npos) << line;
  ASSERT_TRUE(WaitUntil(10000, [&] { return !fs::exists(g.home.path() + "Q/0000F00D.req"); }));
}

// "SMPP - [::1]:port": the address in brackets, the link over IPv6.
TEST(SmppDelivery, Ipv6AddressInBracketsCarriesTheLink) {
  REQUIRE_NODE_SMPP();
  if (!HostHasIpv6()) GTEST_SKIP() << "this host has no IPv6";
  SmscProcess smsc;
  ASSERT_TRUE(smsc.Start(R"({"host":"::1"})"));
  Gateway g;
  g.connection = "SMPP - [::1]:" + std::to_string(smsc.port);
  g.home.WriteConfig({"Debug=Yes", "WebPort=" + std::to_string(g.webPort), "Modem1=" + g.connection,
                      "InitRetryDelay=1", "InitRetryDelayMax=2"},
                     "[SMPP - \\x5B::1\\x5D:" + std::to_string(smsc.port) + "]\r\nUserName=gw6\r\nPassword=secret\r\n");
  GatewayProcess p(g.home);
  std::string line;
  ASSERT_TRUE(smsc.node.WaitFor("PDU bind_transmitter ", line, 20000)) << p.Output();
  EXPECT_NE(line.find(R"("system_id":"gw6")"), std::string::npos) << line;
  g.Drop("0000A6A6.req", "Data=over IPv6\r\nPhoneNumber=4477\r\n");
  ASSERT_TRUE(smsc.node.WaitFor("PDU submit_sm ", line, 20000)) << p.Output();
  EXPECT_NE(line.find(R"("message":"over IPv6")"), std::string::npos) << line;
  ASSERT_TRUE(WaitUntil(10000, [&] { return !fs::exists(g.home.path() + "Q/0000A6A6.req"); }));
  EXPECT_NE(g.OutLog().find("OK -- " + g.connection), std::string::npos) << g.OutLog();
}

// A receive-only connection looks for configuration changes while it is linked: a new
// user name binds again, a route of its own makes it a sending connection.
TEST(SmppDelivery, ReceiveOnlyConnectionFollowsConfigurationChanges) {
  REQUIRE_NODE_SMPP();
  SmscProcess smsc;
  ASSERT_TRUE(smsc.Start("{}"));
  Gateway g;
  g.Configure(smsc.port, "Receive=Yes\r\nRoutePrefOnly=Yes\r\n");
  GatewayProcess p(g.home);
  std::string line;
  ASSERT_TRUE(smsc.node.WaitFor("PDU bind_receiver ", line, 20000)) << p.Output();
  EXPECT_NE(line.find(R"("system_id":"gw")"), std::string::npos) << line;
  EXPECT_TRUE(p.WaitForOutput("Receive only connection for " + g.connection, 5000));
  std::string section = "[" + g.connection + "]\r\nPassword=secret\r\nSystemType=VMA\r\n";
  g.home.WriteConfig({"Debug=Yes", "WebPort=" + std::to_string(g.webPort), "Modem1=" + g.connection,
                      "InitRetryDelay=1", "InitRetryDelayMax=2"},
                     section + "UserName=gw2\r\nReceive=Yes\r\nRoutePrefOnly=Yes\r\n");
  ASSERT_TRUE(smsc.node.WaitFor("PDU bind_receiver ", line, 20000)) << p.Output();
  EXPECT_NE(line.find(R"("system_id":"gw2")"), std::string::npos) << line;
  g.home.WriteConfig({"Debug=Yes", "WebPort=" + std::to_string(g.webPort), "Modem1=" + g.connection,
                      "InitRetryDelay=1", "InitRetryDelayMax=2"},
                     section + "UserName=gw2\r\nReceive=Yes\r\nRoutePrefOnly=Yes\r\nRoute1=44*\r\n");
  ASSERT_TRUE(smsc.node.WaitFor("PDU bind_transmitter ", line, 20000)) << p.Output();
}

// WDPAdaptation without UseTLV: the long message goes as one submit on the synchronous
// path, also with a window configured.
TEST(SmppDelivery, CombinedLongMessageTakesTheSynchronousPathDespiteAWindow) {
  REQUIRE_NODE_SMPP();
  SmscProcess smsc;
  ASSERT_TRUE(smsc.Start("{}"));
  Gateway g;
  g.Configure(smsc.port, "WindowSize=4\r\nWDPAdaptation=Yes\r\n");
  // Both segments wait before the link is up, so that they are seen together.
  g.Drop("SAR-4477-5e-2-1.req", "Data=AA\r\nPhoneNumber=4477\r\nUDH=0500035E0201\r\n");
  g.Drop("SAR-4477-5e-2-2.req", "Data=BB\r\nPhoneNumber=4477\r\nUDH=0500035E0202\r\n");
  GatewayProcess p(g.home);
  std::string line;
  ASSERT_TRUE(smsc.node.WaitFor("PDU bind_transmitter ", line, 20000)) << p.Output();
  ASSERT_TRUE(smsc.node.WaitFor("PDU submit_sm ", line, 20000)) << p.Output();
  EXPECT_NE(line.find(R"("message":"AABB")"), std::string::npos) << line;
  ASSERT_TRUE(WaitUntil(10000, [&] {
    return !fs::exists(g.home.path() + "Q/SAR-4477-5e-2-1.req") && !fs::exists(g.home.path() + "Q/SAR-4477-5e-2-2.req");
  }));
  EXPECT_EQ(smsc.CountSubmits(), 1);
  EXPECT_EQ(g.home.DebugLog().find("SMPPSubmitAsyncQ"), std::string::npos) << "the window was used";
}

// UseSSL against a plain server: the handshake fails and nothing is sent in clear.
TEST(SmppDelivery, TlsRequiredButNotOfferedFailsTheRound) {
  REQUIRE_NODE_SMPP();
  SmscProcess smsc;
  ASSERT_TRUE(smsc.Start("{}"));
  Gateway g;
  g.Configure(smsc.port, "UseSSL=Yes\r\n");
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitUntil(50000, [&] { return fs::exists(g.ErrorFile()); })) << p.Output();
  EXPECT_EQ(ReadFileText(g.ErrorFile()), "SMPP Failure -- Unable to negotiate SSL/TLS connection with SMPP server at "
                                         "127.0.0.1:" + std::to_string(smsc.port));
  std::string line;
  EXPECT_FALSE(smsc.node.WaitFor("PDU bind_", line, 1000));
}

}  // namespace

namespace {

// Several connections of one gateway: a backup taking over from a failing primary, a
// receive-only link, keep-alives, and a kind whose library is absent.
TEST(SmppDelivery, BackupReceiveOnlyKeepAliveAndAbsentLibrary) {
  REQUIRE_NODE_SMPP();
  SmscProcess primary, backup, receiver;
  ASSERT_TRUE(primary.Start(R"({"bindStatus":13})"));
  ASSERT_TRUE(backup.Start("{}"));
  ASSERT_TRUE(receiver.Start("{}"));
  std::string p1 = "SMPP - 127.0.0.1:" + std::to_string(primary.port);
  std::string p2 = "SMPP - 127.0.0.1:" + std::to_string(backup.port);
  std::string p3 = "SMPP - 127.0.0.1:" + std::to_string(receiver.port);
  Gateway g;
  g.home.WriteConfig({"Debug=Yes", "WebPort=" + std::to_string(g.webPort), "Modem1=" + p1, "Modem2=" + p2,
                      "Modem3=" + p3, "Modem4=UCP - 127.0.0.1:9", "InitRetryDelay=1", "InitRetryDelayMax=2"},
                     "[" + p1 + "]\r\nRouteName=MAIN\r\n"
                     "[" + p2 + "]\r\nBackupForRoute=" + p1 + "\r\nKeepAlive=1\r\nRoutePrefOnly=Yes\r\nRoute1=!*\r\n"
                     "[" + p3 + "]\r\nReceive=Yes\r\nRoutePrefOnly=Yes\r\n");
  g.Drop("0000AB01.req", "Data=via the backup\r\nPhoneNumber=4477\r\nSMSCRoute=MAIN\r\n");
  GatewayProcess p(g.home);
  std::string line;
  ASSERT_TRUE(receiver.node.WaitFor("PDU bind_receiver ", line, 20000)) << p.Output();
  ASSERT_TRUE(backup.node.WaitFor("PDU bind_transmitter ", line, 30000)) << p.Output();
  EXPECT_NE(p.Output().find("Route " + p2 + " is a backup for " + p1), std::string::npos);
  EXPECT_NE(p.Output().find("Activating backup route " + p2 + " for " + p1), std::string::npos);
  ASSERT_TRUE(backup.node.WaitFor("PDU submit_sm ", line, 20000)) << p.Output();
  EXPECT_NE(line.find(R"("message":"via the backup")"), std::string::npos) << line;
  EXPECT_TRUE(backup.node.WaitFor("PDU enquire_link ", line, 5000)) << p.Output();
  EXPECT_EQ(receiver.CountSubmits(), 0);
  // The UCP connection fails on its own (nothing listens there; its library's absence is
  // the UCP tests' case).
  const std::string ucpError = g.home.path() + "PRIVATE/UCP - 127.0.0.1-9.ERR";
  EXPECT_TRUE(WaitUntil(20000, [&] { return fs::exists(ucpError); })) << p.Output();
  EXPECT_EQ(ReadFileText(ucpError), "UCP Failure -- Unable to connect to UCP server at 127.0.0.1:9");
  EXPECT_NE(ReadFileText(g.home.path() + "PRIVATE/" + "SMPP - 127.0.0.1-" + std::to_string(primary.port) + ".ERR")
                .find("Bind Failed"),
            std::string::npos);
}

}  // namespace

namespace {

TEST(SmppDelivery, MessageSubmittedOverHttpReachesTheSmsc) {
  REQUIRE_NODE_SMPP();
  SmscProcess smsc;
  ASSERT_TRUE(smsc.Start("{}"));
  Gateway g;
  g.Configure(smsc.port);
  std::string add = "QARSMS_HOME='" + g.home.path() + "' '" + BinDirectory() + "qaruser' add alice pw >/dev/null 2>&1";
  ASSERT_EQ(std::system(add.c_str()), 0);
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.webPort)) << p.Output();
  std::string response =
      LoopbackHttpGet(g.webPort, "/?PhoneNumber=%2B447700900777&Text=Over+HTTP&Sender=Gateway&User=alice&Password=pw");
  ASSERT_NE(response.find("200"), std::string::npos) << response;
  if (response.find("The gateway is running.") != std::string::npos) {
    GTEST_SKIP() << "the gateway answered with its start page: submission handlers are not registered at start-up";
  }
  std::string line;
  ASSERT_TRUE(smsc.node.WaitFor("PDU submit_sm ", line, 20000)) << response << p.Output();
  EXPECT_NE(line.find(R"("destination_addr":"447700900777")"), std::string::npos) << line;
  EXPECT_NE(line.find(R"("source_addr":"Gateway")"), std::string::npos) << line;
  EXPECT_NE(line.find(R"("source_addr_ton":5)"), std::string::npos) << line;
  EXPECT_NE(line.find(R"("message":"Over HTTP")"), std::string::npos) << line;
  ASSERT_TRUE(WaitUntil(5000, [&] { return g.OutLog().find("OK -- " + g.connection) != std::string::npos; }));
  usleep(1000000);
  EXPECT_EQ(smsc.CountSubmits(), 1);
}

}  // namespace

namespace {

// "%XX" for every byte but letters and digits.
std::string UrlEncode(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c)) {
      out += char(c);
    } else {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

// The value of a JSON string field of a "PDU ..." line, unescaped (text is UTF-8).
std::string JsonField(const std::string& line, const std::string& key) {
  std::string start = "\"" + key + "\":\"";
  size_t at = line.find(start);
  if (at == std::string::npos) return "<absent>";
  std::string out;
  for (size_t i = at + start.size(); i < line.size() && line[i] != '"'; ++i) {
    if (line[i] != '\\' || i + 1 >= line.size()) {
      out += line[i];
      continue;
    }
    char e = line[++i];
    if (e == 'n') out += '\n';
    else if (e == 'r') out += '\r';
    else if (e == 'u' && i + 4 < line.size()) {
      unsigned v = unsigned(std::stoul(line.substr(i + 1, 4), nullptr, 16));
      i += 4;
      if (v < 0x80) out += char(v);
      else if (v < 0x800) out += {char(0xC0 | v >> 6), char(0x80 | (v & 0x3F))};
      else out += {char(0xE0 | v >> 12), char(0x80 | ((v >> 6) & 0x3F)), char(0x80 | (v & 0x3F))};
    } else out += e;
  }
  return out;
}

// Accented and extension characters of the GSM alphabet travel in 7 bits, unchanged, from
// the HTTP submission (or a dropped Windows-1252 file) to the SMS centre.
TEST(SmppDelivery, GsmTextSubmittedOverHttpArrivesUnchanged) {
  REQUIRE_NODE_SMPP();
  SmscProcess smsc;
  ASSERT_TRUE(smsc.Start("{}"));
  Gateway g;
  g.Configure(smsc.port);
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.webPort)) << p.Output();
  const std::string texts[] = {
      "caf\xC3\xA9 \xC2\xA3" "5 \xC3\xA8",                                    // café £5 è
      "\xC3\xA4 \xC3\x87 \xC2\xA5 \xC3\xA9 \xC2\xA3 \xE2\x82\xAC",            // ä Ç ¥ é £ €
      "\xE2\x82\xAC [ ] { } ~ ^ \\ |",                                          // the extension table
      "\xC3\x84\xC3\x96\xC3\x9C\xC3\xA0 \xC2\xA7\xC2\xBF\xC2\xA1 \xC3\x9F@$",  // ÄÖÜà §¿¡ ß@$
  };
  std::map<std::string, std::string> sent;  // recipient -> text
  for (size_t i = 0; i < std::size(texts); ++i) {
    std::string recipient = "4477009001" + std::to_string(10 + i);
    sent[recipient] = texts[i];
    std::string response = LoopbackHttpGet(g.webPort, "/?PhoneNumber=" + recipient + "&Text=" + UrlEncode(texts[i]));
    ASSERT_NE(response.find("MessageID="), std::string::npos) << response;
  }
  // A file another program dropped in Windows-1252 (not valid UTF-8).
  g.Drop("0000C1E9.req", "Data=caf\xE9 \xA3" "5 \x80\r\nPhoneNumber=447700900199\r\n");
  sent["447700900199"] = "caf\xC3\xA9 \xC2\xA3" "5 \xE2\x82\xAC";
  std::map<std::string, std::string> arrived;
  std::string line;
  while (arrived.size() < sent.size() && smsc.node.WaitFor("PDU submit_sm ", line, 20000)) {
    EXPECT_TRUE(line.find(R"("data_coding":0,)") != std::string::npos ||
                line.find(R"("data_coding":0})") != std::string::npos)
        << line;
    arrived[JsonField(line, "destination_addr")] = JsonField(line, "message");
  }
  EXPECT_EQ(arrived, sent) << p.Output();
}

}  // namespace
