// Independent decoders as referees of what qarkite puts on the wire: Kannel's decode_emimsg
// reads every frame the library sends, tshark's UCP dissector the whole exchange.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "outside/qarkite/qarkite.h"
#include "outside/qarkite/tests/ucp_sim.h"
#include "runtime/process_runner.h"
#include "runtime/unique_fd.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_files.h"

namespace {

const char* const kName = "UCP - crosscheck";

int g_answer = 1;
int Store(const char*, const char*, const char*, const char*, const char*, int, int, int, int, const char*,
          const char*) {
  return g_answer;
}

struct Frame {
  std::string dir, content;
};

// Runs login, alert, the submits of the table below, and answers to a message (stored and
// not stored) and a report; returns every frame both ways as the centre saw them.
std::vector<Frame> Exchange(UcpSim& sim) {
  UCPSetReceiveMessageCallback(Store);
  UCPSetResponseTimeout(10000);
  UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  EXPECT_EQ(UCPConnect(sock.get(), kName, "127.0.0.1", sim.port()), 0);
  EXPECT_EQ(UCPBind(sock.get(), kName, "gw", "secret"), 0);
  EXPECT_EQ(UCPEnquireLink(sock.get(), kName), 0);
  EXPECT_EQ(UCPSubmitMessage(sock.get(), kName, "4911", "", "0612345678", 0, 0, "", "Price 5€", 0, 0, ""), 0);
  EXPECT_EQ(UCPSubmitMessage(sock.get(), kName, "+4911", "", "0612345678", 0, 8, "", "Ωmega Жук", 0, 0, ""), 0);
  EXPECT_EQ(UCPSubmitMessage(sock.get(), kName, "4911", "", "0612345678", 0, 0xF5, "050003AB0201", "C3A9FF", 0, 1, ""), 0);
  EXPECT_EQ(UCPSubmitMessage(sock.get(), kName, "Shop 24", "", "0612345678", 0, 0, "", "Hello", 0x02, 0, ""), 0);
  for (int answer : {1, 0}) {
    g_answer = answer;
    sim.Control(R"({"cmd":"inject_mo","recipient":"1234","sender":"+491701234567","text":"Hi"})");
    sim.Control(R"({"cmd":"inject_dn","dst":0})");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    size_t expected = answer ? 3 : 5;  // the requested report, then the two of each round
    while (sim.Control(R"({"cmd":"responses"})")["responses"].size() < expected &&
           std::chrono::steady_clock::now() < deadline) {
      int linkError = 0;
      UCPYield(sock.get(), kName, 100, &linkError);
    }
  }
  UCPEndSession(sock.get());
  std::vector<Frame> frames;
  Json all = sim.Control(R"({"cmd":"frames"})")["frames"];
  for (size_t i = 0; i < all.size(); ++i) frames.push_back({all[i]["dir"].str(), all[i]["frame"].str()});
  return frames;
}

std::string RunTool(const std::vector<std::string>& argv, const TempDir& dir) {
  ProcessOptions options;
  options.stdoutPath = dir.path() + "out.txt";
  options.stderrToStdout = true;
  options.timeoutMs = 120000;
  EXPECT_EQ(RunProcess(argv, options), 0) << argv[0];
  return ReadFileText(options.stdoutPath);
}

class Crosscheck : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!sim_.Start({"--login", "gw:secret", "--set", "mt3_charset=gsm", "--set", "dn_delay_ms=20"}))
      GTEST_SKIP() << sim_.why();
  }
  UcpSim sim_;
  TempDir dir_;
};

TEST_F(Crosscheck, KannelDecodesEveryFrameWeSend) {
  std::string decoder = FindProgram("/usr/lib/kannel/test", "decode_emimsg");
  if (decoder.empty()) decoder = FindProgram("", "decode_emimsg");
  if (decoder.empty()) GTEST_SKIP() << "decode_emimsg (kannel) not installed";
  std::vector<Frame> frames = Exchange(sim_);
  struct Expect {
    const char* frameStart;  // "/O/51/" or "/R/52/" ...
    std::vector<std::string> patterns;
  };
  // In the order the library sent them.
  std::vector<Expect> expected = {
      {"/O/60/", {R"(E60_OADC\s+gw\n)", R"(E60_STYP\s+1\n)", R"(E60_PWD\s+secret\n)"}},
      {"/O/31/", {R"(E50_PID\s+0539\n)"}},
      {"/O/51/", {R"(E50_ADC\s+0612345678\n)", R"(E50_OADC\s+4911\n)", R"(E50_MT\s+3\n)",
                  R"(E50_NMSG\s+50726963652035 ?1B65\n)"}},
      {"/O/51/", {R"(E50_OADC\s+4911\n)", R"(E50_MT\s+4\n)", R"(E50_NB\s+144\n)",
                  R"(E50_NMSG\s+03A9006D006500670061002004160443043A\n)", R"(E50_OTOA\s+1139\n)",
                  R"(E50_XSER\s+020108\n)"}},
      {"/O/51/", {R"(E50_MT\s+4\n)", R"(E50_NB\s+24\n)", R"(E50_NMSG\s+C3A9FF\n)",
                  R"(E50_XSER\s+0106050003AB02010201F5\n)"}},
      {"/O/51/", {R"(E50_OADC\s+0D53F41B0E92D100\n)", R"(E50_OTOA\s+5039\n)", R"(E50_NRQ\s+1\n)", R"(E50_NT\s+3\n)",
                  R"(E50_AMSG\s+Hello\n)"}},
  };
  size_t next = 0, answers = 0;
  for (const Frame& f : frames) {
    if (f.dir != "in") continue;
    SCOPED_TRACE(f.content);
    std::string out = RunTool({decoder, f.content}, dir_);
    EXPECT_EQ(out.find("Invalid EMI packet"), std::string::npos) << out;
    if (f.content.find("/R/") != std::string::npos) {
      ++answers;
      EXPECT_TRUE(std::regex_search(out, std::regex(R"(TYPE\s+R)"))) << out;
      // The one error it reports is the refusal of a message the callback did not store.
      bool nack = f.content.find("/N/04/") != std::string::npos;
      EXPECT_EQ(out.find("ERROR") != std::string::npos, nack) << out;
      if (nack) {
        EXPECT_NE(out.find("Got negative ack. op:5"), std::string::npos) << out;
      }
      continue;
    }
    EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
    ASSERT_LT(next, expected.size());
    EXPECT_NE(f.content.find(expected[next].frameStart), std::string::npos);
    for (const std::string& p : expected[next].patterns) EXPECT_TRUE(std::regex_search(out, std::regex(p))) << p << "\n" << out;
    ++next;
  }
  EXPECT_EQ(next, expected.size());
  EXPECT_EQ(answers, 5u);
}

// Raw-IP capture (link type 101), one TCP segment per frame, client port 40000 to port.
std::string PcapOf(const std::vector<Frame>& frames, uint16_t port) {
  std::string out;
  auto le32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) out += char((v >> (8 * i)) & 0xFF); };
  auto le16 = [&](uint16_t v) { out += char(v & 0xFF); out += char(v >> 8); };
  le32(0xA1B2C3D4); le16(2); le16(4); le32(0); le32(0); le32(65535); le32(101);
  uint32_t seq[2] = {1, 1};
  for (size_t i = 0; i < frames.size(); ++i) {
    bool fromClient = frames[i].dir == "in";
    std::string payload = "\x02" + frames[i].content + "\x03";
    std::string pkt;
    auto be16 = [&](uint16_t v) { pkt += char(v >> 8); pkt += char(v & 0xFF); };
    auto be32 = [&](uint32_t v) { for (int s = 24; s >= 0; s -= 8) pkt += char((v >> s) & 0xFF); };
    // IPv4 header
    pkt += char(0x45); pkt += char(0); be16(uint16_t(40 + payload.size())); be16(uint16_t(i)); be16(0);
    pkt += char(64); pkt += char(6); be16(0);
    pkt += std::string("\x7F\x00\x00", 3) + char(fromClient ? 1 : 2);
    pkt += std::string("\x7F\x00\x00", 3) + char(fromClient ? 2 : 1);
    // TCP header
    be16(fromClient ? 40000 : port); be16(fromClient ? port : 40000);
    be32(seq[fromClient ? 0 : 1]); be32(seq[fromClient ? 1 : 0]);
    pkt += char(0x50); pkt += char(0x18); be16(65535); be16(0); be16(0);
    seq[fromClient ? 0 : 1] += uint32_t(payload.size());
    pkt += payload;
    le32(uint32_t(i)); le32(0); le32(uint32_t(pkt.size())); le32(uint32_t(pkt.size()));
    out += pkt;
  }
  return out;
}

TEST_F(Crosscheck, TsharkDissectsTheExchangeCleanly) {
  std::string tshark = FindProgram("", "tshark");
  if (tshark.empty()) GTEST_SKIP() << "tshark not installed";
  std::vector<Frame> frames = Exchange(sim_);
  ASSERT_GE(frames.size(), 20u);
  WriteFileText(dir_.path() + "ucp.pcap", PcapOf(frames, 5000));
  setenv("HOME", dir_.path().c_str(), 1);  // no personal profile
  setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
  std::string out = RunTool({tshark, "-r", dir_.path() + "ucp.pcap", "-d", "tcp.port==5000,ucp", "-T", "fields", "-E",
                         "separator=|", "-e", "ucp.hdr.TRN", "-e", "ucp.hdr.LEN", "-e", "ucp.hdr.OT", "-e",
                         "ucp.parm.AdC", "-e", "_ws.col.Info", "-e", "_ws.expert"},
                        dir_);
  std::vector<std::string> rows;
  size_t from = 0;
  for (size_t nl; (nl = out.find('\n', from)) != std::string::npos; from = nl + 1) {
    std::string row = out.substr(from, nl - from);
    if (row.find('|') != std::string::npos) rows.push_back(row);  // not tshark's own notes
  }
  ASSERT_EQ(rows.size(), frames.size()) << out;
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(frames[i].content);
    EXPECT_EQ(rows[i].find("Malformed"), std::string::npos) << rows[i];
    EXPECT_EQ(rows[i].find("hecksum"), std::string::npos) << rows[i];
    EXPECT_EQ(rows[i].substr(0, rows[i].find('|')), std::to_string(std::stoi(frames[i].content.substr(0, 2))));
    std::string len = rows[i].substr(rows[i].find('|') + 1);
    EXPECT_EQ(std::stoul(len.substr(0, len.find('|'))), frames[i].content.size());
  }
}

}  // namespace
