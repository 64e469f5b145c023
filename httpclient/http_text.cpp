#include "httpclient/http_text.h"

#include "runtime/base64.h"
#include "runtime/debug_log.h"
#include "runtime/hex_text.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

size_t HttpHeaderLength(std::string_view text) {
  for (size_t i = text.find('\n'); i != std::string_view::npos; i = text.find('\n', i + 1)) {
    if (i + 1 < text.size() && text[i + 1] == '\n') return i + 2;
    if (i + 2 < text.size() && text[i + 1] == '\r' && text[i + 2] == '\n') return i + 3;
  }
  return 0;
}

std::optional<std::string> HttpHeaderValue(std::string_view header, std::string_view name, size_t maxLen,
                                           bool stopAtSpace) {
  size_t lineStart = 0;
  while (lineStart < header.size()) {
    size_t lineEnd = header.find('\n', lineStart);
    if (lineEnd == std::string_view::npos) lineEnd = header.size();
    std::string_view line = header.substr(lineStart, lineEnd - lineStart);
    if (StartsWithNoCase(line, name)) {
      std::string_view value = SkipSpaces(line.substr(name.size()));
      size_t end = 0;
      while (end < value.size() && static_cast<unsigned char>(value[end]) >= 32 && value[end] != 127 &&
             !(stopAtSpace && value[end] == ' '))
        ++end;
      return CutTo(value.substr(0, end), maxLen);
    }
    lineStart = lineEnd + 1;
  }
  return std::nullopt;
}

uint64_t HttpContentLength(std::string_view header) {
  auto v = HttpHeaderValue(header, "Content-Length:", 40);
  if (!v) return 0;
  uint64_t n = 0;
  for (char c : *v) {
    if (c < '0' || c > '9') break;
    if (n > (UINT64_MAX - 9) / 10) return UINT64_MAX;
    n = n * 10 + uint64_t(c - '0');
  }
  return n;
}

bool HttpIsChunked(std::string_view header) {
  auto v = HttpHeaderValue(header, "Transfer-encoding:", 200);
  return v && FindNoCase(*v, "chunked") != std::string::npos;
}

bool HttpBasicCredentials(std::string_view header, std::string& user, std::string& password) {
  auto v = HttpHeaderValue(header, "Authorization:", 250);
  if (!v || !StartsWithNoCase(*v, "Basic")) return false;
  std::string decoded = Base64Decode(SkipSpaces(std::string_view(*v).substr(5)));
  size_t colon = decoded.find(':');
  user = decoded.substr(0, colon);
  password = colon == std::string::npos ? "" : decoded.substr(colon + 1);
  return true;
}

namespace {
constexpr size_t kMaxChunkLine = 4096;

struct ChunkStep {
  ChunkState state;
  size_t dataStart = 0;
  uint64_t size = 0;
  size_t next = 0;  // offset after the data's CR LF (or after the end for the last chunk)
};

// One chunk at pos; never looks at bytes at or past body.size().
ChunkStep NextChunk(std::string_view body, size_t pos, uint64_t remainingLimit, bool logErrors) {
  if (pos >= body.size()) return {ChunkState::Incomplete};
  if (!IsHexDigit(body[pos])) {
    if (logErrors) {
      auto byteAt = [&](size_t i) { return i < body.size() ? static_cast<unsigned>(uint8_t(body[i])) : 0u; };
      WriteDebugLogf("HttpChunkComplete", "Invalid character in chunked length field:  %02X %02X %02X", byteAt(pos),
                     byteAt(pos + 1), byteAt(pos + 2));
    }
    return {ChunkState::Malformed};
  }
  uint64_t size = 0;
  size_t i = pos;
  for (; i < body.size() && IsHexDigit(body[i]); ++i) {
    if (size > (UINT64_MAX >> 4)) return {ChunkState::TooLarge};
    size = (size << 4) | uint64_t(HexDigitValue(body[i]));
  }
  if (size > remainingLimit) return {ChunkState::TooLarge};
  size_t lf = body.find('\n', i);
  if (lf == std::string_view::npos) {
    return {body.size() - pos > kMaxChunkLine ? ChunkState::Malformed : ChunkState::Incomplete};
  }
  if (lf - pos > kMaxChunkLine) return {ChunkState::Malformed};
  size_t dataStart = lf + 1;
  if (size == 0) {
    // The last chunk: CR LF, or trailer lines ended by an empty line.
    if (body.size() - dataStart >= 2 && body[dataStart] == '\r' && body[dataStart + 1] == '\n')
      return {ChunkState::Complete, dataStart, 0, dataStart + 2};
    if (body.size() - dataStart < 2) return {ChunkState::Incomplete};
    size_t end = body.find("\r\n\r\n", dataStart);
    if (end == std::string_view::npos) return {ChunkState::Incomplete};
    return {ChunkState::Complete, dataStart, 0, end + 4};
  }
  if (body.size() - dataStart < size + 2) return {ChunkState::Incomplete};
  size_t after = dataStart + size;
  if (body[after] != '\r' || body[after + 1] != '\n') return {ChunkState::Malformed};
  return {ChunkState::Incomplete, dataStart, size, after + 2};
}
}  // namespace

ChunkState HttpChunkComplete(std::string_view body, uint64_t limit, size_t& consumed, bool logErrors,
                             ChunkScan* resume) {
  ChunkScan local;
  ChunkScan& scan = resume != nullptr ? *resume : local;
  size_t& pos = scan.position;
  uint64_t& total = scan.total;
  for (;;) {
    ChunkStep step = NextChunk(body, pos, limit - total, logErrors);
    if (step.state == ChunkState::Complete) {
      consumed = step.next;
      return ChunkState::Complete;
    }
    if (step.state == ChunkState::Malformed) {
      if (logErrors) WriteDebugLog("HttpChunkComplete", "Invalid length in chunked HTTP response");
      return step.state;
    }
    if (step.state == ChunkState::TooLarge) return step.state;
    if (step.next == 0) return ChunkState::Incomplete;
    total += step.size;
    pos = step.next;
  }
}

size_t HttpChunkStrip(std::string& text, size_t headerLength) {
  if (headerLength > text.size()) return text.size();
  std::string_view body(text);
  body.remove_prefix(headerLength);
  std::string out(text, 0, headerLength);
  size_t pos = 0;
  for (;;) {
    ChunkStep step = NextChunk(body, pos, UINT64_MAX, false);
    if (step.state == ChunkState::Complete || step.state == ChunkState::Malformed ||
        step.state == ChunkState::TooLarge)
      break;
    if (step.next == 0) {
      // A chunk cut short: keep the data that arrived.
      if (step.state == ChunkState::Incomplete && pos < body.size()) {
        size_t lf = body.find('\n', pos);
        if (lf != std::string_view::npos) out.append(body.substr(lf + 1));
      }
      break;
    }
    out.append(body.substr(step.dataStart, step.size));
    pos = step.next;
  }
  text.swap(out);
  return text.size();
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && IsHexDigit(text[i + 1]) && IsHexDigit(text[i + 2])) {
      out += char(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '"': out += "&quot;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string UrlEscape(std::string_view value) {
  static constexpr std::string_view kKept = "$'()-./:=@[]^_`{|}~";
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size() * 3);
  for (char c : value) {
    unsigned char b = static_cast<unsigned char>(c);
    bool kept = (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
                (b < 0x7F && kKept.find(c) != std::string_view::npos);
    if (kept) {
      out += c;
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

unsigned HttpStatusCode(std::string_view header) {
  if (header.substr(0, 5) != "HTTP/") return 0;
  size_t sp = header.find(' ');
  if (sp == std::string_view::npos) return 0;
  unsigned code = 0;
  for (size_t i = sp + 1; i < header.size() && header[i] >= '0' && header[i] <= '9' && code < 100000; ++i)
    code = code * 10 + unsigned(header[i] - '0');
  return code;
}
