// Message files: "[SMS]" (outbound, user queues) and "[SMS-IN]" (inbound) sections of
// "Key=value" lines, CR LF ended, with an optional "[ErrorDetail]" retry section.
// Producers fill an SmsMessageRecord, turn it into text with MessageFileText
// (message_writer.h) and publish it through unique_files.h; senders claim a file
// (queue_file.h), read it with LoadSMSMessage and either delete it or record the failure
// with WriteErrorDetail.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/queue_file.h"

struct CalendarTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  bool absent() const { return year == 0; }
  bool operator==(const CalendarTime&) const = default;
};

// Bits of SmsMessageRecord::MessageFlags.
constexpr uint32_t kMsgReplyRequested = 0x01;
constexpr uint32_t kMsgReceiptRequested = 0x02;
constexpr uint32_t kMsgIsReport = 0x04;
constexpr uint32_t kMsgReportDelivered = 0x08;
constexpr uint32_t kMsgReportIntransit = 0x10;
constexpr uint32_t kMsgReportFailed = 0x20;
constexpr uint32_t kMsgNonDelReceiptRequested = 0x40;

// Field limits in characters.
constexpr size_t kPhoneNumberMax = 149;
constexpr size_t kDataMax = 8191;
constexpr size_t kUdhMax = 499;

// One queue or inbound message: every key of a message file.
struct SmsMessageRecord {
  bool Inbound = false;          // "[SMS-IN]" rather than "[SMS]"
  std::string PhoneNumber;       // 149
  std::string Sender;            // 149
  std::string Data;              // 8191, unescaped
  std::string UDH;               // 499
  uint8_t Pid = 0;
  uint8_t Dcs = 0;
  bool Binary = false;
  std::string SubmitUser;        // 249
  std::string SubmittedBy;       // 499
  std::string ServiceType;       // 99
  std::string RouteToLocalUser;  // 99
  std::string SMPPOptions;       // 499
  std::string SMSCRoute;         // 99
  std::string ModemName;         // 149
  std::string RouteName;         // 149
  std::string ReceivedSMSC;      // 49
  std::string Validity;          // 49
  std::string BillingInfo;       // 49
  std::string AcctInfo;          // 99
  std::string ReceiptMessageId;  // 149
  uint32_t MessageFlags = 0;
  bool RecombineFlag = false;
  bool UTF8 = false;
  // Lines of other keys in file order (the extra HTTP arguments), values up to 8191.
  std::vector<std::pair<std::string, std::string>> ExtraArguments;
  // "[ErrorDetail]"
  uint32_t RetryCount = 0;
  CalendarTime LastRetryTime;
  CalendarTime FirstAttemptTime;
  std::string LastErrorInfo;     // 499

  bool operator==(const SmsMessageRecord&) const = default;
};

// Files larger than this are treated as unreadable.
constexpr size_t kMaxMessageFileSize = 1u << 20;

// Reads a claimed file. Never fails outright: a file that cannot be read gives
// PhoneNumber "ERROR" and SMSCRoute "ErrorLoadMessage"; one without a message section gives
// an empty record.
void LoadSMSMessage(const ClaimedFile& file, SmsMessageRecord& out);
// The parsing of LoadSMSMessage, on text already read. RouteName is not filled here.
void ParseSMSMessage(std::string_view text, SmsMessageRecord& out);
// The RouteName of a connection: its section's RouteName, else the name itself.
std::string ConnectionRouteName(const std::string& connectionName);

// Records a failed attempt: "[ErrorDetail]" with RetryCount = previousCount + 1 and
// LastRetryTime = now replaces an existing section (only a line of its own counts) or is
// appended. LastErrorInfo is written when connection is not empty. The modification time
// is kept and the file is never seen truncated.
bool WriteErrorDetail(ClaimedFile& file, uint32_t previousCount, std::string_view errorText,
                      std::string_view connection);
// The "[ErrorDetail]" section; the last two lines only when set.
void AppendErrorDetail(std::string& out, uint32_t retryCount, std::string_view lastRetryTime,
                       std::string_view firstAttemptTime, std::string_view lastErrorInfo);
// The text WriteErrorDetail writes, for a file holding content.
std::string WithErrorDetail(std::string_view content, uint32_t previousCount, std::string_view errorText,
                            std::string_view connection, std::string_view timestamp14);

// "YYYYMMDDhhmmss"; any other value gives 1 January 2000, 00:00:00.
CalendarTime ParseTimestamp14(std::string_view text);
std::string FormatCalendarTime14(const CalendarTime& t);
// Seconds since 1970 of a local calendar time.
time_t LocalCalendarToSeconds(const CalendarTime& t);
