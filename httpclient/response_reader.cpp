#include <cerrno>

#include "httpclient/http_client.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/thread_registry.h"
#include "httpclient/http_text.h"
#include "httpclient/socket_io.h"

HttpClientSettingsRecord HttpClientSettings;

namespace {
constexpr const char* kLabel = "HttpResponseWait";


struct HeaderFacts {
  size_t length = 0;
  bool chunked = false;
  bool hasLength = false;
  uint64_t contentLength = 0;
  unsigned status = 0;
};

HeaderFacts ReadHeader(std::string_view text) {
  HeaderFacts f;
  f.length = HttpHeaderLength(text);
  if (f.length == 0) return f;
  std::string_view header = text.substr(0, f.length);
  f.chunked = HttpIsChunked(header);
  if (!f.chunked && HttpHeaderValue(header, "Content-Length:", 40)) {
    f.hasLength = true;
    f.contentLength = HttpContentLength(header);
  }
  f.status = HttpStatusCode(header);
  return f;
}
}  // namespace

size_t HttpResponseWait(int socket, void* ssl, std::string& response, bool headerOnly, uint32_t timeoutSeconds) {
  const uint64_t limit = HttpClientSettings.MaxResponseBytes;
  const uint64_t timeoutMs = uint64_t(timeoutSeconds == 0 ? 1 : timeoutSeconds) * 1000;
  response.clear();
  response.reserve(4096);
  uint64_t lastProgress = TickMs();
  HeaderFacts h;
  ChunkScan scan;
  bool done = false;
  while (!done && ShutdownRequested.load() == 0) {
    if (h.length == 0) h = ReadHeader(response);
    if (h.length != 0) {
      if (h.status >= 100 && h.status <= 199) {
        WriteDebugLog(kLabel, "100 Continue");
        response.erase(0, h.length);
        h = HeaderFacts{};
        scan = ChunkScan{};
        continue;
      }
      if (h.chunked) {
        size_t consumed = 0;
        ChunkState state = HttpChunkComplete(std::string_view(response).substr(h.length), limit, consumed, true, &scan);
        if (state == ChunkState::TooLarge) {
          WriteDebugLog(kLabel, "Response exceeds the size limit");
          break;
        }
        if (state != ChunkState::Incomplete) {
          WriteDebugLog(kLabel, "Chunked response Ok");
          if (state == ChunkState::Complete) response.resize(h.length + consumed);
          HttpChunkStrip(response, h.length);
          done = true;
          break;
        }
      } else if (h.hasLength) {
        if (h.contentLength > limit - std::min<uint64_t>(limit, h.length)) {
          WriteDebugLog(kLabel, "Response exceeds the size limit");
          break;
        }
        if (response.size() >= h.length + h.contentLength) {
          WriteDebugLog(kLabel, "Ok");
          response.resize(h.length + static_cast<size_t>(h.contentLength));
          done = true;
          break;
        }
      } else if (h.status == 204 || h.status == 304) {
        WriteDebugLog(kLabel, "204 or 304 Response Ok");
        response.resize(h.length);
        done = true;
        break;
      }
      if (headerOnly) {
        WriteDebugLog(kLabel, "HEAD Ok");
        done = true;
        break;
      }
    }
    uint64_t elapsed = TickMs() - lastProgress;
    if (elapsed >= timeoutMs) break;
    uint64_t remaining = timeoutMs - elapsed;
    WaitOutcome w = WaitReadable(socket, ssl, static_cast<int>(std::min<uint64_t>(remaining, 1000)));
    if (w == WaitOutcome::Timeout) continue;
    if (w == WaitOutcome::Error) {
      WriteDebugLog(kLabel, "error from select");
      break;
    }
    int available = BytesAvailable(socket, ssl);
    if (available < 0) {
      WriteDebugLog(kLabel, "error from ioctlsocket");
      break;
    }
    bool closed = false;
    if (available == 0) {
      WriteDebugLog(kLabel, "ioctlsocket indicates end of request");
      closed = true;
    } else {
      if (ssl != nullptr && available < 1024) available = 1024;
      if (response.size() + size_t(available) > limit + 65536) {
        WriteDebugLog(kLabel, "Response exceeds the size limit");
        break;
      }
      size_t old = response.size();
      response.resize(old + size_t(available));
      ssize_t n = ReceiveSome(socket, ssl, response.data() + old, size_t(available));
      response.resize(old + size_t(n > 0 ? n : 0));
      if (n < 0) closed = true;
      if (n > 0) lastProgress = TickMs();
    }
    if (closed) {
      // A close ends an answer that has no length of its own.
      if (h.length == 0) h = ReadHeader(response);
      if (h.length != 0 && !h.hasLength) {
        if (h.chunked) HttpChunkStrip(response, h.length);
        done = true;
      }
      break;
    }
  }
  if (!done) {
    WriteDebugLogf(kLabel, "Expected %u bytes, got %u bytes", static_cast<unsigned>(h.length + h.contentLength),
                   static_cast<unsigned>(response.size()));
    WriteDebugHexDump(kLabel, response.data(), response.size(), 2048);
    response.clear();
    return 0;
  }
  return response.size();
}
