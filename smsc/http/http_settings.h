// The settings of an HTTP SMS centre connection (and of the virtual SMSC of [SDKLink]),
// read from the connection's section when a session starts and by the change check.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct HttpSmscSettings {
  std::string userName, password;
  std::string templateText, templateBinary;  // empty: the default of the key
  std::string proxy;                         // "host[:port]"
  std::string bindIP;
  bool useAuth = false, removePlus = false, useSSL = false;
  std::string senderAddressList;
  bool senderAddressOverride = true;
  std::string routeName, validity;
  bool disableDeliveryReceipt = false;
  bool trackReceipts = false, useKeepAlive = false;
  std::string messageIdPrefix = "MessageID=";
  std::vector<std::string> parseFailure, parseSuccess;
  std::string charset;  // empty or "utf-8": UTF-8
};

HttpSmscSettings ReadHttpSmscSettings(std::string_view connection);
// The change check: reads the settings again. True when a difference needs a new session
// (the proxy, the local address, TLS), inUse then unchanged; otherwise the new settings are
// in use.
bool CheckReloadHttpSet(std::string_view connection, HttpSmscSettings& inUse);
