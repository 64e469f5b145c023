// The settings block: [QARHUB] and [MMSC] values read once at start-up by main, and only
// read afterwards by every other thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SettingsBlock {
  // Debugging (the debug log's own switches live in DebugSettings).
  bool Debug = false;
  bool Debug2 = false;
  bool NoDebugProtocol = false;
  bool DebugAsyncSMPP = false;
  uint32_t DebugMaxSize = 512;

  // Quotas and accounting.
  uint32_t DefaultMsgLimitPerDay = 0xFFFFFFFFu;    // all-ones: no limit
  uint32_t DefaultMsgLimitPerMonth = 0xFFFFFFFFu;
  std::string SMSAccountingURL;                    // up to 499
  bool DisableUserQuota = false;
  bool AccountingKeepAlive = true;
  bool AccountingExtended = true;

  // Submission and text.
  bool SendLongMessagesAsIs = false;
  bool AltLongText = false;
  bool DebugXmlSettings = false;
  uint32_t DefaultCodePage = 0;
  bool OMAProvisioningContentDisableLiterals = false;
  uint32_t MaxRingToneFragmentCount = 6;
  bool AllowAlphaRecip = false;
  bool RepeatUDHAllSegments = true;
  bool ConcatRef16Bit = false;
  uint8_t BinaryDCS = 0xF5;
  uint8_t LongTextDCS = 0;
  std::vector<std::string> ExtraHttpArgList;       // from up to 1023 characters

  // Message logs.
  bool ExcludeSmsDetailsFromLog = false;
  bool DisableUserLog = false;
  bool DisableInLog = false;
  bool DisableWebLog = false;
  bool DisableOutLog = false;
  bool FlushOutLog = false;

  // Modems.
  bool OldModemHandler = false;
  uint32_t ModemSendDelay = 0;
  bool UseGlobalTAPI = false;
  uint32_t IPModemMaxBytes = 1;
  uint32_t ModemMaxBytesPerSend = 16;
  bool DisableInvalidStatusReportCheck = false;
  bool OldModemReceiptFormat = false;

  // Queues and workers.
  uint32_t UserQueueThreshold = 10;
  bool SeparateUserQueues = true;
  uint32_t MaxQDirEntries = 10000;
  bool UseRouteQueues = false;
  bool UseRouteCache = false;
  bool UseRouteCacheOnSubmit = false;
  bool UseQCache = false;
  bool UseExperimentalLogic = false;
  bool OldRoutingLogic = false;
  bool UseTempFileAttribute = false;
  bool UseSleepAPI = false;
  bool SmppSubmitAsyncHelperThread = true;
  bool EnableBulkQ = true;
  std::string MessageIDPrefix;                     // up to 99

  // Web and SMPP servers.
  bool EnableKeepAlive = true;
  bool EnableThreadPool = false;
  uint16_t WebPort = 8800;
  uint16_t WebPortSSL = 0;
  bool SSLRedirect = false;
  uint16_t SMPPPort = 0;
  uint16_t SMPPPortSSL = 0;
  std::string IPAddress;

  // Inbound.
  bool TwoWayKeepAlive = true;                     // 2WayKeepAlive
  bool EnableLocalRoutingThread = false;
  bool SDKLinkEnabled = false;
  bool ListenMMSNotificationIP = false;
  bool EnableReceiptProcessing = true;
  uint32_t TwoWaySMSThreadCount = 0;               // 2WaySMSThreadCount

  std::string ConfigurationUpdateTriggerRestart;   // up to 49

  // [MMSC] of MMSC.INI.
  bool Nokia3510Compatible = true;
  bool ShortMMSNotification = false;
  bool MmsNotificationNoSubject = false;
  bool MmsNotificationNoSender = false;
  uint32_t MMSNotificationHeaderMaxSize = 0;
  bool EMailAutoSmil = true;
  bool EMailAutoSmilOldFormat = false;
  std::string EMailAutoSmilParDurText;             // "<par dur=\"3s\">"
  std::string EMailAutoSmilParDurImage;
  std::string EMailAutoSmilParDurVideo;
  std::string EMailAutoSmilHeader;                 // up to 499, CR LF unescaped
  bool IPNotifyConfigured = false;                 // [IPNotify] of MMSC.INI has entries
};

// Written by main before any thread that reads it starts.
extern SettingsBlock Settings;

// Reads every key of [QARHUB] and [MMSC] with its default and rule. The web and SSL ports
// depend on whether SSL is available, so start-up reads them itself.
void LoadSettings(SettingsBlock& s);
// Number of transmitter threads the configured connections ask for (each ModemN counts
// its TransmitterCount, at least 1).
uint32_t CountConfiguredTransmitters();
