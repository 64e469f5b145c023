// The real gateway sending and receiving through the modem simulator on a pseudo-terminal,
// one failure mode of the modem per test.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "runtime/process_runner.h"
#include "smsc/modem/tests/modem_gateway.h"
#include "smsc/modem/tests/modem_sim.h"
#include "tests/support/test_files.h"

namespace fs = std::filesystem;

namespace {

constexpr unsigned kLong = 90000;
const char* kSubmits = R"({"cmd":"submits"})";

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}


// The destinations in the keys of the gateway's message-id store, sorted, one a line (a key
// without "-" as it is).
std::string StoredReferenceDestinations(const ModemGateway& g) {
  std::string out = g.home.path() + "keys.out";
  ProcessOptions options;
  options.stdoutPath = out;
  options.timeoutMs = 30000;
  RunProcess({"/usr/bin/python3", "-c",
              "import sqlite3, sys\n"
              "keys = [r[0] for r in sqlite3.connect(sys.argv[1]).execute('SELECT smsc_id FROM msgid')]\n"
              "print('\\n'.join(sorted(k.split('-', 1)[-1] for k in keys)))",
              g.home.path() + "SMPPData/MSGID.DB"},
             options);
  std::string text = ReadFileText(out);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

bool ReadyAndSent(ModemGateway& g, ModemSim& sim, long submits) {
  return sim.WaitFor(kSubmits, "len([s for s in a['submits'] if s['result']=='OK'])", std::to_string(submits), kLong);
}

// Every queued message leaves once, as the queue file says: each SMS-SUBMIT the modem
// recorded, decoded by python3-gammu, matches its file (number, text, coding, header,
// SMSC field), and the simulator's reading agrees on validity and report request.
TEST(ModemDelivery, QueuedMessagesLeaveOnceAsTheirFilesSay) {
  ModemSim sim;
  ASSERT_TRUE(sim.Start());
  ModemGateway g;
  g.Configure(sim.device(), {"ReceiveSMS=Yes"}, {"SMSC=+4479111", "Validity=2d"});
  // One message first, so that the rest are queued while the link is up.
  g.Drop("A0.req", "PhoneNumber=+4912340\r\nData=first\r\n");
  g.Start();
  ASSERT_TRUE(ReadyAndSent(g, sim, 1)) << g.Debug();
  g.Drop("A1.req", "PhoneNumber=+4912345\r\nData=Hello modem\r\nReceiptRequested=Yes\r\n");
  g.Drop("A2.req", "PhoneNumber=004960001\r\nData=Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac 100\r\nValidity=12h\r\n");
  g.Drop("A3.req", "PhoneNumber=+4960002\r\nData=0B0C\r\nUDH=0605040B8423F0\r\nBinary=1\r\ndcs=4\r\n");
  ASSERT_TRUE(ReadyAndSent(g, sim, 4)) << g.Debug();
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.QueueEmpty(); })) << g.Debug();
  std::string decoded = sim.Ask(kSubmits,
                                "sorted('%s|%s|%s|%s|%s|%s|%s' % (g(s['pdu'])['Number'], g(s['pdu'])['Text'].rstrip('\\0') if "
                                "isinstance(g(s['pdu'])['Text'], str) else g(s['pdu'])['Text'].hex().upper(), "
                                "g(s['pdu'])['Coding'], g(s['pdu'])['UDH']['Text'].hex().upper(), "
                                "g(s['pdu'])['SMSC']['Number'], (s.get('vp') or {}).get('seconds'), s['srr']) "
                                "for s in a['submits'] if s['result']=='OK')");
  EXPECT_EQ(decoded,
            "+4912340|first|Default_No_Compression||+4479111|172800|False\n"
            "+4912345|Hello modem|Default_No_Compression||+4479111|172800|True\n"
            "+4960002|0B0C|8bit|0605040B8423F0|+4479111|172800|False\n"
            "004960001|Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac 100|Default_No_Compression||+4479111|43200|False")
      << g.Debug();
  EXPECT_EQ(sim.Ask(kSubmits, "len(a['submits'])"), "4");
  // The report of the first comes back pushed ("+CDS:") and is stored for its message.
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.ReceivedText().find("ReceiptMessageId=A1") != std::string::npos; }))
      << g.Debug();
  EXPECT_NE(g.ReceivedText().find("ReceiptDelivered=Yes"), std::string::npos) << g.ReceivedText();
  // No connection fetches MMS over this modem: its sessions never wait for, nor pause
  // around, the arbiter of the packet-data library.
  std::string debug = g.Debug();
  EXPECT_NE(debug.find("Re-initializing modem"), std::string::npos) << debug;
  EXPECT_EQ(debug.find("ModemAllocate"), std::string::npos) << debug;
}

// A recipient that is no number fails at once and for good, without a command to the modem
// and without blaming the modem (no health test follows).
TEST(ModemDelivery, RecipientThatIsNoNumberFailsPermanentlyWithoutModemFailure) {
  ModemSim sim;
  ASSERT_TRUE(sim.Start());
  ModemGateway g;
  g.Configure(sim.device(), {"AllowAlphaRecip=Yes"});
  g.Drop("B1.req", "PhoneNumber=Shop\"\r\nData=hi\r\n");
  g.Drop("B2.req", "PhoneNumber=+4912345\r\nData=after\r\n");
  g.Start();
  ASSERT_TRUE(ReadyAndSent(g, sim, 1)) << g.Debug();
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.QueueEmpty(); })) << g.Debug();
  std::string debug = g.Debug();
  EXPECT_NE(debug.find("Error:  ERROR - Invalid destination number \"Shop\"\""), std::string::npos) << debug;
  EXPECT_EQ(debug.find("modem test failed"), std::string::npos);
  EXPECT_NE(g.QueueFile("B1.ERR").find("ERROR - Invalid destination number"), std::string::npos);
  EXPECT_EQ(Count(sim.Received(), "AT+CMGS="), 1u) << sim.Received();
}

// A modem that refuses PDU mode ends up in text mode: a binary message is refused there,
// and a text goes whole, its line ends kept, with nothing after a control byte run as a
// command (a message file ends a value at a control byte; the text mode sender drops any
// that reach it, see ModemText.PayloadKeepsLineEndsButNoControlBytes).
TEST(ModemDelivery, TextModeRefusesBinaryAndSendsTextsWhole) {
  ModemSim sim;
  ASSERT_TRUE(sim.Start());
  ASSERT_NE(sim.Ask(R"({"cmd":"fail","text_only":true})"), "");
  ModemGateway g;
  g.Configure(sim.device());
  g.Drop("C1.req", "PhoneNumber=+4912345\r\nData=0B0C\r\nUDH=0605040B8423F0\r\nBinary=1\r\n");
  g.Drop("C2.req", "PhoneNumber=+4912345\r\nData=two\\r\\nlines \x1a" "ATD5551234;\r\n");
  g.Start();
  ASSERT_TRUE(ReadyAndSent(g, sim, 1)) << g.Debug();
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.QueueFile("C1.req").find("RetryCount=") != std::string::npos; }));
  EXPECT_NE(g.QueueFile("C1.req").find("ERROR - binary messages not supported for this modem"), std::string::npos);
  EXPECT_EQ(sim.Ask(kSubmits, "[repr(s['text']) for s in a['submits']]"), "'two\\r\\nlines '");
  EXPECT_EQ(sim.Ask(kSubmits, "[s['mode'] for s in a['submits']]"), "text");
  EXPECT_EQ(Count(sim.Received(), "ATD"), 0u) << sim.Received();
}

// "+CMS ERROR: 512" twice: a modem that calls itself WAVECOM is asked again every 3 s and
// the third try goes; any other modem leaves the message for its retry.
TEST(ModemDelivery, CmsError512IsRetriedAtOnceOnlyOnWavecomModems) {
  struct Case {
    const char* ati;
    long accepted;
    long submits;
  } cases[] = {{"WAVECOM WIRELESS CPU", 1, 3}, {"PeerSim GSM Modem", 0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ati);
    ModemSim sim;
    ASSERT_TRUE(sim.Start({"--set", std::string("ati=\"") + c.ati + "\""}));
    ASSERT_NE(sim.Ask(R"({"cmd":"fail","cms_error":{"code":512,"count":2}})"), "");
    ModemGateway g;
    // Retried later only after a minute: the file keeps its retry state meanwhile.
    g.Configure(sim.device(), {"RetryDelay=60"});
    g.Drop("D1.req", "PhoneNumber=+4912345\r\nData=try\r\n");
    g.Start();
    ASSERT_TRUE(sim.WaitFor(kSubmits, "len(a['submits'])", std::to_string(c.submits), kLong)) << g.Debug();
    if (c.accepted) {
      ASSERT_TRUE(WaitUntil(kLong, [&] { return g.QueueEmpty(); })) << g.Debug();
      EXPECT_EQ(Count(g.Debug(), "Retry CMS ERROR 512 for Wavecom modems"), 2u);
    } else {
      ASSERT_TRUE(WaitUntil(kLong, [&] { return g.QueueFile("D1.req").find("RetryCount=1") != std::string::npos; }));
      EXPECT_NE(g.QueueFile("D1.req").find("LastErrorInfo=ERROR - Modem Response (2):    +CMS ERROR: 512"),
                std::string::npos)
          << g.QueueFile("D1.req");
    }
    EXPECT_EQ(sim.AcceptedSubmits(), c.accepted);
  }
}

// The right PIN opens the SIM; a wrong one is sent once, the start fails saying so, and it
// is not sent again (three would lock the SIM) until PIN is changed.
TEST(ModemSession, WrongPinIsSentOnceUntilItIsChanged) {
  ModemSim sim;
  ASSERT_TRUE(sim.Start({"--set", "pin=\"1234\""}));
  ModemGateway g;
  g.Configure(sim.device(), {}, {"PIN=9999"});
  g.Drop("E1.req", "PhoneNumber=+4912345\r\nData=pin\r\n");
  g.Start();
  ASSERT_TRUE(WaitUntil(kLong, [&] { return Count(g.Debug(), "Re-initializing modem") >= 3; })) << g.Debug();
  EXPECT_EQ(Count(sim.Received(), "AT+CPIN=\"9999\""), 1u) << sim.Received();
  EXPECT_NE(g.ErrorFile().find("refused the configured PIN"), std::string::npos) << g.ErrorFile();
  g.Configure(sim.device(), {}, {"PIN=1234"});
  ASSERT_TRUE(ReadyAndSent(g, sim, 1)) << g.Debug();
  EXPECT_EQ(Count(sim.Received(), "AT+CPIN=\"1234\""), 1u);
  EXPECT_EQ(sim.Ask(R"({"cmd":"status"})", "a['sim']"), "READY");
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.ErrorFile().empty(); }));
}

// Messages kept in the modem are listed, stored and only then deleted.
TEST(ModemReception, PolledMessagesAreStoredThenDeleted) {
  TempDir dir;
  WriteFileText(dir.path() + "script.json",
                R"({"messages": [{"sender": "+491701234567", "text": "Hello one"},)"
                R"( {"sender": "+491709999", "text": "Read before", "stat": "REC READ"},)"
                R"( {"sender": "+4911", "data": "0B0C", "udh": "0605040B8423F0", "dcs": 4}]})");
  ModemSim sim;
  ASSERT_TRUE(sim.Start({"--script", dir.path() + "script.json", "--set", "own_number=\"+4930123\""}));
  ModemGateway g;
  g.Configure(sim.device(), {"ReceiveSMS=Yes"});
  g.Start();
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.Received().size() == 3; })) << g.Debug();
  ASSERT_TRUE(sim.WaitFor(R"({"cmd":"storage"})", "sum(len(v) for v in a['memories'].values())", "0", kLong))
      << sim.Ask(R"({"cmd":"storage"})");
  std::string text = g.ReceivedText();
  EXPECT_NE(text.find("Sender=+491701234567"), std::string::npos) << text;
  EXPECT_NE(text.find("Data=Hello one"), std::string::npos) << text;
  EXPECT_NE(text.find("Data=Read before"), std::string::npos) << text;
  EXPECT_NE(text.find("UDH=0605040B8423F0"), std::string::npos) << text;
  EXPECT_NE(text.find("Data=0B0C"), std::string::npos) << text;
  EXPECT_NE(text.find("PhoneNumber=+4930123"), std::string::npos) << text;
  EXPECT_EQ(Count(sim.Received(), "AT+CMGD="), 3u);
}

// Reports pushed as "+CDS:": delivered, failed (0x46), a temporary one (0x21, suppressed)
// followed by delivery, and one for a reference the gateway never sent (id "unknown").
TEST(ModemReception, PushedReportsAreStoredByOutcome) {
  ModemSim sim;
  ASSERT_TRUE(sim.Start({"--set", R"(report_status={"default": 0, "+4960046": "0x46", "+4960021": [33, 0]})"}));
  ModemGateway g;
  g.Configure(sim.device(), {"ReceiveSMS=Yes"});
  // The modem's first reference is 0, a reference like any other.
  g.Drop("F0.req", "PhoneNumber=+4960000\r\nData=zero\r\nReceiptRequested=Yes\r\n");
  g.Start();
  ASSERT_TRUE(ReadyAndSent(g, sim, 1)) << g.Debug();
  g.Drop("F1.req", "PhoneNumber=+4960000\r\nData=one\r\nReceiptRequested=Yes\r\n");
  g.Drop("F2.req", "PhoneNumber=+4960046\r\nData=two\r\nReceiptRequested=Yes\r\n");
  g.Drop("F3.req", "PhoneNumber=+4960021\r\nData=three\r\nReceiptRequested=Yes\r\n");
  ASSERT_TRUE(ReadyAndSent(g, sim, 4)) << g.Debug();
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.Received().size() == 4; })) << g.Debug();
  ASSERT_NE(sim.Ask(R"({"cmd":"inject_report","status":0,"mr":77,"recipient":"+4977777"})"), "");
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.Received().size() == 5; })) << g.Debug();
  std::string zero, delivered, failed, later, unknown;
  for (const std::string& t : g.ReceivedTexts()) {
    if (t.find("ReceiptMessageId=F0") != std::string::npos) zero = t;
    if (t.find("ReceiptMessageId=F1") != std::string::npos) delivered = t;
    if (t.find("ReceiptMessageId=F2") != std::string::npos) failed = t;
    if (t.find("ReceiptMessageId=F3") != std::string::npos) later = t;
    if (t.find("+4977777") != std::string::npos) unknown = t;
  }
  EXPECT_NE(zero.find("ReceiptDelivered=Yes"), std::string::npos) << g.ReceivedText();
  EXPECT_NE(delivered.find("ReceiptDelivered=Yes"), std::string::npos) << g.ReceivedText();
  EXPECT_NE(failed.find("ReceiptFailed=Yes"), std::string::npos) << failed;
  EXPECT_NE(later.find("ReceiptDelivered=Yes"), std::string::npos) << later;
  EXPECT_NE(unknown.find("id:unknown"), std::string::npos) << unknown;
  EXPECT_NE(unknown.find("ReceiptMessageId=\r\n"), std::string::npos) << unknown;
}

// A modem that answers late sends the report ("+CDS:", due 50 ms after the submit) right
// behind the "+CMGS:" answer that gives its reference, in one read: the report still finds
// its message, and in acknowledge mode it is acknowledged once stored. A link that drops
// after the answer (at the second command sent after each message) loses no report read
// before it. The drop is not at the first: the simulator's hang-up discards what the
// gateway has not read yet, and the report may still be on the line then.
TEST(ModemReception, ReportsReadWithTheSubmitAnswerFindTheirMessage) {
  struct Case {
    const char* name;
    std::vector<std::string> section;
    bool acknowledge;
    bool dropAfterAnswer;
  } cases[] = {
      {"pushed reports", {"ReceiveTo=Direct"}, false, false},
      {"acknowledge mode", {"ReceiveTo=Direct", "AllowPhase2Plus=Yes"}, true, false},
      {"link drops after the answer", {"ReceiveTo=Direct", "CommandPostSend1=AT", "CommandPostSend2=AT+CGSN"}, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ModemSim sim;
    ASSERT_TRUE(sim.Start({"--set", "report_delay_ms=50"}));
    ModemGateway g;
    g.Configure(sim.device(), {"ReceiveSMS=Yes"}, c.section);
    g.Start();
    ASSERT_TRUE(WaitUntil(kLong, [&] { return g.Debug().find("Modem initialization complete") != std::string::npos; }));
    ASSERT_NE(sim.Ask(R"({"cmd":"fail","delay_ms":300})"), "");
    if (c.dropAfterAnswer) {
      ASSERT_NE(sim.Ask(R"({"cmd":"fail","drop_on":"+CGSN"})"), "");
      g.Drop("R1.req", "PhoneNumber=+4960001\r\nData=one\r\nReceiptRequested=Yes\r\n");
      ASSERT_TRUE(WaitUntil(kLong, [&] { return g.Received().size() == 1; })) << g.Debug();
      ASSERT_TRUE(WaitUntil(kLong, [&] { return Count(g.Debug(), "Re-initializing modem") >= 2; })) << g.Debug();
      std::string text = g.ReceivedText();
      EXPECT_EQ(Count(text, "ReceiptMessageId=R1\r\n"), 1u) << text;
      EXPECT_EQ(sim.AcceptedSubmits(), 1);
      continue;
    }
    g.Drop("R1.req", "PhoneNumber=+4960001\r\nData=one\r\nReceiptRequested=Yes\r\n");
    g.Drop("R2.req", "PhoneNumber=+4960002\r\nData=two\r\nReceiptRequested=Yes\r\n");
    g.Drop("R3.req", "PhoneNumber=+4960003\r\nData=three\r\n");
    g.Drop("R4.req", "PhoneNumber=+4960004\r\nData=four\r\nReceiptRequested=Yes\r\n");
    ASSERT_TRUE(ReadyAndSent(g, sim, 4)) << g.Debug();
    ASSERT_TRUE(WaitUntil(kLong, [&] { return g.Received().size() == 3; })) << g.Debug();
    // Each report left the modem within 100 ms of an answer.
    EXPECT_EQ(sim.Ask(R"({"cmd":"transcript"})",
                      "all(any(p['dir']=='out' and '+CMGS:' in p['data'] and 0 <= e['t']-p['t'] < 0.1 "
                      "for p in a['entries']) for e in a['entries'] if e['dir']=='out' and '+CDS:' in e['data'])"),
              "True");
    std::string text = g.ReceivedText();
    for (const char* id : {"R1", "R2", "R4"}) {
      EXPECT_EQ(Count(text, std::string("ReceiptMessageId=") + id + "\r\n"), 1u) << id << "\n" << text;
    }
    EXPECT_EQ(Count(text, "id:unknown"), 0u) << text;
    EXPECT_EQ(Count(text, "ReceiptDelivered=Yes"), 3u) << text;
    // One key per message that asked for a report, its reference with its destination.
    EXPECT_EQ(StoredReferenceDestinations(g), "+4960001\n+4960002\n+4960004");
    ASSERT_TRUE(WaitUntil(kLong, [&] { return g.QueueEmpty(); }));
    EXPECT_EQ(Count(sim.Received(), "AT+CNMA"), c.acknowledge ? 3u : 0u) << sim.Received();
  }
}

// A message that cannot be stored stays in the modem (no AT+CMGD) and is taken at a later
// poll once storing works again.
TEST(ModemReception, UnstoredMessageStaysInTheModem) {
  TempDir dir;
  WriteFileText(dir.path() + "script.json", R"({"messages": [{"sender": "+491701234567", "text": "Keep me"}]})");
  ModemSim sim;
  ASSERT_TRUE(sim.Start({"--script", dir.path() + "script.json"}));
  ModemGateway g;
  g.Configure(sim.device(), {"ReceiveSMS=Yes"}, {"ReceivePoll=1"});
  // A file where the inbound directory belongs: nothing can be written there (root ignores
  // permissions, so a mode would not do).
  WriteFileText(g.home.path() + "SMS-IN", "not a directory");
  g.Start();
  ASSERT_TRUE(WaitUntil(kLong, [&] { return Count(g.Debug(), "could not be stored") >= 2; })) << g.Debug();
  EXPECT_EQ(Count(sim.Received(), "AT+CMGD="), 0u);
  EXPECT_EQ(sim.Ask(R"({"cmd":"storage"})", "sum(len(v) for v in a['memories'].values())"), "1");
  fs::remove(g.home.path() + "SMS-IN");
  fs::create_directories(g.home.path() + "SMS-IN");
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.ReceivedText().find("Data=Keep me") != std::string::npos; }))
      << g.Debug();
  ASSERT_TRUE(sim.WaitFor(R"({"cmd":"storage"})", "sum(len(v) for v in a['memories'].values())", "0", kLong));
  EXPECT_EQ(g.Received().size(), 1u);
}

// ReceivePoll counts seconds: with 4 the storage is asked every four seconds, not at every
// pass of the queue.
TEST(ModemReception, ReceivePollIsInSeconds) {
  ModemSim sim;
  ASSERT_TRUE(sim.Start());
  ModemGateway g;
  g.Configure(sim.device(), {"ReceiveSMS=Yes"}, {"ReceivePoll=4"});
  g.Start();
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.Debug().find("Modem initialization complete") != std::string::npos; }));
  sleep(13);
  std::string debug = g.Debug();
  size_t polls = Count(debug.substr(debug.find("Modem initialization complete")), "OUT: AT+CPMS?");
  EXPECT_GE(polls, 2u);
  EXPECT_LE(polls, 4u) << debug;
}

// Two workers of one connection (TransmitterCount 2) on one device: the second cannot open
// the locked line, and every message still leaves exactly once.
TEST(ModemSession, TwoWorkersOnOneDeviceSendEachMessageOnce) {
  ModemSim sim;
  ASSERT_TRUE(sim.Start());
  ModemGateway g;
  g.Configure(sim.device(), {}, {"TransmitterCount=2"});
  for (int i = 1; i <= 4; ++i) {
    g.Drop("G" + std::to_string(i) + ".req", "PhoneNumber=+491234" + std::to_string(i) + "\r\nData=lock\r\n");
  }
  g.Start();
  ASSERT_TRUE(ReadyAndSent(g, sim, 4)) << g.Debug();
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.QueueEmpty(); }));
  ASSERT_TRUE(WaitUntil(kLong, [&] {
    return g.Debug().find("this device is already open by another application") != std::string::npos;
  })) << g.Debug();
  sleep(2);
  EXPECT_EQ(sim.Ask(kSubmits, "len(a['submits'])"), "4");
  EXPECT_EQ(sim.Ask(kSubmits, "len(set(s['da']['number'] for s in a['submits']))"), "4");
}

// The link drops under a message (after its PDU arrived, at its "AT+CMGS", or by a
// restart of the modem between messages): the session opens the device again and every
// message is accepted exactly once.
struct DropCase {
  const char* name;
  const char* request;  // to the simulator once the first message went
  const char* results;  // of every submit, in order
};
class ModemDrop : public ::testing::TestWithParam<DropCase> {};

TEST_P(ModemDrop, EachMessageAcceptedOnceAfterTheLinkDropped) {
  const DropCase& c = GetParam();
  ModemSim sim;
  ASSERT_TRUE(sim.Start());
  ModemGateway g;
  g.Configure(sim.device());
  g.Drop("H1.req", "PhoneNumber=+4912301\r\nData=first\r\n");
  g.Start();
  ASSERT_TRUE(ReadyAndSent(g, sim, 1)) << g.Debug();
  ASSERT_NE(sim.Ask(c.request), "");
  g.Drop("H2.req", "PhoneNumber=+4912302\r\nData=drop\r\n");
  ASSERT_TRUE(ReadyAndSent(g, sim, 2)) << g.Debug();
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.QueueEmpty(); }));
  sleep(2);
  EXPECT_EQ(sim.AcceptedSubmits(), 2);
  EXPECT_EQ(sim.Ask(kSubmits, "[s['result'] for s in a['submits']]"), c.results);
  EXPECT_GE(Count(g.Debug(), "Re-initializing modem"), 2u);
}

INSTANTIATE_TEST_SUITE_P(Links, ModemDrop,
                         ::testing::Values(DropCase{"drop_on_pdu", R"({"cmd":"fail","drop_on":"pdu"})", "OK\ndropped\nOK"},
                                           DropCase{"drop_on_cmgs", R"({"cmd":"fail","drop_on":"+CMGS"})", "OK\nOK"},
                                           DropCase{"restart", R"({"cmd":"restart"})", "OK\nOK"}),
                         [](const ::testing::TestParamInfo<DropCase>& info) { return std::string(info.param.name); });

// Registration lost while running: the submit fails, the modem test sees "+CREG: x,0", the
// hard reset drops the link, the session opens the device again, and once the network is
// back each message leaves exactly once.
TEST(ModemSession, LostRegistrationLeadsToHardResetAndEachMessageOnce) {
  ModemSim sim;
  ASSERT_TRUE(sim.Start());
  ModemGateway g;
  g.Configure(sim.device());
  g.Drop("J1.req", "PhoneNumber=+4912301\r\nData=before\r\n");
  g.Start();
  ASSERT_TRUE(ReadyAndSent(g, sim, 1)) << g.Debug();
  ASSERT_NE(sim.Ask(R"({"cmd":"fail","registration_lost":true})"), "");
  g.Drop("J2.req", "PhoneNumber=+4912302\r\nData=during\r\n");
  g.Drop("J3.req", "PhoneNumber=+4912303\r\nData=during\r\n");
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.Debug().find("Hard reset ok") != std::string::npos; })) << g.Debug();
  ASSERT_NE(sim.Ask(R"({"cmd":"fail","registration_lost":null})"), "");
  ASSERT_TRUE(ReadyAndSent(g, sim, 3)) << g.Debug();
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.QueueEmpty(); }));
  EXPECT_EQ(sim.Ask(kSubmits, "sorted(s['da']['number'] for s in a['submits'] if s['result']=='OK')"),
            "+4912301\n+4912302\n+4912303");
  EXPECT_GE(Count(g.Debug(), "Re-initializing modem"), 2u);
}

// Modems that open no prompt: without ModemSendWorkaround the message waits for its retry
// with the reason; with it the PDU goes anyway, which only a modem in input mode takes.
struct PromptCase {
  const char* mode;
  const char* workaround;
  long accepted;
  const char* error;  // in LastErrorInfo when not accepted
};
class ModemPrompt : public ::testing::TestWithParam<PromptCase> {};

TEST_P(ModemPrompt, MissingPromptFollowsTheWorkaroundSetting) {
  const PromptCase& c = GetParam();
  ModemSim sim;
  ASSERT_TRUE(sim.Start());
  ASSERT_NE(sim.Ask(std::string(R"({"cmd":"fail",")") + c.mode + "\":true}"), "");
  ModemGateway g;
  g.Configure(sim.device(), {"RetryDelay=60"}, {std::string("ModemSendWorkaround=") + c.workaround});
  g.Drop("K1.req", "PhoneNumber=+4912345\r\nData=prompt\r\n");
  g.Start();
  if (c.accepted) {
    ASSERT_TRUE(ReadyAndSent(g, sim, 1)) << g.Debug();
    ASSERT_TRUE(WaitUntil(kLong, [&] { return g.QueueEmpty(); }));
  } else {
    ASSERT_TRUE(WaitUntil(kLong, [&] { return g.QueueFile("K1.req").find("RetryCount=1") != std::string::npos; }))
        << g.Debug();
    EXPECT_NE(g.QueueFile("K1.req").find(std::string("LastErrorInfo=") + c.error), std::string::npos)
        << g.QueueFile("K1.req");
    EXPECT_EQ(sim.AcceptedSubmits(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ModemPrompt,
    ::testing::Values(PromptCase{"cmgs_no_prompt", "No", 0, "ERROR - Error waiting for response from modem (1)"},
                      PromptCase{"cmgs_no_prompt", "Yes", 1, ""},
                      // With the workaround such a modem takes the PDU as a command line and
                      // answers nothing: the 120 s result wait is too long for this suite.
                      PromptCase{"cmgs_ok_no_prompt", "No", 0, "ERROR - Modem Response (1):    OK"}),
    [](const ::testing::TestParamInfo<PromptCase>& info) {
      return std::string(info.param.mode) + "_workaround_" + info.param.workaround;
    });

// Acknowledge mode with pushed messages: every "+CMT:" is stored and acknowledged; one that
// arrives while the prompt is awaited is acknowledged first and the message sent again,
// accepted once.
TEST(ModemReception, PushedMessagesInAcknowledgeModeAreAcknowledged) {
  ModemSim sim;
  ASSERT_TRUE(sim.Start());
  ModemGateway g;
  g.Configure(sim.device(), {"ReceiveSMS=Yes"}, {"AllowPhase2Plus=Yes", "ReceiveTo=Direct"});
  g.Start();
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.Debug().find("Modem initialization complete") != std::string::npos; }));
  ASSERT_NE(sim.Ask(R"({"cmd":"inject_sms","sender":"+491701111","text":"push one"})"), "");
  ASSERT_NE(sim.Ask(R"({"cmd":"inject_sms","sender":"+491702222","text":"push two"})"), "");
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.Received().size() == 2; })) << g.Debug();
  ASSERT_TRUE(WaitUntil(kLong, [&] { return Count(sim.Received(), "AT+CNMA") == 2; })) << sim.Received();
  // Answers late from now on: the pushed message lands while the prompt is awaited.
  ASSERT_NE(sim.Ask(R"({"cmd":"fail","delay_ms":1500})"), "");
  g.Drop("L1.req", "PhoneNumber=+4912345\r\nData=during push\r\n");
  ASSERT_TRUE(WaitUntil(kLong, [&] { return Count(sim.Received(), "AT+CMGS=") == 1; }));
  // Straight onto the line (an injected message would wait for the end of the input mode).
  ASSERT_NE(sim.Ask(R"({"cmd":"raw","data":"\r\n+CMT: ,25\r\n)"
                    R"(07912143658709F104099194713033F300006221804190330008F2F01D04AFCFD1\r\n"})"),
            "");
  ASSERT_TRUE(ReadyAndSent(g, sim, 1)) << g.Debug();
  // Acknowledged by the send path, after leaving the input mode.
  EXPECT_NE(g.Debug().find("ThreadProcessModem:  OUT: AT+CNMA"), std::string::npos) << g.Debug();
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.Received().size() == 3; })) << g.Debug();
  EXPECT_NE(g.ReceivedText().find("Data=raw push"), std::string::npos);
  EXPECT_EQ(sim.AcceptedSubmits(), 1);
  EXPECT_EQ(Count(sim.Received(), "AT+CNMA"), 3u) << sim.Received();
}

// A modem that stops answering mid-run: the message waits for its retry, the modem test
// fails, the session ends with a hard reset, and once the modem answers again the message
// leaves once.
TEST(ModemSession, SilentModemIsTestedResetAndRecovered) {
  ModemSim sim;
  ASSERT_TRUE(sim.Start());
  ModemGateway g;
  g.Configure(sim.device());
  g.Drop("S1.req", "PhoneNumber=+4912301\r\nData=before\r\n");
  g.Start();
  ASSERT_TRUE(ReadyAndSent(g, sim, 1)) << g.Debug();
  ASSERT_NE(sim.Ask(R"({"cmd":"fail","silent":true})"), "");
  g.Drop("S2.req", "PhoneNumber=+4912302\r\nData=silent\r\n");
  ASSERT_TRUE(WaitUntil(150000, [&] { return g.Debug().find("modem test failed") != std::string::npos; })) << g.Debug();
  EXPECT_NE(g.QueueFile("S2.req").find("LastErrorInfo=ERROR - Error waiting for response from modem (1)"),
            std::string::npos);
  ASSERT_NE(sim.Ask(R"({"cmd":"fail","silent":false})"), "");
  ASSERT_TRUE(WaitUntil(150000, [&] { return sim.AcceptedSubmits() == 2; })) << g.Debug();
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.QueueEmpty(); }));
  EXPECT_GE(Count(g.Debug(), "Re-initializing modem"), 2u);
  EXPECT_EQ(sim.Ask(kSubmits, "sorted(s['da']['number'] for s in a['submits'] if s['result']=='OK')"),
            "+4912301\n+4912302");
}

// A long text submitted over HTTP leaves as its segments, each with the concatenation
// header, which python3-gammu reads back into the whole text.
TEST(ModemDelivery, LongTextLeavesAsConcatenatedSegments) {
  ModemSim sim;
  ASSERT_TRUE(sim.Start());
  ModemGateway g;
  g.Configure(sim.device());
  GatewayProcess tool(g.home, "qaruser", {"add", "alice", "pw"});
  int code = -1;
  ASSERT_TRUE(tool.WaitExit(10000, code));
  ASSERT_EQ(code, 0);
  g.Start();
  ASSERT_TRUE(WaitReady(*g.process, g.webPort));
  std::string text;
  for (int i = 0; text.size() < 300; ++i) text += "word" + std::to_string(i) + "%20";
  text += "end";
  std::string answer = Curl({"http://127.0.0.1:" + std::to_string(g.webPort) +
                             "/?User=alice&Password=pw&PhoneNumber=%2B4912345&Text=" + text});
  ASSERT_EQ(answer.substr(answer.size() - 3), "200") << answer;
  ASSERT_TRUE(ReadyAndSent(g, sim, 2)) << g.Debug();
  std::string whole = text;
  for (size_t at; (at = whole.find("%20")) != std::string::npos;) whole.replace(at, 3, " ");
  EXPECT_EQ(sim.Ask(kSubmits, "''.join(g(s['pdu'])['Text'].rstrip('\\0') for s in sorted(a['submits'], "
                              "key=lambda s: g(s['pdu'])['UDH']['PartNumber']))"),
            whole);
  EXPECT_EQ(sim.Ask(kSubmits, "sorted((g(s['pdu'])['UDH']['PartNumber'], g(s['pdu'])['UDH']['AllParts']) "
                              "for s in a['submits'])"),
            "(1, 2)\n(2, 2)");
}

// A text-mode modem's storage is listed as "REC UNREAD" and "REC READ" texts.
TEST(ModemReception, TextModeListingsAreStored) {
  TempDir dir;
  WriteFileText(dir.path() + "script.json",
                R"({"messages": [{"sender": "+491701234567", "text": "Text one"},)"
                R"( {"sender": "+491709999", "text": "Text two", "stat": "REC READ"}]})");
  ModemSim sim;
  ASSERT_TRUE(sim.Start({"--script", dir.path() + "script.json"}));
  ModemGateway g;
  g.Configure(sim.device(), {"ReceiveSMS=Yes"}, {"ModemTextMode=Yes"});
  g.Start();
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.Received().size() == 2; })) << g.Debug();
  std::string text = g.ReceivedText();
  EXPECT_NE(text.find("Sender=+491701234567"), std::string::npos) << text;
  EXPECT_NE(text.find("Data=Text one"), std::string::npos) << text;
  EXPECT_NE(text.find("Data=Text two"), std::string::npos) << text;
  ASSERT_TRUE(sim.WaitFor(R"({"cmd":"storage"})", "sum(len(v) for v in a['memories'].values())", "0", kLong));
  EXPECT_NE(sim.Received().find("AT+CMGL=\"REC UNREAD\""), std::string::npos);
}

// Settings and the modem's own name shape the session: extra commands before the standard
// sequence and after each message, the bearer, and for a modem that calls itself Nokia a CR
// after each PDU.
TEST(ModemSession, ExtraCommandsBearerAndNokiaCarriageReturn) {
  ModemSim sim;
  ASSERT_TRUE(sim.Start({"--set", "ati=\"Nokia 30\""}));
  ModemGateway g;
  g.Configure(sim.device(), {},
              {"CommandPreInit1=AT+CSCS=\"GSM\"", "CommandPreInit2=AT+CMEE=2", "CommandPreInit4=AT+CGMI",
               "CommandPostSend1=AT+CSQ", "SMSAccess=GSM", "DelayAfterSend=100"});
  g.Drop("N1.req", "PhoneNumber=+4912345\r\nData=nokia\r\n");
  g.Start();
  ASSERT_TRUE(ReadyAndSent(g, sim, 1)) << g.Debug();
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.QueueEmpty(); }));
  std::string in = sim.Received();
  // The speed probe of the open says ATE0V1 too: the sequence proper begins before ATI0.
  size_t pre1 = in.find("AT+CSCS=\"GSM\"<CR>"), pre2 = in.find("AT+CMEE=2<CR>"), init = in.find("ATI0<CR>");
  size_t pdu = in.find("<SUB><CR>"), post = in.find("AT+CSQ<CR>", pdu == std::string::npos ? 0 : pdu);
  ASSERT_NE(pre1, std::string::npos) << in;
  EXPECT_LT(pre1, pre2);
  EXPECT_LT(pre2, init);
  EXPECT_NE(in.find("ATE0V1<CR>", pre2), std::string::npos);
  EXPECT_EQ(in.find("AT+CGMI"), std::string::npos);  // numbering stops at the first gap
  EXPECT_NE(in.find("AT+CGSMS=3<CR>"), std::string::npos);
  EXPECT_NE(pdu, std::string::npos) << in;
  EXPECT_NE(post, std::string::npos) << in;
}

}  // namespace

namespace {

// An idle modem worker waits on its line and timers: a file dropped meanwhile still leaves
// once, the line is not kept busy with commands between passes, and the stop during the
// wait ends the gateway at once with its normal exit.
TEST(ModemSession, IdleWaitSendsDroppedFilesAndEndsAtTheStop) {
  ModemSim sim;
  ASSERT_TRUE(sim.Start());
  ModemGateway g;
  g.Configure(sim.device());
  g.Start();
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.Debug().find("Modem initialization complete") != std::string::npos; }))
      << g.Debug();
  sleep(4);
  g.Drop("I1.req", "PhoneNumber=+4912341\r\nData=after the wait\r\n");
  ASSERT_TRUE(ReadyAndSent(g, sim, 1)) << g.Debug();
  ASSERT_TRUE(WaitUntil(kLong, [&] { return g.QueueEmpty(); })) << g.Debug();
  // Ten idle seconds: the periodic looks' end-of-pass checks, not a command after every idle read.
  size_t before = Count(g.Debug(), "OUT: AT");
  sleep(10);
  size_t commands = Count(g.Debug(), "OUT: AT") - before;
  EXPECT_LE(commands, 3u) << g.Debug();
  g.process->Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(g.process->WaitExit(15000, code)) << g.Debug();
  EXPECT_EQ(code, 0);
  EXPECT_EQ(sim.Ask(kSubmits, "len(a['submits'])"), "1");
}

}  // namespace
