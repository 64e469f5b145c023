#include <sys/socket.h>

#include <cerrno>

#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/thread_registry.h"
#include "httpclient/http_text.h"
#include "httpclient/socket_io.h"
#include "web/web_server.h"
#include "web/web_settings.h"

namespace {
struct Completeness {
  bool complete = false;
  bool tooLarge = false;
  bool chunked = false;
  size_t headerLength = 0;
  size_t requestEnd = 0;
};

void DropLeadingControlBytes(std::string& text) {
  size_t n = 0;
  while (n < text.size() && static_cast<unsigned char>(text[n]) < '!') ++n;
  if (n > 0) text.erase(0, n);
}

Completeness Check(std::string& text, uint64_t limit, ChunkScan& scan) {
  Completeness r;
  size_t before = text.size();
  DropLeadingControlBytes(text);
  if (text.size() != before) scan = ChunkScan{};
  r.headerLength = HttpHeaderLength(text);
  if (r.headerLength == 0) {
    r.tooLarge = text.size() > limit;
    return r;
  }
  if (r.headerLength > limit) {
    r.tooLarge = true;
    return r;
  }
  std::string_view header = std::string_view(text).substr(0, r.headerLength);
  uint64_t bodyLimit = limit - r.headerLength;
  if (HttpIsChunked(header)) {
    r.chunked = true;
    size_t consumed = 0;
    switch (HttpChunkComplete(std::string_view(text).substr(r.headerLength), bodyLimit, consumed, true, &scan)) {
      case ChunkState::Complete:
        r.complete = true;
        r.requestEnd = r.headerLength + consumed;
        break;
      case ChunkState::Malformed:
        // Handled rather than waited for.
        r.complete = true;
        r.requestEnd = text.size();
        break;
      case ChunkState::TooLarge:
        r.tooLarge = true;
        break;
      case ChunkState::Incomplete:
        r.tooLarge = text.size() > limit;
        break;
    }
    return r;
  }
  uint64_t contentLength = HttpContentLength(header);
  if (contentLength > bodyLimit) {
    r.tooLarge = true;
    return r;
  }
  if (text.size() >= r.headerLength + contentLength) {
    r.complete = true;
    r.requestEnd = r.headerLength + static_cast<size_t>(contentLength);
  }
  return r;
}
}  // namespace

ReadOutcome ProcessRead(WebConnection& c, WebRequest& request) {
  const char* label = c.ssl != nullptr ? "ThreadProcessSSLConnection" : "ThreadProcessConnection";
  const uint64_t limit = WebSettings.MaxWebRequestBytes;
  std::string& text = request.text;
  text.clear();
  request.headerLength = 0;
  text.reserve(std::max<size_t>(2048, c.pipeline.size() + 16));
  if (!c.pipeline.empty()) {
    WriteDebugLogf(label, "%u bytes read from HTTP proxy socket pipeline", static_cast<unsigned>(c.pipeline.size()));
    text.swap(c.pipeline);
    c.pipeline.clear();
  }
  uint64_t lastByte = TickMs();
  Completeness state;
  ChunkScan scan;
  while (ShutdownRequested.load() == 0) {
    state = Check(text, limit, scan);
    if (state.complete || state.tooLarge) break;
    if (TickMs() - lastByte >= uint64_t(WebSettings.IdleLimitSeconds) * 1000) break;
    // Short waits, so that a stop request is seen within a second.
    WaitOutcome w = WaitReadable(c.socket, c.ssl, 1000);
    if (w == WaitOutcome::Timeout) continue;
    if (w == WaitOutcome::Error) {
      WriteDebugLogf(label, "Error %lu from Winsock:select", static_cast<unsigned long>(errno));
      break;
    }
    // Plain sockets are read in pieces without asking how much is waiting (one call less
    // per request); a read of nothing then means the peer closed.
    int available = c.ssl != nullptr ? BytesAvailable(c.socket, c.ssl) : 16384;
    if (available < 0) {
      WriteDebugLogf(label, "Error %lu from Winsock:ioctlsocket", static_cast<unsigned long>(errno));
      break;
    }
    if (available == 0) {
      WriteDebugLog(label, "End of socket");
      break;
    }
    if (c.ssl != nullptr && available < 1024) available = 1024;
    size_t old = text.size();
    if (text.capacity() < old + size_t(available) + 16) {
      size_t grow = std::max(text.capacity() * 3 / 2, old + size_t(available) + 16);
      try {
        text.reserve(grow);
      } catch (const std::bad_alloc&) {
        WriteDebugLog(label, "Out of memory");
        WriteDebugLogf(label, "Unable to allocate %u bytes", static_cast<unsigned>(grow));
        return ReadOutcome::Failed;
      }
    }
    text.resize(old + size_t(available));
    ssize_t n;
    if (c.ssl != nullptr) {
      n = ReceiveSome(c.socket, c.ssl, text.data() + old, size_t(available));
    } else {
      n = recv(c.socket, text.data() + old, size_t(available), MSG_DONTWAIT);
      if (n == 0) {
        text.resize(old);
        WriteDebugLog(label, "End of socket");
        break;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) n = 0;
    }
    if (n < 0) {
      text.resize(old);
      WriteDebugLogf(label, "Error %lu from Winsock:recv", static_cast<unsigned long>(errno));
      break;
    }
    text.resize(old + size_t(n));
    if (n > 0) lastByte = TickMs();
  }
  if (state.tooLarge) return ReadOutcome::TooLarge;
  if (!state.complete) {
    if (!text.empty()) {
      WriteDebugLogf(label, "Received %u bytes - incomplete HTTP request", static_cast<unsigned>(text.size()));
      WriteDebugHexDump(label, text.data(), text.size(), 4096);
    }
    return ReadOutcome::Failed;
  }
  if (state.requestEnd < text.size()) {
    c.pipeline.assign(text, state.requestEnd, std::string::npos);
    WriteDebugLogf(label, "%u bytes written to HTTP proxy socket pipeline", static_cast<unsigned>(c.pipeline.size()));
    text.resize(state.requestEnd);
  }
  if (state.chunked) HttpChunkStrip(text, state.headerLength);
  request.headerLength = state.headerLength;
  return ReadOutcome::Request;
}
