// The hourly clean-up: message-log retention and the removal of stale work files.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

// Days since 1970-01-01 of a calendar date.
int64_t DaysFromCivil(int year, unsigned month, unsigned day);
// For "SMS-", "SMSIN-", "SMSOUT-" or "SMSWEB-" + YYYYMMDD + ".LOG": its date as days since
// 1970; false for any other name.
bool MessageLogFileDay(std::string_view name, int64_t& days);
// Deletes the message logs of dir older than retainDays (real dates, so files of any
// earlier year are handled).
void SweepMessageLogs(const std::string& dir, uint32_t retainDays, int64_t today);
// Deletes files matching pattern (case-insensitive) whose modification time is before
// cutoff, in dir and all its subdirectories. Held lock files and SQLite stores ("*.DB" with
// their "-wal", "-shm" and "-journal" files) are left alone. With pattern
// "*" or "*.*" emptied subdirectories are removed.
void DeleteFilesOlderThan(const std::string& dir, std::string_view pattern, time_t cutoff);

void Housekeeping();
