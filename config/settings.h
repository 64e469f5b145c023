// The settings block: the [QARHUB] values read once at start-up by main, and only read
// afterwards by every other thread. Which keys it holds, with their defaults, is the
// registry's table (config/settings_registry.h).
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
  std::string SMSAccountingURL;
  bool DisableUserQuota = false;
  bool AccountingKeepAlive = true;
  bool AccountingExtended = true;

  // Submission and text.
  bool SendLongMessagesAsIs = false;
  bool AltLongText = false;
  bool AllowAlphaRecip = false;
  bool RepeatUDHAllSegments = true;
  bool ConcatRef16Bit = false;
  uint8_t LongTextDCS = 0;
  std::vector<std::string> ExtraHttpArgList;

  // Message logs.
  bool ExcludeSmsDetailsFromLog = false;
  bool DisableUserLog = false;
  bool DisableInLog = false;
  bool DisableWebLog = false;
  bool DisableOutLog = false;
  bool FlushOutLog = false;

  // Queues and workers.
  uint32_t UserQueueThreshold = 10;
  bool SeparateUserQueues = true;
  uint32_t MaxQDirEntries = 10000;
  bool UseRouteQueues = false;
  bool UseRouteCache = false;
  bool UseQCache = false;
  bool UseExperimentalLogic = false;
  bool OldRoutingLogic = false;
  bool UseSleepAPI = false;
  bool EnableBulkQ = true;
  std::string MessageIDPrefix;

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
  bool EnableLocalRoutingThread = false;
  bool SDKLinkEnabled = false;
  bool ListenMMSNotificationIP = false;
  bool EnableReceiptProcessing = true;
  uint32_t TwoWaySMSThreadCount = 0;               // 2WaySMSThreadCount

  std::string ConfigurationUpdateTriggerRestart;
};

// Read-only: main installs it before any thread that reads it starts.
extern const SettingsBlock& Settings;

// Reads every key of the table that has a field in the block, with its default and rule.
// The web and SSL ports depend on whether SSL is available, so start-up reads them itself.
void LoadSettings(SettingsBlock& s);
// Start-up only, before the threads that read the block start.
void InstallSettings(const SettingsBlock& s);
// Number of transmitter threads the configured connections ask for (each ModemN counts
// its TransmitterCount, at least 1).
uint32_t CountConfiguredTransmitters();
