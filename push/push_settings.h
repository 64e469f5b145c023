// The push settings of [QARHUB], read once: they are start-up keys, and a push should not
// read the configuration file for each request.
#pragma once

#include <cstdint>
#include <string>

struct PushSettingsRecord {
  uint8_t wbxmlVersion = 0x02;  // WAPPushWBXMLVersion
  bool useUtf8 = true;          // WAPPushUseUTF8
  std::string initiatorUri;     // WAPPushInitiatorURI
  std::string pushFlag;         // WAPPushFlag
  bool includeDate = false;     // WAPPushIncludeDate
  uint8_t binaryDcs = 0xF5;     // BinaryDCS
};

// Loaded on first use.
const PushSettingsRecord& PushSettings();
