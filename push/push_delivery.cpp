#include "push/push_delivery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "config/settings.h"
#include "config/value_checks.h"
#include "push/push_settings.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/hex_text.h"
#include "runtime/str_printf.h"
#include "runtime/unique_fd.h"

namespace {
SubmissionResult Refused(SubmissionStatus status, std::string text) {
  SubmissionResult r;
  r.status = status;
  r.error = std::move(text);
  return r;
}
}  // namespace

std::string PushUdpAddress(const std::string& recipient, bool ipNotify) {
  in_addr a;
  if (IsDottedIPv4(recipient, &a)) return recipient;
  if (!ipNotify) return {};
  std::string mapped = MMSCIniString("IPNotify", recipient, "", 100);
  return IsDottedIPv4(mapped, &a) ? mapped : std::string();
}

std::vector<MessagePart> PushParts(const PushDelivery& d, uint8_t dcs, bool reference16, std::string& error) {
  std::string hex = HexEncode(d.pdu);
  MessagePart one;
  one.message.UDH = d.portUdh;
  one.message.Binary = true;
  one.message.Dcs = dcs;
  if (hex.size() <= 266 || d.keepWhole) {
    if (hex.size() > kDataMax) {
      error = StrPrintf("Push data is too large to be sent in one message (%zu octets, at most %zu)", d.pdu.size(),
                        kDataMax / 2);
      return {};
    }
    one.message.Data = std::move(hex);
    return {one};
  }
  size_t perSegment = reference16 ? 127 : 128;
  size_t count = (d.pdu.size() + perSegment - 1) / perSegment;
  if (count > kPushMaxSegments) {
    error = StrPrintf("Push data is too large: %zu octets need %zu segments (at most %u)", d.pdu.size(), count,
                      kPushMaxSegments);
    return {};
  }
  std::vector<MessagePart> parts;
  for (size_t i = 0; i < count; ++i) {
    MessagePart p = one;
    p.message.UDH.clear();
    p.message.Data = HexEncode(std::string_view(d.pdu).substr(i * perSegment, perSegment));
    p.segment = true;
    p.keptFirst = true;
    p.udhKept = d.portUdh.substr(2);  // without its length octet
    p.number = static_cast<unsigned>(i + 1);
    p.total = static_cast<unsigned>(count);
    parts.push_back(std::move(p));
  }
  return parts;
}

SubmissionResult DeliverPush(Submission base, const PushDelivery& d) {
  // Recipients by the way they go.
  std::vector<std::string> numbers;
  std::vector<std::pair<std::string, in_addr>> datagrams;
  for (const std::string& r : base.recipients) {
    std::string address = PushUdpAddress(r, d.ipNotify);
    in_addr a{};
    if (!address.empty() && IsDottedIPv4(address, &a))
      datagrams.emplace_back(r, a);
    else
      numbers.push_back(r);
  }
  // A socket per address, bound to the push port and connected, so that an address without
  // a route fails here, before anything is sent.
  std::vector<UniqueFd> sockets;
  if (!datagrams.empty() && d.pdu.size() > kPushUdpMaximum)
    return Refused(SubmissionStatus::Invalid, StrPrintf("Push data is too large for a datagram (%zu octets, at most %zu)",
                                                        d.pdu.size(), kPushUdpMaximum));
  for (const auto& [recipient, address] : datagrams) {
    UniqueFd udp(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    int on = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kPushSourcePort);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(d.udpPort);
    to.sin_addr = address;
    if (!udp || setsockopt(udp.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(udp.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(udp.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      std::string text = StrPrintf("Error %d opening UDP port %u to send the WAP push to %s", errno, kPushSourcePort,
                                   recipient.c_str());
      WriteDebugLog("DeliverPush", text);
      return Refused(SubmissionStatus::Invalid, text);
    }
    sockets.push_back(std::move(udp));
  }

  std::string error;
  uint8_t dcs = PushSettings().binaryDcs;
  std::vector<MessagePart> parts;
  if (!numbers.empty() || datagrams.empty()) {
    parts = PushParts(d, dcs, Settings.ConcatRef16Bit, error);
    if (parts.empty()) return Refused(SubmissionStatus::Invalid, error);
  } else {
    // Nothing is written; the core still wants the content it accounts for.
    MessagePart whole;
    whole.message.Data = HexEncode(d.pdu);
    whole.message.Binary = true;
    whole.message.Dcs = dcs;
    parts.push_back(std::move(whole));
  }
  Submission s = std::move(base);
  s.recipients = numbers;
  // What the accounting sees: the whole PDU with the port header.
  s.message.Data = HexEncode(d.pdu);
  s.message.UDH = d.portUdh;
  s.message.Binary = true;
  s.message.Dcs = dcs;
  s.contentIsText = false;
  s.specialContent.clear();
  s.presetParts = std::move(parts);
  s.logType = d.logType;
  // The datagrams are the core's direct recipients: charged one part each, and only when sent.
  for (const auto& datagram : datagrams) s.directRecipients.push_back(datagram.first);
  s.sendDirect = [&](size_t i, RecipientResult& r) {
    ssize_t sent = send(sockets[i].get(), d.pdu.data(), d.pdu.size(), 0);
    if (sent != static_cast<ssize_t>(d.pdu.size())) {
      r.error = StrPrintf("Error %d sending the WAP push datagram", errno);
      WriteDebugLogf("DeliverPush", "%s to %s", r.error.c_str(), r.recipient.c_str());
      return false;
    }
    WriteDebugLogf("DeliverPush", "WAP push of %zu octets sent by UDP to %s", d.pdu.size(), r.recipient.c_str());
    r.messageIds.push_back("UDP");
    return true;
  };
  return SubmitMessage(std::move(s));
}
