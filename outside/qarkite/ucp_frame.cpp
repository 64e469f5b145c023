#include "outside/qarkite/ucp_frame.h"

#include <cstdio>

#include "runtime/hex_text.h"

namespace ucp {

bool IsDigits(std::string_view text, size_t minCount, size_t maxCount) {
  if (text.size() < minCount || text.size() > maxCount) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string Checksum(std::string_view text) {
  unsigned sum = 0;
  for (unsigned char c : text) sum += c;
  std::string out;
  AppendHexOctet(out, uint8_t(sum & 0xFF));
  return out;
}

std::string EncodeFrame(int trn, char kind, int ot, const std::vector<std::string>& fields) {
  std::string data;
  char ops[8];
  snprintf(ops, sizeof ops, "/%c/%02d/", kind, ot % 100);
  data += ops;
  for (const std::string& f : fields) {
    data += f;
    data += '/';
  }
  // LEN counts TRN, LEN itself, the rest and the two checksum digits.
  size_t length = 2 + 1 + 5 + data.size() + 2;
  char head[16];
  snprintf(head, sizeof head, "%02d/%05zu", trn % 100, length % 100000);
  std::string body = head + data;
  std::string frame(1, kStx);
  frame += body;
  frame += Checksum(body);
  frame += kEtx;
  return frame;
}

FrameFault DecodeFrame(std::string_view content, Frame& out) {
  out = Frame{};
  // TRN/LEN/O|R/OT/ is 14 characters; the checksum and its separator follow at least.
  if (content.size() < 16 || content[2] != '/' || content[8] != '/' || content[10] != '/' || content[13] != '/')
    return FrameFault::Header;
  std::string_view trn = content.substr(0, 2), len = content.substr(3, 5), ot = content.substr(11, 2);
  char kind = content[9];
  if (!IsDigits(trn, 2, 2) || !IsDigits(len, 5, 5) || !IsDigits(ot, 2, 2) || (kind != 'O' && kind != 'R'))
    return FrameFault::Header;
  out.trn = (trn[0] - '0') * 10 + (trn[1] - '0');
  out.kind = kind;
  out.ot = (ot[0] - '0') * 10 + (ot[1] - '0');
  size_t lastSlash = content.rfind('/');
  std::string_view sum = content.substr(lastSlash + 1);
  if (sum.size() != 2 || !IsHexDigit(sum[0]) || !IsHexDigit(sum[1]) ||
      HexToInt(sum) != HexToInt(Checksum(content.substr(0, lastSlash + 1))))
    return FrameFault::Checksum;
  size_t declared = 0;
  for (char c : len) declared = declared * 10 + size_t(c - '0');
  if (declared != content.size()) return FrameFault::Length;
  // Fields lie between "OT/" and the separator before the checksum.
  std::string_view rest = content.substr(14, lastSlash + 1 - 14);
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    out.fields.emplace_back(rest.substr(0, slash));
    rest.remove_prefix(slash + 1);
  }
  return FrameFault::None;
}

Cut CutFrame(std::string& buffer, std::string& content, std::string& dropped) {
  content.clear();
  dropped.clear();
  if (buffer.empty()) return Cut::NeedMore;
  size_t stx = buffer.find(kStx);
  if (stx != 0) {
    size_t cut = stx == std::string::npos ? buffer.size() : stx;
    dropped = buffer.substr(0, cut);
    buffer.erase(0, cut);
    return Cut::Dropped;
  }
  size_t end = buffer.find_first_of(std::string_view("\x02\x03", 2), 1);
  if (end == std::string::npos) {
    if (buffer.size() - 1 <= kMaxFrameChars) return Cut::NeedMore;
    dropped.swap(buffer);
    return Cut::Dropped;
  }
  if (buffer[end] == kStx || end - 1 > kMaxFrameChars) {
    size_t cut = buffer[end] == kStx ? end : end + 1;
    dropped = buffer.substr(0, cut);
    buffer.erase(0, cut);
    return Cut::Dropped;
  }
  content = buffer.substr(1, end - 1);
  buffer.erase(0, end + 1);
  return Cut::Frame;
}

}  // namespace ucp
