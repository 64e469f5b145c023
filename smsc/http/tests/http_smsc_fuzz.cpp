// libFuzzer target: a provider's answer of any bytes is judged without over-reading and
// yields an id within its limits; any template expands in one pass (a value is never read
// again for tokens) and the hex escapes hold only escaped hex pairs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/text_helpers.h"
#include "smsc/http/http_answer.h"
#include "smsc/http/http_request.h"

namespace {

bool ContainsNoCase(std::string_view text, std::string_view what) {
  for (size_t i = 0; i + what.size() <= text.size(); ++i) {
    if (StartsWithNoCase(text.substr(i), what)) return true;
  }
  return false;
}

void JudgeAnswer(std::string_view raw) {
  HttpSmscSettings s;
  s.parseFailure = {"FAIL"};
  s.parseSuccess = {"OK", "Accepted"};
  s.messageIdPrefix = "ID:";
  HttpSmscAnswer answer = ReadHttpSmscAnswer(raw);
  SubmitResult r = JudgeHttpSmscAnswer(s, answer);
  if (r.smscMessageId.size() > 149) abort();
  for (unsigned char c : r.smscMessageId) {
    if (c <= ' ' || c == '<' || c == '>') abort();
  }
  std::string id = MessageIdAfterPrefix(raw, raw.substr(0, raw.size() % 7));
  if (id.size() > 149) abort();
}

void ExpandTemplate(std::string_view text) {
  std::string same = ExpandTokens(text, [](std::string_view) { return std::optional<std::string>(); });
  if (same != text) abort();
  // Every token but the password's gives the password's token: one pass never turns it into
  // the password.
  std::string out = ExpandTokens(text, [](std::string_view name) {
    return std::optional<std::string>(EqualsNoCase(name, "Password") ? "SECRET" : "@@Password@@");
  });
  if (!ContainsNoCase(text, "password") && !ContainsNoCase(text, "SECRET") && out.find("SECRET") != std::string::npos)
    abort();
  std::string escaped = HexPairsEscaped(text);
  if (escaped.size() % 3 != 0) abort();
  for (size_t i = 0; i < escaped.size(); i += 3) {
    if (escaped[i] != '%' || !isxdigit(static_cast<unsigned char>(escaped[i + 1])) ||
        !isxdigit(static_cast<unsigned char>(escaped[i + 2])))
      abort();
  }
  (void)UdhDestinationPort(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1)
    JudgeAnswer(input);
  else
    ExpandTemplate(input);
  return 0;
}
