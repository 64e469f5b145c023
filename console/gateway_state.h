// What the console sees of a running service without talking to it: whether its instance
// lock is held (a crash releases it) and the bytes of its status block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// True while some process holds an exclusive flock on path.
bool LockHeld(const std::string& path);
// Waits up to ms for the lock on path to be free (ends as soon as it is); true when free.
bool WaitLockFree(const std::string& path, unsigned ms);
// A byte of the status block file, 0 when there is none.
uint8_t ReadStatusByte(const std::string& blockPath, size_t index);
// Sets a byte of an existing status block; false when there is none.
bool WriteStatusByte(const std::string& blockPath, size_t index, uint8_t value);
