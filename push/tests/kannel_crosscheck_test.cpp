// The same documents compiled by Kannel's test compilers: the bytes where the token
// choices agree (provisioning, browser settings), else the documents both decode to.
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "push/tests/decoder_peer.h"
#include "push/wbxml.h"
#include "runtime/hex_text.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_files.h"

namespace {
constexpr const char* kKannelTests = "/usr/lib/kannel/test/";

// Kannel's output file: raw bytes (test_ota) or an escaped dump after "content being\x0a".
std::string KannelCompile(const std::string& tool, const std::string& xml) {
  TempDir dir;
  WriteFileText(dir.path() + "in.xml", xml);
  ChildProcess p;
  if (!p.Start({std::string(kKannelTests) + tool, "-f", dir.path() + "out", dir.path() + "in.xml"})) return {};
  std::string line;
  while (p.ReadLine(line, 10000)) {
  }
  p.Stop(2000);
  std::string out = ReadFileText(dir.path() + "out");
  const std::string marker = "content being\\x0a";
  size_t at = out.find(marker);
  if (at == std::string::npos) return out;
  std::string bytes;
  for (size_t i = at + marker.size(); i < out.size(); ++i) {
    if (out[i] == '\\' && i + 3 < out.size() && out[i + 1] == 'x') {
      bytes += static_cast<char>(HexToInt(out.substr(i + 2, 2)));
      i += 3;
    } else {
      bytes += out[i];
    }
  }
  return bytes;
}

struct Case {
  const char* tool;
  const char* peerLanguage;
  bool sameBytes;
  const char* xml;
};

TEST(KannelCrosscheck, SameDocumentsFromBothCompilers) {
  if (access((std::string(kKannelTests) + "test_ota").c_str(), X_OK) != 0 || !HaveWbxmlDecoder())
    GTEST_SKIP() << "kannel-extras or wbxml2xml missing";
  const Case kCases[] = {
      {"test_ota", "PROV10", true,
       "<?xml version=\"1.0\"?>\n<!DOCTYPE wap-provisioningdoc PUBLIC \"-//WAPFORUM//DTD PROV 1.0//EN\" "
       "\"http://www.wapforum.org/DTD/prov.dtd\">\n<wap-provisioningdoc><characteristic type=\"NAPDEF\"><parm "
       "name=\"NAPID\" value=\"N1\"/><parm name=\"BEARER\" value=\"GSM-GPRS\"/><parm name=\"NAP-ADDRTYPE\" "
       "value=\"APN\"/></characteristic><characteristic type=\"PXLOGICAL\"><parm name=\"PROXY-ID\" "
       "value=\"p\"/><characteristic type=\"PXPHYSICAL\"><parm name=\"PXADDR\" value=\"10.0.0.1\"/><parm "
       "name=\"PXADDRTYPE\" value=\"IPV4\"/></characteristic></characteristic></wap-provisioningdoc>\n"},
      {"test_ota", "OTA", true,
       "<?xml version=\"1.0\"?>\n<!DOCTYPE CHARACTERISTIC-LIST SYSTEM \"/DTD/characteristic_list.xml\">\n"
       "<CHARACTERISTIC-LIST><CHARACTERISTIC TYPE=\"ADDRESS\"><PARM NAME=\"BEARER\" VALUE=\"GPRS\"/><PARM "
       "NAME=\"PROXY\" VALUE=\"10.0.0.1\"/><PARM NAME=\"PORT\" VALUE=\"9201\"/><PARM NAME=\"ISP_NAME\" "
       "VALUE=\"Op\"/></CHARACTERISTIC><CHARACTERISTIC TYPE=\"NAME\"><PARM NAME=\"NAME\" VALUE=\"Op\"/>"
       "</CHARACTERISTIC></CHARACTERISTIC-LIST>\n"},
      {"test_sl", "SL10", false,
       "<?xml version=\"1.0\"?>\n<!DOCTYPE sl PUBLIC \"-//WAPFORUM//DTD SL 1.0//EN\" "
       "\"http://www.wapforum.org/DTD/sl.dtd\">\n<sl href=\"http://www.example.com/a\" action=\"execute-high\"/>\n"},
      {"test_si", "SI10", false,
       "<?xml version=\"1.0\"?>\n<!DOCTYPE si PUBLIC \"-//WAPFORUM//DTD SI 1.0//EN\" "
       "\"http://www.wapforum.org/DTD/si.dtd\">\n<si><indication href=\"https://www.example.org/n\" si-id=\"1\" "
       "action=\"signal-low\" created=\"2002-04-30T10:20:00Z\">Hello</indication></si>\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.tool);
    std::string theirs = KannelCompile(c.tool, c.xml);
    ASSERT_GT(theirs.size(), 4u);
    std::string ours, error;
    ASSERT_TRUE(CompileXmlDocument(c.xml, static_cast<uint8_t>(theirs[0]), 0x6A, ours, error)) << error;
    if (c.sameBytes) {
      EXPECT_EQ(HexEncode(ours), HexEncode(theirs));
    }
    XmlNode a, b;
    ASSERT_TRUE(ParseXml(DecodeWithPeer(ours, c.peerLanguage), a, error)) << error;
    ASSERT_TRUE(ParseXml(DecodeWithPeer(theirs, c.peerLanguage), b, error)) << error;
    EXPECT_EQ(TreeText(a), TreeText(b));
  }
}

// No decoder knows synchronisation settings, but test_ota compiles them with its own
// table. It crashes on elements nested below the root's children, so each element of
// the language is checked as a child of the root, then a run of siblings.
TEST(KannelCrosscheck, SyncSettingsSameBytesForEveryElement) {
  const char* kElements[] = {"Addr",     "AddrType", "Auth",     "AuthLevel", "AuthScheme", "Bearer", "ConRef",
                             "ConType",  "Cred",     "CTType",   "CTVer",     "HostAddr",   "Name",   "Port",
                             "RefID",    "RemoteDB", "URI",      "Username",  "Version"};
  std::vector<std::string> documents;
  std::string siblings = "<SyncSettings>";
  for (const char* e : kElements) {
    documents.push_back(std::string("<SyncSettings><") + e + ">v</" + e + "></SyncSettings>");
    siblings += std::string("<") + e + ">" + e + "</" + e + ">";
  }
  documents.push_back(siblings + "</SyncSettings>");
  for (const std::string& xml : documents) {
    SCOPED_TRACE(xml);
    std::string theirs = KannelCompile("test_ota", xml);
    ASSERT_GT(theirs.size(), 4u);
    std::string ours, error;
    ASSERT_TRUE(CompileXmlDocument(xml, static_cast<uint8_t>(theirs[0]), 0x6A, ours, error)) << error;
    EXPECT_EQ(HexEncode(ours), HexEncode(theirs));
  }
}
}  // namespace
