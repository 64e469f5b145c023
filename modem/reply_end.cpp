#include "modem/reply_end.h"

#include "runtime/text_helpers.h"

bool HasOkAfter(std::string_view reply, size_t from) {
  for (size_t at = reply.find("OK", from); at != std::string_view::npos; at = reply.find("OK", at + 1)) {
    if (at + 2 < reply.size() && (reply[at + 2] == '\r' || reply[at + 2] == '\n')) return true;
  }
  return false;
}

bool ReplyFinished(std::string_view reply, bool waitForPrompt, std::string_view expected) {
  if (reply.empty()) return false;
  size_t error = reply.find("ERROR");
  if (error != std::string_view::npos && FindLineEnd(reply, error) != std::string_view::npos) return true;
  if (waitForPrompt) return reply.find('>') != std::string_view::npos;
  if (expected.empty()) return HasOkAfter(reply);
  size_t at = reply.find(expected);
  return at != std::string_view::npos && HasOkAfter(reply, at + expected.size());
}

bool PromptSeen(std::string_view reply, std::string_view prompts) {
  for (;;) {
    size_t sep = prompts.find("+++");
    std::string_view one = prompts.substr(0, sep);
    if (!one.empty() && reply.find(one) != std::string_view::npos) return true;
    if (sep == std::string_view::npos) return false;
    prompts.remove_prefix(sep + 3);
  }
}
