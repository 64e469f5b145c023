// Push PDUs: the general builder (content type with parameters, hexadecimal, XML or text
// content, application id, extra header lines, security) and the SI or SL built from a URL.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The MAC of a body under a key: 40 characters, or none when it cannot be made.
using PushMacFunction = std::function<std::optional<std::string>(std::string_view key, std::string_view body)>;
// The MAC through the qarsign library (none when the library or its entry point is absent).
std::optional<std::string> LibraryMac(std::string_view key, std::string_view body);

enum class PushContentKind { Text = 0, Hex = 1, Xml = 2 };

struct PushSecurity {
  std::string pin;   // "" for none
  std::string type;  // NETWPIN, USERPIN, USERNETWPIN, USERPINMAC ("" counts as USERPIN)
};

// The content-type parameters of a push's security: 0x91 with the type and 0x92 with the
// MAC of body. False with error set for an unknown type or a MAC that cannot be made.
bool SecurityParameters(const PushSecurity& security, std::string_view body, const PushMacFunction& mac,
                        std::string& out, std::string& error);

struct PushBuildOptions {
  uint8_t transactionId = 0;
  uint8_t wbxmlVersion = 0x02;
  size_t maximum = 1000;  // 0 counts as 1,000
  PushMacFunction mac = LibraryMac;
};

// The push PDU in out (raw octets); false with error set.
bool CreateWAPPushBinary(std::string_view contentType, std::string_view content, PushContentKind kind,
                         std::string_view applicationId, std::string_view extraHeaders, const PushSecurity& security,
                         const PushBuildOptions& options, std::string& out, std::string& error);

struct UrlPushRequest {
  std::string url;  // "http://" is put in front when it holds no "://"
  bool sl = false;
  std::string slAction, siId, siAction, siExpires, siCreated, text;
  std::string initiatorUri, pushFlag;  // after the parameter or setting choice
  bool includeDate = false;
  bool useUtf8 = true;
  uint8_t wbxmlVersion = 0x02;
  uint8_t transactionId = 0;
  time_t now = 0;  // the local time for the date header
};
// The SI or SL PDU (raw octets).
std::string UrlPushPdu(const UrlPushRequest& request);

// The headers block of a push: its length as a uintvar, then the content type and headers.
std::string HeadersBlock(std::string_view contentTypeAndHeaders);
// The Push-Flag header of a decimal value ("" gives nothing).
std::string PushFlagHeader(std::string_view flag);
// The X-Wap-Initiator-URI header ("" gives nothing).
std::string InitiatorHeader(std::string_view uri);
