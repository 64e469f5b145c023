#include "gsm/submit_reference.h"

#include <array>

#include "outside/qarvault/qarvault.h"
#include "runtime/str_printf.h"

int ParseCmgsReference(std::string_view modemReply) {
  size_t at = modemReply.find("+CMGS:");
  if (at == std::string_view::npos) return -1;
  std::string_view rest = modemReply.substr(at + 6);
  while (!rest.empty() && rest[0] == ' ') rest.remove_prefix(1);
  int value = 0;
  size_t digits = 0;
  while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9' && value <= 255) {
    value = value * 10 + (rest[digits] - '0');
    ++digits;
  }
  if (digits == 0 || value > 255) return -1;
  return value;
}

std::string SubmitReferenceKey(uint8_t reference, std::string_view destination) {
  if (destination.size() > 8) destination = destination.substr(destination.size() - 8);
  return StrPrintf("%02X-%.*s", reference, static_cast<int>(destination.size()), destination.data());
}

std::string MessageIdFromFileName(std::string_view fileName) {
  size_t slash = fileName.find_last_of('/');
  if (slash != std::string_view::npos) fileName = fileName.substr(slash + 1);
  return std::string(fileName.substr(0, fileName.find('.')));
}

namespace {
std::string Field(std::string_view value) {
  return std::string(value.substr(0, SMSC_MSGID_FIELD_SIZE - 1));
}
}  // namespace

bool RememberSubmitReference(std::string_view connection, std::string_view modemReply,
                             std::string_view messageFileName, std::string_view user,
                             std::string_view sender, std::string_view destination) {
  const int reference = ParseCmgsReference(modemReply);
  if (reference < 0) return false;
  const std::string key = SubmitReferenceKey(static_cast<uint8_t>(reference), destination);
  return SMSCMessageIdAdd(Field(connection).c_str(), key.c_str(), Field(MessageIdFromFileName(messageFileName)).c_str(),
                          Field(user).c_str(), Field(sender).c_str(), Field(destination).c_str()) != 0;
}

bool FindSubmitReference(std::string_view connection, uint8_t reference, std::string_view destination,
                         SubmitReferenceMatch& match) {
  const std::string key = SubmitReferenceKey(reference, destination);
  std::array<char, SMSC_MSGID_FIELD_SIZE> messageId{}, user{}, sender{}, recipient{};
  if (!SMSCMessageIdGet(Field(connection).c_str(), key.c_str(), messageId.data(), user.data(), sender.data(),
                        recipient.data())) {
    return false;
  }
  match.messageId = messageId.data();
  match.user = user.data();
  match.sender = sender.data();
  match.recipient = recipient.data();
  return true;
}
