// MMS submission seen from outside: the header file and SMIL the packer is given (a stub
// packer copies them), the request the MMS service receives byte for byte, the answer, the
// message in MMSCDATA, and TEMP/ left empty in every case.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "mms/mms_submit.h"
#include "mms/tests/recording_mmsc.h"
#include "push/tests/decoder_peer.h"
#include "push/xml_reader.h"
#include "runtime/local_system_account.h"
#include "runtime/config_access.h"
#include "runtime/process_runner.h"
#include "store/tests/store_home.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_files.h"
#include "tests/support/test_servers.h"

namespace {

struct Outcome {
  MmsSubmitResult result;
  std::string header, smil, args, password;
  std::vector<std::string> requests;  // to the MMS service, probes left out
  std::vector<std::string> temp, data;  // data: the messages in MMSCDATA
};

Outcome Submit(MmsSubmitRequest request, const std::string& serviceAnswer = "HTTP/1.0 200 OK\r\nMessage-ID: m-1\r\n\r\n",
           const std::string& mmscIni = "", const std::string& ini = "[QARHUB]\r\n") {
  RecordingMmsc service(serviceAnswer);
  StoreHome home(ini);
  TempDir capture;
  WriteFileText(home.path() + "MMSC.INI",
                "[MMSC]\r\nWebPort=" + std::to_string(service.port()) + "\r\n" + mmscIni);
  setenv("MMS_CAPTURE", capture.path().c_str(), 1);
  MmsSubmitSettings.packerPath = MMS_STUB_PACKER;
  for (MmsContentFile& f : request.files)
    if (f.uploadedPath == "upload") {
      f.uploadedPath = home.path() + "PRIVATE/TEMP/1234ABCD.jpg";
      WriteFileText(f.uploadedPath, "JPEGDATA");
    }
  Outcome run;
  run.result = SubmitMMS(request);
  run.password = LocalSystemPassword();
  run.header = ReadFileText(capture.path() + "header");
  run.smil = ReadFileText(capture.path() + "smil");
  run.args = ReadFileText(capture.path() + "args");
  for (const std::string& r : service.Requests())
    if (!r.empty()) run.requests.push_back(r);
  for (const std::string& f : FilesUnder(home.path() + "PRIVATE/TEMP/")) run.temp.push_back(f.substr(home.path().size()));
  for (const std::string& f : FilesUnder(home.path() + "MMSCDATA/")) run.data.push_back(ReadFileText(f));
  unsetenv("MMS_CAPTURE");
  return run;
}

// The header with its transaction id and work folder name replaced by "ID".
std::string Normalised(std::string text) {
  size_t at = text.find("X-MMS-Transaction-ID: ");
  if (at != std::string::npos) text.replace(at + 22, 8, "ID");
  for (size_t p = 0; (p = text.find("X-QarMMS-Content-Location: ", p)) != std::string::npos; p += 27)
    text.replace(p + 27, 8, "ID");
  return text;
}

TEST(SubmitMMS, TextOnlyHeaderSmilAndHandOver) {
  MmsSubmitRequest r;
  r.recipients = {"+4970", "+4971"};
  r.text = "Hello";
  r.subject = "Gr\xC3\xBC\xC3\x9F\r\nBcc: x";
  r.from = "+4912";
  r.deliveryReport = true;
  r.priority = "High";
  r.messageClass = "Info";
  r.headers = "X-Custom: 1\r\nX-QarMMS-Content-Location: ../../etc/passwd\r\nno colon here\r\nX-Two: a\x01" "b";
  r.passedOn = {{"Ref", "a b&c"}};
  Outcome run = Submit(r, "HTTP/1.0 200 OK\r\nMessage-ID: m-1\r\n\r\n", "", "[QARHUB]\r\nRouteMMSViaMMSC=Yes\r\n");
  EXPECT_EQ(run.result.status, MmsSubmitStatus::Accepted);
  EXPECT_EQ(run.result.text, "MMSMessageID=m-1");
  EXPECT_EQ(Normalised(run.header),
            "X-MMS-Message-type: m-send-req\r\nX-MMS-MMS-Version: Auto\r\nX-MMS-Transaction-ID: ID\r\n"
            "To: +4970/TYPE=PLMN\r\nTo: +4971/TYPE=PLMN\r\n"
            "Subject: =?utf-8?Q?Gr=C3=BC=C3=9F=0D=0ABcc: x?=\r\nFrom: +4912\r\n"
            "X-MMS-Delivery-Report: Yes\r\nX-MMS-Priority: High\r\nX-MMS-Message-Class: Informational\r\n"
            "X-Custom: 1\r\nX-Two: ab\r\n\r\n"
            "X-QarMMS-Content-Location: ID.txt;text/plain;charset=utf-8\r\n"
            "X-QarMMS-Content-Location: ID.smil;application/smil;charset=utf-8\r\n");
  EXPECT_EQ(run.smil,
            "<smil><head><layout><region id=\"Image\" height=\"100%\" width=\"100%\" fit=\"meet\"/>"
            "<region id=\"Text\" height=\"100%\" width=\"100%\" fit=\"scroll\"/></layout></head><body>"
            "<par dur=\"3s\"><text src=\"" + run.header.substr(run.header.find("Location: ") + 10, 8) +
                ".txt\" region=\"Text\"/></par></body></smil>");
  ASSERT_EQ(run.requests.size(), 1u);
  ASSERT_EQ(run.data.size(), 1u);
  std::string message = "\x8C\x80" "compiled";
  EXPECT_EQ(run.requests[0], "POST /localSystem=" + run.password + "?SENDER=%2B4912&Ref=a%20b%26c" +
                                 " HTTP/1.0\r\nContent-type: application/vnd.wap.mms-message\r\nContent-length: 10\r\n\r\n" +
                                 message);
  EXPECT_EQ(run.data[0], message);
  EXPECT_TRUE(run.temp.empty()) << run.temp[0];
}

std::string Smil(std::string_view body, bool old = false) {
  std::string head = old ? "" : "<head><layout><region id=\"Image\" height=\"100%\" width=\"100%\" fit=\"meet\"/>"
                                "<region id=\"Text\" height=\"100%\" width=\"100%\" fit=\"scroll\"/></layout></head>";
  return "<smil>" + head + "<body>" + std::string(body) + "</body></smil>";
}

TEST(SubmitMMS, PartsSmilAndFailures) {
  ScriptedServer content([](const std::string& request, int, int) {
    if (request.starts_with("GET /missing")) return ScriptedReply{"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", true};
    std::string body = request.starts_with("GET /own.smil") ? "<smil/>" : "IMG";
    return ScriptedReply{"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body, true};
  });
  std::string url = "http://127.0.0.1:" + std::to_string(content.port());
  struct Case {
    const char* name;
    std::vector<std::string> files;  // "upload:<client name>" for an upload
    bool text;
    std::string mmscIni, answer;
    MmsSubmitStatus status;
    std::string resultText, smil;
    std::vector<std::string> partLines;  // after "X-QarMMS-Content-Location: ID"
  } cases[] = {
      {"image then text: two pars", {url + "/a/pic.gif?x=1"}, true, "", "HTTP/1.0 200 OK\r\n\r\n",
       MmsSubmitStatus::Accepted, "MMSMessageID=",
       Smil("<par dur=\"3s\"><text src=\"TXT\" region=\"Text\"/></par>"
            "<par dur=\"5s\"><img src=\"pic.gif\" region=\"Image\"/></par>"),
       {".txt;text/plain;charset=utf-8", "/pic.gif"}},
      {"audio then image: one par", {url + "/s.amr", url + "/p.jpg"}, false, "", "HTTP/1.0 200 OK\r\n\r\n",
       MmsSubmitStatus::Accepted, "MMSMessageID=",
       Smil("<par dur=\"5s\"><audio src=\"s.amr\"/><img src=\"p.jpg\" region=\"Image\"/></par>"),
       {"/s.amr", "/p.jpg"}},
      {"old format, names made safe", {url + "/x/..", url + "/x/a%22%3C.jpg", "upload:my \"photo\".jpg"}, false,
       "EMailAutoSmilOldFormat=Yes\r\nEMailAutoSmilParDurImage=7s\r\n", "HTTP/1.0 200 OK\r\n\r\n",
       MmsSubmitStatus::Accepted, "MMSMessageID=",
       Smil("<par dur=\"7s\"><ref src=\"unk1\"/></par><par dur=\"7s\"><img src=\"a%22%3C.jpg\"/></par>"
            "<par dur=\"7s\"><img src=\"my &quot;photo&quot;.jpg\"/></par>",
            true),
       {"/unk1", "/a%22%3C.jpg", "/my \"photo\".jpg"}},
      {"own SMIL: none made", {url + "/own.smil", url + "/p.jpg"}, false, "", "HTTP/1.0 200 OK\r\n\r\n",
       MmsSubmitStatus::Accepted, "MMSMessageID=", "<smil/>", {"/own.smil", "/p.jpg"}},
      {"failed fetch and a foreign file drop their parts", {url + "/missing.jpg", "../QARHUB.INI"}, true, "",
       "HTTP/1.0 200 OK\r\n\r\n", MmsSubmitStatus::Accepted, "MMSMessageID=",
       Smil("<par dur=\"3s\"><text src=\"TXT\" region=\"Text\"/></par>"), {".txt;text/plain;charset=utf-8"}},
      {"service error", {}, true, "", "HTTP/1.0 500 Broken\r\n\r\n", MmsSubmitStatus::Failed,
       "Error code 500 from MMSC", "", {}},
      {"service answers nothing", {}, true, "", "", MmsSubmitStatus::Failed, "Invalid response from MMSC", "", {}},
      {"service inactive", {}, true, "WebPortDynamic=1\r\n", "", MmsSubmitStatus::ServiceInactive,
       "MMS service not active", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MmsSubmitRequest r;
    if (c.text) r.text = "Hi";
    for (const std::string& f : c.files) {
      if (f.starts_with("upload:")) r.files.push_back({"1234ABCD.jpg", "upload", f.substr(7)});
      else r.files.push_back({f, "", ""});
    }
    Outcome run = Submit(r, c.answer, c.mmscIni);
    EXPECT_EQ(run.result.status, c.status);
    EXPECT_EQ(run.result.text, c.resultText);
    std::string id = run.header.empty() ? "" : run.header.substr(run.header.find("Location: ") + 10, 8);
    std::string smil = c.smil;
    for (size_t at; (at = smil.find("TXT")) != std::string::npos;) smil.replace(at, 3, id + ".txt");
    if (!c.smil.empty()) EXPECT_EQ(run.smil, smil);
    std::string lines;
    for (const std::string& l : c.partLines) lines += "X-QarMMS-Content-Location: ID" + l + "\r\n";
    if (!c.partLines.empty()) {
      std::string header = Normalised(run.header);
      EXPECT_NE(header.find("\r\n\r\n" + lines), std::string::npos) << header;
    }
    if (c.status == MmsSubmitStatus::ServiceInactive) EXPECT_TRUE(run.header.empty());
    // Only the upload of this request stays in TEMP/ (the request removes it), nothing else.
    for (const std::string& t : run.temp) EXPECT_EQ(t, "PRIVATE/TEMP/1234ABCD.jpg");
  }
}

TEST(SubmitMMS, PackerPastItsLimitOrFailing) {
  struct Case {
    const char* env;
    const char* value;
  } cases[] = {{"MMS_PACKER_SLEEP", "5"}, {"MMS_PACKER_FAIL", "1"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.env);
    setenv(c.env, c.value, 1);
    MmsSubmitSettings.packerTimeoutMs = 500;
    MmsSubmitRequest r;
    r.text = "Hi";
    Outcome run = Submit(r);
    unsetenv(c.env);
    MmsSubmitSettings.packerTimeoutMs = 300000;
    EXPECT_EQ(run.result.status, MmsSubmitStatus::Failed);
    EXPECT_TRUE(run.result.text.starts_with("Internal Error (MMS packer failed")) << run.result.text;
    EXPECT_TRUE(run.temp.empty());
    EXPECT_TRUE(run.data.empty());
    EXPECT_TRUE(run.requests.empty());
  }
}

// The rights part of a DRM message: its type and body.
struct RightsPart {
  std::string type, body;
};
RightsPart RightsOf(const std::string& dm, const std::string& boundary) {
  const std::string head = boundary + "\r\nContent-Type: ";
  if (!dm.starts_with(head)) return {};
  size_t typeEnd = dm.find("\r\n", head.size());
  size_t bodyAt = dm.find("\r\n\r\n", head.size());
  size_t next = dm.find("\r\n" + boundary, bodyAt);
  if (typeEnd == std::string::npos || bodyAt == std::string::npos || next == std::string::npos) return {};
  std::string type = dm.substr(head.size(), typeEnd - head.size());
  if (!type.starts_with("application/vnd.oma.drm.rights")) return {};
  return {type, dm.substr(bodyAt + 4, next - bodyAt - 4)};
}

TEST(SubmitMMS, DrmWrapping) {
  const std::string rights =
      "<o-ex:rights xmlns:o-ex=\"http://odrl.net/1.1/ODRL-EX\" xmlns:o-dd=\"http://odrl.net/1.1/ODRL-DD\">"
      "<o-ex:context><o-dd:version>1.0</o-dd:version></o-ex:context><o-ex:agreement><o-ex:asset><o-ex:context>"
      "<o-dd:uid>cid:photo.jpg</o-dd:uid></o-ex:context></o-ex:asset><o-ex:permission><o-dd:play><o-ex:constraint>"
      "<o-dd:count>3</o-dd:count><o-dd:datetime><o-dd:end>2027-12-31T23:59:59</o-dd:end></o-dd:datetime>"
      "</o-ex:constraint></o-dd:play></o-ex:permission></o-ex:agreement></o-ex:rights>";
  struct Case {
    const char* name;
    bool restrict, rightsAsXml;
    const char* rightsType;  // "" for forward lock
  } cases[] = {
      {"forward lock", false, true, ""},
      {"restricted: play three times until the end of 2027", true, true, "application/vnd.oma.drm.rights+xml"},
      {"restricted, rights as WBXML", true, false, "application/vnd.oma.drm.rights+wbxml"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MmsSubmitRequest r;
    r.text = "Hi";
    r.files.push_back({"1234ABCD.jpg", "upload", "photo.jpg"});
    r.forwardLock = !c.restrict;
    r.drmRestrict = c.restrict;
    r.rightsAsXml = c.rightsAsXml;
    r.play = true;
    r.count = "3";
    r.end = "2027-12-31T23:59:59";
    TempDir keep;
    setenv("MMS_KEEP", keep.path().c_str(), 1);
    Outcome run = Submit(r);
    unsetenv("MMS_KEEP");
    EXPECT_EQ(run.result.status, MmsSubmitStatus::Accepted);
    // Only the upload, which belongs to the request, is left.
    for (const std::string& t : run.temp) EXPECT_EQ(t, "PRIVATE/TEMP/1234ABCD.jpg");
    // Every part travels wrapped, the text too; the SMIL still names each by what it holds.
    std::string header = Normalised(run.header);
    EXPECT_NE(header.find("X-QarMMS-Content-Location: ID.txt.dm\r\nX-QarMMS-Content-Location: ID/photo.jpg.dm\r\n"),
              std::string::npos)
        << header;
    EXPECT_NE(run.smil.find(".txt.dm\" region=\"Text\"/></par><par dur=\"5s\"><img src=\"photo.jpg.dm\" region=\"Image\"/>"),
              std::string::npos)
        << run.smil;
    std::string dm = ReadFileText(keep.path() + "photo.jpg.dm");
    ASSERT_GT(dm.size(), 23u);
    std::string boundary = dm.substr(0, 23);
    EXPECT_TRUE(boundary.starts_with("--drm-boundary-"));
    RightsPart part = RightsOf(dm, boundary);
    EXPECT_EQ(part.type, c.rightsType);
    std::string want;
    if (c.restrict)
      want += boundary + "\r\nContent-Type: " + c.rightsType + "\r\nContent-Transfer-Encoding: binary\r\n\r\n" + part.body +
              "\r\n";
    want += boundary + "\r\nContent-Type: image/jpeg\r\n" + (c.restrict ? "Content-ID: <photo.jpg>\r\n" : "") +
            "Content-Transfer-Encoding: binary\r\n\r\nJPEGDATA\r\n" + boundary + "--\r\n";
    EXPECT_EQ(dm, want);
    std::string text;
    for (const std::string& f : FilesUnder(keep.path()))
      if (f.ends_with(".txt.dm")) text = ReadFileText(f);
    EXPECT_NE(text.find("\r\nContent-Type: text/plain; charset=utf-8\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Content-Transfer-Encoding: binary\r\n\r\nHi\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("drm.rights") != std::string::npos, c.restrict) << text;
    if (!c.restrict) continue;
    if (c.rightsAsXml) {
      EXPECT_EQ(part.body, rights);
      if (FindProgram("", "xmllint").empty()) continue;
      WriteFileText(keep.path() + "rights.xml", part.body);
      ProcessOptions quiet;
      quiet.stdoutPath = keep.path() + "xmllint.out";
      quiet.stderrToStdout = true;
      EXPECT_EQ(RunProcess({"xmllint", "--noout", keep.path() + "rights.xml"}, quiet), 0)
          << ReadFileText(quiet.stdoutPath);
      continue;
    }
    // WBXML 1.3, the rights public identifier, UTF-8, no string table; the peer decoder reads
    // back the same rights.
    ASSERT_GT(part.body.size(), 4u);
    EXPECT_EQ(part.body.substr(0, 4), std::string("\x03\x0E\x6A\x00", 4));
    if (!HaveWbxmlDecoder()) continue;
    std::string decoded = DecodeWithPeer(part.body, "DRMREL10"), error;
    XmlNode original, back;
    ASSERT_TRUE(ParseXml(rights, original, error)) << error;
    ASSERT_TRUE(ParseXml(decoded, back, error)) << error << "\n" << decoded;
    EXPECT_EQ(TreeText(back), TreeText(original)) << decoded;
  }
}

TEST(SubmitMMS, SenderNormalised) {
  struct {
    const char* given;
    bool alpha;
    const char* want;
  } cases[] = {{"+49 (170) 123-45:99", false, "+4917012345"}, {"a@b.c", false, "a@b.c"}, {"Shop+1", false, "1"},
               {"Shop 1", true, "Shop 1"}, {"0049\r\n170", false, "0049170"}};
  for (const auto& c : cases) EXPECT_EQ(NormaliseMmsSender(c.given, c.alpha), c.want) << c.given;
}

}  // namespace
