// CIMD2 packets: framing on the byte stream, the checked parse, the encoder with checksum,
// and the formats of the parameters the library reads or writes. Nothing here trusts the
// peer: a field is used only after its check.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace cimd {

constexpr char kStx = 0x02;
constexpr char kEtx = 0x03;
constexpr char kTab = 0x09;
// Longest packet read: a full message with every character written as a special
// combination stays far below it.
constexpr size_t kMaxPacketBytes = 4096;
// Bytes outside packets tolerated while one call waits (stray line ends, an intro text).
constexpr size_t kMaxJunkBytes = 1024;

// Operations; an answer is the operation + 50.
constexpr int kLogin = 1;
constexpr int kLogout = 2;
constexpr int kSubmit = 3;
constexpr int kDeliverMessage = 20;
constexpr int kDeliverReport = 23;
constexpr int kAlive = 40;
constexpr int kAnswerOffset = 50;
constexpr int kGeneralErrorAnswer = 98;
constexpr int kNack = 99;

// Parameters.
constexpr int kUserIdentity = 10;
constexpr int kPassword = 11;
constexpr int kDestination = 21;
constexpr int kOriginator = 23;
constexpr int kAlphaOriginator = 27;
constexpr int kDataCoding = 30;
constexpr int kUserDataHeader = 32;
constexpr int kUserData = 33;
constexpr int kUserDataBinary = 34;
constexpr int kProtocolId = 52;
constexpr int kStatusReportRequest = 56;
constexpr int kTimestamp = 60;
constexpr int kStatusCode = 61;
constexpr int kStatusErrorCode = 62;
constexpr int kDischargeTime = 63;
constexpr int kErrorCode = 900;
constexpr int kErrorText = 901;

// Error codes the library itself puts into answers.
constexpr int kErrorUnexpectedOperation = 1;
constexpr int kErrorSyntax = 2;
constexpr int kErrorTemporaryCongestion = 10;

struct Parameter {
  int code = 0;
  std::string value;
};

struct Packet {
  int op = 0;
  int number = 0;
  std::vector<Parameter> params;
  // The value of the first parameter with this code, or nullptr.
  const std::string* Find(int code) const;
  void Add(int code, std::string value) { params.push_back({code, std::move(value)}); }
};

// False when value would break the packet's structure (TAB, STX, ETX) or is otherwise
// unfit to travel as a parameter value (any other control byte but CR and LF).
bool FitsParameter(std::string_view value);

// "oo:nnn<TAB>ppp:v<TAB>...cc" between STX and ETX; cc is the checksum over everything
// from STX to the last TAB. Values must have passed FitsParameter.
std::string EncodePacket(const Packet& packet);
unsigned Checksum(std::string_view bytesFromStxToLastTab);

enum class FrameResult { Packet, NeedMore, Oversized };
// Takes the first complete packet (STX..ETX) off the front of buffer into packet. Bytes
// before its STX, and a packet cut short by a later STX, are dropped and added to junk.
// Oversized: an STX with no ETX within kMaxPacketBytes (the buffer is emptied).
FrameResult TakePacket(std::string& buffer, std::string& packet, size_t& junk);

struct ParseResult {
  bool ok = false;
  // The operation code and packet number could be read: an answer can be addressed.
  bool headerOk = false;
  std::string why;
};
// Structure, checksum (when present) and the format of every parameter known here.
ParseResult ParsePacket(std::string_view bytes, Packet& out);

// Format checks of single values, by parameter code; unknown codes pass.
bool ValidParameterValue(int code, std::string_view value);
// A non-negative decimal of at most maxDigits digits; -1 when it is not one.
int DecimalValue(std::string_view text, size_t maxDigits);

// The packet as one printable line for the debug log; the password's value is masked.
std::string TraceText(std::string_view bytes);

}  // namespace cimd
