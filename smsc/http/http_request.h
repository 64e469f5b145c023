// The request of an HTTP SMS centre: the "@@" tokens of the URL template filled from the
// message in one pass, and the request text around it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "smsc/http/http_settings.h"
#include "smsc/queue_pass.h"
#include "store/message_file.h"

// Copies text, putting value(name) in place of each "@@name@@" for which it gives one (a
// longer run of at-signs opens at its last two); other text is copied as it is. Values are
// never read again for tokens, so a value holding "@@Password@@" stays what it is.
std::string ExpandTokens(std::string_view text,
                         const std::function<std::optional<std::string>(std::string_view name)>& value);

// "%" and each pair of hexadecimal digits of hex, upper case; anything else is left out.
std::string HexPairsEscaped(std::string_view hex);
// The destination port of a user data header given as hex (16-bit or 8-bit port element);
// none when it has none.
std::optional<uint16_t> UdhDestinationPort(std::string_view udhHex);

struct HttpRequestParts {
  const HttpSmscSettings* settings = nullptr;
  std::string host;                // as the Host header names it: with ":port" unless the default
  bool throughPlainProxy = false;  // a plain request to a proxy names the whole URL
  // The submitting account's password, asked only when the template uses it.
  std::function<std::string()> submitPassword;
};

struct BuiltHttpRequest {
  std::string text;            // the bytes to send
  std::string logText;         // the same with the passwords and the Authorization value hidden
  bool usesMessageId = false;  // the template holds "@@MessageID@@"
};

// The template of the message's kind expanded (values in URL form, the text in Charset),
// the request line and the headers.
BuiltHttpRequest BuildHttpSmscRequest(const HttpRequestParts& parts, const SmsMessageRecord& m, const SubmitRequest& r);
// The host text of the Host header.
std::string HttpHostText(const std::string& host, uint16_t port, bool tls);
