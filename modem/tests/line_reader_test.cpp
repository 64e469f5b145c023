// The readers and writer over a local socket pair standing in for the modem's line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "modem/modem_line.h"
#include "runtime/debug_log.h"
#include "runtime/unique_fd.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_files.h"

namespace {

// The gateway's end as a device, the modem's end for the test.
struct LinePair {
  ModemDevice device;
  UniqueFd modem;

  explicit LinePair(int type = SOCK_STREAM, ModemTransport transport = ModemTransport::Socket) {
    int sv[2];
    if (socketpair(AF_UNIX, type, 0, sv) != 0) return;
    fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    device.fd.reset(sv[0]);
    device.transport = transport;
    device.readIntervalMs = 10;
    modem.reset(sv[1]);
  }
  void Say(const std::string& bytes) const { ASSERT_EQ(write(modem.get(), bytes.data(), bytes.size()), (ssize_t)bytes.size()); }
  // What the gateway wrote, waiting up to ms for the first bytes.
  std::string Heard(int ms = 200) const {
    std::string all;
    char buf[4096];
    pollfd p{modem.get(), POLLIN, 0};
    while (poll(&p, 1, all.empty() ? ms : 50) > 0) {
      ssize_t n = read(modem.get(), buf, sizeof buf);
      if (n <= 0) break;
      all.append(buf, static_cast<size_t>(n));
    }
    return all;
  }
};

const std::string kPdu = "07912143658709F1040B919471103254F600006240312100000004C8329BFD";
const std::string kPushed = "\r\n+CMT: ,23\r\n" + kPdu + "\r\n";

TEST(LineReader, FullBufferEndsTheRead) {
  LinePair line;
  line.Say(std::string(300, 'x'));
  ModemLine ml;
  int checks = 0;
  // Reading on with no room left would test the stop flag over and over until the time-out.
  ml.stopping = [&] { return ++checks > 1000; };
  std::string reply;
  ModemReadRequest r;
  r.capacity = 100;
  r.timeoutSeconds = 60;
  EXPECT_EQ(ReceiveModemCommand(line.device, reply, r, ml), 99u);
  EXPECT_EQ(reply, std::string(99, 'x'));
  EXPECT_LT(checks, 10);
}

TEST(LineReader, EndOfStreamIsAReadFailure) {
  struct Case {
    const char* name;
    std::string before;  // sent before the close
  } cases[] = {{"nothing", ""}, {"half a reply", "\r\nO"}, {"half a pushed message", "\r\n+CMT: ,23\r\n0791"}};
  for (const Case& c : cases) {
    LinePair line;
    if (!c.before.empty()) line.Say(c.before);
    line.modem.reset();
    ModemLine ml;
    std::string reply;
    ModemReadRequest r;
    r.timeoutSeconds = 60;
    EXPECT_EQ(ReceiveModemCommand(line.device, reply, r, ml), 0u) << c.name;
    EXPECT_TRUE(line.device.failed) << c.name;
    EXPECT_EQ(ReceiveModemCommand(line.device, reply, r, ml), 0u) << c.name;
    EXPECT_EQ(ReceiveModemCommandWaitForPrompt(line.device, reply, "OK", 60, ml), 0u) << c.name;
    EXPECT_EQ(SendModemCommand(line.device, "AT\r", ml), 0) << c.name;
  }
}

TEST(LineReader, CommandsGoOutInPieces) {
  struct Case {
    ModemTransport transport;
    uint32_t serialMax, ipMax;
    size_t length;
    std::vector<size_t> pieces;
  } cases[] = {
      {ModemTransport::Serial, 16, 1, 40, {16, 16, 8}},
      {ModemTransport::Serial, 0, 1, 20, {16, 4}},
      {ModemTransport::Serial, 64, 1, 10, {10}},
      {ModemTransport::Socket, 16, 1, 4, {1, 1, 1, 1}},
      {ModemTransport::Socket, 16, 0, 3, {1, 1, 1}},
      {ModemTransport::Socket, 16, 100, 40, {40}},
  };
  for (const auto& c : cases) {
    LinePair line(SOCK_SEQPACKET, c.transport);
    ModemLine ml;
    ml.settings.ModemMaxBytesPerSend = c.serialMax;
    ml.settings.IPModemMaxBytes = c.ipMax;
    std::string text(c.length, 'A');
    ASSERT_EQ(SendModemCommand(line.device, text, ml), 1);
    std::vector<size_t> seen;
    char buf[256];
    pollfd p{line.modem.get(), POLLIN, 0};
    while (poll(&p, 1, 0) > 0) seen.push_back(static_cast<size_t>(read(line.modem.get(), buf, sizeof buf)));
    EXPECT_EQ(seen, c.pieces) << c.length;
  }
}

// A line that takes nothing for a while is waited for, not given up or spun on: once the
// modem reads again every byte arrives, in order.
TEST(LineReader, FullLineIsWaitedForAndWrittenWhole) {
  LinePair line;
  int small = 4096;
  setsockopt(line.device.fd.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(line.modem.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ModemLine ml;
  ml.settings.IPModemMaxBytes = 512;
  std::string text;
  for (int i = 0; text.size() < 256 * 1024; ++i) text += "AT+CMGS=" + std::to_string(i) + "\r";
  std::string heard;
  std::thread modem([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the line is full by now
    char buf[4096];
    while (heard.size() < text.size()) {
      pollfd p{line.modem.get(), POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) break;
      ssize_t n = read(line.modem.get(), buf, sizeof buf);
      if (n <= 0) break;
      heard.append(buf, size_t(n));
    }
  });
  EXPECT_EQ(SendModemCommand(line.device, text, ml), 1);
  modem.join();
  EXPECT_FALSE(line.device.failed);
  EXPECT_TRUE(heard == text) << heard.size() << " of " << text.size() << " bytes heard";
}

TEST(LineReader, PushedMessageAcknowledgedOnlyWhenStored) {
  struct Case {
    const char* name;
    bool acknowledgeMode;
    PushedTaken taken;
    bool askPending;
    std::string heard;
    bool pending;
  } cases[] = {
      {"stored, acknowledged at once", true, PushedTaken::Stored, false, "AT+CNMA\r", false},
      {"stored, acknowledgement left to the caller", true, PushedTaken::Stored, true, "", true},
      {"not stored: no acknowledgement", true, PushedTaken::NotStored, false, "", false},
      {"not stored, caller asked: nothing pending", true, PushedTaken::NotStored, true, "", false},
      {"held by the caller: it acknowledges later", true, PushedTaken::Held, false, "", false},
      {"held, caller asked: nothing pending", true, PushedTaken::Held, true, "", false},
      {"no acknowledge mode", false, PushedTaken::Stored, false, "", false},
  };
  for (const Case& c : cases) {
    LinePair line;
    ModemLine ml;
    ml.acknowledgeMode = c.acknowledgeMode;
    std::vector<PushedMessage> got;
    ml.pushed = [&](const PushedMessage& m) {
      got.push_back(m);
      return c.taken;
    };
    line.Say("\r\nOK" + kPushed + "\r\n");
    bool pending = false;
    std::string reply;
    ModemReadRequest r;
    r.timeoutSeconds = 10;
    r.acknowledgePending = c.askPending ? &pending : nullptr;
    size_t n = ReceiveModemCommand(line.device, reply, r, ml);
    EXPECT_EQ(n, reply.size()) << c.name;
    EXPECT_EQ(reply, "\r\nOK\r\n\r\n") << c.name;
    ASSERT_EQ(got.size(), 1u) << c.name;
    EXPECT_EQ(got[0].kind, PushedKind::Pdu);
    EXPECT_EQ(got[0].pdu, kPdu);
    EXPECT_EQ(line.Heard(), c.heard) << c.name;
    EXPECT_EQ(pending, c.pending) << c.name;
  }
}

TEST(LineReader, TextFormMessagesAndReports) {
  LinePair line;
  ModemLine ml;
  ml.acknowledgeMode = true;
  std::vector<PushedMessage> got;
  ml.pushed = [&](const PushedMessage& m) {
    got.push_back(m);
    return PushedTaken::Stored;
  };
  line.Say("\r\n+CMT: \"+491701234567\",,\"26/12/08,10:00:00+00\"\r\nHello there\r\n"
           "\r\n+CDS: 6,12,\"+4912345\",145,\"26/12/08,10:00:00+00\",\"26/12/08,10:00:05+00\",0\r\n"
           "\r\n+CDS: 25\r\n" + kPdu + "\r\n\r\nOK\r\n");
  std::string reply;
  ModemReadRequest r;
  r.timeoutSeconds = 10;
  ReceiveModemCommand(line.device, reply, r, ml);
  EXPECT_EQ(reply, "\r\n\r\n\r\n\r\nOK\r\n");
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].kind, PushedKind::TextCmt);
  EXPECT_EQ(got[0].sender, "+491701234567");
  EXPECT_EQ(got[0].text, "Hello there");
  EXPECT_EQ(got[1].kind, PushedKind::Pdu);
  EXPECT_TRUE(got[1].statusReport);
  // One acknowledgement per pushed message, the text-form report included.
  EXPECT_EQ(line.Heard(), "AT+CNMA\rAT+CNMA\rAT+CNMA\r");
}

// In acknowledge mode the read interval after a prompt catches a message pushed behind it,
// to be acknowledged before the message goes. Without that mode the prompt ends the read
// at once (the answer's read takes what follows), however long the read interval.
TEST(LineReader, MessagePushedBehindThePromptIsCaughtWithIt) {
  struct Case {
    bool acknowledgeMode;
    bool pushed;
  } cases[] = {{true, true}, {true, false}, {false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.acknowledgeMode ? "acknowledge mode" : "plain") + (c.pushed ? ", pushed" : ""));
    LinePair line;
    line.device.readIntervalMs = c.acknowledgeMode ? 300 : 10000;
    ModemLine ml;
    ml.acknowledgeMode = c.acknowledgeMode;
    int got = 0;
    ml.pushed = [&](const PushedMessage&) {
      ++got;
      return PushedTaken::Stored;
    };
    line.Say("\r\n> ");
    std::thread behind([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (c.pushed) line.Say(kPushed);
    });
    bool pending = false;
    std::string reply;
    ModemReadRequest r;
    r.timeoutSeconds = 30;
    r.waitForPrompt = true;
    r.acknowledgePending = &pending;
    auto start = std::chrono::steady_clock::now();
    EXPECT_GT(ReceiveModemCommand(line.device, reply, r, ml), 0u);
    auto took = std::chrono::steady_clock::now() - start;
    behind.join();
    EXPECT_EQ(got, c.pushed ? 1 : 0);
    EXPECT_EQ(pending, c.pushed);
    EXPECT_EQ(reply.find("+CMT:"), std::string::npos) << reply;
    EXPECT_NE(reply.find("> "), std::string::npos) << reply;
    // Acknowledged by the caller, not on the line behind the prompt.
    EXPECT_EQ(line.Heard(), "");
    if (!c.acknowledgeMode) {
      EXPECT_LT(took, std::chrono::seconds(5));
    }
  }
}

TEST(LineReader, PushedMessageCompletesAfterTheTimeout) {
  LinePair line;
  ModemLine ml;
  std::vector<PushedMessage> got;
  ml.pushed = [&](const PushedMessage& m) {
    got.push_back(m);
    return PushedTaken::Stored;
  };
  line.Say("\r\n+CMT: ,23\r\n" + kPdu.substr(0, 20));
  std::thread rest([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    line.Say(kPdu.substr(20) + "\r\n\r\nOK\r\n");
  });
  std::string reply;
  ModemReadRequest r;
  r.timeoutSeconds = 1;
  ReceiveModemCommand(line.device, reply, r, ml);
  rest.join();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].pdu, kPdu);
  EXPECT_EQ(reply, "\r\n\r\nOK\r\n");
}

TEST(LineReader, OverlongPushedLengthIsNotWaitedFor) {
  LinePair line;
  ModemLine ml;
  int pushed = 0;
  ml.pushed = [&](const PushedMessage&) {
    ++pushed;
    return PushedTaken::Stored;
  };
  line.Say("\r\n+CMT: ,4000\r\n0791\r\n\r\nOK\r\n");
  std::string reply;
  ModemReadRequest r;
  r.timeoutSeconds = 60;
  EXPECT_GT(ReceiveModemCommand(line.device, reply, r, ml), 0u);
  EXPECT_EQ(reply, "\r\n0791\r\n\r\nOK\r\n");
  EXPECT_EQ(pushed, 0);
}

TEST(LineReader, OneReplyAsTheCallerGetsIt) {
  struct Case {
    const char* name;
    std::string bytes;
    bool prompt, simple;
    std::string reply;
    bool newMessage;
  } cases[] = {
      {"notice and prompt", "\r\n+CMTI: \"SM\",3\r\n\r\n> ", true, false, "\r\n+CMTI: \"SM\",3\r\n\r\n> ", true},
      {"report notice", "\r\n+CDSI: \"SM\",4\r\nOK\r\n", false, false, "\r\n+CDSI: \"SM\",4\r\nOK\r\n", true},
      {"NULs as spaces", std::string("A\0B\r\nOK\r\n", 9), false, false, "A B\r\nOK\r\n", false},
      // The simple reader returns the first bytes, with no OK and without the expected text.
      {"simple reader", "\r\n+CSQ: 20,99\r\n", false, true, "\r\n+CSQ: 20,99\r\n", false},
  };
  for (const Case& c : cases) {
    LinePair line;
    ModemLine ml;
    ml.settings.OldModemHandler = c.simple;
    line.Say(c.bytes);
    bool fresh = false;
    std::string reply;
    ModemReadRequest r;
    r.timeoutSeconds = 30;
    r.waitForPrompt = c.prompt;
    r.expected = c.simple ? "+CPMS:" : "";
    r.newMessage = &fresh;
    EXPECT_EQ(ReceiveModemCommand(line.device, reply, r, ml), c.reply.size()) << c.name;
    EXPECT_EQ(reply, c.reply) << c.name;
    EXPECT_EQ(fresh, c.newMessage) << c.name;
  }
}

TEST(LineReader, ExtraCrModeNudgesTheModem) {
  LinePair line;
  ModemLine ml;
  std::string reply;
  ModemReadRequest r;
  r.timeoutSeconds = 3;
  r.extraCr = true;
  std::thread answer([&] {
    // The answer comes only after the modem was nudged twice.
    std::string heard;
    while (heard.size() < 2) heard += line.Heard(5000);
    line.Say("\r\n+CMGS: 7\r\n\r\nOK\r\n");
  });
  r.expected = "+CMGS:";
  ReceiveModemCommand(line.device, reply, r, ml);
  answer.join();
  EXPECT_NE(reply.find("+CMGS: 7"), std::string::npos);
}

// A line that never pauses (noise, a looping echo) still ends the read at its time-out.
TEST(LineReader, EndlessStreamStillTimesOut) {
  LinePair line;
  line.device.readIntervalMs = 1000;  // a long MinimumReadDelay: no pause ends a burst
  ModemLine ml;
  std::atomic<bool> done{false};
  std::thread noise([&] {
    for (int i = 0; i < 6000 && !done; ++i) {
      line.Say("x");
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  });
  std::string reply;
  ModemReadRequest r;
  r.timeoutSeconds = 1;
  r.capacity = 1 << 20;
  auto start = std::chrono::steady_clock::now();
  ReceiveModemCommand(line.device, reply, r, ml);
  auto spent = std::chrono::steady_clock::now() - start;
  done = true;
  noise.join();
  EXPECT_LT(spent, std::chrono::seconds(8));
  EXPECT_FALSE(reply.empty());
}

TEST(LineReader, StopEndsAWait) {
  LinePair line;
  ModemLine ml;
  std::atomic<bool> stop{false};
  ml.stopping = [&] { return stop.load(); };
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
  });
  std::string reply;
  ModemReadRequest r;
  r.timeoutSeconds = 120;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ReceiveModemCommand(line.device, reply, r, ml), 0u);
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  EXPECT_FALSE(line.device.failed);
}

TEST(LineReader, TelnetCommandCutByReadsDuringLogin) {
  LinePair line;
  ModemLine ml;
  line.Say("\xFF");
  std::thread rest([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    line.Say(std::string("\xFD\x01", 2) + "\xFF\x07Username: ");
  });
  std::string reply;
  EXPECT_GT(ReceiveModemCommandWaitForPrompt(line.device, reply, "Username+++Login", 30, ml), 0u);
  rest.join();
  EXPECT_EQ(reply, "Username: ");
  EXPECT_EQ(line.Heard(), "\xFF\xFD\x03\xFF\xFB\x03\xFF\xFC\x01");
}

}  // namespace

namespace {

// A terminal server that echoes what is typed puts the password into the bytes the readers
// log.
TEST(LineReader, EchoedPasswordNeverReachesTheLog) {
  TempDir logDir;
  DebugSettings.Debug = true;
  DebugSettings.Debug2 = true;
  DebugSettings.CopyToStderr = false;
  SetDebugLogDirectory(logDir.path());
  LinePair line;
  ModemLine ml;
  ml.settings.Debug = true;
  ml.settings.Debug2 = true;
  ml.settings.Password = "Echo-Me-7";
  ml.settings.IPModemInit = {{"PIN:", "4321-Sim\\r"}};
  line.Say("Password: Echo-Me-7\r\nPIN: 4321-Sim\r\n+CMT: \"Echo-Me-7\"\r\nhi\r\n");
  std::string reply;
  EXPECT_EQ(ReceiveModemCommandWaitForPrompt(line.device, reply, "nothing like this", 1, ml), 0u);
  line.Say("Echo-Me-7\r\nOK\r\n");
  ModemReadRequest r;
  r.timeoutSeconds = 5;
  ReceiveModemCommand(line.device, reply, r, ml);
  EXPECT_EQ(reply, "Echo-Me-7\r\nOK\r\n");  // the caller gets the bytes as they came
  CloseDebugLog();
  DebugSettings.Debug = false;
  DebugSettings.Debug2 = false;
  DebugSettings.CopyToStderr = true;
  std::string log = ReadFileText(logDir.path() + "SMSDEBUG.LOG");
  EXPECT_NE(log.find("Returning"), std::string::npos);
  EXPECT_NE(log.find("*********"), std::string::npos);
  EXPECT_EQ(log.find("Echo-Me-7"), std::string::npos);
  EXPECT_EQ(log.find("4321-Sim"), std::string::npos);
  EXPECT_EQ(log.find("45 63 68 6F"), std::string::npos);  // nor in a hex dump
}

}  // namespace
