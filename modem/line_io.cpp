#include "modem/line_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/text_helpers.h"

namespace {

// Waits beyond this are cut so that a stop request is seen within a second, where the line
// has no descriptor for it.
constexpr uint32_t kStopCheckMs = 1000;

// poll() for events, at most ms; revents, 0 on time-out or when stopFd became readable.
short PollFd(int fd, short events, uint32_t ms, int stopFd = -1) {
  pollfd p[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
  int r;
  do {
    r = poll(p, stopFd >= 0 ? 2 : 1, static_cast<int>(ms));
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return 0;
  return p[0].revents;
}

// The longest step of a wait: all of it when the stop has a descriptor to wake it.
uint32_t WaitStep(const ModemLine* line, uint64_t left) {
  if (line && line->stopFd >= 0) return static_cast<uint32_t>(left);
  return static_cast<uint32_t>(std::min<uint64_t>(left, kStopCheckMs));
}

// One read of what is there. >0 bytes, 0 nothing yet, -1 the stream ended.
long ReadAvailable(int fd, std::string& out, size_t room) {
  char chunk[1024];
  size_t want = std::min(room, sizeof chunk);
  ssize_t n;
  do {
    n = read(fd, chunk, want);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    out.append(chunk, static_cast<size_t>(n));
    return n;
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
  if (n == 0) errno = ECONNRESET;  // EOF of a socket; a hung-up tty gives EIO itself
  return -1;
}

}  // namespace

bool LineStopping(const ModemLine& line) { return line.stopping && line.stopping(); }

void PauseLine(uint32_t ms, const ModemLine& line) {
  uint64_t start = TickMs();
  for (;;) {
    uint64_t spent = TickMs() - start;
    if (spent >= ms || LineStopping(line)) return;
    PollFd(-1, 0, WaitStep(&line, ms - spent), line.stopFd);
  }
}

long ReadSome(ModemDevice& device, std::string& out, size_t room, uint32_t waitMs, const ModemLine* line,
              bool burst) {
  if (!device.valid() || device.failed) {
    errno = EBADF;
    return -1;
  }
  if (room == 0) return 0;
  const int fd = device.fd.get();
  uint64_t start = TickMs();
  long total = 0;
  // The first bytes: wait as long as the caller allows.
  for (;;) {
    uint64_t spent = TickMs() - start;
    if (spent >= waitMs) return 0;
    if (line && LineStopping(*line)) return 0;
    short ev = PollFd(fd, POLLIN, WaitStep(line, waitMs - spent), line ? line->stopFd : -1);
    if (ev == 0) continue;
    if (ev & POLLIN) {
      long n = ReadAvailable(fd, out, room);
      if (n < 0) {
        device.failed = true;
        return -1;
      }
      if (n == 0) continue;
      total = n;
      break;
    }
    device.failed = true;  // POLLHUP, POLLERR or POLLNVAL without data
    errno = EIO;
    return -1;
  }
  // The rest of a burst: whatever follows within the read interval, while the wait lasts
  // (a line that never pauses still returns).
  while (burst && static_cast<size_t>(total) < room && TickMs() - start < waitMs) {
    short ev = PollFd(fd, POLLIN, device.readIntervalMs);
    if (!(ev & POLLIN)) break;  // gap, or a hang-up the next read reports
    long n = ReadAvailable(fd, out, room - static_cast<size_t>(total));
    if (n <= 0) break;
    total += n;
  }
  return total;
}

size_t WritePieces(ModemDevice& device, std::string_view text, size_t maxPiece, const char* label) {
  if (!device.valid() || maxPiece == 0) return 0;
  const int fd = device.fd.get();
  constexpr uint32_t kPieceWaitMs = 11000;
  size_t written = 0;
  uint64_t lastProgress = TickMs();
  // The line is non-blocking: a piece is written at once while there is room, and only a
  // full line is waited for.
  bool full = false;
  while (written < text.size()) {
    uint64_t idle = TickMs() - lastProgress;
    if (idle >= kPieceWaitMs) break;
    size_t piece = std::min(maxPiece, text.size() - written);
    if (full) {
      short ev = PollFd(fd, POLLOUT, static_cast<uint32_t>(kPieceWaitMs - idle));
      if (ev == 0) {
        WriteDebugLogf(label, "Error - %X -", static_cast<unsigned>(ETIMEDOUT));
        WriteDebugLog(label, "CancelIo");
        break;
      }
      if (!(ev & POLLOUT)) {
        device.failed = true;
        break;
      }
      full = false;
    }
    ssize_t n;
    do {
      // A socket closed by the far end must fail the write, not raise SIGPIPE.
      n = device.transport == ModemTransport::Socket ? send(fd, text.data() + written, piece, MSG_NOSIGNAL)
                                                     : write(fd, text.data() + written, piece);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        full = true;
        continue;
      }
      int e = errno;
      WriteDebugLogf(label, "WriteFile failed, error %u (%X)", static_cast<unsigned>(e), static_cast<unsigned>(e));
      if (e == EIO || e == EPIPE || e == ECONNRESET) device.failed = true;
      break;
    }
    if (n == 0) break;  // a piece that writes nothing ends the command
    written += static_cast<size_t>(n);
    lastProgress = TickMs();
  }
  return written;
}

namespace {

int SendCommand(ModemDevice& device, std::string_view text, ModemLine& line, bool showText) {
  if (line.settings.ModemSendDelay != 0) PauseLine(line.settings.ModemSendDelay, line);
  const bool socket = device.transport == ModemTransport::Socket;
  size_t maxPiece = socket ? (line.settings.IPModemMaxBytes ? line.settings.IPModemMaxBytes : 1)
                           : (line.settings.ModemMaxBytesPerSend ? line.settings.ModemMaxBytesPerSend : 16);
  const char* label = socket ? "SendModemCommandIPModem" : "SendModemCommand";
  size_t written = WritePieces(device, text, maxPiece, label);
  if (written == text.size()) return 1;
  WriteDebugLogf("SendModemCommand", "Wrote %u bytes, expected %u bytes", static_cast<unsigned>(written),
                 static_cast<unsigned>(text.size()));
  WriteDebugLog("SendModemCommand", showText ? text : std::string_view("(not shown)"));
  return 0;
}

}  // namespace

int SendModemCommand(ModemDevice& device, std::string_view text, ModemLine& line) {
  return SendCommand(device, text, line, true);
}

int SendModemSecret(ModemDevice& device, std::string_view text, ModemLine& line) {
  return SendCommand(device, text, line, false);
}

size_t FlushInput(ModemDevice& device) {
  std::string discarded;
  long n = ReadSome(device, discarded, 1024, 100, nullptr);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

std::string MaskLineSecrets(const ModemLine& line, std::string_view text) {
  std::string out(text);
  auto mask = [&out](std::string_view secret) {
    while (!secret.empty() && (secret.back() == '\r' || secret.back() == '\n')) secret.remove_suffix(1);
    if (secret.size() < 3) return;  // too short to tell from ordinary text
    for (size_t at = out.find(secret); at != std::string::npos; at = out.find(secret, at)) {
      out.replace(at, secret.size(), secret.size(), '*');
    }
  };
  mask(line.settings.Password);
  for (const auto& step : line.settings.IPModemInit) mask(UnescapeCrLf(step.second));
  return out;
}
