// The stored form of received MMS: header file text, part files, names, failures and the
// receive callback, seen on disk and on a loopback HTTP server.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

#include "mms/mms_store.h"
#include "mms/tests/mms_vectors.h"
#include "store/tests/store_home.h"
#include "tests/support/test_files.h"
#include "tests/support/test_servers.h"

namespace {

struct Stored {
  bool ok = false;
  std::string id, header;
  std::vector<std::string> files;  // relative to MMS-IN/
};

Stored Store(const StoreHome& home, std::string_view recipient, std::string_view notification,
             std::optional<std::string_view> message) {
  Stored s;
  std::string path;
  s.ok = ParseInboundMMS(recipient, notification, message, &path);
  std::string dir = home.path() + "MMS-IN/";
  for (const std::string& f : FilesUnder(dir)) s.files.push_back(f.substr(dir.size()));
  if (!s.ok) return s;
  s.id = path.substr(dir.size(), 8);
  s.header = ReadFileText(path);
  size_t at;
  while ((at = s.header.find(s.id)) != std::string::npos) s.header.replace(at, s.id.size(), "ID");
  return s;
}

std::string Message(std::string_view headers, std::initializer_list<std::string> entries) {
  std::string pdu = std::string(headers) + Bytes({0x84, 0xA3}) + Uintvar(static_cast<uint32_t>(entries.size()));
  for (const std::string& e : entries) pdu += e;
  return pdu;
}

TEST(ParseInboundMMS, StoresHeaderFileAndParts) {
  StoreHome home;
  std::string pdu = RetrieveConfThreeParts();
  Stored s = Store(home, "", pdu, pdu);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.header, RetrieveConfThreePartsHeader());
  std::vector<std::string> want = {s.id + ".hdr", s.id + "/image.jpg", s.id + "/smil.smil", s.id + "/t1.txt"};
  EXPECT_EQ(s.files, want);
  EXPECT_EQ(ReadFileText(home.path() + "MMS-IN/" + s.id + "/image.jpg"), Bytes({0xFF, 0xD8, 0xFF, 0xD9}));
  EXPECT_EQ(ReadFileText(home.path() + "MMS-IN/" + s.id + "/t1.txt"), "hi");
}

TEST(ParseInboundMMS, HeaderCases) {
  struct Case {
    const char* name;
    std::string recipient, notification;
    std::optional<std::string> message;
    std::string want;
  } cases[] = {
      {"notification alone", "", NotificationInd(), std::nullopt,
       "Message-type: m-notification-ind\r\nTransaction-id: N-42\r\nMMS-version: 1.0\r\n"
       "From: +4912345/TYPE=PLMN\r\nExpiry: 86400\r\nMessage-class: Personal\r\nMessage-size: 4096\r\n"},
      {"no message type", "", "", Message("\x97" + Txt("+491"), {}),
       "Message-type: m-retrieve-conf\r\nTo: +491\r\nContent-type: application/vnd.wap.multipart.mixed\r\n"},
      {"recipient replaces every To", "+4999", "",
       Message("\x97" + Txt("+491") + "\x97" + Txt("+492") + "\x82" + Txt("+493"), {}),
       "Message-type: m-retrieve-conf\r\nTo: +4999\r\nCc: +493\r\n"
       "Content-type: application/vnd.wap.multipart.mixed\r\n"},
      {"message fields before the notification's", "", NotificationInd(),
       Message(Bytes({0x8C, 0x84, 0x8A, 0x81}), {}),
       "Message-type: m-retrieve-conf\r\nTransaction-id: N-42\r\nMMS-version: 1.0\r\n"
       "From: +4912345/TYPE=PLMN\r\nExpiry: 86400\r\nMessage-class: Advertisement\r\nMessage-size: 4096\r\n"
       "Content-type: application/vnd.wap.multipart.mixed\r\n"},
      {"iso-8859-1 subject in the Q form", "", "",
       Message("\x96" + WithLength("\x84" + Txt("Gr\xFC\xDF")), {}),
       "Message-type: m-retrieve-conf\r\nSubject: =?iso-8859-1?Q?Gr=FC=DF?=\r\n"
       "Content-type: application/vnd.wap.multipart.mixed\r\n"},
      {"control bytes in network values", "+49\r\nX: 1", "",
       Message("\x98" + Txt("a\rb") + "\x96" + Txt("s\nt") + Txt("X-App") + Txt("v\x01w"), {}),
       "Message-type: m-retrieve-conf\r\nTransaction-id: ab\r\nTo: +49X: 1\r\nSubject: st\r\nX-App: vw\r\n"
       "Content-type: application/vnd.wap.multipart.mixed\r\n"},
      {"long integer over 8 octets drops its field", "", "",
       Message(Bytes({0x8E, 0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x85, 0x01, 0x05}), {}),
       "Message-type: m-retrieve-conf\r\nDate: Thu, 01 Jan 1970 00:00:05 GMT\r\n"
       "Content-type: application/vnd.wap.multipart.mixed\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StoreHome home;
    std::optional<std::string_view> message;
    if (c.message) message = *c.message;
    Stored s = Store(home, c.recipient, c.notification, message);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.header, c.want);
  }
}

TEST(ParseInboundMMS, PartNames) {
  std::string jpegNamed = WithLength("\x9E\x85" + Txt("image.jpg"));
  struct Case {
    const char* name;
    std::vector<std::string> entries;
    std::vector<std::string> files;  // in the part folder, sorted
    std::string partLines;
  } cases[] = {
      {"two parts of one name", {Entry(jpegNamed, "1"), Entry(jpegNamed, "2")}, {"image.jpg", "image1.jpg"},
       "X-QarMMS-Content-Location: ID\\image.jpg;image/jpeg\r\nX-QarMMS-Content-Location: ID\\image1.jpg;image/jpeg\r\n"},
      {"Content-ID gives the name and the extension",
       {Entry(Bytes({0x9D}) + "\xC0\x22" + Txt("<abc>"), "g")}, {"abc.gif"},
       "X-QarMMS-Content-Location: ID\\abc.gif;image/gif\r\nX-QarMMS-Content-ID: abc\r\n"},
      {"Content-ID equal to the file name", {Entry(Bytes({0x9D}) + "\xC0\x22" + Txt("<abc.gif>"), "g")}, {"abc.gif"},
       "X-QarMMS-Content-Location: ID\\abc.gif;image/gif\r\n"},
      {"Content-location wins and loses its path",
       {Entry(jpegNamed + "\x8E" + Txt("..\\..\\x/evil?.jpg"), "e")}, {"evil-.jpg"},
       "X-QarMMS-Content-Location: ID\\evil-.jpg;image/jpeg\r\n"},
      {"dot names become unk", {Entry(WithLength("\x83\x85" + Txt("..")), "a"), Entry("\x83\x8E" + Txt("."), "b"),
                                Entry("\x83\x8E" + Txt("\"\""), "c")},
       {"unk1.txt", "unk2.txt", "unk3.txt"},
       "X-QarMMS-Content-Location: ID\\unk1.txt;text/plain\r\nX-QarMMS-Content-Location: ID\\unk2.txt;text/plain\r\n"
       "X-QarMMS-Content-Location: ID\\unk3.txt;text/plain\r\n"},
      {"extension from the system table", {Entry(Txt("image/png"), "p")}, {"unk1.png"},
       "X-QarMMS-Content-Location: ID\\unk1.png;image/png\r\n"},
      {"parts until the lengths run past the end",
       {Entry(Txt("text/plain"), "ok"), Uintvar(1) + Uintvar(50) + "\x83" + "short"}, {"unk1.txt"},
       "X-QarMMS-Content-Location: ID\\unk1.txt;text/plain\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StoreHome home;
    std::string pdu = Bytes({0x8C, 0x84, 0x84, 0xA3}) + Uintvar(static_cast<uint32_t>(c.entries.size()));
    for (const std::string& e : c.entries) pdu += e;
    Stored s = Store(home, "", "", pdu);
    ASSERT_TRUE(s.ok);
    std::vector<std::string> files;
    for (const std::string& f : s.files)
      if (f.starts_with(s.id + "/")) files.push_back(f.substr(9));
    EXPECT_EQ(files, c.files);
    std::string head = "Message-type: m-retrieve-conf\r\nContent-type: application/vnd.wap.multipart.mixed\r\n";
    EXPECT_EQ(s.header, head + c.partLines);
  }
}

TEST(ParseInboundMMS, CollisionPastOneHundredKeepsEveryPart) {
  StoreHome home;
  std::string pdu = Bytes({0x8C, 0x84, 0x84, 0xA3}) + Uintvar(103);
  for (int i = 0; i < 103; ++i) pdu += Entry(WithLength("\x83\x85" + Txt("a.txt")), std::to_string(i));
  Stored s = Store(home, "", "", pdu);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.files.size(), 104u);  // header + 103 parts
  std::string all;
  for (const std::string& f : s.files) all += ReadFileText(home.path() + "MMS-IN/" + f) + ",";
  for (int i = 0; i < 103; ++i) EXPECT_NE(all.find("," + std::to_string(i) + ","), std::string::npos) << i;
}

TEST(ParseInboundMMS, NothingStoredIsAFailure) {
  StoreHome home;
  WriteFileText(home.path() + "MMS-IN", "a file where the folder should be");
  std::string path = "unchanged";
  EXPECT_FALSE(ParseInboundMMS("", NotificationInd(), std::nullopt, &path));
  EXPECT_EQ(path, "unchanged");
}

TEST(ParseInboundMMS, ParallelStoresGetTheirOwnIds) {
  StoreHome home;
  std::string pdu = RetrieveConfThreeParts();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 5; ++i) EXPECT_TRUE(ParseInboundMMS("", "", pdu));
    });
  for (std::thread& t : threads) t.join();
  std::vector<std::string> files = FilesUnder(home.path() + "MMS-IN/");
  size_t headers = 0;
  for (const std::string& f : files)
    if (f.ends_with(".hdr")) {
      ++headers;
      EXPECT_NE(ReadFileText(f).find("X-QarMMS-Content-Header: X-Extra: v\r\n"), std::string::npos);
    }
  EXPECT_EQ(headers, 20u);
  EXPECT_EQ(files.size(), 80u);
}

TEST(ReceiveMMSCallback, CommandAndUrl) {
  StoreHome home;
  std::string out = home.path() + "called.txt";
  std::string script = home.path() + "record.sh";
  WriteFileText(script, "#!/bin/sh\nprintf '%s|' \"$@\" > \"$0.out\"\n");
  chmod(script.c_str(), 0755);
  home.WriteIni("[QARHUB]\r\nReceiveMMSCallback=" + script + " \"@@FILENAME@@\" x\r\n");
  std::string path;
  ASSERT_TRUE(ParseInboundMMS("", NotificationInd(), std::nullopt, &path));
  std::string name = path.substr(path.rfind('/') + 1);
  EXPECT_EQ(ReadFileText(script + ".out"), name + "|x|");

  ScriptedServer server([](const std::string&, int, int) {
    return ScriptedReply{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOK", true};
  });
  home.WriteIni("[QARHUB]\r\nReceiveMMSCallback=http://127.0.0.1:" + std::to_string(server.port()) +
                "/cb?f=@@Filename@@&x=1\r\n");
  ASSERT_TRUE(ParseInboundMMS("", NotificationInd(), std::nullopt, &path));
  name = path.substr(path.rfind('/') + 1);
  std::vector<std::string> requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(requests[0].starts_with("GET /cb?f=" + name + "&x=1 HTTP/1.1\r\n")) << requests[0];
}

}  // namespace
