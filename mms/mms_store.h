// Received MMS in the gateway's stored form: a header file "<id>.hdr" in the MMS inbound
// directory and a folder "<id>/" holding each body part as a plain file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Stores the message (or, without one, the notification alone) and then runs the receive
// callback. recipient, when non-empty, becomes the one To line. True when the header file
// was written (some parts may have been left out); false when nothing was stored. The
// header file appears only complete, after its parts. headerPath gets its path.
bool ParseInboundMMS(std::string_view recipient, std::string_view notification,
                     std::optional<std::string_view> message, std::string* headerPath = nullptr);

// One body part of a message, as the stored form names it.
struct MmsBodyPart {
  unsigned number = 0;   // from 1, in the message's order
  std::string fileName;  // safe: from Content-location, the name or the Content-ID, else "unk%u" + extension
  std::string type, charset, contentId;
  std::vector<std::string> extraHeaders;  // "X-QarMMS-Content-Header" lines
  std::string_view data;                  // inside the message
};
// The body parts of a message (m-retrieve-conf, m-send-req); with log, the debug lines
// "body part #%u ..." of each.
std::vector<MmsBodyPart> MmsBodyParts(std::string_view message, bool log);

// The message header lines of the header file (CR LF each), before the part lines.
std::string MmsHeaderLines(std::string_view recipient, std::string_view notification,
                           std::optional<std::string_view> message);

// The file name extension (with its dot) for a content type: the built-in five, then
// /etc/mime.types; "" when none is known.
std::string MmsExtensionForType(std::string_view contentType);

// Runs ReceiveMMSCallback for the header file name ("<id>.hdr"): an http(s) URL is
// requested (120 s), anything else is run as a command (300 s). False when it failed.
bool RunReceiveMMSCallback(std::string_view headerFileName);
