// The inbound workers: kind 0 and 1 take "*.IN" files (1 also recombines segments), kind 2
// the "*.REC" reports, the receipt workers the "*.RCT" files whose report id is not yet
// resolved. The workers share their walks of the inbound directory and its subdirectories,
// each file handed to one of them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

// How the idle waits of the "*.IN"/"*.REC" workers ended, since the start.
struct InboundWaitCounts {
  std::atomic<uint64_t> wakeUps{0};  // returns of the wait's poll, for whatever reason
  std::atomic<uint64_t> woken{0};    // a file was stored, written or dropped in
  std::atomic<uint64_t> looks{0};    // the periodic rescan without being told
};
extern InboundWaitCounts InboundWaits;

// How the receipt worker's waits ended, since the start.
struct ReceiptWaitCounts {
  std::atomic<uint64_t> walks{0};    // walks of the "*.RCT" files
  std::atomic<uint64_t> wakeUps{0};  // returns of the wait's poll, for whatever reason
  std::atomic<uint64_t> woken{0};    // a receipt was stored
  std::atomic<uint64_t> due{0};      // a waiting file's next try fell due
  std::atomic<uint64_t> looks{0};    // the periodic rescan without being told
};
extern ReceiptWaitCounts ReceiptWaits;

void ThreadProcessInboundSMS(int kind);
void ThreadProcessInboundReceipts();

// One walk for a worker of kind (0, 1, 2) and the files it took; the files it completed.
size_t ScanInboundFiles(int kind);
// One walk of the receipt files; the files completed. *earliestDue (when given) becomes the
// earliest second a file left waiting wants its next try, 0 when none waits.
size_t ScanReceiptFiles(time_t* earliestDue = nullptr);
