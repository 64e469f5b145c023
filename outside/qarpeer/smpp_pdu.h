// SMPP PDUs: header framing, the bodies the library speaks, and optional parameters.
// Decoders never read past what was received: every string and TLV is checked against
// the body length, and a failed check leaves the decoder's ok flag false.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace smpp {

constexpr uint32_t kGenericNack = 0x80000000;
constexpr uint32_t kBindReceiver = 0x00000001;
constexpr uint32_t kBindTransmitter = 0x00000002;
constexpr uint32_t kQuerySm = 0x00000003;
constexpr uint32_t kSubmitSm = 0x00000004;
constexpr uint32_t kDeliverSm = 0x00000005;
constexpr uint32_t kUnbind = 0x00000006;
constexpr uint32_t kReplaceSm = 0x00000007;
constexpr uint32_t kCancelSm = 0x00000008;
constexpr uint32_t kBindTransceiver = 0x00000009;
constexpr uint32_t kOutbind = 0x0000000B;
constexpr uint32_t kEnquireLink = 0x00000015;
constexpr uint32_t kSubmitMulti = 0x00000021;
constexpr uint32_t kAlertNotification = 0x00000102;
constexpr uint32_t kDataSm = 0x00000103;
constexpr uint32_t kResponseBit = 0x80000000;

constexpr uint32_t kStatusInvalidMsgLength = 0x01;
constexpr uint32_t kStatusInvalidCmdLength = 0x02;
constexpr uint32_t kStatusInvalidCmdId = 0x03;
constexpr uint32_t kStatusInvalidBindStatus = 0x04;
constexpr uint32_t kStatusSystemError = 0x08;
constexpr uint32_t kStatusMsgQueueFull = 0x14;
constexpr uint32_t kStatusInvalidDestAddr = 0x0B;
constexpr uint32_t kStatusBindFailed = 0x0D;
constexpr uint32_t kStatusTempAppError = 0x64;
constexpr uint32_t kStatusInvalidOptStream = 0xC0;
constexpr uint32_t kStatusInvalidParamLength = 0xC2;

constexpr size_t kHeaderLength = 16;
// Large enough for a 64 KB message_payload with every other field.
constexpr uint32_t kMaxPduLength = 65536 + 1024;
constexpr size_t kMaxShortMessage = 254;

struct Pdu {
  uint32_t commandId = 0;
  uint32_t status = 0;
  uint32_t sequence = 0;
  std::string body;
};

struct Tlv {
  uint16_t tag = 0;
  std::string value;
};

struct ShortMessage {
  std::string serviceType;
  uint8_t sourceTon = 0, sourceNpi = 0;
  std::string source;
  uint8_t destTon = 0, destNpi = 0;
  std::string dest;
  uint8_t esmClass = 0, protocolId = 0, priority = 0;
  std::string schedule, validity;
  uint8_t registeredDelivery = 0, replaceIfPresent = 0, dataCoding = 0, defaultMsgId = 0;
  std::string shortMessage;
  std::vector<Tlv> tlvs;
};

struct BindBody {
  std::string systemId, password, systemType;
  uint8_t interfaceVersion = 0x34, addrTon = 0, addrNpi = 0;
  std::string addressRange;
};

// The whole PDU with its header.
std::string EncodePdu(const Pdu& pdu);
// The command_length of a header (4 bytes at least); 0 when it is below 16 or above the
// maximum, which makes the rest of the stream unreadable.
uint32_t CheckedCommandLength(std::string_view header);
// Splits a complete PDU (exactly command_length bytes).
Pdu DecodePdu(std::string_view bytes);

bool IsResponse(uint32_t commandId);
const char* CommandName(uint32_t commandId);

// submit_sm and deliver_sm share one body; data_sm has its own.
std::string EncodeShortMessage(const ShortMessage& m, bool withTlvs);
bool DecodeShortMessage(std::string_view body, ShortMessage& out);
std::string EncodeDataSm(const ShortMessage& m);
bool DecodeDataSm(std::string_view body, ShortMessage& out);
std::string EncodeBind(const BindBody& b);
bool DecodeBind(std::string_view body, BindBody& out);
// A body holding one C-octet string (bind_resp system_id, submit_sm_resp message_id),
// possibly followed by TLVs. An empty body gives an empty string.
bool DecodeLeadingCString(std::string_view body, size_t maxLength, std::string& out);
void AppendCString(std::string& out, std::string_view text, size_t maxLength);
void AppendTlv(std::string& out, uint16_t tag, std::string_view value);
bool DecodeTlvs(std::string_view data, std::vector<Tlv>& out);

// Optional parameters by name: "receipted_message_id", "source_port"... Numbers are
// written as decimal text, C-octet strings as text, octet strings as hex.
struct TlvInfo {
  uint16_t tag;
  const char* name;
  enum Kind { Int1, Int2, Int4, CString, Octets } kind;
};
const TlvInfo* FindTlvByName(std::string_view name);
const TlvInfo* FindTlvByTag(uint16_t tag);
// "SMPPOption_<name>" values to a TLV; a name that is not known may be the tag in hex
// ("1400" or "0x1400"), with its value in hex. False when name or value is not usable.
bool TlvFromOption(std::string_view name, std::string_view value, Tlv& out);
// The option item text "<name>=<value>" of a received TLV.
std::string OptionFromTlv(const Tlv& tlv);

}  // namespace smpp
