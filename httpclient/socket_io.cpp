#include "httpclient/socket_io.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "outside/seal_table.h"

namespace {
// One send call: the bytes sent, below 1 on error.
ssize_t SendOnce(int socket, void* ssl, const char* data, size_t length) {
  if (ssl != nullptr && SealCalls.Available) {
    int chunk = length > (1u << 30) ? (1 << 30) : static_cast<int>(length);
    return SealCalls.sslSend(ssl, data, chunk);
  }
  for (;;) {
    ssize_t n = send(socket, data, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct pollfd pfd = {socket, POLLOUT, 0};
      if (poll(&pfd, 1, 30000) > 0) continue;
    }
    return n;
  }
}
}  // namespace

bool SendData(int socket, void* ssl, std::string_view data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = SendOnce(socket, ssl, data.data() + sent, data.size() - sent);
    if (n < 1) {
      WriteDebugLogf("SendData", "Error on send data %u", static_cast<unsigned>(errno));
      return false;
    }
    sent += static_cast<size_t>(n);
    if (sent < data.size())
      WriteDebugLogf("SendData", "Debug:  Sent %u bytes of %u total", static_cast<unsigned>(sent),
                     static_cast<unsigned>(data.size()));
  }
  return true;
}

bool SendLine(int socket, void* ssl, std::string_view text) {
  std::string line(text);
  line += "\r\n";
  return SendData(socket, ssl, line);
}

bool SocketStillOpen(int socket) {
  if (socket < 0) return false;
  struct pollfd pfd = {socket, POLLIN, 0};
  int ready = poll(&pfd, 1, 0);
  if (ready < 0) return false;
  if (ready == 0) return true;
  if (pfd.revents & (POLLERR | POLLNVAL)) return false;
  int pending = 0;
  if (ioctl(socket, FIONREAD, &pending) != 0) return false;
  return pending > 0;
}

bool SendAFile(int socket, void* ssl, int fd, std::string_view prefix) {
  constexpr size_t kPiece = 16384;
  if (lseek(fd, 0, SEEK_SET) < 0) return false;
  std::vector<char> piece(kPiece);
  size_t fill = 0;
  while (fill < prefix.size()) {
    // A prefix longer than a piece goes out in pieces of its own.
    size_t n = std::min(kPiece, prefix.size() - fill);
    if (n == kPiece) {
      if (!SendData(socket, ssl, prefix.substr(fill, n))) return false;
      fill += n;
      continue;
    }
    break;
  }
  std::string_view rest = prefix.substr(fill);
  std::copy(rest.begin(), rest.end(), piece.begin());
  size_t used = rest.size();
  for (;;) {
    ssize_t n = read(fd, piece.data() + used, kPiece - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    used += static_cast<size_t>(n);
    if (used == 0) return true;
    if (!SendData(socket, ssl, std::string_view(piece.data(), used))) {
      WriteDebugLogf("SendAFile", "Error %08X (%u) sending response", static_cast<unsigned>(errno),
                     static_cast<unsigned>(errno));
      return false;
    }
    if (n == 0) return true;
    used = 0;
    if (!SocketStillOpen(socket)) return true;
  }
}

WaitOutcome WaitReadable(int socket, void* ssl, int timeoutMs) {
  if (ssl != nullptr && SealCalls.Available && SealCalls.sslDataPending(ssl) > 0) return WaitOutcome::Ready;
  struct pollfd pfd = {socket, POLLIN, 0};
  int ready = poll(&pfd, 1, timeoutMs);
  if (ready < 0) return errno == EINTR ? WaitOutcome::Timeout : WaitOutcome::Error;
  if (ready == 0) return WaitOutcome::Timeout;
  if (pfd.revents & POLLNVAL) return WaitOutcome::Error;
  return WaitOutcome::Ready;
}

int BytesAvailable(int socket, void* ssl) {
  int pending = 0;
  if (ioctl(socket, FIONREAD, &pending) != 0) return -1;
  if (pending == 0 && ssl != nullptr && SealCalls.Available) {
    int p = SealCalls.sslDataPending(ssl);
    pending = p > 0 ? p : 0;
  }
  return pending;
}

ssize_t ReceiveSome(int socket, void* ssl, char* buf, size_t size) {
  if (ssl != nullptr && SealCalls.Available) {
    int n = SealCalls.sslRecv(ssl, buf, size > (1u << 30) ? (1 << 30) : static_cast<int>(size));
    return n;
  }
  for (;;) {
    ssize_t n = recv(socket, buf, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) return -1;
    return n;
  }
}
