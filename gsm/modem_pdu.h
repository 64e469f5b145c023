// Decoding the SMS-DELIVER and SMS-STATUS-REPORT PDUs that a modem hands over (with their
// SMSC field), and turning a status report into a delivery receipt. Every read is bounded by
// the octets received: lengths from the network are checked, never trusted.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "gsm/submit_reference.h"

inline constexpr size_t kMaxModemPduOctets = 1024;
inline constexpr size_t kMaxReceivedSmscLength = 49;
inline constexpr size_t kMaxReportTextLength = 160;

enum class ReportClass { Delivered, Temporary, Failed };

struct StatusReportEntry {
  const char* text;
  ReportClass reportClass;
};
// Text and class of an SMS-STATUS-REPORT status octet.
StatusReportEntry StatusReportInfo(uint8_t status);

// A service-centre time stamp as received.
struct PduTimestamp {
  int year = 0;  // four digits
  int month = 0, day = 0, hour = 0, minute = 0, second = 0;
  int zoneQuarters = 0;  // negative west of UTC
};
// "2026-12-07 10:30:00 +0100"
std::string FormatPduTimestamp(const PduTimestamp& t);

enum class ModemPduKind {
  Deliver,
  StatusReport,
  UnknownType,  // message type other than DELIVER and STATUS-REPORT: dropped
  Short,        // ends before a field, or claims more than it holds
};

struct DecodedModemPdu {
  ModemPduKind kind = ModemPduKind::Short;
  std::string error;         // why a PDU is Short or of an unknown type
  std::string pduHex;        // the octets read, upper case
  std::string smsc;          // at most 49 characters
  uint8_t firstOctet = 0;
  bool headerPresent = false;
  std::string address;       // sender of a DELIVER, recipient of a report
  uint8_t addressType = 0;
  uint8_t pid = 0;
  uint8_t dcs = 0;
  PduTimestamp serviceCentreTime;
  unsigned userDataLength = 0;
  bool binary = false;       // passed on as udhHex + dataHex rather than text
  std::string udhHex;
  std::string dataHex;
  std::string text;          // UTF-8; for 7-bit data behind a header, shown for operators only
  uint8_t messageReference = 0;
  PduTimestamp dischargeTime;
  uint8_t status = 0;
  ReportClass reportClass = ReportClass::Failed;
  std::string reportText;    // the report or receipt text handed on
  std::string messageId;     // of the original message, "" when not found
  std::string localUser;
  std::string extraLines;    // "ReceivedSMSC=...; RouteToLocalUser=..."
};

struct ModemPduOptions {
  bool disableInvalidStatusReportCheck = false;  // DisableInvalidStatusReportCheck
  bool oldModemReceiptFormat = false;            // OldModemReceiptFormat
  bool alphaSenderAddressBug = false;            // AlphaSenderAddressBug of the modem
  // Finds the original message of a status report; unset: none is found.
  std::function<bool(uint8_t reference, std::string_view recipient, SubmitReferenceMatch& match)> findReference;
  // Debug-log lines; unset: the debug log under "ModemReceiveMessages".
  std::function<void(std::string_view line)> log;
};

// Decodes without handing anything on.
DecodedModemPdu ParseModemPdu(std::string_view pduText, const ModemPduOptions& options);

// Where a decoded message goes: the inbound message log, the "SMSIN" accounting callback and
// inbound processing belong to other modules; the caller connects them.
struct ModemPduHandOff {
  bool accountingExtended = true;  // AccountingExtended
  std::function<void(std::string_view connection, std::string_view receivingNumber, const DecodedModemPdu&)> logInbound;
  std::function<void(std::string_view connection, std::string_view receivingNumber, const DecodedModemPdu&)> accountingSmsIn;
  std::function<void(std::string_view connection, std::string_view receivingNumber, const DecodedModemPdu&)> processInbound;
};

// 1 when an SMS-DELIVER was decoded and handed on (receivedAt set to now), else 0. A status
// report is handed on unless it is of the temporary class; a short PDU only goes to the
// inbound log, as binary data with DCS 4. When options.findReference is unset the message-id
// store is asked under the connection name.
int DecodeModemPdu(std::string_view connection, std::string_view receivingNumber, std::string_view pduText,
                   time_t& receivedAt, const ModemPduOptions& options, const ModemPduHandOff& handOff);
