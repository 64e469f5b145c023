// "ThreadScanAlerts": once a minute, the outbound queue size against AlertEMailQueueSize.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

// Re-read each minute: [IPNotify] of MMSC.INI has entries.
extern std::atomic<bool> IPNotifyActive;

struct QueueAlertState {
  bool outstanding = false;
  time_t lastAlert = 0;  // 0 = never
};
// One minute's work; returns the number of "*.REQ" files counted.
uint32_t ScanAlertsOnce(QueueAlertState& state);
void ThreadScanAlerts();
