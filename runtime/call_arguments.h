// What the exported calls of the protocol libraries take from their C callers.
#pragma once

#include <string>

// A C string argument as text; a null pointer is an empty text.
inline std::string Text(const char* p) { return p ? std::string(p) : std::string(); }

// The gateway's view of a message to send: sender, recipient, PID, DCS, UDH in hex, UTF-8
// text or hex data, flags.
struct OutgoingMessage {
  std::string sender, recipient;
  int pid = 0, dcs = 0;
  std::string udhHex, data;  // data: UTF-8 text, or hex when binary
  int flags = 0;
  bool binary = false;
};

inline OutgoingMessage MessageFromCall(const char* sender, const char* recipient, int pid, int dcs,
                                       const char* udhHex, const char* data, int flags, int binary) {
  OutgoingMessage m;
  m.sender = Text(sender);
  m.recipient = Text(recipient);
  m.pid = pid;
  m.dcs = dcs;
  m.udhHex = Text(udhHex);
  m.data = Text(data);
  m.flags = flags;
  m.binary = binary != 0;
  return m;
}
