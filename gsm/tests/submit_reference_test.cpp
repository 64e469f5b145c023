#include "gsm/submit_reference.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "gsm/modem_pdu.h"
#include "tests/support/temp_dir.h"

TEST(SubmitReference, ReplyKeyAndFileName) {
  const struct {
    const char* reply;
    int reference;
  } replies[] = {{"\r\n+CMGS: 12\r\n\r\nOK\r\n", 12}, {"+CMGS:255", 255}, {"+CMGS:   1", 1},
                 {"+CMGS: 0", 0}, {"+CMGS: 256", -1}, {"+CMGS: 99999999999", -1}, {"ERROR", -1},
                 {"+CMGS: x", -1}, {"", -1}};
  for (const auto& r : replies) EXPECT_EQ(ParseCmgsReference(r.reply), r.reference) << r.reply;
  EXPECT_EQ(SubmitReferenceKey(0x0C, "+447700900123"), "0C-00900123");
  EXPECT_EQ(SubmitReferenceKey(0xFF, "123"), "FF-123");
  EXPECT_EQ(MessageIdFromFileName("ABCD1234.REQ"), "ABCD1234");
  EXPECT_EQ(MessageIdFromFileName("/var/q.d/ABCD1234.REQ.x"), "ABCD1234");
  EXPECT_EQ(MessageIdFromFileName("NODOT"), "NODOT");
}

TEST(SubmitReference, RememberedAndFoundByAStatusReport) {
  TempDir home;
  setenv("QARSMS_HOME", home.path().c_str(), 1);

  ASSERT_TRUE(RememberSubmitReference("Modem - m1", "+CMGS: 42\r\nOK", "0000BEEF.REQ", "alice", "+4411",
                                      "+447700900123"));
  EXPECT_FALSE(RememberSubmitReference("Modem - m1", "ERROR", "0000BEE0.REQ", "bob", "", "+447700900123"));
  SubmitReferenceMatch match;
  // The key uses the last eight digits: the report may give the number in another form.
  ASSERT_TRUE(FindSubmitReference("Modem - m1", 42, "00447700900123", match));
  EXPECT_EQ(match.messageId, "0000BEEF");
  EXPECT_EQ(match.user, "alice");
  EXPECT_EQ(match.sender, "+4411");
  EXPECT_EQ(match.recipient, "+447700900123");
  EXPECT_FALSE(FindSubmitReference("Modem - m1", 43, "+447700900123", match));
  EXPECT_FALSE(FindSubmitReference("Modem - m2", 42, "+447700900123", match));

  // The decoder asks the store under the connection name.
  ModemPduOptions options;
  options.log = [](std::string_view) {};
  ModemPduHandOff handOff;
  std::string receipt, extra;
  handOff.processInbound = [&](std::string_view, std::string_view, const DecodedModemPdu& d) {
    receipt = d.reportText;
    extra = d.extraLines;
  };
  time_t when = 0;
  EXPECT_EQ(DecodeModemPdu("Modem - m1", "", "0791447758100650062A0C91447700091032622170010350406221700113540A00",
                           when, options, handOff),
            0);
  EXPECT_EQ(receipt,
            "id:0000BEEF sub:001 dlvrd:001 submit date:2612071030 done date:2612071031 stat:DELIVRD err:000");
  EXPECT_EQ(extra, "ReceivedSMSC=+447785016005; RouteToLocalUser=alice");
}
