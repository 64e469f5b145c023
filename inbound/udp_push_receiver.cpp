#include "inbound/udp_push_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "inbound/inbound_wake.h"
#include "runtime/debug_log.h"
#include "runtime/hex_text.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_registry.h"
#include "store/store_service.h"

namespace {
constexpr size_t kMaxDatagram = 8192;
constexpr size_t kMaxDataText = 8191;  // the Data value of a message file
}  // namespace

bool ProcessWAPPushPacket(const unsigned char* data, size_t length, const std::string& senderAddress) {
  WriteDebugLogf("ProcessWAPPushPacket", "Received %u bytes WAP Push from %s", static_cast<unsigned>(length),
                 senderAddress.c_str());
  WriteDebugHexDump("ProcessWAPPushPacket", data, length);
  std::string hex = HexEncode(std::string_view(reinterpret_cast<const char*>(data), length));
  if (hex.size() > kMaxDataText) {
    WriteDebugLogf("ProcessWAPPushPacket", "Dropped: %u bytes do not fit a message file",
                   static_cast<unsigned>(length));
    return false;
  }
  if (!WriteInboundWapPush(hex)) {
    WriteDebugLog("ProcessWAPPushPacket", "Error writing inbound file");
    return false;
  }
  WakeInboundWorkers(InboundWakeKind::Messages);
  return true;
}

void ThreadReceiveWAPPushUDP(int socket) {
  unsigned char buffer[kMaxDatagram];
  while (ShutdownRequested.load() == 0) {
    // Up to 60 s per wait in the design; one-second steps keep shutdown prompt.
    struct pollfd pfd = {socket, POLLIN, 0};
    int ready = poll(&pfd, 1, 1000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (pfd.revents & (POLLERR | POLLNVAL)) != 0) break;
    if (ready == 0) continue;
    struct sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t n = recvfrom(socket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (n == 0) continue;
    char address[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
    ProcessWAPPushPacket(buffer, static_cast<size_t>(n), address);
  }
}
