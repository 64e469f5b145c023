// The unique-id counter behind every queue file name (kept in UID.DAT of the private data
// directory) and the concatenation reference of segmented messages.
#pragma once

#include <cstdint>
#include <string>

// The counter after incrementing it. Starts at the current time in seconds, or at the value
// stored in UID.DAT + 1000. Before an id beyond the last stored value is issued, the
// counter + kUniqueIdReserve is stored, so that no id is issued twice across a crash.
uint32_t NextUniqueId();
// Stores the counter in UID.DAT when it differs from the stored value.
void SaveUniqueId();
// 8-bit, started from the low byte of the current time.
uint8_t NextConcatReference();

constexpr uint32_t kUniqueIdReserve = 1000;

// Tests: forget the counter so that the next call starts again from UID.DAT.
void ResetUniqueIdsForTest();
