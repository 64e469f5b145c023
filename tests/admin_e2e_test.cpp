// End-to-end: the administration pages, the status documents and provisioning of the real
// qargate, driven by curl and checked with xmllint, promtool and a headless browser.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "outside/qarvault/qarvault.h"
#include "runtime/file_io.h"
#include "runtime/process_runner.h"
#include "tests/support/data_folder.h"
#include "tests/support/gateway_process.h"
#include "tests/support/sped_up_clock.h"

namespace {
// "secret" as AdminPassword stores it.
constexpr const char* kScrambledSecret = "GWOUONLUJKPU";

// Runs a command line of fixed test text (no outside input), its output into a file.
int Shell(const std::string& command, std::string& output) {
  GatewayHome scratch;
  std::string file = scratch.path() + "shell.out";
  int rc = system(("(" + command + ") > '" + file + "' 2>&1").c_str());
  output = ReadFileText(file);
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

void WriteScript(const std::string& path, const std::string& body) {
  WriteFileText(path, "#!/bin/sh\n" + body);
  chmod(path.c_str(), 0755);
}

struct AdminSite : WebGateway {
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }
  void Start(std::vector<std::string> lines, const std::string& extra = "", const std::vector<std::string>& env = {}) {
    lines.insert(lines.end(), {"AdminUser=admin", std::string("AdminPassword=") + kScrambledSecret,
                               "AdminPasswordDelete=Remover", "AdminIPAddressList=127.0.0.1"});
    Configure(lines, extra);
    process = std::make_unique<GatewayProcess>(home, "qargate", std::vector<std::string>{}, env);
    ASSERT_TRUE(WaitReady(*process, port)) << process->Output();
  }
  std::string Get(const std::string& path, const std::vector<std::string>& extra = {"-u", "admin:secret"}) const {
    std::vector<std::string> args{"-i", "--path-as-is"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(Url(path));
    return Curl(args);
  }
  std::string Ini() const { return ReadFileText(home.path() + "QARHUB.INI"); }
  std::unique_ptr<GatewayProcess> process;
};

TEST(AdminE2E, PagesAnswersAndRefusals) {
  AdminSite site;
  std::string dir = site.home.path();
  WriteScript(dir + "args.sh", "for a in \"$@\"; do echo \"[$a]\"; done\n");
  WriteScript(dir + "stdin.sh", "cat\n");
  WriteScript(dir + "html.sh", "echo '<html><body>made</body></html>'\n");
  site.Start({"Modem1=HTTP - 127.0.0.1:1"}, "[AdminCommands]\r\nargs=" + dir + "args.sh\r\nstdin=" + dir +
                                                "stdin.sh\r\nhtml=" + dir + "html.sh\r\ngone=" + dir + "gone.sh\r\n");
  ASSERT_TRUE(WaitUntil(20000, [&] { return FileExists(dir + "PRIVATE/HTTP - 127.0.0.1-1.ERR"); }));
  const std::vector<std::string> admin{"-u", "admin:secret"};
  struct Case {
    const char* what;
    std::string path;
    std::vector<std::string> extra;
    std::string status;
    std::vector<std::string> contains;
  } cases[] = {
      {"no credentials", "/ADMIN/STATUS", {}, "401",
       {"HTTP/1.0 401 Auth Required\r\nWWW-Authenticate: Basic realm=\"QarSMS Administration\"\r\n"}},
      {"wrong password", "/ADMIN/STATUS", {"-u", "admin:wrong"}, "401", {"Auth Required"}},
      {"the scrambled form is no password", "/ADMIN/STATUS", {"-u", std::string("admin:") + kScrambledSecret}, "401", {}},
      {"another user", "/ADMIN/STATUS", {"-u", "root:secret"}, "401", {}},
      {"second password", "/ADMIN/STATUS", {"-u", "ADMIN:remover"}, "200", {"QarSMS Status"}},
      {"parameters", "/ADMIN/STATUS?User=admin&Password=secret", {}, "200", {"QarSMS Status"}},
      {"refused address", "/ADMIN/STATUS", {"--interface", "127.0.0.2", "-u", "admin:secret"}, "403",
       {"HTTP/1.0 403 Forbidden", "ERROR:  Connection not allowed from 127.0.0.2."}},
      {"provisioning from a refused address", "/PROVISION?Type=SDKLink", {"--interface", "127.0.0.2"}, "403", {}},
      {"index", "/ADMIN", admin, "200", {"HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n", "AdminSelectOption"}},
      {"status with a query", "/ADMIN/STATUS?refresh=1", admin, "200",
       {"Cache-Control: must-revalidate", "HTTP - 127.0.0.1:1 : HTTP Failure", "<td class=\"name\">HTTP - 127.0.0.1:1</td>",
        "ERROR:  Service is NOT Installed", "<span id=\"smsqcount\">Empty</span>"}},
      {"XML status", "/ADMIN/XMLSTATUS", admin, "200",
       {"Content-Type: application/xml", "<Name>HTTP - 127.0.0.1:1</Name>\r\n<Status>ERROR</Status>\r\n<StatusDetail>",
        "<SMSOUTQ>0</SMSOUTQ>", "<SMSRetried>"}},
      {"JSON status", "/ADMIN/STATUS.json", admin, "200", {"application/json", "\"name\":\"HTTP - 127.0.0.1:1\""}},
      {"metrics", "/ADMIN/metrics", admin, "200",
       {"qarsms_connection_up{connection=\"HTTP - 127.0.0.1:1\",number=\"1\"} 0", "qarsms_process_start_time_seconds "}},
      {"metrics need the login too", "/ADMIN/metrics", {}, "401", {}},
      {"static file", "/ADMIN/admin.css", admin, "200", {"Content-Type: text/css\r\nContent-Length: "}},
      {"dot-dot", "/ADMIN/../QARHUB.INI", admin, "404", {}},
      {"encoded dot-dot", "/ADMIN/%2e%2e/QARHUB.INI", admin, "404", {}},
      {"backslash", "/ADMIN/..%5cQARHUB.INI", admin, "404", {}},
      {"raw backslash", "/ADMIN/..\\QARHUB.INI", admin, "404", {}},
      {"absolute", "/ADMIN/%2fetc%2fpasswd", admin, "404", {}},
      {"private data", "/ADMIN/../PRIVATE/LOCALSYSTEM.KEY", admin, "404", {}},
      {"log list", "/ADMIN/LOGFILES", admin, "200", {"LogFile=SMSDEBUG.LOG\">SMSDEBUG.LOG</a>"}},
      {"log download", "/ADMIN/LOGFILES?LogFile=SMSDEBUG.LOG", admin, "200",
       {"Content-Type: text/plain\r\nContent-Length: ", "Web server started"}},
      {"log outside", "/ADMIN/LOGFILES?LogFile=../QARHUB.INI", admin, "404", {}},
      {"log that is no log", "/ADMIN/LOGFILES?LogFile=QARHUB.INI", admin, "404", {}},
      {"command arguments, never a shell", "/ADMIN/args?CmdLine=one%20%22two%20three%22%3Becho%20%24HOME", admin, "200",
       {"Content-Type: text/plain", "[one]\n[two three;echo]\n[$HOME]\n"}},
      {"command input", "/ADMIN/stdin?StdIn=hello%0Aworld", admin, "200", {"hello\nworld"}},
      {"command output type", "/ADMIN/html?x=1", admin, "200", {"Content-Type: text/html", "made"}},
      {"command without its program", "/ADMIN/gone?x=1", admin, "404", {}},
      {"command name without a query is a static file", "/ADMIN/args", admin, "404", {}},
      {"ADMINISTRATOR is a static lookup", "/ADMINISTRATOR", admin, "404", {}},
  };
  for (const Case& c : cases) {
    std::string out = site.Get(c.path, c.extra);
    EXPECT_EQ(CurlStatus(out), c.status) << c.what << "\n" << out;
    for (const std::string& text : c.contains) EXPECT_NE(out.find(text), std::string::npos) << c.what << ": " << text << "\n" << out;
  }
  // The index form's choices.
  std::string status = Curl({"-i", "-u", "admin:secret", "-d", "AdminSelectOption=Go&AdminOption=Status", site.Url("/ADMIN")});
  EXPECT_NE(status.find("QarSMS Status"), std::string::npos) << status;
  std::string chgpass = Curl({"-i", "-u", "admin:secret", "-d", "AdminSelectOption.x=3&AdminOption=ChgPass", site.Url("/ADMIN")});
  EXPECT_EQ(chgpass, "\n000");  // closed without an answer
  std::string log = site.home.DebugLog();
  EXPECT_NE(log.find("AdminOption=ChgPass"), std::string::npos);
  EXPECT_NE(log.find("Connection not allowed from 127.0.0.2..."), std::string::npos);
  EXPECT_EQ(log.find("secret"), std::string::npos);
  // A template the operator removed.
  ASSERT_EQ(unlink((dir + "WEBADMIN/LOGFILES.HTM").c_str()), 0);
  std::string missing = site.Get("/ADMIN/LOGFILES");
  EXPECT_EQ(missing, "HTTP/1.0 404 File Not Found\r\n\r\n\n404") << missing;
  // No temporary command file is left.
  std::string listing;
  Shell("ls '" + dir + "PRIVATE'", listing);
  EXPECT_EQ(listing.find(".tmp"), std::string::npos) << listing;
}

TEST(AdminE2E, EmptyAdminUserRefusesEveryone) {
  AdminSite site;
  site.Configure({"AdminUser=", std::string("AdminPassword=") + kScrambledSecret, "AdminPasswordModify=x"});
  GatewayProcess p(site.home);
  ASSERT_TRUE(WaitReady(p, site.port)) << p.Output();
  for (const char* credentials : {"admin:secret", ":secret", ":x", ":"}) {
    EXPECT_EQ(CurlStatus(site.Get("/ADMIN/STATUS", {"-u", credentials})), "401") << credentials;
  }
}

TEST(AdminE2E, AnAddressListThatDoesNotParseAllowsNobody) {
  AdminSite site;
  site.Configure({"AdminUser=admin", std::string("AdminPassword=") + kScrambledSecret, "AdminIPAddressList=localhost;x.y"});
  GatewayProcess p(site.home);
  ASSERT_TRUE(WaitReady(p, site.port)) << p.Output();
  for (const char* path : {"/ADMIN", "/ADMIN/XMLSTATUS", "/PROVISION?Type=SDKLink"}) {
    std::string out = site.Get(path);
    EXPECT_EQ(CurlStatus(out), "403") << path;
    EXPECT_NE(out.find("ERROR:  Connection not allowed from 127.0.0.1."), std::string::npos) << out;
  }
}

TEST(AdminE2E, StatusDocumentsStayWellFormedForHostileNames) {
  AdminSite site;
  // Names and error texts with markup, quotes, line ends and a byte that is no UTF-8.
  site.Start({"Modem1=HTTP - a<b>&\"c\"'d:1", "Modem3=HTTP - caf\xe9:1"});
  std::string dir = site.home.path();
  ASSERT_TRUE(WaitUntil(20000, [&] { return FileExists(dir + "PRIVATE/HTTP - caf\xe9-1.ERR"); }));
  std::string xml = site.Get("/ADMIN/XMLSTATUS");
  ASSERT_EQ(CurlStatus(xml), "200") << xml;
  xml = xml.substr(xml.find("\r\n\r\n") + 4);
  xml = xml.substr(0, xml.rfind('\n'));
  EXPECT_NE(xml.find("<Name>HTTP - a&lt;b&gt;&amp;&quot;c&quot;&apos;d:1</Name>"), std::string::npos) << xml;
  WriteFileText(dir + "status.xml", xml);
  std::string output;
  EXPECT_EQ(Shell("xmllint --noout '" + dir + "status.xml'", output), 0) << output << xml;

  std::string metrics = site.Get("/ADMIN/metrics");
  metrics = metrics.substr(metrics.find("\r\n\r\n") + 4);
  metrics = metrics.substr(0, metrics.rfind('\n'));
  WriteFileText(dir + "metrics.txt", metrics);
  EXPECT_EQ(Shell("promtool check metrics < '" + dir + "metrics.txt'", output), 0) << output << metrics;
  EXPECT_NE(metrics.find("qarsms_connection_up{connection=\"HTTP - a<b>&\\\"c\\\"'d:1\",number=\"1\"} 0"), std::string::npos)
      << metrics;

  std::string json = site.Get("/ADMIN/STATUS.json");
  json = json.substr(json.find("\r\n\r\n") + 4);
  json = json.substr(0, json.rfind('\n'));
  WriteFileText(dir + "status.json", json);
  EXPECT_EQ(Shell("python3 -m json.tool '" + dir + "status.json'", output), 0) << output << json;

  // The status page as a browser builds it: both connections in the table, with counts.
  std::string dom;
  int rc = Shell("timeout 60 chromium --headless --no-sandbox --disable-gpu --user-data-dir='" + dir +
                     "chromium' --dump-dom '" + site.Url("/ADMIN/STATUS?User=admin&Password=secret") + "'",
                 dom);
  ASSERT_EQ(rc, 0) << dom;
  EXPECT_NE(dom.find("<td class=\"name\">HTTP - a&lt;b&gt;&amp;\"c\"'d:1</td>"), std::string::npos) << dom;
  EXPECT_NE(dom.find("<td class=\"name\">HTTP - caf\xEF\xBF\xBD:1</td>"), std::string::npos) << dom;
  EXPECT_NE(dom.find("<td class=\"today\">0</td>"), std::string::npos) << dom;
  EXPECT_EQ(dom.find("<b>"), std::string::npos) << dom;  // the name's markup stayed text
  std::string shot = dir + "status.png";
  rc = Shell("timeout 60 chromium --headless --no-sandbox --disable-gpu --user-data-dir='" + dir +
                 "chromium' --window-size=1024,768 --screenshot='" + shot + "' '" +
                 site.Url("/ADMIN/STATUS?User=admin&Password=secret") + "'",
             output);
  ASSERT_EQ(rc, 0) << output;
  std::string png = ReadFileText(shot);
  EXPECT_GT(png.size(), 1000u);
  EXPECT_EQ(png.substr(0, 4), "\x89PNG");
}

// A submission counted once, seen alike in the XML, the JSON and the metrics.
TEST(AdminE2E, FiguresOfOneGatheringAgree) {
  AdminSite site;
  site.Start({"Modem1=HTTP - 127.0.0.1:1"});
  std::string added = Curl({"-u", "admin:secret", site.Url("/PROVISION?Type=SMS&AdminAction=Add&Name=alice&Password=pw")});
  ASSERT_EQ(added, "OK\r\n\n200");
  std::string submitted = Curl({site.Url("/?PhoneNumber=4477001&Text=counted&User=alice&Password=pw")});
  ASSERT_EQ(CurlStatus(submitted), "200") << submitted;
  std::string xml = Curl({"-u", "admin:secret", site.Url("/ADMIN/XMLSTATUS")});
  std::string json = Curl({"-u", "admin:secret", site.Url("/ADMIN/STATUS.json")});
  std::string metrics = Curl({"-u", "admin:secret", site.Url("/ADMIN/metrics")});
  EXPECT_NE(xml.find("<SMSSubmitted>\r\n<MessagesToday>1</MessagesToday>\r\n<MessagesLast7Days>1</MessagesLast7Days>\r\n"
                     "<MessagesLast30Days>1</MessagesLast30Days>"),
            std::string::npos) << xml;
  EXPECT_NE(xml.find("<SMSOUTQ>1</SMSOUTQ>"), std::string::npos) << xml;
  EXPECT_NE(json.find("\"smsOut\":1,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"smsSubmitted\":{\"today\":1,\"last7Days\":1,\"last30Days\":1}"), std::string::npos) << json;
  EXPECT_NE(metrics.find("qarsms_messages_submitted_total 1\n"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("qarsms_queue_messages{queue=\"sms_out\"} 1\n"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("qarsms_smpp_server_up 0\n"), std::string::npos) << metrics;
  EXPECT_EQ(xml.find("<SMPPClientList>"), std::string::npos) << xml;  // no SMPP server: no list
}

// The account store as the gateway left it.
struct StoredAccount {
  bool found = false;
  SMSUserRecord record{};
};
StoredAccount ReadAccount(const std::string& home, const std::string& name) {
  BindDataFolder(home);
  StoredAccount a;
  SMSUserFile* h = nullptr;
  if (SMSOpenUserFile(&h, SMS_USER_READ) == 0 || h == nullptr) return a;
  a.found = SMSFindUserRecord(h, name.c_str(), &a.record) != 0;
  SMSCloseUserFile(h);
  return a;
}

// The balance in thousandths; -1 when the account keeps none.
int64_t StoredBalance(const std::string& home, const std::string& name) {
  std::ifstream in(home + "USERS/" + name + "/SMS.CTR", std::ios::binary);
  if (!in) return -1;
  int64_t value = 0;
  in.read(reinterpret_cast<char*>(&value), 8);
  return value;
}

TEST(AdminE2E, ProvisioningOfAccountsAndLinks) {
  AdminSite site;
  site.Start({"SDKLinkEnabled=Yes", "AdminPasswordModify=Changer"});
  std::string home = site.home.path();
  auto provision = [&](const std::string& query, const std::vector<std::string>& extra = {"-u", "admin:secret"}) {
    std::vector<std::string> args = extra;
    args.push_back(site.Url("/PROVISION?" + query));
    return Curl(args);
  };
  struct Step {
    const char* what;
    std::string query;
    std::string answer;  // body and status
  } steps[] = {
      {"add", "Type=SMS&AdminAction=Add&Name=alice&Password=pw1&FullName=Alice%20A&EnableSmppLogin=Yes&MessageLimitPerDay=10"
              "&MessageLimitPerMonth=200&WebOptions=TextOnly&ForcedSenderAddress=4400&RestrictIPAddress=127.0.0.*"
              "&RecipientAddresses=4477*,4478*&EnableCreditBalance=Yes&CreditsToAdd=12.5",
       "OK\r\n\n200"},
      {"add again", "Type=SMS&AdminAction=Add&Name=ALICE", "ERROR\r\nUserName ALICE already defined\r\n\n200"},
      {"credits only", "Type=SMS&AdminAction=Modify&Name=alice&CreditsToAdd=1.25", "OK\r\nCredits=13.75\r\n\n200"},
      {"one limit alone changes none", "Type=SMS&AdminAction=Modify&Name=alice&MessageLimitPerDay=99",
       "OK\r\nCredits=13.75\r\n\n200"},
      {"check", "Type=SMSUser&AdminAction=CreditCheck&Name=alice", "OK\r\nCredits=13.75\r\n\n200"},
      {"no name", "Type=SMS&AdminAction=Add", "ERROR\r\nNo UserName specified\r\n\n200"},
      {"no action", "Type=SMS&Name=alice", "ERROR\r\nUnsupported request (invalid or missing AdminAction)\r\n\n200"},
      {"no type", "AdminAction=Add&Name=x", "ERROR\r\nUnsupported request (no Type parameter)\r\n\n200"},
      {"add bob", "Type=SMS&AdminAction=Add&UserName=bob&Password=pw2", "OK\r\n\n200"},
      {"bob has no balance", "Type=SMS&AdminAction=CreditCheck&Name=bob", "OK\r\nCredit Balance not Enabled\r\n\n200"},
      {"delete bob", "Type=SMS&AdminAction=Delete&Name=bob", "OK\r\n\n200"},
      {"delete unknown", "Type=SMS&AdminAction=Delete&Name=nobody", "OK\r\n\n200"},
      {"link from the caller", "Type=SDKLink&Action=Add&PhoneNumber=%2B4470001", "OK\r\n\n200"},
      {"link given", "Type=SDKLink&Action=Modify&PhoneNumber=4470002&IPAddress=10.0.0.5&IPPort=9000", "OK\r\n\n200"},
      {"link in one value", "Type=SDKLink&Action=Add&PhoneNumber=4470003&IPAddress=10.0.0.6:9001", "OK\r\n\n200"},
      {"link deleted", "Type=SDKLink&Action=Delete&PhoneNumber=4470003", "OK\r\n\n200"},
      {"link without number", "Type=SDKLink&Action=Add", "ERROR\r\nMissing PhoneNumber in request\r\n\n200"},
      {"link without action", "Type=SDKLink&PhoneNumber=1", "ERROR\r\nUnsupported request (invalid or missing Action)\r\n\n200"},
      {"subscriber", "Type=MMS&AdminAction=Add&PhoneNumber=447000123456&Name=sub&Password=p&FullName=Sub",
       "OK\r\n\n200"},
      {"subscriber again", "Type=MMS&AdminAction=Add&PhoneNumber=447000123456",
       "ERROR\r\nPhoneNumber 447000123456 already defined\r\n\n200"},
      {"alias taken", "Type=MMSUser&AdminAction=Add&PhoneNumber=447000999&Name=SUB", "ERROR\r\nName SUB already defined\r\n\n200"},
      {"subscriber without number", "Type=MMS&AdminAction=Add", "ERROR\r\nNo PhoneNumber specified\r\n\n200"},
      {"subscriber number with a path", "Type=MMS&AdminAction=Add&PhoneNumber=..%2F1", "ERROR\r\nInvalid PhoneNumber ../1\r\n\n200"},
      {"subscriber without action", "Type=MMS&PhoneNumber=1", "ERROR\r\nUnsupported request (invalid or missing AdminAction)\r\n\n200"},
  };
  for (const Step& s : steps) EXPECT_EQ(provision(s.query), s.answer) << s.what;

  // A subscriber's e-mail forwarding flag, as the store keeps it (read by Python's sqlite3).
  auto forwarding = [&](const std::string& number) {
    ProcessOptions out;
    out.stdoutPath = home + "forwarding.txt";
    out.stderrToStdout = true;
    RunProcess({"python3", "-c",
                "import sqlite3, sys\n"
                "row = sqlite3.connect(sys.argv[1]).execute("
                "'SELECT email_forwarding FROM mmsc_user WHERE phone_number = ?', (sys.argv[2],)).fetchone()\n"
                "print(row[0] if row else 'none')\n",
                home + "MMSCDATA/MMSCUSERS.DB", number},
               out);
    return ReadFileText(out.stdoutPath);
  };
  EXPECT_EQ(forwarding("447000123456"), "0\n");
  EXPECT_EQ(provision("Type=MMS&AdminAction=Add&PhoneNumber=4470010&Name=fwd&EMailForwarding=Yes"), "OK\r\n\n200");
  EXPECT_EQ(forwarding("4470010"), "1\n");
  EXPECT_EQ(provision("Type=MMS&AdminAction=Modify&PhoneNumber=4470010&FullName=F", {"-u", "admin:changer"}), "OK\r\n\n200");
  EXPECT_EQ(forwarding("4470010"), "1\n");
  EXPECT_EQ(provision("Type=MMS&AdminAction=Modify&PhoneNumber=4470010&EMailForwarding=No", {"-u", "admin:changer"}),
            "OK\r\n\n200");
  EXPECT_EQ(forwarding("4470010"), "0\n");

  // Changing and deleting subscribers take their own passwords when those are set.
  std::string modify = "Type=MMS&AdminAction=Modify&PhoneNumber=447000123456&Name=renamed";
  std::string refused = provision(modify, {"-i", "-u", "admin:secret"});
  EXPECT_NE(refused.find("401 Auth Required\r\nWWW-Authenticate: Basic realm=\"QarSMS Administration Modify User\""),
            std::string::npos) << refused;
  EXPECT_EQ(provision(modify, {"-u", "admin:changer"}), "OK\r\n\n200");
  EXPECT_EQ(provision("Type=MMS&AdminAction=Add&PhoneNumber=447000999&Name=sub"), "OK\r\n\n200");  // the old alias is free
  std::string folder = home + "MMSCDATA/MMSCUSERS/447000/123/447000123456/";
  WriteFileText(folder + "message.mms", "x");
  std::string remove = "Type=MMS&AdminAction=Delete&PhoneNumber=447000123456";
  refused = provision(remove, {"-i", "-u", "admin:secret"});
  EXPECT_NE(refused.find("realm=\"QarSMS Administration Delete User\""), std::string::npos) << refused;
  EXPECT_TRUE(FileExists(folder + "message.mms"));
  EXPECT_EQ(provision(remove, {"-u", "admin:remover"}), "OK\r\n\n200");
  EXPECT_FALSE(FileExists(folder));
  EXPECT_TRUE(FileExists(home + "MMSCDATA/MMSCUSERS/447000/123"));
  EXPECT_EQ(provision(remove, {"-u", "admin:remover"}), "ERROR\r\nUser 447000123456 not found\r\n\n200");
  EXPECT_EQ(CurlStatus(provision("Type=SMS&AdminAction=Add&Name=x", {})), "401");

  StoredAccount alice = ReadAccount(home, "alice");
  ASSERT_TRUE(alice.found);
  EXPECT_STREQ(alice.record.Password, "pw1");
  EXPECT_STREQ(alice.record.FullName, "Alice A");
  EXPECT_EQ(alice.record.SmppLogin, 1);
  EXPECT_EQ(alice.record.WebLoginDisabled, 0);
  EXPECT_EQ(alice.record.MsgLimitPerDay, 10u);
  EXPECT_EQ(alice.record.MsgLimitPerMonth, 200u);
  EXPECT_EQ(alice.record.WebOptions, 177);
  EXPECT_STREQ(alice.record.ForcedSenderAddress, "4400");
  EXPECT_STREQ(alice.record.RestrictIPAddress, "127.0.0.*");
  EXPECT_EQ(StoredBalance(home, "alice"), 13750);
  EXPECT_FALSE(ReadAccount(home, "bob").found);
  EXPECT_FALSE(FileExists(home + "USERS/bob"));
  std::string ini = site.Ini();
  EXPECT_NE(ini.find("[Inbound SMS Routing]\r\nalice=4477*,4478*\r\n"), std::string::npos) << ini;
  EXPECT_EQ(ini.find("bob="), std::string::npos) << ini;
  EXPECT_NE(ini.find("+4470001=127.0.0.1:"), std::string::npos) << ini;
  EXPECT_NE(ini.find("4470002=10.0.0.5:9000\r\n"), std::string::npos) << ini;
  EXPECT_EQ(ini.find("4470003="), std::string::npos) << ini;

  // Every injection is refused and writes nothing.
  std::string before = site.Ini();
  struct Refusal {
    const char* what;
    std::string query;
    std::string error;
  } refusals[] = {
      {"CR LF in the routing list", "Type=SMS&AdminAction=Modify&Name=alice&RecipientAddresses=1%0D%0A%5BAdminCommands%5D",
       "Invalid RecipientAddresses"},
      {"key in the routing list", "Type=SMS&AdminAction=Modify&Name=alice&RecipientAddresses=1%0AAdminUser%3Dx",
       "Invalid RecipientAddresses"},
      {"equals sign", "Type=SMS&AdminAction=Modify&Name=alice&RecipientAddresses=a%3Db", "Invalid RecipientAddresses"},
      {"name with a path", "Type=SMS&AdminAction=Add&Name=..%2F..%2Fetc", "Invalid UserName ../../etc"},
      {"name dot-dot", "Type=SMS&AdminAction=Delete&Name=..", "Invalid UserName .."},
      {"name with a key", "Type=SMS&AdminAction=Add&Name=a%3Db", "Invalid UserName a=b"},
      {"control byte in a name", "Type=SMS&AdminAction=Modify&Name=alice&FullName=x%01y", "Invalid FullName"},
      {"address pattern", "Type=SMS&AdminAction=Modify&Name=alice&RestrictIPAddress=300.1.1.1", "Invalid RestrictIPAddress"},
      {"limit", "Type=SMS&AdminAction=Modify&Name=alice&MessageLimitPerDay=1x&MessageLimitPerMonth=2",
       "Invalid MessageLimitPerDay"},
      {"amount", "Type=SMS&AdminAction=Modify&Name=alice&CreditsToAdd=1e9", "Invalid CreditsToAdd"},
      {"phone key", "Type=SDKLink&Action=Add&PhoneNumber=12%0D%0AX%3D1&IPAddress=1.2.3.4&IPPort=80",
       "Invalid PhoneNumber in request"},
      {"phone bracket", "Type=SDKLink&Action=Add&PhoneNumber=%5BQARHUB%5D&IPAddress=1.2.3.4&IPPort=80",
       "Invalid PhoneNumber in request"},
      {"address", "Type=SDKLink&Action=Add&PhoneNumber=1&IPAddress=evil.example%0D%0AX&IPPort=80",
       "Invalid IPAddress in request"},
      {"port", "Type=SDKLink&Action=Add&PhoneNumber=1&IPAddress=1.2.3.4&IPPort=99999", "Invalid IPPort in request"},
  };
  for (const Refusal& r : refusals) EXPECT_EQ(provision(r.query), "ERROR\r\n" + r.error + "\r\n\n200") << r.what;
  EXPECT_EQ(site.Ini(), before);
  alice = ReadAccount(home, "alice");
  EXPECT_STREQ(alice.record.FullName, "Alice A");
  EXPECT_STREQ(alice.record.RestrictIPAddress, "127.0.0.*");
  EXPECT_EQ(StoredBalance(home, "alice"), 13750);

  // Deleting removes the account's folder and nothing beside it.
  WriteFileText(home + "USERS/keep.txt", "stays");
  EXPECT_EQ(provision("Type=SMS&AdminAction=Delete&Name=alice"), "OK\r\n\n200");
  EXPECT_FALSE(ReadAccount(home, "alice").found);
  EXPECT_FALSE(FileExists(home + "USERS/alice"));
  EXPECT_TRUE(FileExists(home + "USERS/keep.txt"));
  EXPECT_EQ(site.Ini().find("alice="), std::string::npos);
  EXPECT_EQ(site.home.DebugLog().find("pw1"), std::string::npos);
}

TEST(AdminE2E, LinksNeedTheSwitch) {
  AdminSite site;
  site.Start({});
  EXPECT_EQ(Curl({site.Url("/PROVISION?Type=SDKLink&Action=Add&PhoneNumber=1")}),
            "ERROR\r\nSDKLink not enabled.  Add SDKLinkEnabled=Yes under [QARHUB] header of QARHUB.INI\r\n\n200");
}
TEST(AdminE2E, AccountPagesListAndChangeAccounts) {
  AdminSite site;
  site.Start({});
  auto post = [&](const std::string& path, const std::string& form) {
    return Curl({"-u", "admin:secret", "-d", form, site.Url(path)});
  };
  std::string added = post("/ADMIN/SMSUSERS", "Name=eve%3Cb%3E&Password=pw&FullName=Eve%20%26%20Co&MessageLimitPerDay=5&MessageLimitPerMonth=50&SaveSMSUser=Save");
  EXPECT_NE(added.find("<p id=\"message\">OK</p>"), std::string::npos) << added;
  EXPECT_NE(added.find("<td class=\"name\">eve&lt;b&gt;</td><td>Eve &amp; Co</td><td>Yes</td><td>No</td><td>5</td><td>50</td><td>-</td>"),
            std::string::npos) << added;
  std::string again = post("/ADMIN/SMSUSERS", "Name=eve%3Cb%3E&SaveSMSUser=Save");
  EXPECT_NE(again.find("ERROR: UserName eve&lt;b&gt; already defined"), std::string::npos) << again;
  std::string edited = post("/ADMIN/USERS", "Name=eve%3Cb%3E&EnableSmppLogin=Yes&EditUser=Yes&SaveUser=Save");
  EXPECT_NE(edited.find("<td class=\"name\">eve&lt;b&gt;</td><td>Eve &amp; Co</td><td>Yes</td><td>Yes</td>"), std::string::npos)
      << edited;
  std::string deleted = post("/ADMIN/SMSUSERS", "Name=eve%3Cb%3E&ConfirmDeleteSMSUser=Delete");
  EXPECT_NE(deleted.find("<p id=\"message\">OK</p>"), std::string::npos) << deleted;
  EXPECT_EQ(deleted.find("eve&lt;b&gt;</td>"), std::string::npos) << deleted;
  EXPECT_EQ(CurlStatus(Curl({"-d", "Name=x&SaveSMSUser=Save", site.Url("/ADMIN/SMSUSERS")})), "401");
  EXPECT_FALSE(ReadAccount(site.home.path(), "x").found);
}

// A command that runs past the limit is ended; what it wrote until then is the answer.
// The minute passes on the gateway's clock, run ten times faster where libfaketime is
// installed.
TEST(AdminE2E, CommandsAreEndedAfterAMinute) {
  AdminSite site;
  std::string dir = site.home.path();
  WriteScript(dir + "slow.sh", "echo $$ > '" + dir + "slow.pid'\necho started\nexec sleep 613\n");
  std::vector<std::string> fast = SpedUpClockEnv(10);
  const long long factor = fast.empty() ? 1 : 10;
  site.Start({}, "[AdminCommands]\r\nslow=" + dir + "slow.sh\r\n", fast);
  auto start = std::chrono::steady_clock::now();
  std::string out = Curl({"-m", "90", "-u", "admin:secret", site.Url("/ADMIN/slow?x=1")});
  long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(out, "started\n\n200");
  EXPECT_GE(ms * factor, 59000);
  // This command's own process, not any other run's: gone, not even a zombie.
  pid_t command = static_cast<pid_t>(atol(ReadFileText(dir + "slow.pid").c_str()));
  ASSERT_GT(command, 0);
  EXPECT_EQ(kill(command, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}
// An account deleted while the gateway keeps its balance cached, then made again, starts
// from the new balance alone.
TEST(AdminE2E, ARemadeAccountStartsAFreshBalance) {
  AdminSite site;
  site.Start({"WebAuth=Yes"});
  auto provision = [&](const std::string& query) { return Curl({"-u", "admin:secret", site.Url("/PROVISION?" + query)}); };
  ASSERT_EQ(provision("Type=SMS&AdminAction=Add&Name=carol&Password=pw&EnableCreditBalance=Yes&CreditsToAdd=5"), "OK\r\n\n200");
  Curl({site.Url("/?User=carol&Password=pw")});  // a login gives the account its cached entry
  ASSERT_EQ(provision("Type=SMS&AdminAction=CreditCheck&Name=carol"), "OK\r\nCredits=5\r\n\n200");
  ASSERT_EQ(provision("Type=SMS&AdminAction=Delete&Name=carol"), "OK\r\n\n200");
  ASSERT_EQ(provision("Type=SMS&AdminAction=Add&Name=carol&Password=pw&EnableCreditBalance=Yes&CreditsToAdd=2"), "OK\r\n\n200");
  EXPECT_EQ(provision("Type=SMS&AdminAction=CreditCheck&Name=carol"), "OK\r\nCredits=2\r\n\n200");
  // The cached balance reaches the file with the next write-back.
  EXPECT_TRUE(WaitUntil(20000, [&] { return StoredBalance(site.home.path(), "carol") == 2000; }))
      << StoredBalance(site.home.path(), "carol");
}
// A changed or deleted account logs in with what the store holds now, not with what the
// login cache held.
TEST(AdminE2E, LoginsFollowProvisionedChangesAtOnce) {
  AdminSite site;
  site.Start({"WebAuth=Yes"});
  auto provision = [&](const std::string& query) { return Curl({"-u", "admin:secret", site.Url("/PROVISION?" + query)}); };
  auto login = [&](const std::string& password) { return CurlStatus(Curl({"-u", "dave:" + password, site.Url("/")})); };
  ASSERT_EQ(provision("Type=SMS&AdminAction=Add&Name=dave&Password=first"), "OK\r\n\n200");
  EXPECT_NE(login("first"), "401");
  ASSERT_EQ(provision("Type=SMS&AdminAction=Modify&Name=dave&Password=second"), "OK\r\n\n200");
  EXPECT_EQ(login("first"), "401");
  EXPECT_NE(login("second"), "401");
  ASSERT_EQ(provision("Type=SMS&AdminAction=Delete&Name=dave"), "OK\r\n\n200");
  EXPECT_EQ(login("second"), "401");
}
}  // namespace
