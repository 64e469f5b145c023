// What the service's start-up, main loop and shutdown call in the message store, and the
// store's thread bodies (each loops until ShutdownRequested; start them with
// StartServiceThread).
#pragma once

#include <string>
#include <string_view>

#include "store/queue_dirs.h"  // UserDir and the other directories

// Start-up step 2: opens the statistics counters, deletes the queue-size counters and
// recounts them from the queue directories.
void StoreStartup();
// Start-up step 18.
void OpenOutboundLog();
// Main loop step 1, when the hour of the local clock changed (and on the first pass): log
// retention and the clean-up of stale work files.
void RunHourlyHousekeeping();
// Main loop step 2 and shutdown step 4.
void WriteBackCounters();
// Shutdown step 4 and the alert scanner's minute: stores the unique-id counter in UID.DAT.
void SaveUniqueId();
// Shutdown step 8: the outbound, inbound, web and per-user logs.
void CloseMessageLogs();
// Shutdown step 10.
void CloseCounters();

// Thread bodies.
void ThreadFlushCounters();      // 500 ms after a usage change: the per-user usage write-back hook
void ThreadProcessQCache();      // only with UseQCache
bool QCacheFirstScanComplete();  // main polls it every 100 ms before starting the senders
void ThreadProcessBulkQ();       // started 3 times
void ThreadProcessDelayQ();

// The per-user daily usage write-back of the quota module, run by ThreadFlushCounters 500 ms
// after NoteUserUsageChanged, and once more after that to close what it left open.
void SetUserUsageFlusher(void (*flush)());
// A cached quota or credit changed: the write-back thread wakes (an idle one sleeps on).
void NoteUserUsageChanged();

// Publishes a new inbound file (extension "in", "rec" or "rct") in InboundQueueDir and counts
// it in the inbound or receipt queue size. Returns its path, or "" on failure. The caller
// sets the inbound wake-up event.
std::string WriteInboundFile(std::string_view extension, std::string_view content);
// The inbound file of a WAP push datagram from the UDP receiver: "[SMS-IN]",
// "Sender=IPNotify", "UDH=0605040B8423F0", "DCS=4" and "Data=" + hexData (the datagram as
// upper-case hexadecimal). False when it could not be written.
bool WriteInboundWapPush(std::string_view hexData);
