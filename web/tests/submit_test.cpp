// Submissions through the real web listener: files on disk, answers, error pages,
// accounting refusals and concurrency.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <mutex>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "config/settings.h"
#include "config/settings_override.h"
#include "gsm/septet_packing.h"
#include "accounting/accounting.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/base64.h"
#include "runtime/config_access.h"
#include "store/queue_dirs.h"
#include "submit/recipients.h"
#include "tests/support/gateway_process.h"
#include "web/submission.h"
#include "web/submit_parameters.h"
#include "web/tests/web_test_support.h"
#include "web/web_settings.h"

namespace fs = std::filesystem;

namespace {


std::string Get(const std::string& query, const std::string& extraHeaders = "") {
  return RawExchange("GET /?" + query + " HTTP/1.0\r\n" + extraHeaders + "\r\n");
}

std::string Post(const std::string& body, const std::string& extraHeaders = "") {
  return RawExchange("POST / HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                     std::to_string(body.size()) + "\r\n" + extraHeaders + "\r\n" + body);
}

std::string Status(const std::string& response) { return response.substr(0, response.find("\r\n")); }

std::string Basic(const std::string& user, const std::string& password) {
  return "Authorization: Basic " + Base64Encode(user + ":" + password) + "\r\n";
}

void AddAccount(const char* name) {
  SMSUserFile* file = nullptr;
  ASSERT_NE(SMSOpenUserFile(&file, SMS_USER_READWRITE), 0);
  SMSUserRecord r;
  std::memset(&r, 0, sizeof r);
  std::strncpy(r.UserName, name, sizeof r.UserName - 1);
  std::strcpy(r.Password, "pw");
  ASSERT_NE(SMSAddUser(file, &r), 0);
  SMSCloseUserFile(file);
}

class Submit : public ::testing::Test {
 protected:
  SettingsOverride settings;
  void SetUp() override {
    ResetWebTestSettings();
    settings->SendLongMessagesAsIs = false;
    settings->AltLongText = false;
    settings->ConcatRef16Bit = false;
    settings->AllowAlphaRecip = false;
    settings->EnableBulkQ = true;
    settings->MaxQDirEntries = 10000;
    settings->SeparateUserQueues = false;
    settings->UseRouteQueues = false;
    settings->DefaultMsgLimitPerDay = 0xFFFFFFFFu;
    settings->DefaultMsgLimitPerMonth = 0xFFFFFFFFu;
    settings->SMSAccountingURL.clear();
    settings->ExtraHttpArgList.clear();
    ReloadStoreDirectories();
    RegisterSubmissionHandlers();
    std::error_code ec;
    for (const char* d : {"Q", "SMS-IN", "DLists", "BULKQ", "USERS"}) fs::remove_all(TestGateway.home + d, ec);
    fs::remove(TestGateway.home + "html/SUBMITOK.HTM", ec);
    ResetUserUsageCache();
  }
  std::string Q() { return TestGateway.home + "Q/"; }
};
}  // namespace

TEST_F(Submit, OneTextMessageLeavesExactFileAndAnswersItsId) {
  std::string response = Get("PhoneNumber=%2B44,(0)7700-900123&Text=Hello+world%0D%0Aline2&Sender=Shop");
  ASSERT_EQ(Status(response), "HTTP/1.0 200 OK") << response;
  auto files = FilesUnder(Q());
  ASSERT_EQ(files.size(), 2u);
  EXPECT_NE(response.find(", Recipient=07700900123\r\n"), std::string::npos);
  if (ReadFileText(files[0]).find("+44") == std::string::npos) std::swap(files[0], files[1]);
  std::string name = fs::path(files[0]).filename().string();
  EXPECT_EQ(ReadFileText(files[0]), "[SMS]\r\nSubmittedBy=127.0.0.1\r\nSender=Shop\r\nData=Hello world\\r\\nline2\r\n"
                                "PhoneNumber=+44\r\n");
  EXPECT_NE(response.find("MessageID=" + name.substr(0, name.size() - 4) + ", Recipient=+44\r\n"), std::string::npos);
  EXPECT_NE(response.find("<a href=\"javascript:history.back()\">Continue</a>"), std::string::npos);
}

TEST_F(Submit, RecipientGrammarTable) {
  struct { const char* entry; const char* normalised; uint16_t port; } cases[] = {
      {"+44 (0)7700-900123", "+4407700900123", 0}, {"447700900123:5000", "447700900123", 5000},
      {"192.168.1.20", "192.168.1.20", 0},          {"abc", "", 0},
      {"+", "", 0},                                 {" 0044-77 ", "004477", 0},
  };
  for (auto& c : cases) {
    uint16_t port = 0;
    EXPECT_EQ(NormaliseRecipient(c.entry, port), c.normalised) << c.entry;
    EXPECT_EQ(port, c.port) << c.entry;
  }
  uint16_t port = 0;
  auto list = ExpandRecipients("1,2;3 4\t5,,", "", port);
  EXPECT_EQ(list, (std::vector<std::string>{"1", "2", "3", "4", "5"}));
  // A port in the list sets the destination port and the port header.
  std::string response = Get("PhoneNumber=447700900123:5000&Text=Hi");
  ASSERT_EQ(Status(response), "HTTP/1.0 200 OK") << response;
  auto files = FilesUnder(Q());
  ASSERT_EQ(files.size(), 1u);
  std::string file = ReadFileText(files[0]);
  EXPECT_NE(file.find("UDH=06050413880000\r\n"), std::string::npos) << file;
  EXPECT_NE(file.find("Binary=1\r\n"), std::string::npos);
}

TEST_F(Submit, DistributionListExpandsToItsMembers) {
  WriteFileText(TestGateway.home + "DLists/friends.TXT", "\xEF\xBB\xBF" "111 - Ann\r\n222\r\n333 - Cy\r\n");
  std::string response = Get("PhoneNumber=Friends&Text=Hi");
  ASSERT_EQ(Status(response), "HTTP/1.0 200 OK");
  EXPECT_EQ(FilesUnder(Q()).size(), 3u);
  EXPECT_EQ(CountOf(response, "MessageID="), 3u);
  for (const char* r : {"111", "222", "333"}) EXPECT_NE(response.find(std::string("Recipient=") + r), std::string::npos);
  // A list name that is not a safe name is never a path.
  response = Get("PhoneNumber=..%2FDLists%2Ffriends&Text=Hi");
  EXPECT_EQ(CountOf(response, "MessageID="), 0u);
}

TEST_F(Submit, ValidationErrorsHaveExactPages) {
  struct { std::string query; std::string text; } cases[] = {
      {"PhoneNumber=abc&Text=x", "Invalid format for telephone number."},
      {"PhoneNumber=1&Data=12G4", "Invalid format for Text/Data parameter when binary flag is set (hexadecimal digit "
                                  "characters only)."},
      {"PhoneNumber=1&Data=123", "Invalid format for Text/Data parameter when binary flag is set (hexadecimal digit "
                                 "characters only)."},
      {"PhoneNumber=1&Text=x&UDH=05000301020G", "Invalid format for UDH (hexadecimal digit characters only)."},
      {"PhoneNumber=1&Text=x&UDH=0500030102", "Invalid format for UDH (hexadecimal digit characters only)."},
      {"PhoneNumber=1&Text=x&UDH=05000301020", "Invalid format for UDH (hexadecimal digit characters only)."},
      {"PhoneNumber=1&Text=x&SMSCRoute=%3Cb%3Ebad", "Unknown smscRoute=&lt;b&gt;bad"},
      {"ReceiptMessageId=nope", "ReceiptMessageId not found in our local database"},
      {"PhoneNumber=1&Text=x&LocalUser=..", "Invalid format for LocalUser parameter."},
  };
  for (auto& c : cases) {
    std::string response = Get(c.query);
    EXPECT_EQ(Status(response), "HTTP/1.0 400 Bad Request") << c.query;
    EXPECT_NE(response.find("<TITLE>\r\nInvalid Parameter\r\n</TITLE>"), std::string::npos) << c.query;
    EXPECT_NE(response.find("Error:  Invalid Parameter\r\n</H1>\r\n" + c.text + "\r\n"), std::string::npos)
        << c.query << "\n" << response;
  }
  // A browser gets 200 OK with the same page.
  std::string response = Get("PhoneNumber=abc&Text=x", "User-Agent: Mozilla/5.0\r\n");
  EXPECT_EQ(Status(response), "HTTP/1.0 200 OK");
  EXPECT_TRUE(FilesUnder(Q()).empty());
}

TEST_F(Submit, FormBodyParametersFirstOccurrenceAndEmptyAsAbsent) {
  // The request line wins over the body; an empty Phone falls back to PhoneNumber.
  std::string body = "Phone=&PhoneNumber=77&Text=frombody&Text=two";
  std::string response = RawExchange(
      "POST /?Text=fromline HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + body);
  ASSERT_EQ(Status(response), "HTTP/1.0 200 OK") << response;
  auto files = FilesUnder(Q());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(ReadFileText(files[0]).find("Data=fromline\r\nPhoneNumber=77\r\n"), std::string::npos);
  fs::remove_all(Q());
  response = Post("PhoneNumber=88&Text=caf%C3%A9+%2B1&Data=00");
  files = FilesUnder(Q());
  ASSERT_EQ(files.size(), 1u) << response;
  EXPECT_NE(ReadFileText(files[0]).find("Data=caf\xC3\xA9 +1\r\nPhoneNumber=88\r\n"), std::string::npos);
  fs::remove_all(Q());
  Post("PhoneNumber=88&Text=%E9t%E9&charset=iso-8859-1");
  files = FilesUnder(Q());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(ReadFileText(files[0]).find("Data=\xC3\xA9t\xC3\xA9\r\n"), std::string::npos) << ReadFileText(files[0]);
}

TEST_F(Submit, SpecialContentIsRefusedNotIgnored) {
  // Pushes, settings and MMS are built now; the MMS notification push stays unsupported.
  for (const char* p : {"MMSURL=http%3A%2F%2Fx", "RingToneDataText=abc", "EMSText=%3Cb%3Ex"}) {
    std::string response = Get(std::string("PhoneNumber=1&Text=x&") + p);
    EXPECT_EQ(Status(response), "HTTP/1.0 501 Not Implemented") << p;
    EXPECT_NE(response.find("are not supported"), std::string::npos);
  }
  // MMS goes to the MMS service; without one running, nothing is written.
  WriteFileText(TestGateway.home + "MMSC.INI", "[MMSC]\r\nWebPort=" + std::to_string(FreeTcpPort()) + "\r\n");
  std::string response = Get("PhoneNumber=1&Text=x&MMSText=hi");
  fs::remove(TestGateway.home + "MMSC.INI");
  EXPECT_EQ(Status(response), "HTTP/1.0 503 Service Unavailable") << response;
  EXPECT_TRUE(FilesUnder(Q()).empty());
  EXPECT_TRUE(FilesUnder(TestGateway.home + "PRIVATE/TEMP/").empty());
}

TEST_F(Submit, TextWithUdhIsPackedAfterTheHeader) {
  std::string response = Get("PhoneNumber=1&Text=Hello&UDH=050003010201");
  ASSERT_EQ(Status(response), "HTTP/1.0 200 OK") << response;
  auto files = FilesUnder(Q());
  ASSERT_EQ(files.size(), 1u);
  std::string file = ReadFileText(files[0]);
  // Six header octets: one fill bit, then H e l l o.
  EXPECT_NE(file.find("Data=906536FB0D\r\nUDH=050003010201\r\nBinary=1\r\n"), std::string::npos) << file;
  std::string septets;
  EXPECT_EQ(UnpackHexSeptets("906536FB0D", septets, 5, 6), 5u);
  EXPECT_EQ(septets, "Hello");
}

TEST_F(Submit, LongTextsAreSegmented) {
  std::string text161(161, 'a');
  std::string response = Get("PhoneNumber=447&Text=" + text161);
  ASSERT_EQ(Status(response), "HTTP/1.0 200 OK");
  auto files = FilesUnder(Q());
  ASSERT_EQ(files.size(), 2u);
  std::string a = ReadFileText(files[0]), b = ReadFileText(files[1]);
  EXPECT_EQ(fs::path(files[0]).filename().string().rfind("SAR-447-", 0), 0u);
  size_t ua = a.find("UDH=050003"), ub = b.find("UDH=050003");
  ASSERT_NE(ua, std::string::npos);
  ASSERT_NE(ub, std::string::npos);
  EXPECT_EQ(a.substr(ua + 10, 4), b.substr(ub + 10, 2) + "02");  // same reference, two parts
  EXPECT_EQ(a.substr(ua + 14, 2), "01");
  EXPECT_EQ(b.substr(ub + 14, 2), "02");
  EXPECT_NE(a.find("[SMS]\r\nSubmittedBy=127.0.0.1\r\nPhoneNumber=447\r\n"), std::string::npos) << a;
  EXPECT_EQ(CountOf(response, "MessageID="), 2u);

  settings->SendLongMessagesAsIs = true;
  fs::remove_all(Q());
  Get("PhoneNumber=447&Text=" + text161);
  EXPECT_EQ(FilesUnder(Q()).size(), 1u);
  // One part holds at most 1,023 characters: longer is refused, never cut silently.
  fs::remove_all(Q());
  response = Get("PhoneNumber=447&Text=" + std::string(1024, 'b'));
  EXPECT_EQ(Status(response), "HTTP/1.0 400 Bad Request");
  EXPECT_TRUE(FilesUnder(Q()).empty());
  settings->SendLongMessagesAsIs = false;

  // 71 Unicode characters: two segments (67 + 4), UCS-2 with DCS 08.
  fs::remove_all(Q());
  std::string greek;
  for (int i = 0; i < 71; ++i) greek += "%D0%96";
  response = Get("PhoneNumber=447&Text=" + greek);
  files = FilesUnder(Q());
  ASSERT_EQ(files.size(), 2u) << response;
  std::string first = ReadFileText(files[0]), second = ReadFileText(files[1]);
  EXPECT_NE(first.find("dcs=08\r\nBinary=1"), std::string::npos);
  size_t d1 = first.find("Data="), d2 = second.find("Data=");
  EXPECT_EQ(first.find("\r\n", d1) - d1 - 5, 67u * 4);
  EXPECT_EQ(second.find("\r\n", d2) - d2 - 5, 4u * 4);
}

TEST_F(Submit, LongBinaryDataIsSegmentedWithItsHeader) {
  std::string data(2 * 200, 'A');  // 200 octets
  std::string response = Get("PhoneNumber=447&Data=" + data + "&dcs=F5&UDH=06050415810000");
  ASSERT_EQ(Status(response), "HTTP/1.0 200 OK") << response;
  auto files = FilesUnder(Q());
  ASSERT_EQ(files.size(), 2u);
  std::string first = ReadFileText(files[0]);
  // Header: length, concatenation element, then the port element; 140 octets in all.
  size_t u = first.find("UDH=0B0003");
  ASSERT_NE(u, std::string::npos) << first;
  EXPECT_EQ(first.substr(u + 16, 10), "0504158100");
  size_t d = first.find("Data=");
  EXPECT_EQ((first.find("\r\n", d) - d - 5) / 2 + 12, 140u);
}

TEST_F(Submit, DelayUntilQueuesInTheDelayTree) {
  EXPECT_EQ(DelayKey("2030-01-02 03:04"), "203001020304");
  EXPECT_EQ(DelayKey("x2030/1/2 3:4"), "203001020304");
  EXPECT_EQ(DelayKey("none"), "");
  std::string response = Get("PhoneNumber=1&Text=later&DelayUntil=2030-01-02%2003:04");
  ASSERT_EQ(Status(response), "HTTP/1.0 200 OK");
  auto files = FilesUnder(Q() + "DELAYQ/20300102/0304/");
  EXPECT_EQ(files.size(), 1u);
}

TEST_F(Submit, ReceiptInjectionAnswersWithTheStoredAddresses) {
  ASSERT_NE(SMSCMessageIdAdd("HTTP", "ext-1", "ORIG0001", "", "+4411", "+4422"), 0);
  std::string response = Get("ReceiptMessageId=ext-1");
  ASSERT_EQ(Status(response), "HTTP/1.0 200 OK") << response;
  auto files = FilesUnder(Q());
  ASSERT_EQ(files.size(), 1u);
  std::string file = ReadFileText(files[0]);
  EXPECT_NE(file.find("Sender=+4422\r\nReceiptDelivered=Yes\r\nReceiptMessageID=ORIG0001\r\n"), std::string::npos)
      << file;
  EXPECT_NE(file.find("Data=id:ORIG0001 sub:001 dlvrd:001 submit date:"), std::string::npos);
  EXPECT_NE(file.find(" stat:DELIVRD err:000\r\nPhoneNumber=+4411\r\n"), std::string::npos);
  EXPECT_NE(ReceiptText("X", false, false, 0, 0).find("stat:REJECTD err:3E7"), std::string::npos);
  EXPECT_NE(ReceiptText("X", false, true, 0, 0).find("dlvrd:000"), std::string::npos);
}

TEST_F(Submit, SingleLineValuesCannotInjectLines) {
  settings->ExtraHttpArgList = {"Ref"};
  std::string response =
      Get("PhoneNumber=1&Text=x&Sender=a%0D%0APhoneNumber=666&Validity=1%0ABinary=1&SMPPOption_x=1%0D%0Ay=2"
          "&Ref=r%0D%0AInj=1");
  ASSERT_EQ(Status(response), "HTTP/1.0 200 OK");
  auto files = FilesUnder(Q());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(ReadFileText(files[0]), "[SMS]\r\nSubmittedBy=127.0.0.1\r\nSender=aPhoneNumber=666\r\nValidity=1Binary=1\r\n"
                                "SMPPOptions=SMPPOption_x=1y=2\r\nData=x\r\nPhoneNumber=1\r\nRef=rInj=1\r\n");
}

TEST_F(Submit, InboundAndLocalUserGoToTheInboundStore) {
  Get("PhoneNumber=1&Text=in&InboundMessage=Yes");
  Get("PhoneNumber=2&Text=mine&LocalUser=bob");
  auto files = FilesUnder(TestGateway.home + "SMS-IN/");
  ASSERT_EQ(files.size(), 2u);
  std::string all = ReadFileText(files[0]) + ReadFileText(files[1]);
  EXPECT_NE(all.find("[SMS-IN]\r\nSubmittedBy=127.0.0.1\r\nData=in\r\nPhoneNumber=1\r\n"), std::string::npos) << all;
  EXPECT_NE(all.find("RouteToLocalUser=bob\r\nData=mine\r\nPhoneNumber=2\r\n"), std::string::npos);
  EXPECT_TRUE(FilesUnder(Q()).empty());
}

// Long messages for the inbound store or a local user: one concatenation reference per
// message, in the segment names and in every header, as for outbound segments.
TEST_F(Submit, InboundSegmentsShareOneReferenceAndTheSegmentNames) {
  std::string unicode;
  for (int i = 0; i < 71; ++i) unicode += "%D0%96";
  const struct {
    const char* query;
    const char* recipient;
    unsigned total;
  } cases[] = {
      {"&InboundMessage=Yes&Text=", "441", 3},
      {"&LocalUser=bob&Text=", "442", 3},
      {"&LocalUser=bob&Text=", "443", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.recipient);
    fs::remove_all(TestGateway.home + "SMS-IN/");
    std::string text = c.total == 3 ? std::string(320, 'x') : unicode;
    std::string response = Get(std::string("PhoneNumber=") + c.recipient + c.query + text);
    ASSERT_EQ(Status(response), "HTTP/1.0 200 OK") << response;
    auto files = FilesUnder(TestGateway.home + "SMS-IN/");
    ASSERT_EQ(files.size(), c.total);
    std::set<std::string> references;
    for (unsigned n = 1; n <= c.total; ++n) {
      std::string name = fs::path(files[n - 1]).filename().string();
      std::string prefix = std::string("SAR-") + c.recipient + "-";
      ASSERT_EQ(name.rfind(prefix, 0), 0u) << name;
      std::string reference = name.substr(prefix.size(), name.find('-', prefix.size()) - prefix.size());
      EXPECT_EQ(name.substr(prefix.size() + reference.size()), "-" + std::to_string(c.total) + "-" +
                                                                  std::to_string(n) + ".in");
      references.insert(reference);
      char udh[32];
      snprintf(udh, sizeof udh, "UDH=050003%02X%02X%02X\r\n", unsigned(std::stoul(reference, nullptr, 16)), c.total, n);
      EXPECT_NE(ReadFileText(files[n - 1]).find(udh), std::string::npos) << ReadFileText(files[n - 1]);
    }
    EXPECT_EQ(references.size(), 1u);
    EXPECT_EQ(CountOf(response, "MessageID=SAR-"), c.total) << response;
  }
  EXPECT_TRUE(FilesUnder(Q()).empty());
}

TEST_F(Submit, MultipartFormKeepsPercentSignsAndRemovesUploads) {
  std::string out = RunCommand("curl -s -F 'PhoneNumber=123' -F 'Text=100% sure & more' " + Url("/"));
  EXPECT_NE(out.find("MessageID="), std::string::npos) << out;
  auto files = FilesUnder(Q());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(ReadFileText(files[0]).find("Data=100% sure & more\r\n"), std::string::npos) << ReadFileText(files[0]);
  WriteFileText(TestGateway.home + "tone.txt", "MELODY:c");
  out = RunCommand("curl -s -F 'PhoneNumber=123' -F 'RingToneDataFile=@" + TestGateway.home +
                   "tone.txt;filename=../../x.txt' " + Url("/"));
  EXPECT_NE(out.find("are not supported"), std::string::npos) << out;
  // The uploads go when the request ends, which may be just after its answer reached curl.
  EXPECT_TRUE(WaitUntil(10000, [] { return FilesUnder(TestGateway.home + "PRIVATE/TEMP/").empty(); }));
}

TEST_F(Submit, SuccessTemplateRepeatsSubmitInfoEscaped) {
  WriteFileText(TestGateway.home + "html/SUBMITOK.HTM",
                "<html>\r\n<a href=\"@@ContinueURL@@\">back</a>\r\n<li>@@SubmitInfo@@</li>\r\n</html>\r\n");
  std::string response = Get("PhoneNumber=1,2&Text=x&ContinueURL=example.org/%22x");
  EXPECT_NE(response.find("<a href=\"http://example.org/&quot;x\">back</a>\r\n"), std::string::npos) << response;
  EXPECT_EQ(CountOf(response, "<li>MessageID="), 2u);
  // An edited page is used from the next answer on, and a removed one gives the built-in page.
  WriteFileText(TestGateway.home + "html/SUBMITOK.HTM", "<p>@@SubmitInfo@@</p>\r\n");
  response = Get("PhoneNumber=3&Text=y");
  EXPECT_EQ(CountOf(response, "<p>MessageID="), 1u) << response;
  fs::remove(TestGateway.home + "html/SUBMITOK.HTM");
  response = Get("PhoneNumber=4&Text=z");
  EXPECT_NE(response.find("<p>Message Submitted<p>"), std::string::npos) << response;
}

TEST_F(Submit, BulkJobsForLargeLists) {
  settings->MaxQDirEntries = 2;
  std::string response = Get("PhoneNumber=1,2,3,4,5&Text=bulk");
  ASSERT_EQ(Status(response), "HTTP/1.0 200 OK") << response;
  EXPECT_EQ(CountOf(response, "MessageID="), 5u);
  auto files = FilesUnder(BulkQueueDir());
  std::string names;
  for (auto& f : files) names += fs::path(f).filename().string() + " ";
  EXPECT_NE(names.find("M1.REQ"), std::string::npos) << names;
  EXPECT_NE(names.find("R0000003.BLK"), std::string::npos) << names;
  EXPECT_EQ(names.find("BUILD.LCK"), std::string::npos) << names;
  EXPECT_TRUE(FilesUnder(Q()).empty());
  // Segmented and delayed: one template per segment and the delay flag.
  for (auto& e : fs::directory_iterator(BulkQueueDir())) fs::remove_all(e.path());
  response = Get("PhoneNumber=1,2,3&Text=" + std::string(170, 'z') + "&DelayUntil=2031-05-06%2007:08");
  EXPECT_EQ(CountOf(response, "MessageID=SAR-"), 3u) << response;
  names.clear();
  for (auto& f : FilesUnder(BulkQueueDir())) names += fs::path(f).filename().string() + " ";
  EXPECT_NE(names.find("M2.REQ"), std::string::npos) << names;
  EXPECT_NE(names.find("QDelay-203105060708.FLG"), std::string::npos) << names;
  for (auto& f : FilesUnder(BulkQueueDir()))
    if (fs::path(f).filename() == "M1.REQ") {
      std::string m1 = ReadFileText(f);
      EXPECT_EQ(m1.find("PhoneNumber="), std::string::npos);
      EXPECT_NE(m1.find("UDH=050003"), std::string::npos);
    }
}

TEST_F(Submit, CreditAndQuotaRefusalsAndConcurrentSubmissions) {
  WebSettings.WebAuth = true;
  WebSettings.UsersDirectory = TestGateway.home + "USERS/";
  AddAccount("payer");
  int64_t balance = 3000;
  WriteFileText(TestGateway.home + "USERS/payer/SMS.CTR", std::string(reinterpret_cast<char*>(&balance), 8));
  // Eight parallel one-message submissions against three credits: exactly three pass.
  std::atomic<int> ok{0}, refused{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] {
      std::string r = Get("PhoneNumber=1&Text=x", Basic("payer", "pw"));
      if (Status(r) == "HTTP/1.0 200 OK") ++ok;
      if (r.find("Account payer:  credit limit exceeded.") != std::string::npos &&
          Status(r) == "HTTP/1.0 403 Forbidden")
        ++refused;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), 3);
  EXPECT_EQ(refused.load(), 5);
  EXPECT_EQ(FilesUnder(Q()).size(), 3u);
  EXPECT_EQ(CreditCheckOrDebit("payer", nullptr, 0, CreditMode::Check), 0);

  settings->DefaultMsgLimitPerDay = 2;
  settings->DefaultMsgLimitPerMonth = 100;
  fs::remove(TestGateway.home + "USERS/payer/SMS.CTR");
  std::string r = Get("PhoneNumber=1&Text=x", Basic("payer", "pw"));
  // Three already counted today.
  EXPECT_EQ(Status(r), "HTTP/1.0 403 Forbidden") << r;
  EXPECT_NE(r.find("Account payer:  message quota exceeded.  Account can send no more than 2 messages per day."),
            std::string::npos);
}

TEST_F(Submit, AccountingCallbackChargesRoutesAndNotices) {
  WebSettings.WebAuth = true;
  AddAccount("acct");
  int64_t balance = 6000;
  WriteFileText(TestGateway.home + "USERS/acct/SMS.CTR", std::string(reinterpret_cast<char*>(&balance), 8));
  // A tiny callback: pre-authorisations get a charge of 2.5, or a refusal for recipient 999.
  std::mutex lock;
  std::vector<std::string> queries;
  UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(listener.get(), 16), 0);
  socklen_t len = sizeof a;
  getsockname(listener.get(), reinterpret_cast<sockaddr*>(&a), &len);
  std::atomic<bool> stop{false};
  std::thread server([&] {
    while (!stop) {
      pollfd p{listener.get(), POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      UniqueFd c(accept(listener.get(), nullptr, nullptr));
      std::string req;
      char buf[65536];
      while (req.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = recv(c.get(), buf, sizeof buf, 0);
        if (n <= 0) break;
        req.append(buf, static_cast<size_t>(n));
      }
      std::string target = req.substr(4, req.find(' ', 4) - 4);
      {
        std::lock_guard<std::mutex> g(lock);
        queries.push_back(target);
      }
      std::string body = target.find("To=999") != std::string::npos ? "SMPPErrorCode=0x0B RejectMessage=Barred"
                                                                     : "RouteCharge=2.5";
      std::string answer = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                           "\r\nConnection: close\r\n\r\n" + body;
      send(c.get(), answer.data(), answer.size(), MSG_NOSIGNAL);
    }
  });
  settings->SMSAccountingURL = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/cb";
  settings->AccountingKeepAlive = false;
  SMSIniWrite("QARHUB", "SMSAccountingPreAuthPerRecip", "Yes");
  std::string r = Get("PhoneNumber=1,2&Text=hi", Basic("acct", "pw"));
  EXPECT_EQ(Status(r), "HTTP/1.0 200 OK") << r;
  EXPECT_EQ(CreditCheckOrDebit("acct", nullptr, 0, CreditMode::Check), 1000);  // 6.0 - 2 x 2.5
  r = Get("PhoneNumber=999&Text=hi", Basic("acct", "pw"));
  EXPECT_EQ(Status(r), "HTTP/1.0 403 Forbidden");
  EXPECT_NE(r.find("<TITLE>\r\nBarred\r\n</TITLE>"), std::string::npos) << r;
  r = Get("PhoneNumber=3&Text=hi", Basic("acct", "pw"));
  EXPECT_EQ(Status(r), "HTTP/1.0 403 Forbidden");
  EXPECT_NE(r.find("Account acct:  credit limit exceeded."), std::string::npos);
  stop = true;
  server.join();
  SMSIniWrite("QARHUB", "SMSAccountingPreAuthPerRecip", "No");
  std::lock_guard<std::mutex> g(lock);
  ASSERT_GE(queries.size(), 4u);
  EXPECT_EQ(queries[0], "/cb?PreAuth=Yes&Type=SMSSend&From=acct&To=1&MsgCount=1&SubmitIP=127.0.0.1&Text=hi");
  EXPECT_EQ(queries[1], "/cb?PreAuth=Yes&Type=SMSSend&From=acct&To=2&MsgCount=1&SubmitIP=127.0.0.1&Text=hi");
  EXPECT_EQ(queries[2].rfind("/cb?Type=SMSSend&From=acct&To=1&MessageID=", 0), 0u);
  EXPECT_NE(queries[2].find("&Text=hi&RouteCharge=2.5"), std::string::npos);
  EXPECT_EQ(FilesUnder(Q()).size(), 2u);
}

TEST_F(Submit, VoiceMailIndicationAndForcedSender) {
  std::string r = Get("PhoneNumber=1&VoiceMail=FaxOn&VoiceMailMessageCount=300&Text=Fax");
  ASSERT_EQ(Status(r), "HTTP/1.0 200 OK") << r;
  auto files = FilesUnder(Q());
  ASSERT_EQ(files.size(), 1u);
  std::string file = ReadFileText(files[0]);
  EXPECT_NE(file.find("UDH=04010201FF\r\ndcs=D9\r\nBinary=1\r\n"), std::string::npos) << file;
  fs::remove_all(Q());
  Get("PhoneNumber=1&VoiceMail=No");
  files = FilesUnder(Q());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(ReadFileText(files[0]).find("UDH=0401020000\r\ndcs=C0\r\nBinary=1\r\n"), std::string::npos);
  // Greek capitals with a Latin twin keep the visible text in 7 bits.
  fs::remove_all(Q());
  Get("PhoneNumber=1&VoiceMail=No&Text=%CE%91%CE%92%CE%93");
  files = FilesUnder(Q());
  ASSERT_EQ(files.size(), 1u);
  std::string packed;
  PackSeptetsToHex(std::string("\x41\x42\x13"), 3, packed, 5);
  EXPECT_NE(ReadFileText(files[0]).find("Data=" + packed + "\r\nUDH=0401020000\r\ndcs=D0\r\n"), std::string::npos)
      << ReadFileText(files[0]);

  fs::remove_all(Q());
  WebSettings.WebAuth = true;
  SMSUserFile* f = nullptr;
  ASSERT_NE(SMSOpenUserFile(&f, SMS_USER_READWRITE), 0);
  SMSUserRecord u;
  std::memset(&u, 0, sizeof u);
  std::strcpy(u.UserName, "forced");
  std::strcpy(u.Password, "pw");
  std::strcpy(u.ForcedSenderAddress, "Shop,Alt");
  ASSERT_NE(SMSAddUser(f, &u), 0);
  SMSCloseUserFile(f);
  Get("PhoneNumber=1&Text=a&Sender=alt", Basic("forced", "pw"));
  Get("PhoneNumber=2&Text=b&Sender=Other", Basic("forced", "pw"));
  files = FilesUnder(Q());
  ASSERT_EQ(files.size(), 2u);
  std::string both = ReadFileText(files[0]) + ReadFileText(files[1]);
  EXPECT_NE(both.find("SubmitUser=forced\r\nSubmittedBy=127.0.0.1\r\nSender=alt\r\n"), std::string::npos) << both;
  EXPECT_NE(both.find("Sender=Shop\r\n"), std::string::npos);
}

TEST_F(Submit, SixteenBitReferencesAndAltLongText) {
  settings->ConcatRef16Bit = true;
  Get("PhoneNumber=5&Text=" + std::string(305, 'x'));
  auto files = FilesUnder(Q());
  ASSERT_EQ(files.size(), 3u);  // 152 + 152 + 1 with a 16-bit reference (153 + 152 with 8 bits)
  EXPECT_NE(ReadFileText(files[0]).find("UDH=060804"), std::string::npos);
  settings->ConcatRef16Bit = false;
  settings->AltLongText = true;
  settings->LongTextDCS = 0x10;
  fs::remove_all(Q());
  Get("PhoneNumber=5&Text=" + std::string(200, 'y'));
  files = FilesUnder(Q());
  ASSERT_EQ(files.size(), 2u);
  std::string first = ReadFileText(files[0]);
  EXPECT_NE(first.find("dcs=10\r\n"), std::string::npos);
  size_t d = first.find("Data=");
  std::string hex = first.substr(d + 5, first.find("\r\n", d) - d - 5);
  std::string septets;
  UnpackHexSeptets(hex, septets, 153, 0);
  EXPECT_EQ(septets, "\r" + std::string(152, 'y'));
  settings->AltLongText = false;
  settings->LongTextDCS = 0;
}

// Segments decoded by python-gammu (Debian's python3-gammu) rejoin to the submitted text.
TEST_F(Submit, SegmentsDecodeWithGammu) {
  if (RunCommand("/usr/bin/python3 -c 'import gammu; print(1)'").find('1') == std::string::npos)
    GTEST_SKIP() << "python3-gammu is not installed";
  std::string script = std::string(QAR_SOURCE_DIR) + "/web/tests/gammu_decode.py";
  struct { std::string text; std::string query; } cases[] = {
      {std::string(150, 'a') + "{}\xE2\x82\xAC" + std::string(10, 'b'),
       std::string(150, 'a') + "%7B%7D%E2%82%AC" + std::string(10, 'b')},
      {"", ""},  // filled below: 71 Cyrillic letters
  };
  for (int i = 0; i < 71; ++i) {
    cases[1].text += "\xD0\x96";
    cases[1].query += "%D0%96";
  }
  for (auto& c : cases) {
    fs::remove_all(Q());
    Get("PhoneNumber=5&Text=" + c.query);
    auto files = FilesUnder(Q());
    ASSERT_EQ(files.size(), 2u);
    std::string joined;
    for (size_t k = 0; k < files.size(); ++k) {
      std::string f = ReadFileText(files[k]);
      auto value = [&](const std::string& key) {
        size_t at = f.find("\r\n" + key + "=");
        return at == std::string::npos ? std::string() : f.substr(at + key.size() + 3, f.find("\r\n", at + 2) - at - key.size() - 3);
      };
      std::string dcs = value("dcs").empty() ? "00" : value("dcs");
      std::string out = RunCommand("/usr/bin/python3 " + script + " " + value("UDH") + " " + value("Data") + " " + dcs);
      std::string prefix = "ConcatenatedMessages|" + std::to_string(k + 1) + "/2|";
      ASSERT_EQ(out.rfind(prefix, 0), 0u) << out;
      joined += out.substr(prefix.size());
    }
    EXPECT_EQ(joined, c.text);
  }
}

TEST_F(Submit, ParseMultipartSavesUploadsUnderNewNames) {
  std::string body =
      "--XyZ\r\nContent-Disposition: form-data; name=\"Text\"\r\n\r\n50% & more?  \r\n"
      "--XyZ\r\nContent-Disposition: form-data; name=\"PictureMessageDataFile\"; filename=\"..\\..\\evil.gif\"\r\n"
      "Content-Type: image/gif\r\n\r\nGIF89a\x01\x02\r\n--XyZ--\r\n";
  std::vector<std::string> uploads;
  {
    WebRequest request;
    request.text = "POST / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=XyZ\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n\r\n";
    request.headerLength = request.text.size();
    request.text += body;
    ASSERT_TRUE(ParseMultipart(request));
    uploads = request.uploads.paths;
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].rfind(PrivateDataDirectory() + "TEMP/", 0), 0u) << uploads[0];
    EXPECT_EQ(uploads[0].find("evil"), std::string::npos);
    EXPECT_EQ(ReadFileText(uploads[0]), "GIF89a\x01\x02");
    std::string saved = uploads[0].substr(uploads[0].rfind('/') + 1);
    EXPECT_EQ(request.Body(), "Text=50%25+%26+more%3F&PictureMessageDataFile=" + saved + "&");
    EXPECT_EQ(SubmitParameterOr(request, "Text", 100), "50% & more?");
    EXPECT_NE(request.Header().find("Content-Type: application/x-www-form-urlencoded\r\n"), std::string::npos);
    // Only files uploaded with this request can be named.
    EXPECT_EQ(UploadedFilePath(request, saved), uploads[0]);
    EXPECT_EQ(UploadedFilePath(request, "../../QARHUB.INI"), "");
    EXPECT_EQ(UploadedFilePath(request, saved.substr(1)), "");
    EXPECT_EQ(UploadedFilePath(WebRequest{}, saved), "");
  }
  EXPECT_FALSE(fs::exists(uploads[0]));  // gone with the request
}

TEST_F(Submit, UnicodeTextWithPortsSplitsOnCharacterBoundaries) {
  // A kept header element of 3 octets with the 5-octet concatenation element leaves an odd room.
  std::string text;
  for (int i = 0; i < 80; ++i) text += "%D0%96";
  std::string r = Get("PhoneNumber=5&Text=" + text + "&UDH=037001AB");
  ASSERT_EQ(Status(r), "HTTP/1.0 200 OK") << r;
  auto files = FilesUnder(Q());
  ASSERT_EQ(files.size(), 2u);
  size_t total = 0;
  for (auto& f : files) {
    std::string file = ReadFileText(f);
    size_t d = file.find("Data=");
    size_t hexLength = file.find("\r\n", d) - d - 5;
    EXPECT_EQ(hexLength % 4, 0u) << file;
    total += hexLength / 4;
    EXPECT_NE(file.find("dcs=08\r\n"), std::string::npos);
  }
  EXPECT_EQ(total, 80u);
}

TEST_F(Submit, UnwrittenMessagesAreNotChargedOrCounted) {
  WebSettings.WebAuth = true;
  AddAccount("partial");
  settings->AllowAlphaRecip = true;
  settings->DefaultMsgLimitPerDay = 100;
  settings->DefaultMsgLimitPerMonth = 1000;
  int64_t balance = 10000;
  WriteFileText(TestGateway.home + "USERS/partial/SMS.CTR", std::string(reinterpret_cast<char*>(&balance), 8));
  // "a/b" cannot name a segment file: its two segments are not written.
  std::string r = Get("PhoneNumber=447,a%2Fb&Text=" + std::string(161, 'q'), Basic("partial", "pw"));
  ASSERT_EQ(Status(r), "HTTP/1.0 200 OK") << r;
  EXPECT_EQ(CountOf(r, "MessageID="), 2u);
  EXPECT_EQ(CreditCheckOrDebit("partial", nullptr, 0, CreditMode::Check), 8000);
  std::string text;
  EXPECT_TRUE(QuotaCheckOrCount("partial", &text, 98, true));
  EXPECT_FALSE(QuotaCheckOrCount("partial", &text, 99, true));  // two counted today
  settings->AllowAlphaRecip = false;
}
