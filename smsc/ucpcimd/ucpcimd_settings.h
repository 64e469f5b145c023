// The settings of a UCP or CIMD connection, the status classes of its submissions and the
// extra text handed to the library with each.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "smsc/queue_pass.h"
#include "store/message_file.h"

struct UcpCimdSettings {
  std::string userName, password;
  bool receive = false;
  std::string senderAddressList;
  std::string bindIP;
  bool senderAddressOverride = true;
  uint16_t localPort = 0;
  uint32_t keepAliveSeconds = 0;  // 0: no enquire-links
  std::string routeName;
  bool disableDeliveryReceipt = false;
  uint16_t receivePort = 0;
};

UcpCimdSettings ReadUcpCimdSettings(std::string_view connection);
// Whether a change between the settings in use and the current ones needs a new session
// (the login, the local address, the inbound listener); the others apply in place.
bool UcpCimdSettingsNeedReconnect(const UcpCimdSettings& inUse, const UcpCimdSettings& now);

// A status of the library classed for the queue pass: 0 done; -1 (link) link lost; -2, -3
// (timeout, protocol) and the centre's codes retried, unless a centre code is in rejectList
// (decimal codes, "All" for every centre code).
SubmitOutcome UcpCimdOutcome(int status, std::string_view rejectList);

// "BillingInfo=...; LocalUser=...; OurMsgId=...", each item only when it has a value.
std::string UcpCimdExtraParams(const SmsMessageRecord& m, std::string_view gatewayMessageId);
