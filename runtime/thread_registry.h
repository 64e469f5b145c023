// The registry of numbered service threads, and the process-wide stop flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr uint32_t kThreadSlots = 4096;
constexpr size_t kThreadDescriptionMax = 99;

// Set to 1 to ask every loop in the process to finish; never reset.
extern std::atomic<int> ShutdownRequested;

uint32_t AssignThreadNumber(std::string_view description);  // 1..4096, 0 when full
uint32_t ReleaseThreadNumber();
uint32_t CurrentThreadNumber();
// Copies the description of the calling thread's slot into buf (async-signal-safe).
void CurrentThreadDescription(char* buf, size_t size);
std::string ThreadDescription(uint32_t number);
void ThreadStarted();
void ThreadFinished();
int32_t ActiveThreadCount();
// Waits up to ms for ActiveThreadCount to reach 0; true when it did.
bool WaitActiveThreadsEnd(unsigned ms);
// The descriptions of the numbered threads still running.
std::vector<std::string> RegisteredThreadDescriptions();
void ClearThreadTable();
