#include "service/settings.h"

#include <cctype>

#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/hex_text.h"
#include "runtime/text_helpers.h"
#include "service/connections.h"

SettingsBlock Settings;

namespace {
bool Flag(const char* key, bool def) { return SMSIniFlag(kMainSection, key, def); }
uint32_t Number(const char* key) { return ParseDecimal(SMSIniString(kMainSection, key, "", 49)); }
std::string Text(const char* key, size_t maxLen) { return SMSIniString(kMainSection, key, "", maxLen); }

// Zero means "no limit", kept as all-ones.
uint32_t Limit(const char* key) {
  uint32_t value = Number(key);
  return value == 0 ? 0xFFFFFFFFu : value;
}

// One or two hexadecimal digits; fallback when the first character is not one.
uint8_t HexByte(const std::string& text, uint8_t fallback) {
  if (text.empty() || !IsHexDigit(text[0])) return fallback;
  return static_cast<uint8_t>(HexToInt(text.substr(0, 2)));
}

std::string ParDur(const char* key, const std::string& general, const char* fallback) {
  std::string value = MMSCIniString("MMSC", key, "", 49);
  if (value.empty()) value = general;
  if (value.empty()) value = fallback;
  return "<par dur=\"" + value + "\">";
}
}  // namespace

uint32_t CountConfiguredTransmitters() {
  uint32_t total = 0;
  for (const ConfiguredConnection& c : EnumerateConnections()) total += c.transmitterCount;
  return total;
}

void LoadSettings(SettingsBlock& s) {
  s.Debug = Flag("Debug", false);
  s.Debug2 = Flag("Debug2", false);
  s.NoDebugProtocol = Flag("NoDebugProtocol", false);
  s.DebugAsyncSMPP = Flag("DebugAsyncSMPP", false);
  s.DefaultMsgLimitPerDay = Limit("DefaultMsgLimitPerDay");
  s.DefaultMsgLimitPerMonth = Limit("DefaultMsgLimitPerMonth");
  s.SendLongMessagesAsIs = Flag("SendLongMessagesAsIs", false);
  s.AltLongText = Flag("AltLongText", false);
  s.DebugXmlSettings = Flag("DebugXmlSettings", false);
  s.ExcludeSmsDetailsFromLog = Flag("ExcludeSmsDetailsFromLog", false);
  s.DefaultCodePage = Number("DefaultCodePage");
  s.OldModemHandler = Flag("OldModemHandler", false);
  s.ModemSendDelay = Number("ModemSendDelay");
  s.SMSAccountingURL = Text("SMSAccountingURL", 499);
  s.UserQueueThreshold = Number("UserQueueThreshold");
  if (s.UserQueueThreshold == 0) s.UserQueueThreshold = 10;
  s.SeparateUserQueues = Flag("SeparateUserQueues", true);
  s.DisableInvalidStatusReportCheck = Flag("DisableInvalidStatusReportCheck", false);
  s.DisableUserLog = Flag("DisableUserLog", false);
  s.DisableUserQuota = Flag("DisableUserQuota", false);
  s.DisableInLog = Flag("DisableInLog", false);
  s.DisableWebLog = Flag("DisableWebLog", false);
  s.DisableOutLog = Flag("DisableOutLog", false);
  s.OMAProvisioningContentDisableLiterals = Flag("OMAProvisioningContentDisableLiterals", false);
  s.MaxRingToneFragmentCount = Number("MaxRingToneFragmentCount");
  if (s.MaxRingToneFragmentCount == 0) s.MaxRingToneFragmentCount = 6;
  s.OldModemReceiptFormat = Flag("OldModemReceiptFormat", false);
  s.DebugMaxSize = SMSIniNumber(kMainSection, "DebugMaxSize", 512);
  s.FlushOutLog = Flag("FlushOutLog", false);
  s.MaxQDirEntries = SMSIniNumber(kMainSection, "MaxQDirEntries", 10000);
  if (s.MaxQDirEntries == 0) s.MaxQDirEntries = 1000000;
  s.AccountingKeepAlive = Flag("AccountingKeepAlive", true);
  s.TwoWayKeepAlive = Flag("2WayKeepAlive", true);
  s.EnableKeepAlive = Flag("EnableKeepAlive", true);
  s.EnableThreadPool = Flag("EnableThreadPool", false);
  s.AccountingExtended = Flag("AccountingExtended", true);
  s.SmppSubmitAsyncHelperThread = Flag("SmppSubmitAsyncHelperThread", true);
  s.EnableBulkQ = Flag("EnableBulkQ", true);
  s.OldRoutingLogic = Flag("OldRoutingLogic", false);
  s.UseRouteQueues = Flag("UseRouteQueues", false);
  s.UseRouteCache = Flag("UseRouteCache", CountConfiguredTransmitters() >= 4);
  s.UseRouteCacheOnSubmit = Flag("UseRouteCacheOnSubmit", s.UseRouteCache);
  s.UseQCache = Flag("UseQCache", false);
  s.UseExperimentalLogic = Flag("UseExperimentalLogic", false);
  s.AllowAlphaRecip = Flag("AllowAlphaRecip", false);
  s.RepeatUDHAllSegments = Flag("RepeatUDHAllSegments", true);
  s.UseGlobalTAPI = Flag("UseGlobalTAPI", false);
  s.IPModemMaxBytes = SMSIniNumber(kMainSection, "IPModemMaxBytes", 1);
  if (s.IPModemMaxBytes == 0) s.IPModemMaxBytes = 1;
  s.ModemMaxBytesPerSend = SMSIniNumber(kMainSection, "ModemMaxBytesPerSend", 16);
  if (s.ModemMaxBytesPerSend == 0) s.ModemMaxBytesPerSend = 16;
  s.UseTempFileAttribute = Flag("UseTempFileAttribute", false);
  s.ConcatRef16Bit = Flag("ConcatRef16Bit", false);
  s.UseSleepAPI = Flag("UseSleepAPI", false);
  s.MessageIDPrefix = SharedVolumeIniString("SharedVolume", "MessageIDPrefix", "", 99);
  if (s.MessageIDPrefix.empty()) s.MessageIDPrefix = Text("MessageIDPrefix", 99);
  s.BinaryDCS = HexByte(Text("BinaryDCS", 49), 0xF5);
  s.LongTextDCS = HexByte(Text("LongTextDCS", 49), 0);
  s.SMPPPort = static_cast<uint16_t>(Number("SMPPPort"));
  s.SMPPPortSSL = static_cast<uint16_t>(Number("SMPPPortSSL"));
  s.IPAddress = Text("IPAddress", 99);
  s.ExtraHttpArgList = SplitList(Text("ExtraHttpArgList", 1023), ",;");
  s.EnableLocalRoutingThread = Flag("EnableLocalRoutingThread", false);
  s.SDKLinkEnabled = Flag("SDKLinkEnabled", false);
  s.ListenMMSNotificationIP = Flag("ListenMMSNotificationIP", false);
  s.EnableReceiptProcessing = Flag("EnableReceiptProcessing", true);
  s.TwoWaySMSThreadCount = Number("2WaySMSThreadCount");
  s.ConfigurationUpdateTriggerRestart = Text("ConfigurationUpdateTriggerRestart", 49);

  s.Nokia3510Compatible = MMSCIniFlag("MMSC", "Nokia3510Compatible", true);
  s.ShortMMSNotification = MMSCIniFlag("MMSC", "ShortMMSNotification", false);
  s.MmsNotificationNoSubject = MMSCIniFlag("MMSC", "MmsNotificationNoSubject", false);
  s.MmsNotificationNoSender = MMSCIniFlag("MMSC", "MmsNotificationNoSender", false);
  s.MMSNotificationHeaderMaxSize = ParseDecimal(MMSCIniString("MMSC", "MMSNotificationHeaderMaxSize", "", 49));
  s.EMailAutoSmil = MMSCIniFlag("MMSC", "EMailAutoSmil", true);
  s.EMailAutoSmilOldFormat = MMSCIniFlag("MMSC", "EMailAutoSmilOldFormat", false);
  std::string parDur = MMSCIniString("MMSC", "EMailAutoSmilParDur", "", 49);
  s.EMailAutoSmilParDurText = ParDur("EMailAutoSmilParDurText", parDur, "3s");
  s.EMailAutoSmilParDurImage = ParDur("EMailAutoSmilParDurImage", parDur, "5s");
  s.EMailAutoSmilParDurVideo = ParDur("EMailAutoSmilParDurVideo", parDur, "11s");
  s.EMailAutoSmilHeader = UnescapeCrLf(MMSCIniString("MMSC", "EMailAutoSmilHeader", "", 499));
  s.IPNotifyConfigured = !MMSCIniSection("IPNotify").empty();
}
