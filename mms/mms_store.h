// Received MMS in the gateway's stored form: a header file "<id>.hdr" in the MMS inbound
// directory and a folder "<id>/" holding each body part as a plain file.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Stores the message (or, without one, the notification alone) and then runs the receive
// callback. recipient, when non-empty, becomes the one To line. True when the header file
// was written (some parts may have been left out); false when nothing was stored. The
// header file appears only complete, after its parts. headerPath gets its path.
bool ParseInboundMMS(std::string_view recipient, std::string_view notification,
                     std::optional<std::string_view> message, std::string* headerPath = nullptr);

// The message header lines of the header file (CR LF each), before the part lines.
std::string MmsHeaderLines(std::string_view recipient, std::string_view notification,
                           std::optional<std::string_view> message);

// The file name extension (with its dot) for a content type: the built-in five, then
// /etc/mime.types; "" when none is known.
std::string MmsExtensionForType(std::string_view contentType);

// Runs ReceiveMMSCallback for the header file name ("<id>.hdr"): an http(s) URL is
// requested (120 s), anything else is run as a command (300 s). False when it failed.
bool RunReceiveMMSCallback(std::string_view headerFileName);
