// Pushes and settings through the real gateway with curl: the message files it queues, the
// datagrams it sends, and the answers to bad requests.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "tests/support/child_process.h"
#include "tests/support/gateway_process.h"
#include "tests/support/test_servers.h"

namespace fs = std::filesystem;

namespace {
struct Gateway : WebGateway {
  std::string Get(const std::string& query) { return Curl({"http://127.0.0.1:" + std::to_string(port) + "/?" + query}); }
  std::string Post(const std::string& form) {
    return Curl({"--data-binary", form, "http://127.0.0.1:" + std::to_string(port) + "/"});
  }
};

std::string Line(const std::string& file, const std::string& key) {
  size_t at = file.find("\r\n" + key + "=");
  if (at == std::string::npos) return {};
  at += key.size() + 3;
  return file.substr(at, file.find("\r\n", at) - at);
}

struct QueuedCase {
  const char* name;
  std::string query;
  const char* udh;         // of the first file
  const char* dataAfterId; // the PDU after its transaction id, or its beginning
  size_t files;
};

TEST(PushE2e, QueuedPushesAndSettings) {
  Gateway g;
  g.Configure();
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  const QueuedCase kCases[] = {
      {"SL", "PhoneNumber=447700900123&WAPURL=http://www.example.com/a&WAPSL=1", "0605040B8423F0",
       "0601B002066A00850A036578616D706C652E636F6D2F610001", 1},
      {"SI", "PhoneNumber=447700900123&WAPURL=example.com&Text=Hello&WAPSIID=1&WAPSIACTION=signal-high",
       "0605040B8423F0", "0601AE02056A0045C60C036578616D706C652E636F6D0011033100080103" "48656C6C6F00" "0101", 1},
      {"advanced, 300 octets in 3 segments",
       "PhoneNumber=447700900123&WAPPUSHADV_CONTENT_TYPE=application/vnd.wap.mms-message&WAPPUSHADV_CONTENT_ENCODING=HEX&"
       "WAPPUSHADV_CONTENT=" + std::string(592, 'B'),
       "0B05040B8423F00003", "0601BE", 3},
      {"bookmark", "PhoneNumber=447700900123&WAPBookmark=wap.example.com&Text=Home", "060504C34FC002",
       "06" "2D1F2B6170706C69636174696F6E2F782D7761702D70726F762E62726F777365722D626F6F6B6D61726B730081EA"
       "01016A0045C67F01871511034" "86F6D650001871711036874" "74703A2F2F7761702E6578616D706C652E636F6D00010101", 1},
      {"browser settings", "PhoneNumber=447700900123&OTA_BEARER=GPRS&OTA_NAME=Operator&OTA_PROXY=10.0.0.1&"
       "OTA_GPRS_ACCESSPOINTNAME=internet", "060504C34FC002",
       "06" "2C1F2A6170706C69636174696F6E2F782D7761702D70726F762E62726F777365722D73657474696E67730081EA0101", 1},
      {"OMA provisioning signed with the library's MAC",
       "PhoneNumber=447700900123&OTAOMA=1&OTAOMA_NAPDEF_NAP-ADDRESS=internet&OTAPIN=1234&OTAPINTYPE=USERPIN",
       "0605040B8423F0", "062F1F2DB6918192", 1},
      {"IM settings, 2 segments", "PhoneNumber=447700900123&OTAIMPS_HOSTADDR=http://im.example.com", "0B0504C34D23F00003", "06", 2},
      {"SyncML settings", "PhoneNumber=447700900123&OTASyncML=1&OTASYNCML_HOSTADDR=sync.example.com&"
       "OTASYNCML_CONTACTS_URI=./contacts", "060504C34CC002", "06", 1},
  };
  for (const QueuedCase& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string answer = g.Get(c.query);
    ASSERT_EQ(CurlStatus(answer), "200") << answer;
    std::vector<std::string> files = g.TakeQueued();
    ASSERT_EQ(files.size(), c.files);
    EXPECT_EQ(Line(files[0], "UDH").substr(0, std::string(c.udh).size()), c.udh) << files[0];
    EXPECT_EQ(Line(files[0], "dcs"), "F5") << files[0];
    EXPECT_EQ(Line(files[0], "Binary"), "1") << files[0];
    std::string data = Line(files[0], "Data");
    ASSERT_GE(data.size(), 2u) << files[0];
    EXPECT_EQ(data.substr(2, std::string(c.dataAfterId).size()), c.dataAfterId) << files[0];
    if (c.files == 3) {
      // 128 octets a segment, one reference, numbered 1 to 3, the ports in each.
      std::string reference = Line(files[0], "UDH").substr(18, 2);
      for (size_t i = 0; i < 3; ++i) {
        std::string udh = Line(files[i], "UDH");
        EXPECT_EQ(udh, "0B05040B8423F00003" + reference + "03" + "0" + std::to_string(i + 1)) << files[i];
        EXPECT_EQ(Line(files[i], "Data").size(), i < 2 ? 256u : 2 * (300u - 256u)) << files[i];
      }
    }
  }
}

struct RefusalCase {
  const char* name;
  std::string query;
  const char* text;
};

TEST(PushE2e, BadRequestsAnswerTheirTextAndQueueNothing) {
  Gateway g;
  g.Configure();
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  const RefusalCase kCases[] = {
      {"no bearer", "PhoneNumber=1&OTA_NAME=x", "OTA_BEARER parameter missing"},
      {"bad bearer", "PhoneNumber=1&OTA_BEARER=WIFI&OTA_NAME=x", "Invalid value for OTA_BEARER:  WIFI"},
      {"proxy name", "PhoneNumber=1&OTA_BEARER=GPRS&OTA_NAME=x&OTA_PROXY=proxy.example.com",
       "OTA_PROXY (proxy.example.com) is not a valid IP address"},
      {"port", "PhoneNumber=1&OTA_BEARER=GPRS&OTA_NAME=x&OTA_PORT=0", "Invalid value for OTA_PORT:  0"},
      {"speed", "PhoneNumber=1&OTA_BEARER=GSM/CSD&OTA_NAME=x&OTA_CSD_CALLSPEED=1200",
       "Invalid value for OTA_CSD_CALLSPEED:  1200"},
      {"syncml uri", "PhoneNumber=1&OTASyncML=1&OTASYNCML_HOSTADDR=h",
       "OTASYNCML_CONTACTS_URI or OTASYNCML_CALENDAR_URI parameter required"},
      {"syncml host", "PhoneNumber=1&OTASyncML=1", "OTASYNCML_HOSTADDR parameter required"},
      {"im host", "PhoneNumber=1&OTAIMPS_NAME=x", "OTAIMPS_HOSTADDR parameter required"},
      {"stored file outside OTA", "PhoneNumber=1&OTA=../QARHUB", "OTA File Not Found"},
      {"missing stored file", "PhoneNumber=1&OTA=NONE", "OTA File Not Found"},
      {"unknown xml", "PhoneNumber=1&WAPPUSHADV_CONTENT_TYPE=text/xml&WAPPUSHADV_CONTENT_ENCODING=XML&"
       "WAPPUSHADV_CONTENT=%3Chtml/%3E", "XML Content Not Recognised"},
      {"pin type", "PhoneNumber=1&WAPPUSHADV_CONTENT_TYPE=text/plain&WAPPUSHADV_CONTENT=a&OTAPIN=1&OTAPINTYPE=X",
       "Invalid OTAPINTYPE"},
      // All or nothing: an address the datagram cannot go to stops the numbers' files too.
      {"unreachable address with a number", "PhoneNumber=447700900123,255.255.255.255&WAPURL=example.com",
       "to send the WAP push to 255.255.255.255"},
  };
  for (const RefusalCase& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string answer = g.Get(c.query);
    EXPECT_EQ(CurlStatus(answer), "400") << answer;
    EXPECT_NE(answer.find(c.text), std::string::npos) << answer;
    EXPECT_TRUE(g.TakeQueued().empty());
  }
  // The document alone: answered as XML, nothing queued, no recipient needed.
  std::string answer = g.Get("OTA_SUBMIT_VIEWXML=1&OTA_BEARER=GPRS&OTA_NAME=Operator&OTA_PROXY=10.0.0.1&"
                             "OTA_GPRS_ACCESSPOINTNAME=internet");
  EXPECT_EQ(CurlStatus(answer), "200") << answer;
  for (const char* line : {"<CHARACTERISTIC-LIST>", "<PARM NAME=\"BEARER\" VALUE=\"GPRS\"/>",
                           "<PARM NAME=\"PROXY\" VALUE=\"10.0.0.1\"/>", "<PARM NAME=\"PORT\" VALUE=\"9201\"/>",
                           "<PARM NAME=\"GPRS_ACCESSPOINTNAME\" VALUE=\"internet\"/>",
                           "<PARM NAME=\"ISP_NAME\" VALUE=\"Operator\"/>", "<CHARACTERISTIC TYPE=\"NAME\">"})
    EXPECT_NE(answer.find(std::string(line) + "\r\n"), std::string::npos) << line << "\n" << answer;
  EXPECT_TRUE(g.TakeQueued().empty());
  answer = g.Get("OTA_SUBMIT_VIEWXML=1&OTASyncML=1&OTASYNCML_HOSTADDR=h&OTASYNCML_CONTACTS_URI=c");
  EXPECT_NE(answer.find("<CTType>text/x-vcard</CTType>\r\n<CTVer>2.1</CTVer>"), std::string::npos) << answer;
  answer = g.Get("OTA_SUBMIT_VIEWXML=1&OTA_BEARER=GPRS&OTA_NAME=%3C%22%26%3E");
  EXPECT_NE(answer.find("VALUE=\"&lt;&quot;&amp;&gt;\""), std::string::npos) << answer;
}

// A recipient that is an IPv4 address gets one datagram from port 9200 to port 2948.
// A handset's push port on a loopback address of its own.
struct PushPort {
  int fd = -1;
  std::string address = "127.0.0." + std::to_string(100 + getpid() % 100);
  bool Open() {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(2948);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    return bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~PushPort() {
    if (fd >= 0) close(fd);
  }
  // A datagram from port 9200: waited for, or only one already there (wait false).
  bool Receive(std::string& pdu, bool wait = true) {
    pollfd pf{fd, POLLIN, 0};
    if (poll(&pf, 1, wait ? 5000 : 0) != 1) return false;
    char buf[2048];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n <= 2 || ntohs(from.sin_port) != 9200) return false;
    pdu.assign(buf, static_cast<size_t>(n));
    return true;
  }
};

TEST(PushE2e, DatagramForAnAddress) {
  PushPort port;
  if (!port.Open()) GTEST_SKIP() << "port 2948 of " << port.address << " is taken";
  const std::string& address = port.address;
  Gateway g;
  g.Configure();
  WriteFileText(g.home.path() + "MMSC.INI", "[MMSC]\r\n[IPNotify]\r\n447700900999=" + address + "\r\n");
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  auto receive = [&](std::string& pdu) { return port.Receive(pdu); };
  std::string answer = g.Get("PhoneNumber=" + address + "&WAPURL=http://www.example.com/a&WAPSL=1");
  EXPECT_EQ(CurlStatus(answer), "200") << answer;
  std::string pdu;
  ASSERT_TRUE(receive(pdu));
  EXPECT_EQ(pdu.substr(1), std::string("\x06\x01\xB0\x02\x06\x6A\x00\x85\x0A\x03" "example.com/a\x00\x01", 25));
  // A settings push to a number with an [IPNotify] address goes there too.
  answer = g.Get("PhoneNumber=447700900999&OTA_BEARER=GPRS&OTA_NAME=Op");
  EXPECT_EQ(CurlStatus(answer), "200") << answer;
  ASSERT_TRUE(receive(pdu));
  EXPECT_EQ(pdu.substr(1, 4), "\x06\x2C\x1F\x2A");
  EXPECT_TRUE(g.TakeQueued().empty());
}
}  // namespace

namespace {
struct PapGateway : Gateway {
  TempDir scratch;
  // POSTs body with the content type (none when empty) to path; the answer and status.
  std::string Pap(const std::string& contentType, const std::string& body, const std::string& path = "/PAP") {
    WriteFileText(scratch.path() + "body", body);
    std::vector<std::string> args = {"--data-binary", "@" + scratch.path() + "body"};
    args.push_back("-H");
    args.push_back(contentType.empty() ? "Content-Type:" : "Content-Type: " + contentType);
    args.push_back("http://127.0.0.1:" + std::to_string(port) + path);
    return Curl(args);
  }
  bool WellFormed(const std::string& answer) {
    WriteFileText(scratch.path() + "answer.xml", answer.substr(0, answer.rfind('\n')));
    return system(("xmllint --noout " + scratch.path() + "answer.xml 2>/dev/null").c_str()) == 0;
  }
};

std::string Control(const std::string& pushId, const std::vector<std::string>& addresses) {
  std::string doc = "<?xml version=\"1.0\"?>\r\n<!DOCTYPE pap PUBLIC \"-//WAPFORUM//DTD PAP 2.0//EN\" "
                    "\"http://www.wapforum.org/DTD/pap_2.0.dtd\">\r\n<pap>\r\n<push-message push-id=\"" + pushId +
                    "\">\r\n";
  for (const std::string& a : addresses) doc += "<address address-value=\"" + a + "\"/>\r\n";
  return doc + "<quality-of-service delivery-method=\"unconfirmed\"/>\r\n</push-message>\r\n</pap>\r\n";
}

std::string Multipart(const std::string& control, const std::string& contentHeaders, const std::string& content) {
  return "--B1\r\nContent-Type: application/xml\r\n\r\n" + control + "\r\n--B1\r\n" + contentHeaders + "\r\n\r\n" +
         content + "\r\n--B1--\r\n";
}

struct PapFailureCase {
  const char* name;
  std::string contentType;
  std::string body;
  const char* text;
};

// Every failure in its order, answered with the failure document, well-formed whatever
// the texts hold; nothing queued.
TEST(PushE2e, PapFailures) {
  PapGateway g;
  g.Configure();
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  std::string control = Control("id-1", {"WAPPUSH=447700900123/TYPE=PLMN@ppg.example.com"});
  std::string sl = "<sl href=\"http://www.example.com/a\"/>";
  const PapFailureCase kCases[] = {
      {"no content type", "", "x", "Unsupported or invalid Push Access Protocol (PAP) request - missing content type"},
      {"not multipart", "text/xml", "x", "Unsupported or invalid Push Access Protocol (PAP) request - request is not multipart"},
      {"no boundary", "multipart/related; type=application/xml", "x", "Multipart MIME boundary invalid or missing"},
      {"long boundary", "multipart/related; boundary=" + std::string(151, 'b'), "x",
       "Multipart MIME boundary invalid or missing"},
      {"first boundary", "multipart/related; boundary=B1", "--B2\r\n", "Invalid MIME boundary"},
      {"second boundary", "multipart/related; boundary=\"B1\"", "--B1\r\n\r\n" + control, "Closing MIME boundary not found"},
      {"no content part", "multipart/related; boundary=B1", "--B1\r\n\r\n" + control + "\r\n--B1--\r\n",
       "Push MIME content part not found"},
      {"content part not closed", "multipart/related; boundary=B1",
       "--B1\r\n\r\n" + control + "\r\n--B1\r\nContent-Type: text/vnd.wap.sl\r\n\r\n" + sl,
       "Closing MIME boundary for push content part not found"},
      {"no recipient", "multipart/related; boundary=B1", Multipart(Control("id", {}), "Content-Type: text/vnd.wap.sl", sl),
       "No valid push recipients"},
      {"no content type in the part", "multipart/related; boundary=B1",
       Multipart(control, "X-Wap-Application-Id: x-wap-application:wml.ua", sl), "Invalid push content"},
      {"unknown document", "multipart/related; boundary=B1",
       Multipart(control, "Content-Type: text/vnd.wap.si", "<html/>"), "XML Content Not Recognised"},
  };
  for (const PapFailureCase& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string answer = g.Pap(c.contentType, c.body);
    EXPECT_EQ(CurlStatus(answer), "200") << answer;
    EXPECT_EQ(answer.substr(0, answer.rfind('\n')),
              std::string("<pap>\r\n<badmessage-response code=\"2000\" desc=\"") + c.text + "\"/>\r\n</pap>\r\n");
    EXPECT_TRUE(g.WellFormed(answer)) << answer;
    EXPECT_TRUE(g.TakeQueued().empty());
  }
}

TEST(PushE2e, PapAccepted) {
  PapGateway g;
  g.Configure();
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  std::string hostile = "a&quot;&lt;b&gt;&amp;'";
  std::string body = Multipart(Control(hostile, {"WAPPUSH=447700900123/TYPE=PLMN@ppg.example.com", "447700900124"}),
                               "Content-Type: text/vnd.wap.sl\r\nX-Wap-Application-Id: x-wap-application:wml.ua",
                               "<sl href=\"http://www.example.com/a\"/>");
  std::string answer = g.Pap("multipart/related; boundary=B1; type=\"application/xml\"", body, "/ppg");
  EXPECT_EQ(CurlStatus(answer), "202") << answer;
  EXPECT_TRUE(g.WellFormed(answer)) << answer;
  EXPECT_NE(answer.find("<push-response push-id=\"a&quot;&lt;b&gt;&amp;&apos;\">"), std::string::npos) << answer;
  std::vector<std::string> files = g.TakeQueued();
  ASSERT_EQ(files.size(), 2u);
  std::vector<std::string> numbers;
  for (const std::string& f : files) {
    EXPECT_EQ(Line(f, "UDH"), "0605040B8423F0") << f;
    EXPECT_EQ(Line(f, "Binary"), "1") << f;
    EXPECT_EQ(Line(f, "Data").substr(2), "0603B0AF8202066A00850A036578616D706C652E636F6D2F610001") << f;
    numbers.push_back(Line(f, "PhoneNumber"));
  }
  std::sort(numbers.begin(), numbers.end());
  EXPECT_EQ(numbers, (std::vector<std::string>{"447700900123", "447700900124"}));
  std::string webLog;
  for (const std::string& f : FilesUnder(g.home.path() + "LOGS"))
    if (f.find("SMSWEB") != std::string::npos) webLog += ReadFileText(f);
  size_t lines = 0;
  for (size_t at = 0; (at = webLog.find(",WAPPPG\r\n", at)) != std::string::npos; ++at) ++lines;
  EXPECT_EQ(lines, 2u) << webLog;
}
}  // namespace

namespace {
// Kannel's push initiator gets our 202 and the push is queued.
TEST(PushE2e, KannelPushInitiator) {
  const std::string tool = "/usr/lib/kannel/test/test_ppg";
  if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << "kannel-extras is not installed";
  PapGateway g;
  g.Configure();
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  WriteFileText(g.scratch.path() + "content.xml",
                "<?xml version=\"1.0\"?>\n<!DOCTYPE sl PUBLIC \"-//WAPFORUM//DTD SL 1.0//EN\" "
                "\"http://www.wapforum.org/DTD/sl.dtd\">\n<sl href=\"http://www.example.com/a\"/>\n");
  WriteFileText(g.scratch.path() + "pap.xml", Control("kannel-1", {"WAPPUSH=447700900125/TYPE=PLMN@ppg.example.com"}));
  ChildProcess ppg;
  // Its log goes to standard error.
  ASSERT_TRUE(ppg.Start({"sh", "-c", "exec \"$0\" \"$@\" 2>&1", tool, "-c", "sl", "http://127.0.0.1:" + std::to_string(g.port) + "/PAP",
                         g.scratch.path() + "content.xml", g.scratch.path() + "pap.xml"}));
  std::string line, log;
  bool response = false;
  while (ppg.ReadLine(line, 15000)) {
    log += line + "\n";
    response = response || line.find("push response") != std::string::npos;
  }
  ppg.Stop(1000);
  EXPECT_TRUE(response) << log;
  std::vector<std::string> files = g.TakeQueued();
  ASSERT_EQ(files.size(), 1u) << log;
  EXPECT_EQ(Line(files[0], "PhoneNumber"), "447700900125");
  EXPECT_NE(Line(files[0], "Data").find("02066A00850A036578616D706C652E636F6D2F610001"), std::string::npos) << files[0];
}
}  // namespace

namespace {
// Web logins required, and the account bob (password pw) with a balance in thousandths.
bool ConfigureAccount(PapGateway& g, int64_t thousandths, std::vector<std::string> lines = {}) {
  lines.insert(lines.begin(), "WebAuth=Yes");
  g.Configure(lines);
  GatewayProcess tool(g.home, "qaruser", {"add", "bob", "pw"});
  int code = -1;
  if (!tool.WaitExit(10000, code) || code != 0) return false;
  WriteFileText(g.home.path() + "USERS/bob/SMS.CTR", std::string(reinterpret_cast<const char*>(&thousandths), 8));
  return true;
}

// A push, a settings push and a PAP request over the account's credit are refused, and
// nothing is queued; within it they are charged per segment.
TEST(PushE2e, CreditRefusals) {
  PapGateway g;
  ASSERT_TRUE(ConfigureAccount(g, 2500));
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  std::string base = "http://127.0.0.1:" + std::to_string(g.port) + "/?";
  // Three segments for 2.5 credits.
  std::string answer = Curl({"-u", "bob:pw", base + "PhoneNumber=447700900123&WAPPUSHADV_CONTENT_TYPE="
                                                    "application/vnd.wap.mms-message&WAPPUSHADV_CONTENT_ENCODING=HEX&"
                                                    "WAPPUSHADV_CONTENT=" + std::string(592, 'B')});
  EXPECT_EQ(CurlStatus(answer), "403") << answer;
  EXPECT_NE(answer.find("credit limit exceeded"), std::string::npos) << answer;
  EXPECT_TRUE(g.TakeQueued().empty());
  // One SI and one settings push fit: 0.5 left.
  answer = Curl({"-u", "bob:pw", base + "PhoneNumber=447700900123&WAPURL=example.com&Text=Hi"});
  EXPECT_EQ(CurlStatus(answer), "200") << answer;
  answer = Curl({"-u", "bob:pw", base + "PhoneNumber=447700900123&OTA_BEARER=GPRS&OTA_NAME=Op"});
  EXPECT_EQ(CurlStatus(answer), "200") << answer;
  EXPECT_EQ(g.TakeQueued().size(), 2u);
  answer = Curl({"-u", "bob:pw", base + "PhoneNumber=447700900123&OTA_BEARER=GPRS&OTA_NAME=Op"});
  EXPECT_EQ(CurlStatus(answer), "403") << answer;
  EXPECT_TRUE(g.TakeQueued().empty());
  // The PAP request is answered with the refusal as a bad message.
  WriteFileText(g.scratch.path() + "body",
                Multipart(Control("c1", {"447700900123"}), "Content-Type: text/vnd.wap.sl", "<sl href=\"http://a\"/>"));
  answer = Curl({"-u", "bob:pw", "--data-binary", "@" + g.scratch.path() + "body", "-H",
                 "Content-Type: multipart/related; boundary=B1", "http://127.0.0.1:" + std::to_string(g.port) + "/PAP"});
  EXPECT_EQ(CurlStatus(answer), "200") << answer;
  EXPECT_NE(answer.find("<badmessage-response code=\"2000\" desc=\"Account bob:  credit limit exceeded.\"/>"),
            std::string::npos)
      << answer;
  EXPECT_TRUE(g.TakeQueued().empty());
}

// A datagram costs one part whatever the size of the push, like a one-part message, and an
// account without the credit for it sends nothing.
TEST(PushE2e, DatagramsAreCharged) {
  PushPort port;
  if (!port.Open()) GTEST_SKIP() << "port 2948 of " << port.address << " is taken";
  PapGateway g;
  ASSERT_TRUE(ConfigureAccount(g, 3500));
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  std::string base = "http://127.0.0.1:" + std::to_string(g.port) + "/?";
  struct Step {
    const char* name;
    std::string query;
    const char* status;
    bool datagram;
    size_t files;
  };
  const Step kSteps[] = {
      {"296 octets (3 segments by SMS) to the address: 1 of 3.5", "PhoneNumber=" + port.address +
           "&WAPPUSHADV_CONTENT_TYPE=application/vnd.wap.mms-message&WAPPUSHADV_CONTENT_ENCODING=HEX&"
           "WAPPUSHADV_CONTENT=" + std::string(592, 'B'), "200", true, 0},
      {"the address and a number: 2 of 2.5", "PhoneNumber=447700900123," + port.address + "&WAPURL=example.com",
       "200", true, 1},
      {"the address with 0.5 left", "PhoneNumber=" + port.address + "&WAPURL=example.com", "403", false, 0},
      {"a number and the address with 0.5 left", "PhoneNumber=" + port.address + ",447700900123&WAPURL=example.com",
       "403", false, 0},
  };
  for (const Step& step : kSteps) {
    SCOPED_TRACE(step.name);
    std::string answer = Curl({"-u", "bob:pw", base + step.query});
    EXPECT_EQ(CurlStatus(answer), step.status) << answer;
    if (std::string(step.status) == "403")
      EXPECT_NE(answer.find("credit limit exceeded"), std::string::npos) << answer;
    // The datagram leaves before the answer: it is there now or never.
    std::string pdu;
    EXPECT_EQ(port.Receive(pdu, false), step.datagram);
    EXPECT_EQ(g.TakeQueued().size(), step.files);
  }
}

// The pre-authorisation callback is asked about datagram recipients too, each one part:
// its refusal sends nothing, and a datagram sent is noticed like a message file.
TEST(PushE2e, DatagramsArePreAuthorised) {
  PushPort port;
  if (!port.Open()) GTEST_SKIP() << "port 2948 of " << port.address << " is taken";
  std::atomic<bool> deny{true};
  ScriptedServer callback([&](const std::string& request, int, int) {
    bool refuse = deny.load() && request.find("To=" + port.address) != std::string::npos;
    std::string body = refuse ? "SMPPErrorCode=0x45" : "OK";
    return ScriptedReply{"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body};
  });
  PapGateway g;
  ASSERT_TRUE(ConfigureAccount(g, 100000, {"SMSAccountingURL=http://127.0.0.1:" + std::to_string(callback.port()) +
                                               "/cb", "SMSAccountingPreAuthPerRecip=Yes", "AccountingKeepAlive=No"}));
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  std::string base = "http://127.0.0.1:" + std::to_string(g.port) + "/?";
  struct Step {
    std::string recipients;
    std::string content;
    std::vector<std::string> asked;  // the recipients and part counts the callback was asked about
    bool refused;
    size_t files;
    std::vector<std::string> noticed;  // what the notices after it hold, in order
  };
  const std::string big = "WAPPUSHADV_CONTENT_TYPE=application/vnd.wap.mms-message&WAPPUSHADV_CONTENT_ENCODING=HEX&"
                          "WAPPUSHADV_CONTENT=" + std::string(592, 'B');
  const std::string datagramNotice = "&To=" + port.address + "&MessageID=UDP&";
  const Step kSteps[] = {
      {port.address, "WAPURL=example.com", {"&To=" + port.address + "&MsgCount=1&"}, true, 0, {}},
      {"447700900123", big, {"&To=447700900123&MsgCount=3&"}, false, 3, {"&To=447700900123&", "&To=447700900123&",
                                                                           "&To=447700900123&"}},
      {"447700900123," + port.address, big, {"&To=447700900123&MsgCount=3&", "&To=" + port.address + "&MsgCount=1&"},
       true, 0, {}},
      // Allowed now: one datagram, noticed with the whole push and its port header.
      {port.address, "WAPURL=example.com", {"&To=" + port.address + "&MsgCount=1&"}, false, 0,
       {datagramNotice + "SubmitIP=127.0.0.1&Binary=1&DCS=F5&UDH=0605040B8423F0&Data="}},
  };
  size_t seen = 0;
  for (const Step& step : kSteps) {
    SCOPED_TRACE(step.recipients);
    deny = step.refused;
    std::string answer = Curl({"-u", "bob:pw", base + "PhoneNumber=" + step.recipients + "&" + step.content});
    if (step.refused)
      EXPECT_NE(answer.find("Request rejected by accounting callback"), std::string::npos) << answer;
    else
      EXPECT_EQ(CurlStatus(answer), "200") << answer;
    std::string pdu;
    EXPECT_EQ(port.Receive(pdu, false), !step.refused && step.files == 0);
    EXPECT_EQ(g.TakeQueued().size(), step.files);
    std::vector<std::string> asked, noticed;
    std::vector<std::string> requests = callback.Requests();
    for (size_t i = seen; i < requests.size(); ++i)
      (requests[i].find("PreAuth=Yes") != std::string::npos ? asked : noticed).push_back(requests[i]);
    seen = requests.size();
    ASSERT_EQ(asked.size(), step.asked.size());
    for (size_t i = 0; i < asked.size(); ++i) EXPECT_NE(asked[i].find(step.asked[i]), std::string::npos) << asked[i];
    ASSERT_EQ(noticed.size(), step.noticed.size());
    for (size_t i = 0; i < noticed.size(); ++i)
      EXPECT_NE(noticed[i].find(step.noticed[i]), std::string::npos) << noticed[i];
  }
}
}  // namespace
