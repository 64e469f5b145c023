// The test message: one text to one number, queued through the submission core like any
// other, for the gateway to send.
#pragma once

#include <string>

// True when queued; report says with which id, or why not.
bool QueueTestMessage(const std::string& number, const std::string& text, std::string& report);
