// The timed waits of the inbound workers, seen in the running gateway with its clock moved
// forward (libfaketime, an offset read from a file the test rewrites): a lost segment is
// waited for 5 minutes (1 for unmarked long messages), an unknown receipt is tried again
// after 1, 2, 3 and 4 minutes and then processed unresolved. Each wait is checked against the
// gateway's own log times, so the test does not depend on how fast the machine is.
// libfaketime moves the calendar clock only: it would set the monotonic clock to calendar
// time, and condition-variable waits on it would then never end. The 300 s limit of two-way
// programs runs on the monotonic clock: a small preloaded library of this test moves that one.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/gateway_process.h"

namespace {

const char* const kFakeTimeLibraries[] = {"/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1",
                                          "/usr/lib/aarch64-linux-gnu/faketime/libfaketimeMT.so.1",
                                          "/usr/lib/faketime/libfaketimeMT.so.1"};

std::string FakeTimeLibrary() {
  for (const char* path : kFakeTimeLibraries)
    if (access(path, R_OK) == 0) return path;
  return {};
}

// Sanitizer builds want their runtime first in the library list; the preloaded one comes
// before it.
std::string AsanOptions() {
  const char* asan = getenv("ASAN_OPTIONS");
  return "ASAN_OPTIONS=" + std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "verify_asan_link_order=0";
}

// Milliseconds of the day of a debug log line ("HH:MM:SS:mmm ..."); -1 when it has none.
long LineTimeMs(const std::string& line) {
  int h, m, s, ms;
  if (sscanf(line.c_str(), "%2d:%2d:%2d:%3d", &h, &m, &s, &ms) != 4) return -1;
  return ((h * 60L + m) * 60 + s) * 1000 + ms;
}

// The times of the log lines holding text, in order.
std::vector<long> TimesOf(const std::string& log, const std::string& text) {
  std::vector<long> out;
  size_t start = 0;
  for (size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = log.substr(start, end - start);
    if (line.find(text) != std::string::npos) out.push_back(LineTimeMs(line));
  }
  return out;
}

// Seconds from a to b on the gateway's clock (the test stays well within a day).
double Between(long a, long b) { return double(((b - a) % 86400000 + 86400000) % 86400000) / 1000; }

class InboundClockTest : public ::testing::Test {
 protected:
  void SetUp() override { h = home.path(); }
  // Published as another program must: complete, under a name no worker takes first.
  void Drop(const std::string& name, const std::string& body) {
    std::string part = h + "SMS-IN/~" + name + ".part";
    WriteFileText(part, "[SMS-IN]\r\n" + body);
    ASSERT_EQ(rename(part.c_str(), (h + "SMS-IN/" + name).c_str()), 0);
  }
  void SetClock(int offsetSeconds) {
    WriteFileText(h + "clock.part", "+" + std::to_string(offsetSeconds) + "\n");
    ASSERT_EQ(rename((h + "clock.part").c_str(), (h + "clock").c_str()), 0);
  }
  size_t Count(const std::string& suffix) {
    size_t n = 0;
    for (const std::string& f : FilesUnder(h + "SMS-IN"))
      n += f.size() > suffix.size() && f.compare(f.size() - suffix.size(), suffix.size(), suffix) == 0;
    return n;
  }
  // A copy kept for other applications with this text.
  bool Kept(const std::string& data) {
    for (const std::string& f : FilesUnder(h + "SMS-IN"))
      if (f.size() > 4 && f.compare(f.size() - 4, 4, ".SMS") == 0 &&
          ReadFileText(f).find("Data=" + data + "\r\n") != std::string::npos)
        return true;
    return false;
  }
  std::string ReceiptRetries() {
    std::string text = ReadFileText(h + "SMS-IN/R.rct");
    size_t at = text.find("RetryCount=");
    return at == std::string::npos ? "" : text.substr(at + 11, text.find('\r', at) - at - 11);
  }
  GatewayHome home;
  std::string h;
};

TEST_F(InboundClockTest, WaitsEndOnTheGatewaysClock) {
  std::string library = FakeTimeLibrary();
  if (library.empty()) GTEST_SKIP() << "libfaketime is not installed (Debian package faketime)";
  home.WriteConfig({"Debug=Yes", "WebPort=" + std::to_string(FreeTcpPort()), "ReceiveSMS=Yes", "USASegmentFix=Yes",
                    "2WaySMSThreadCount=2"});
  SetClock(0);
  // Every clock read sees the offset the test wrote last; file times stay the real ones.
  auto p = std::make_unique<GatewayProcess>(
      home, "qargate", std::vector<std::string>{},
      std::vector<std::string>{"LD_PRELOAD=" + library, "FAKETIME_TIMESTAMP_FILE=" + h + "clock", "FAKETIME_NO_CACHE=1",
                               "NO_FAKE_STAT=1", "FAKETIME_DONT_FAKE_MONOTONIC=1", AsanOptions()});
  ASSERT_TRUE(p->WaitForOutput("Web server started on port number", 30000)) << p->Output();

  const std::string longText(153, 'u');
  // Segments 1 and 3 of 3; an unmarked long message and one text after it; a receipt nobody
  // knows.
  Drop("A1.in", "Sender=4470\r\nPhoneNumber=1\r\nUDH=06080412340301\r\nData=one+\r\n");
  Drop("A3.in", "Sender=4470\r\nPhoneNumber=1\r\nUDH=06080412340303\r\nData=three\r\n");
  Drop("B1.in", "Sender=4480\r\nPhoneNumber=1\r\nData=" + longText + "\r\n");
  ASSERT_TRUE(WaitUntil(30000, [&] { return Count(".SAR") == 3; })) << home.DebugLog();
  Drop("B2.in", "Sender=4480\r\nPhoneNumber=1\r\nData=tail\r\n");
  Drop("R.rct", "ModemName=SMPP - 127.0.0.1:9\r\nSender=4491\r\nPhoneNumber=2\r\nData=id:NOPE stat:DELIVRD\r\n"
                "ReceiptDelivered=Yes\r\nReceiptMessageId=NOPE\r\n");
  ASSERT_TRUE(WaitUntil(30000, [&] { return Count(".SAR") == 4 && ReceiptRetries() == "1"; })) << home.DebugLog();

  // Each step moves the clock past the next due time and waits for what falls due.
  struct Step {
    int offset;
    const char* what;
    std::function<bool()> done;
  } steps[] = {
      {100, "the unmarked message given up on; the receipt's second try",
       [&] { return Kept(longText + "tail") && ReceiptRetries() == "2"; }},
      {250, "the receipt's third try", [&] { return ReceiptRetries() == "3"; }},
      {400, "the lost segment given up on", [&] { return Kept("one+three"); }},
      {500, "the receipt's fourth try", [&] { return ReceiptRetries() == "4"; }},
      {800, "the receipt processed unresolved", [&] { return Kept("id:NOPE stat:DELIVRD") && Count(".rct") == 0; }},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    SetClock(s.offset);
    ASSERT_TRUE(WaitUntil(60000, s.done)) << home.DebugLog();
  }
  // None of the waits ended early by the gateway's own clock.
  std::string log = home.DebugLog();
  struct Wait {
    const char* what;
    std::string from, to;
    double atLeast;
  } waits[] = {
      {"lost segment", "SAR Segment Reference = 1234, Count = 3, Current = 3", "Stopped waiting for " + h + "SMS-IN/4470-1234-3-2.SAR", 299},
      {"unmarked long message", "SAR Segment Reference = 10000, Count = 20, Current = 2",
       "Stopped waiting for " + h + "SMS-IN/4480-10000-20-3.SAR", 59},
  };
  for (const Wait& w : waits) {
    SCOPED_TRACE(w.what);
    std::vector<long> from = TimesOf(log, w.from), to = TimesOf(log, w.to);
    ASSERT_FALSE(from.empty());
    ASSERT_FALSE(to.empty()) << log;
    // The first end after the start.
    double waited = -1;
    for (long t : to) {
      double d = Between(from.back(), t);
      if (d < 3600 && (waited < 0 || d < waited)) waited = d;
    }
    EXPECT_GE(waited, w.atLeast);
  }
  std::vector<long> tries = TimesOf(log, "Receipt message id = NOPE not in database");
  ASSERT_EQ(tries.size(), 5u) << log;  // counts 0 to 4, the last one before it is given up
  for (size_t i = 1; i < tries.size(); ++i) EXPECT_GE(Between(tries[i - 1], tries[i]), 60.0 * double(i) - 1) << i;

  p->Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(p->WaitExit(30000, code));
  EXPECT_EQ(code, 0) << p->Output();
}

TEST_F(InboundClockTest, ProgramIsStoppedWithItsChildrenAfterItsTime) {
  std::string script = h + "slow.sh";
  WriteFileText(script, "#!/bin/sh\necho started\nsleep 100000 &\necho $! > \"" + h + "child.part\"\nmv \"" + h +
                            "child.part\" \"" + h + "child.pid\"\nwait\n");
  chmod(script.c_str(), 0755);
  home.WriteConfig({"Debug=Yes", "WebPort=" + std::to_string(FreeTcpPort()), "ReceiveSMS=Yes",
                    "ReceiveSMSCommand1=SLOW\t" + script + "\tYes"});
  WriteFileText(h + "monotonic", "0\n");
  auto p = std::make_unique<GatewayProcess>(
      home, "qargate", std::vector<std::string>{},
      std::vector<std::string>{std::string("LD_PRELOAD=") + QAR_CLOCK_SHIM,
                               "QAR_TEST_MONOTONIC_OFFSET_FILE=" + h + "monotonic", AsanOptions()});
  ASSERT_TRUE(p->WaitForOutput("Web server started on port number", 30000)) << p->Output();
  Drop("P.in", "Sender=4490\r\nPhoneNumber=1\r\nData=SLOW please\r\n");
  ASSERT_TRUE(WaitUntil(30000, [&] { return access((h + "child.pid").c_str(), R_OK) == 0; })) << home.DebugLog();
  pid_t child = pid_t(atol(ReadFileText(h + "child.pid").c_str()));
  ASSERT_GT(child, 0);
  EXPECT_EQ(kill(child, 0), 0);
  EXPECT_EQ(home.DebugLog().find("ran past its time"), std::string::npos);

  // Five minutes on: the program and the child it left are stopped, what it printed is its
  // answer, and its message is finished.
  WriteFileText(h + "monotonic.part", "301\n");
  ASSERT_EQ(rename((h + "monotonic.part").c_str(), (h + "monotonic").c_str()), 0);
  ASSERT_TRUE(WaitUntil(60000, [&] { return home.DebugLog().find("ran past its time and was stopped") != std::string::npos; }))
      << home.DebugLog();
  EXPECT_TRUE(WaitUntil(30000, [&] { return kill(child, 0) != 0 && errno == ESRCH; }));
  EXPECT_TRUE(WaitUntil(30000, [&] { return Count(".in") == 0; })) << home.DebugLog();
  EXPECT_NE(home.DebugLog().find("Command output: started"), std::string::npos) << home.DebugLog();

  p->Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(p->WaitExit(30000, code));
  EXPECT_EQ(code, 0) << p->Output();
}

}  // namespace
