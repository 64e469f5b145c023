#include "push/push_settings.h"

#include "config/settings_registry.h"
#include "push/wbxml.h"

const PushSettingsRecord& PushSettings() {
  static const PushSettingsRecord record = [] {
    PushSettingsRecord r;
    r.wbxmlVersion = WbxmlVersionOctet(MainValue("WAPPushWBXMLVersion"));
    r.useUtf8 = MainFlag("WAPPushUseUTF8");
    r.initiatorUri = MainValue("WAPPushInitiatorURI");
    r.pushFlag = MainValue("WAPPushFlag");
    r.includeDate = MainFlag("WAPPushIncludeDate");
    r.binaryDcs = HexByteValue(MainValue("BinaryDCS"), 0xF5);
    return r;
  }();
  return record;
}
