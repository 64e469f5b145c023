// When a modem's reply is finished.
#pragma once

#include <cstddef>
#include <string_view>

// "OK" followed by CR or LF at or after from.
bool HasOkAfter(std::string_view reply, size_t from = 0);
// An error reply ("ERROR", "+CMS ERROR: n", "+CME ERROR: n") with a line end after it; a
// ">" when waiting for the prompt; else "OK" and a line end after the expected text (any
// "OK" when expected is empty).
bool ReplyFinished(std::string_view reply, bool waitForPrompt, std::string_view expected);
// One of the prompts (separated by "+++", matched case-sensitively) in reply.
bool PromptSeen(std::string_view reply, std::string_view prompts);
