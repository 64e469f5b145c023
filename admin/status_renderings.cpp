#include "admin/status_renderings.h"

#include <map>
#include <utility>

#include "admin/markup_escapes.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

namespace {
struct TrafficBlock {
  const char* xmlName;   // the XML element
  const char* jsonName;  // the JSON member
  const char* pageName;  // the status page's token stem
  DaySums TrafficSums::*sums;
};
constexpr TrafficBlock kTraffic[] = {
    {"SMSSubmitted", "smsSubmitted", "SMSSUBMITTED", &TrafficSums::submitted},
    {"SMSSent", "smsSent", "SMSSENT", &TrafficSums::sent},
    {"SMSReceived", "smsReceived", "SMSRECEIVED", &TrafficSums::received},
    {"SMSFailed", "smsFailed", "SMSFAILED", &TrafficSums::failed},
    {"SMSRetried", "smsRetried", "SMSRETRIED", &TrafficSums::retried},
    {"MMSProcessedUser", "mmsProcessedUser", "MMSINUSER", &TrafficSums::mmsProcessedUser},
    {"MMSProcessedVASP", "mmsProcessedVasp", "MMSINVASP", &TrafficSums::mmsProcessedVasp},
    {"MMSSentMMSC", "mmsSentMmsc", "MMSOUTMMSC", &TrafficSums::mmsSentMmsc},
    {"MMSSentVASP", "mmsSentVasp", "MMSOUTVASP", &TrafficSums::mmsSentVasp},
    {nullptr, "mmsSentSmtp", "MMSOUTSMTP", &TrafficSums::mmsSentSmtp},  // not in the XML
    {"MMSRetrieved", "mmsRetrieved", "MMSRETRIEVED", &TrafficSums::mmsRetrieved},
};

void AppendXmlSums(std::string& out, const DaySums& d) {
  out += StrPrintf("<MessagesToday>%u</MessagesToday>\r\n<MessagesLast7Days>%u</MessagesLast7Days>\r\n"
                   "<MessagesLast30Days>%u</MessagesLast30Days>\r\n",
                   d.today, d.last7, d.last30);
}

std::string JsonSums(const DaySums& d) {
  return StrPrintf("{\"today\":%u,\"last7Days\":%u,\"last30Days\":%u}", d.today, d.last7, d.last30);
}

// Accounts with their number of sessions, in name order (without case).
std::vector<std::pair<std::string, unsigned>> SessionsPerAccount(const std::vector<SmppClient>& clients) {
  std::map<std::string, std::pair<std::string, unsigned>> byName;
  for (const SmppClient& c : clients) {
    auto& entry = byName[ToUpper(c.account)];
    if (entry.second == 0) entry.first = c.account;
    ++entry.second;
  }
  std::vector<std::pair<std::string, unsigned>> out;
  for (auto& [key, entry] : byName) out.push_back(entry);
  return out;
}

void Metric(std::string& out, const char* name, const char* type, const char* help) {
  out += StrPrintf("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

std::string ConnectionLabels(const ConnectionStatus& c) {
  return StrPrintf("{connection=\"%s\",number=\"%u\"}", MetricsLabelEscape(c.name).c_str(), c.number);
}
}  // namespace

std::string StatusXml(const GatewayStatus& s) {
  std::string out = "<QarSMSStatus>\r\n";
  for (const ConnectionStatus& c : s.connections) {
    out += "<SMSCStatus>\r\n<Name>" + StatusXmlEscape(c.name) + "</Name>\r\n";
    if (c.errorText.empty()) out += "<Status>OK</Status>\r\n";
    else out += "<Status>ERROR</Status>\r\n<StatusDetail>" + StatusXmlEscape(c.errorText) + "</StatusDetail>\r\n";
    AppendXmlSums(out, c.messages);
    out += "</SMSCStatus>\r\n";
  }
  out += StrPrintf("<SMSOUTQ>%u</SMSOUTQ>\r\n<SMSINQ>%u</SMSINQ>\r\n<SMSRCPTQ>%u</SMSRCPTQ>\r\n<MMSOUTQ>%u</MMSOUTQ>\r\n",
                   s.smsOutQueue, s.smsInQueue, s.smsReceiptQueue, s.mmsOutQueue);
  for (const TrafficBlock& b : kTraffic) {
    if (b.xmlName == nullptr) continue;
    out += StrPrintf("<%s>\r\n", b.xmlName);
    AppendXmlSums(out, s.traffic.*b.sums);
    out += StrPrintf("</%s>\r\n", b.xmlName);
  }
  if (s.smppServerRunning) {
    out += StrPrintf("<SMPPClientList>\r\n<ActiveConnectionCount>%zu</ActiveConnectionCount>\r\n", s.smppClients.size());
    for (const SmppClient& c : s.smppClients) {
      out += "<ActiveConnection><Name>" + StatusXmlEscape(c.account) + "</Name><ConnectionType>" + StatusXmlEscape(c.bindType) +
             "</ConnectionType><IPAddress>" + StatusXmlEscape(c.address) + "</IPAddress></ActiveConnection>\r\n";
    }
    out += "</SMPPClientList>\r\n";
  }
  out += "</QarSMSStatus>\r\n";
  return out;
}

std::string StatusJson(const GatewayStatus& s) {
  std::string out = "{\"connections\":[";
  for (size_t i = 0; i < s.connections.size(); ++i) {
    const ConnectionStatus& c = s.connections[i];
    if (i != 0) out += ",";
    out += StrPrintf("{\"number\":%u,\"name\":\"%s\",\"status\":\"%s\"", c.number, JsonEscape(c.name).c_str(),
                     c.errorText.empty() ? "OK" : "ERROR");
    if (!c.errorText.empty()) out += ",\"statusDetail\":\"" + JsonEscape(c.errorText) + "\"";
    out += ",\"messages\":" + JsonSums(c.messages);
    out += StrPrintf(",\"up\":%s,\"sent\":%llu,\"failed\":%llu,\"retried\":%llu}", c.up ? "true" : "false",
                     static_cast<unsigned long long>(c.sent), static_cast<unsigned long long>(c.failed),
                     static_cast<unsigned long long>(c.retried));
  }
  out += StrPrintf("],\"queues\":{\"smsOut\":%u,\"smsIn\":%u,\"smsReceipt\":%u,\"mmsOut\":%u},\"traffic\":{",
                   s.smsOutQueue, s.smsInQueue, s.smsReceiptQueue, s.mmsOutQueue);
  bool first = true;
  for (const TrafficBlock& b : kTraffic) {
    if (!first) out += ",";
    first = false;
    out += StrPrintf("\"%s\":", b.jsonName) + JsonSums(s.traffic.*b.sums);
  }
  out += "},\"smppClientList\":";
  if (!s.smppServerRunning) {
    out += "null";
  } else {
    out += StrPrintf("{\"activeConnectionCount\":%zu,\"activeConnections\":[", s.smppClients.size());
    for (size_t i = 0; i < s.smppClients.size(); ++i) {
      const SmppClient& c = s.smppClients[i];
      if (i != 0) out += ",";
      out += "{\"name\":\"" + JsonEscape(c.account) + "\",\"connectionType\":\"" + JsonEscape(c.bindType) +
             "\",\"ipAddress\":\"" + JsonEscape(c.address) + "\",\"port\":\"" + JsonEscape(c.port) + "\"}";
    }
    out += "]}";
  }
  out += StrPrintf(",\"mmscStatus\":\"%s\",\"processStartTime\":%lld}\n", JsonEscape(s.mmscState).c_str(),
                   static_cast<long long>(s.processStart));
  return out;
}

std::string StatusMetrics(const GatewayStatus& s) {
  std::string out;
  Metric(out, "qarsms_connection_up", "gauge", "Whether an SMSC connection has a session logged in.");
  for (const ConnectionStatus& c : s.connections) out += "qarsms_connection_up" + ConnectionLabels(c) + (c.up ? " 1\n" : " 0\n");
  Metric(out, "qarsms_connection_error", "gauge", "Whether an SMSC connection reports an error text.");
  for (const ConnectionStatus& c : s.connections)
    out += "qarsms_connection_error" + ConnectionLabels(c) + (c.errorText.empty() ? " 0\n" : " 1\n");
  struct Live {
    const char* name;
    const char* help;
    uint64_t ConnectionStatus::*value;
  } live[] = {
      {"qarsms_connection_messages_sent_total", "Messages an SMSC connection sent since the start.", &ConnectionStatus::sent},
      {"qarsms_connection_messages_failed_total", "Messages an SMSC connection gave up since the start.",
       &ConnectionStatus::failed},
      {"qarsms_connection_messages_retried_total", "Messages put to retry on an SMSC connection since the start.",
       &ConnectionStatus::retried},
  };
  for (const Live& l : live) {
    Metric(out, l.name, "counter", l.help);
    for (const ConnectionStatus& c : s.connections)
      out += StrPrintf("%s%s %llu\n", l.name, ConnectionLabels(c).c_str(), static_cast<unsigned long long>(c.*l.value));
  }
  Metric(out, "qarsms_queue_messages", "gauge", "Messages waiting in a queue.");
  out += StrPrintf("qarsms_queue_messages{queue=\"sms_out\"} %u\nqarsms_queue_messages{queue=\"sms_in\"} %u\n"
                   "qarsms_queue_messages{queue=\"sms_receipt\"} %u\nqarsms_queue_messages{queue=\"mms_out\"} %u\n",
                   s.smsOutQueue, s.smsInQueue, s.smsReceiptQueue, s.mmsOutQueue);
  struct Total {
    const char* name;
    const char* help;
    uint64_t value;
  } totals[] = {
      {"qarsms_messages_submitted_total", "Messages accepted for sending since the start.", s.submittedTotal},
      {"qarsms_messages_sent_total", "Messages sent since the start.", s.sentTotal},
      {"qarsms_messages_failed_total", "Messages given up since the start.", s.failedTotal},
      {"qarsms_messages_retried_total", "Messages put to retry since the start.", s.retriedTotal},
      {"qarsms_messages_received_total", "Messages received since the start.", s.receivedTotal},
  };
  for (const Total& t : totals) {
    Metric(out, t.name, "counter", t.help);
    out += StrPrintf("%s %llu\n", t.name, static_cast<unsigned long long>(t.value));
  }
  Metric(out, "qarsms_smpp_server_up", "gauge", "Whether the SMPP server listens.");
  out += StrPrintf("qarsms_smpp_server_up %d\n", s.smppServerRunning ? 1 : 0);
  Metric(out, "qarsms_smpp_client_sessions", "gauge", "SMPP client sessions bound now.");
  out += StrPrintf("qarsms_smpp_client_sessions %zu\n", s.smppClients.size());
  Metric(out, "qarsms_process_start_time_seconds", "gauge", "Start time of the gateway since 1970 in seconds.");
  out += StrPrintf("qarsms_process_start_time_seconds %lld\n", static_cast<long long>(s.processStart));
  return out;
}

PageValues StatusPageValues(const GatewayStatus& s) {
  PageValues v;
  std::string smsc;
  for (const ConnectionStatus& c : s.connections)
    if (!c.errorText.empty()) smsc += c.name + " : " + c.errorText + "\r\n";
  v.tokens.emplace_back("SMSCSTATUS", smsc.empty() ? "All Connections OK" : smsc);
  v.tokens.emplace_back("MMSCSTATUS", s.mmscState);
  v.tokens.emplace_back("SMSQCOUNT", s.smsOutQueue == 0 ? std::string("Empty") : std::to_string(s.smsOutQueue));
  for (const TrafficBlock& b : kTraffic) {
    const DaySums& d = s.traffic.*b.sums;
    v.tokens.emplace_back(std::string(b.pageName) + "1", std::to_string(d.today));
    v.tokens.emplace_back(std::string(b.pageName) + "7", std::to_string(d.last7));
    v.tokens.emplace_back(std::string(b.pageName) + "30", std::to_string(d.last30));
  }
  v.tokens.emplace_back("SMPPCLIENTCOUNT", s.smppServerRunning ? std::to_string(s.smppClients.size()) : std::string());
  std::vector<std::string> lines;
  for (const auto& [account, count] : SessionsPerAccount(s.smppClients))
    lines.push_back(account + " - " + (count == 1 ? std::string("1 connection") : StrPrintf("%u connections", count)));
  v.AddList("SMPPCLIENTLIST", lines);
  // Beyond the fixed tokens: one row per connection, for the table of the shipped page.
  PageValues::List table;
  table.token = "ConnectionName";
  for (const ConnectionStatus& c : s.connections) {
    table.rows.push_back({{"ConnectionName", c.name},
                          {"ConnectionState", c.errorText.empty() ? std::string("OK") : c.errorText},
                          {"ConnectionLink", c.up ? "Up" : "Down"},
                          {"ConnectionToday", std::to_string(c.messages.today)},
                          {"ConnectionLast7", std::to_string(c.messages.last7)},
                          {"ConnectionLast30", std::to_string(c.messages.last30)}});
  }
  v.lists.push_back(std::move(table));
  return v;
}
