// The figures every status view shows: the connections with their error texts, day sums and
// live counts, the queues, the traffic sums, the SMPP server's clients. One gathering; the
// status page, the XML and JSON documents and the metrics are renderings of it.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Today's count and the sums over the last 7 and 30 days, today included.
struct DaySums {
  uint32_t today = 0, last7 = 0, last30 = 0;
};

struct ConnectionStatus {
  uint32_t number = 0;    // N of ModemN
  std::string name;       // the value of ModemN
  std::string errorText;  // its ".ERR" text (at most 250 bytes); empty: in order
  DaySums messages;       // sent through it, from its counter file
  bool up = false;        // a session logged in now
  uint64_t sent = 0, failed = 0, retried = 0;  // since the gateway started
};

struct SmppClient {
  std::string address, port, bindType, account;
};

struct TrafficSums {
  DaySums submitted, sent, received, failed, retried;
  DaySums mmsProcessedUser, mmsProcessedVasp, mmsSentMmsc, mmsSentVasp, mmsSentSmtp, mmsRetrieved;
};

struct GatewayStatus {
  std::vector<ConnectionStatus> connections;
  std::string mmscState;  // the status page's MMSC line
  uint32_t smsOutQueue = 0, smsInQueue = 0, smsReceiptQueue = 0, mmsOutQueue = 0;
  TrafficSums traffic;
  bool smppServerRunning = false;
  std::vector<SmppClient> smppClients;  // live sessions only
  // Since the process started.
  uint64_t submittedTotal = 0, sentTotal = 0, failedTotal = 0, retriedTotal = 0, receivedTotal = 0;
  time_t processStart = 0;
};

// The day sums of a counter whose file for a year is pathForYear(year): cells of the days
// back from today, those before 1 January from the previous year's file. A missing or
// short file counts as zeros.
DaySums SumCounterDays(const std::function<std::string(int year)>& pathForYear, const struct tm& today);

// The flag files of the SMPP server's sessions in directory: "address-port-type-account.FLG".
// A file is live while its session holds a lock on it; a file nobody holds is left alone.
std::vector<SmppClient> LiveSmppClients(const std::string& directory);

// Whether the SMPP server (plain or TLS) listens: told by the service at start-up.
void SetSmppServerRunningCheck(std::function<bool()> check);
void SetProcessStartTime(time_t started);

GatewayStatus GatherGatewayStatus();
