#include "admin/status_renderings.h"

#include <gtest/gtest.h>

#include <string>

namespace {
GatewayStatus WithSmppClients() {
  GatewayStatus s;
  ConnectionStatus c;
  c.number = 2;
  c.name = "SMPP - <a>";
  c.errorText = "refused & \"closed\"";
  c.messages = {1, 2, 3};
  c.up = true;
  c.sent = 7;
  s.connections.push_back(c);
  s.smppServerRunning = true;
  s.smppClients = {{"10.0.0.1", "4000", "T", "alice"}, {"10.0.0.2", "4001", "R", "ALICE"}, {"10.0.0.3", "4002", "S", "b<ob"}};
  s.smsOutQueue = 5;
  s.traffic.retried = {4, 5, 6};
  return s;
}

TEST(StatusRenderings, EveryViewShowsTheSameFigures) {
  GatewayStatus s = WithSmppClients();
  struct Case {
    const char* view;
    std::string text;
    std::vector<std::string> contains;
  } cases[] = {
      {"xml", StatusXml(s),
       {"<SMSCStatus>\r\n<Name>SMPP - &lt;a&gt;</Name>\r\n<Status>ERROR</Status>\r\n"
        "<StatusDetail>refused &amp; &quot;closed&quot;</StatusDetail>\r\n<MessagesToday>1</MessagesToday>\r\n"
        "<MessagesLast7Days>2</MessagesLast7Days>\r\n<MessagesLast30Days>3</MessagesLast30Days>\r\n</SMSCStatus>\r\n",
        "<SMSOUTQ>5</SMSOUTQ>\r\n",
        "<SMSRetried>\r\n<MessagesToday>4</MessagesToday>",
        "<SMPPClientList>\r\n<ActiveConnectionCount>3</ActiveConnectionCount>\r\n"
        "<ActiveConnection><Name>alice</Name><ConnectionType>T</ConnectionType><IPAddress>10.0.0.1</IPAddress></ActiveConnection>\r\n",
        "<Name>b&lt;ob</Name><ConnectionType>S</ConnectionType>", "</SMPPClientList>\r\n</QarSMSStatus>\r\n"}},
      {"json", StatusJson(s),
       {"\"name\":\"SMPP - <a>\",\"status\":\"ERROR\",\"statusDetail\":\"refused & \\\"closed\\\"\"",
        "\"messages\":{\"today\":1,\"last7Days\":2,\"last30Days\":3}", "\"up\":true,\"sent\":7",
        "\"smsRetried\":{\"today\":4,\"last7Days\":5,\"last30Days\":6}", "\"activeConnectionCount\":3",
        "{\"name\":\"b<ob\",\"connectionType\":\"S\",\"ipAddress\":\"10.0.0.3\",\"port\":\"4002\"}"}},
      {"metrics", StatusMetrics(s),
       {"qarsms_connection_up{connection=\"SMPP - <a>\",number=\"2\"} 1\n",
        "qarsms_connection_error{connection=\"SMPP - <a>\",number=\"2\"} 1\n",
        "# TYPE qarsms_connection_messages_sent_total counter\n",
        "qarsms_connection_messages_sent_total{connection=\"SMPP - <a>\",number=\"2\"} 7\n",
        "qarsms_queue_messages{queue=\"sms_out\"} 5\n", "qarsms_smpp_client_sessions 3\n", "qarsms_smpp_server_up 1\n"}},
  };
  for (const Case& c : cases)
    for (const std::string& part : c.contains) EXPECT_NE(c.text.find(part), std::string::npos) << c.view << ": " << part << "\n" << c.text;
}

TEST(StatusRenderings, StatusPageTokens) {
  GatewayStatus s = WithSmppClients();
  std::string page = ExpandPage(
      "@@SMSCSTATUS@@|@@SMSQCOUNT@@|@@SMSRETRIED7@@|@@SMPPCLIENTCOUNT@@\n<li>@@SMPPCLIENTLIST@@</li>\n@@ConnectionName@@ @@ConnectionLink@@",
      StatusPageValues(s));
  EXPECT_EQ(page,
            "SMPP - &lt;a&gt; : refused &amp; &quot;closed&quot;\r\n|5|5|3\r\n<li>alice - 2 connections</li>\r\n"
            "<li>b&lt;ob - 1 connection</li>\r\nSMPP - &lt;a&gt; Up\r\n");
  GatewayStatus quiet;
  EXPECT_EQ(ExpandPage("@@SMSCSTATUS@@|@@SMSQCOUNT@@|@@SMPPCLIENTCOUNT@@|@@MMSCSTATUS@@", StatusPageValues(quiet)),
            "All Connections OK|Empty||\r\n");
  EXPECT_EQ(StatusXml(quiet).find("SMPPClientList"), std::string::npos);
}
}  // namespace
