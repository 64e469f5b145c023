// libFuzzer target for a server session: the input is what a client sends, from its first
// byte (before, with and after a bind), through the library's transport functions instead
// of a socket. The session must log in or refuse, hand only well-formed messages to the
// callback, and write nothing but whole PDUs back, whatever arrives.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "outside/qarpeer/qarpeer.h"

namespace {
struct Feed {
  const uint8_t* data = nullptr;
  size_t size = 0, at = 0;
  std::string sent;
};

// Hands the input over in pieces of varying size (a PDU split across reads), then reports
// the client gone.
int Receive(void* tls, void* buffer, int length) {
  Feed& f = *static_cast<Feed*>(tls);
  if (f.at >= f.size) return -1;
  size_t piece = 1 + (f.at * 7 + f.size) % 61;
  size_t n = std::min({size_t(length), f.size - f.at, piece});
  memcpy(buffer, f.data + f.at, n);
  f.at += n;
  return int(n);
}

int Send(void* tls, const void* data, int length) {
  static_cast<Feed*>(tls)->sent.append(static_cast<const char*>(data), size_t(length));
  return length;
}

int Pending(void*) { return 1; }  // never waits on the descriptor: there is none

void Require(bool ok) {
  if (!ok) abort();
}

bool Terminated(const char* s, size_t max) { return s != nullptr && strnlen(s, max) < max; }

int Callback(const char*, const SMPPReceivedMessage* m, char* id, int size) {
  Require(m != nullptr && id != nullptr && size > 2);
  // Every text the session hands over is a terminated string of a sane size.
  for (const char* s : {m->sender, m->recipient, m->udhHex, m->data, m->serviceType, m->validity, m->extraParams})
    Require(s == nullptr || Terminated(s, 1 << 20));
  Require(m->sender != nullptr && m->recipient != nullptr && m->data != nullptr);
  strcpy(id, "F1");
  return m->data[0] == 'R' ? 0x58 : 0;
}

// What the session wrote must frame into whole PDUs, each a response or a request it may send.
void RequireWholePdus(const std::string& sent) {
  size_t at = 0;
  while (at < sent.size()) {
    Require(sent.size() - at >= 16);
    auto byte = [&](size_t i) { return uint32_t(uint8_t(sent[at + i])); };
    uint32_t length = byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
    Require(length >= 16 && length <= sent.size() - at);
    at += length;
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool installed = [] {
    SMPPSetTlsFunctions(Send, Receive, Pending);
    SMPPServerSetReceiveMessageCallback(Callback);
    return true;
  }();
  (void)installed;
  constexpr int kSock = 1 << 20;  // a number no descriptor has; the transport functions carry the bytes
  Feed feed;
  feed.data = data;
  feed.size = size;
  SMPPLoginRequest login;
  if (SMPPServerWaitForLogin(kSock, &feed, "fuzz", &login, 0) == 0) {
    Require(Terminated(login.systemId, sizeof login.systemId) && Terminated(login.password, sizeof login.password) &&
            Terminated(login.systemType, sizeof login.systemType) &&
            Terminated(login.addressRange, sizeof login.addressRange));
    if (login.systemId[0] == 'x') {
      SMPPServerRejectLogin(kSock, &feed, "fuzz", &login, 0x0E);
    } else if (SMPPServerAcceptLogin(kSock, &feed, "fuzz", &login, "FUZZ") == 0) {
      for (int round = 0; round < 8; ++round) {
        int linkError = 0;
        SMPPServerHoldResponses(kSock, &feed, "fuzz");
        SMPPServerYield(kSock, &feed, "fuzz", 0, &linkError);
        SMPPServerSendHeldResponses(kSock, &feed, "fuzz", round % 3 == 2 ? 0x08 : 0);
        if (linkError) break;
      }
    }
  }
  SMPPEndSession(kSock);
  RequireWholePdus(feed.sent);
  return 0;
}
