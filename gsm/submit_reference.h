// Ties a modem's message reference ("+CMGS: n") to the message that was sent, so that a later
// status report finds its message. Kept in the message-id store of qarvault.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct SubmitReferenceMatch {
  std::string messageId;
  std::string user;
  std::string sender;
  std::string recipient;
};

// The reference in a "+CMGS:" reply (0..255: the modem chooses it), or -1 when there is none.
int ParseCmgsReference(std::string_view modemReply);
// "%02X-" and the last eight characters of the destination.
std::string SubmitReferenceKey(uint8_t reference, std::string_view destination);
// The message id of a message file: its name without directories, cut at the first ".".
std::string MessageIdFromFileName(std::string_view fileName);

bool RememberSubmitReference(std::string_view connection, std::string_view modemReply,
                             std::string_view messageFileName, std::string_view user,
                             std::string_view sender, std::string_view destination);
bool FindSubmitReference(std::string_view connection, uint8_t reference, std::string_view destination,
                         SubmitReferenceMatch& match);
