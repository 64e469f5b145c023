// qarpacker: a header file (the submission's "X-MMS-" spelling or the stored form's, without
// regard to case) and the part files it names become one binary MMS message "<name>.MMS".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct PackerPart {
  std::string path;  // as the header file names it, relative to its folder
  std::string fileName, type, charset, contentId;
  std::vector<std::pair<std::string, std::string>> headers;  // "X-..." part headers
};

struct PackerMessage {
  std::vector<std::pair<uint8_t, std::string>> fields;        // code, text value; in file order
  std::vector<std::pair<std::string, std::string>> appHeaders;  // other "X-..." lines
  std::vector<PackerPart> parts;
};

// The header lines and part lines of a header file. False with error for a part path that
// leaves the header file's folder or names nothing.
bool ReadPackerHeader(std::string_view text, PackerMessage& out, std::string& error);
// The PDU: m-send-req or m-retrieve-conf ("Auto" version: 1.2, or 1.3 with 1.3 fields),
// parts read from folder (ending in "/"). False with error when a part cannot be read.
bool EncodeMms(const PackerMessage& message, const std::string& folder, std::string& pdu, std::string& error);
// The program: arguments as given (the last one is the header file). Exit status.
int RunPacker(const std::vector<std::string>& args);
