// What the SMPP benchmarks share: a sink that answers every submit_sm at once (and notes
// when message "b<index>" came) and a scratch file system per run.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/scratch_fs.h"

#include "bench/bench_net.h"
#include "bench/sendsms_load.h"
#include "outside/qarpeer/smpp_pdu.h"
#include "runtime/unique_fd.h"

// Hands every complete PDU at the front of in to handle and removes it from in; false at a
// length no PDU can have.
template <typename Fn>
bool TakePdus(std::string& in, Fn handle) {
  size_t at = 0;
  while (in.size() - at >= smpp::kHeaderLength) {
    uint32_t length = smpp::CheckedCommandLength(std::string_view(in).substr(at));
    if (length == 0) return false;
    if (in.size() - at < length) break;
    handle(smpp::DecodePdu(std::string_view(in).substr(at, length)));
    at += length;
  }
  in.erase(0, at);
  return true;
}

// ---- The sink: answers every submit_sm at once and notes when message "b<index>" came. ----
struct Sink : Arrivals, LoopbackServer {
  explicit Sink(size_t capacity) : Arrivals(capacity) {}
  bool Start() { return StartServing([this] { Run(); }); }
  // Answers what one connection sent; false when it closed.
  bool Serve(int fd, std::string& in) {
    char buffer[65536];
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
    if (n > 0) in.append(buffer, size_t(n));
    std::string out;
    bool framed = TakePdus(in, [&](const smpp::Pdu& pdu) {
      uint32_t resp = pdu.commandId | smpp::kResponseBit;
      switch (pdu.commandId) {
        case smpp::kBindTransmitter:
        case smpp::kBindTransceiver:
        case smpp::kBindReceiver:
          out += smpp::EncodePdu({resp, 0, pdu.sequence, std::string("SINK\0", 5)});
          break;
        case smpp::kSubmitSm: {
          smpp::ShortMessage m;
          std::string text;
          if (smpp::DecodeShortMessage(pdu.body, m)) {
            text = m.shortMessage;
            for (const smpp::Tlv& t : m.tlvs) {
              if (t.tag == 0x0424 && text.empty()) text = t.value;
            }
          }
          Note(text);
          std::string id = std::to_string(pdu.sequence);
          id.push_back('\0');
          out += smpp::EncodePdu({resp, 0, pdu.sequence, id});
          break;
        }
        case smpp::kEnquireLink:
        case smpp::kUnbind:
          out += smpp::EncodePdu({resp, 0, pdu.sequence, {}});
          break;
        default:
          if (!smpp::IsResponse(pdu.commandId)) out += smpp::EncodePdu({smpp::kGenericNack, 3, pdu.sequence, {}});
      }
    });
    return framed && (out.empty() || SendAll(fd, out));
  }
  void Run() {
    ServeConnections(*this, 1024, true, [this](int fd, std::string& in) { return Serve(fd, in); });
  }
};

