// The shared status block "QAR_QARHUB_ShMem" (512 bytes, mapped by the gateway and the
// console) and the single-instance lock that guards it.
#pragma once

#include <cstdint>
#include <string>

constexpr size_t kStatusBlockSize = 512;
constexpr const char* kStatusBlockName = "QAR_QARHUB_ShMem";
constexpr const char* kInstanceLockName = "QAR_QARHUB.LCK";

enum StatusByte : size_t {
  kStatusStopRequest = 0,
  kStatusWebStarted = 1,
  kStatusWebPortError = 2,
  kStatusSmppListening = 3,
  kStatusSmppPortError = 4,
};

enum class InstanceResult { Ok, AlreadyActive, CreateFailed, MapFailed };

// Takes the instance lock (an exclusive flock held for the life of the process, so a
// crashed gateway never blocks the next start), then creates, maps and zeroes the block.
InstanceResult OpenStatusBlock(const std::string& privateDataDir, int& error);
void SetStatusByte(size_t index, uint8_t value);
uint8_t GetStatusByte(size_t index);
// Unmaps the block and releases the lock.
void CloseStatusBlock();
