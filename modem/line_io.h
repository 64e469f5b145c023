// The byte level under the readers: bounded waits with poll() on a tty or socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "modem/modem_line.h"

// Read gap that ends a read once bytes came, while probing a speed and before the session's
// own timing is set.
inline constexpr uint32_t kProbeReadIntervalMs = 200;

// Waits up to waitMs for bytes, then (with burst) takes what follows within the device's read
// interval, appending at most room bytes to out. Bytes appended, or -1 when the stream ended
// (EOF, hang-up, EIO: device.failed set) or the device is not open; errno says which. Stops
// waiting when line says stop (at once with its stopFd, else within a second).
long ReadSome(ModemDevice& device, std::string& out, size_t room, uint32_t waitMs, const ModemLine* line,
              bool burst = true);

// Writes text in pieces of at most maxPiece bytes. Each piece may wait up to 11 s for the
// line to take it; 11 s without progress ends the attempt. Bytes written.
size_t WritePieces(ModemDevice& device, std::string_view text, size_t maxPiece, const char* label);

// Sleeps ms unless line says stop first.
void PauseLine(uint32_t ms, const ModemLine& line);

// True when line's stop test says stop.
bool LineStopping(const ModemLine& line);

// SendModemCommand without the text in any log line (passwords).
int SendModemSecret(ModemDevice& device, std::string_view text, ModemLine& line);

// text with the line's password and its login answers starred out: a terminal server may
// echo them into what the readers log.
std::string MaskLineSecrets(const ModemLine& line, std::string_view text);
