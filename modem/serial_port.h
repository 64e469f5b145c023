// A tty held for one modem connection.
#pragma once

#include <cstdint>
#include <string>

#include "modem/modem_line.h"

// Opens path read/write, takes flock(LOCK_EX|LOCK_NB) and TIOCEXCL, and sets raw 8N1 without
// flow control. On failure the device is invalid, its failure set (Busy when another holder
// has it) and error holds the errno.
ModemDevice OpenSerialPort(const std::string& path, int& error);
// False when the speed is none the line knows, or the line refused it.
bool SetLineSpeed(ModemDevice& device, uint32_t bitsPerSecond);
