// The settings of an SMPP connection, read from its section (then [QARHUB]) at connect
// time and compared by the change check.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct SmppConnectionSettings {
  uint8_t version = 0x34;
  std::string userName, password, addressRange, systemType;
  std::string senderAddressList, defaultSender;
  std::string bindIP;
  bool receive = false, receiveSingleConnection = false, senderAddressOverride = true;
  uint32_t keepAliveSeconds = 58;
  uint16_t senderLocalPort = 0, senderRemotePort = 0, receiverLocalPort = 0, receiverRemotePort = 0;
  bool wdpAdaptation = false, useTLV = false, useSSL = false;
  std::string routeName, validity;
  bool disableDeliveryReceipt = false;
  uint32_t windowSize = 0, commandTimeoutSeconds = 120, throttleErrorDelaySeconds = 5;
  bool throttleForQFull = false, restartQAfterThrottleError = false;
  bool receiveOnly = false;
  uint32_t receiverCount = 1;
};

SmppConnectionSettings ReadSmppSettings(std::string_view connection);
// Whether a session submits through the window (WindowSize > 0), rather than waiting for
// each answer: never for a long message combined into one (WDPAdaptation without UseTLV).
bool SmppUsesWindow(const SmppConnectionSettings& s);
// True when a difference between the settings in use and the current ones needs a new
// session (the other settings take effect in place). A change of the submission path or of
// the bind type (receive-only or not) is one.
bool SmppSettingsNeedReconnect(const SmppConnectionSettings& inUse, const SmppConnectionSettings& now);
// "local[:remote]" of SenderPort and ReceiverPort.
void ParsePortPair(std::string_view text, uint16_t& local, uint16_t& remote);
