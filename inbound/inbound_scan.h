// The inbound workers: kind 0 and 1 take "*.IN" files (1 also recombines segments), kind 2
// the "*.REC" reports, the receipt workers the "*.RCT" files whose report id is not yet
// resolved. Each walks the inbound directory and its subdirectories.
#pragma once

#include <cstddef>

void ThreadProcessInboundSMS(int kind);
void ThreadProcessInboundReceipts();

// One walk of a worker of kind (0, 1, 2); the files it completed. startIndex spreads the
// starting points of workers that walk the same files.
size_t ScanInboundFiles(int kind, unsigned startIndex);
// One walk of the receipt files; the files completed.
size_t ScanReceiptFiles(unsigned startIndex);
