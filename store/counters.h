// Statistics counters: files of 366 little-endian 32-bit cells (one per day of the year) in
// STATS of the private data directory, and one such file per SMSC connection.
#pragma once

#include <cstdint>
#include <string_view>

enum CounterNumber : int {
  kSmsSubmit = 0,     // SMSSUBMIT
  kSmsSent = 1,       // SMSSENT
  kSmsReceived = 2,   // SMSRECEIVED
  kSmsFailed = 3,     // SMSFAILED
  kSmsRetry = 4,      // SMSRETRY
  kMmsInModem = 5,    // MMSIN-MODEM
  kSmsQSize = 6,      // SMSQSIZE (cell 0 only)
  kSmsInQSize = 7,    // SMSINQSIZE
  kSmsRcptQSize = 8,  // SMSRCPTQSIZE
  kCounterCount = 9
};

constexpr size_t kCounterCells = 366;
constexpr size_t kCounterFileSize = kCounterCells * 4;

// Cell of a date: days before the month + day - 1, + 1 after February when year % 4 == 0.
unsigned CounterCell(int year, int month, int day);

// Today's cell (cell 0 for the queue sizes). Subtraction stops at 0; addition at the
// largest 32-bit value.
void CounterAdd(int number, uint32_t amount);
void CounterSubtract(int number, uint32_t amount);
// All that was added to a counter since the process started (a count that never drops,
// for monitoring).
uint64_t CounterAddedSinceStart(int number);
// Today's value (cell 0 for the queue sizes).
uint32_t CounterValue(int number);
// Deletes the queue-size files and zeroes their images, for the start-up recount.
void CounterResetQueueSizes();

void CountersOpen();
void CountersFlush();
void CountersClose();

// Adds to today's cell of the connection's file "<name with :/\ as ->-<year>.CTR" in the
// private data directory.
void ConnectionCounterAdd(std::string_view connectionName, uint32_t amount);
uint32_t ConnectionCounterValue(std::string_view connectionName);
