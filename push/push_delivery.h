// A push PDU on its way: one UDP datagram to each recipient that is an IPv4 address (or,
// for settings, a number with an [IPNotify] address in MMSC.INI), binary message files with
// the kind's port header for the others, accounted and written by the submission core.
#pragma once

#include <string>
#include <vector>

#include "submit/submission.h"

inline constexpr size_t kPushUdpMaximum = 64000;
inline constexpr unsigned kPushMaxSegments = 255;
inline constexpr uint16_t kPushSourcePort = 9200, kPushDestinationPort = 2948;

struct PushDelivery {
  std::string pdu;                 // raw octets
  std::string portUdh = "0605040B8423F0";
  std::string logType = "WAPPush";
  bool keepWhole = false;          // one message whatever the size (SendLongMessagesAsIs)
  bool ipNotify = false;           // numbers with an [IPNotify] address go by UDP
  uint16_t udpPort = kPushDestinationPort;  // tests send to a port of their own
};

// The message parts of a PDU: one part, or segments of 128 octets (127 with 16-bit
// references) carrying the port element before the concatenation element. Empty with
// error set when it needs more than 255 segments or a whole PDU is longer than a file holds.
std::vector<MessagePart> PushParts(const PushDelivery& d, uint8_t dcs, bool reference16, std::string& error);

// The dotted IPv4 address of a recipient, or "".
std::string PushUdpAddress(const std::string& recipient, bool ipNotify);

// Delivers d to base's recipients with base's sender and options. Nothing is sent when the
// parts cannot be made, the datagram socket cannot be had or the messages are refused; the
// datagrams leave only after every message file was written.
SubmissionResult DeliverPush(Submission base, const PushDelivery& d);
