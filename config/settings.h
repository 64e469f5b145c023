// The settings block: the [QARHUB] values read once at start-up by main, and only read
// afterwards by every other thread. Which keys it holds, with their defaults, is the
// registry's table (config/settings_registry.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SettingsBlock {
  // The table's defaults.
  SettingsBlock();
  bool operator==(const SettingsBlock&) const = default;

  // Debugging (the debug log's own switches live in DebugSettings).
  bool Debug;
  bool Debug2;
  bool NoDebugProtocol;
  bool DebugAsyncSMPP;
  uint32_t DebugMaxSize;

  // Quotas and accounting.
  uint32_t DefaultMsgLimitPerDay;
  uint32_t DefaultMsgLimitPerMonth;
  std::string SMSAccountingURL;
  bool DisableUserQuota;
  bool AccountingKeepAlive;
  bool AccountingExtended;

  // Submission and text.
  bool SendLongMessagesAsIs;
  bool AltLongText;
  bool AllowAlphaRecip;
  bool RepeatUDHAllSegments;
  bool ConcatRef16Bit;
  uint8_t LongTextDCS;
  std::vector<std::string> ExtraHttpArgList;

  // Message logs.
  bool ExcludeSmsDetailsFromLog;
  bool DisableUserLog;
  bool DisableInLog;
  bool DisableWebLog;
  bool DisableOutLog;
  bool FlushOutLog;

  // Queues and workers.
  uint32_t UserQueueThreshold;
  bool SeparateUserQueues;
  uint32_t MaxQDirEntries;
  bool UseRouteQueues;
  bool UseRouteCache = false;  // on by default from four transmitters, decided by LoadSettings
  bool UseQCache;
  bool UseExperimentalLogic;
  bool OldRoutingLogic;
  bool UseSleepAPI;
  bool EnableBulkQ;
  bool DurableAccept;
  std::string MessageIDPrefix;

  // Web and SMPP servers.
  bool EnableKeepAlive;
  bool EnableThreadPool;
  uint16_t WebPort = 8800;
  uint16_t WebPortSSL = 0;
  bool SSLRedirect = false;
  uint16_t SMPPPort;
  uint16_t SMPPPortSSL;
  std::string IPAddress;

  // Inbound.
  bool EnableLocalRoutingThread;
  bool SDKLinkEnabled;
  bool ListenMMSNotificationIP;
  bool EnableReceiptProcessing;
  uint32_t TwoWaySMSThreadCount;  // 2WaySMSThreadCount

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
