// The SMS centre of the SMPP benchmarks that push received messages: binds anyone, then
// pushes deliver_sm "kw b<index>" (at most window unanswered) to whoever bound as receiver or
// transceiver, noting when each left and when answers came.
#pragma once

#include <poll.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_net.h"
#include "bench/smpp_sink.h"
#include "outside/qarpeer/smpp_pdu.h"
#include "runtime/unique_fd.h"

// Per message: when its deliver_sm left and when its HTTP request came.
struct Timings {
  std::vector<std::atomic<uint64_t>> sent, requested;
  std::atomic<uint64_t> requests{0}, repeated{0};
  explicit Timings(size_t n) : sent(n), requested(n) {}
  void Reset() {
    for (auto& t : sent) t = 0;
    for (auto& t : requested) t = 0;
    requests = 0;
    repeated = 0;
  }
};

// ---- The centre: binds anyone, then pushes deliver_sm "kw b<index>" within the window. ----
struct Centre : LoopbackServer {
  Timings& timings;
  std::atomic<bool> push{false}, bound{false};
  // Readable once Begin has started a run, so that a bound link starts pushing at once.
  UniqueFd pushWake{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
  std::atomic<size_t> next{0};
  size_t total = 0;
  unsigned window = 100;
  // deliver_sm answered (any status) and when the first and the last answer of a run came.
  std::atomic<uint64_t> answered{0}, firstAnswerUs{0}, lastAnswerUs{0};
  explicit Centre(Timings& t) : timings(t) {}

  bool Start() { return pushWake && StartServing([this] { Run(); }); }
  void Begin(size_t n) {
    total = n;
    next = 0;
    answered = 0;
    firstAnswerUs = 0;
    lastAnswerUs = 0;
    push = true;
    uint64_t one = 1;
    if (write(pushWake.get(), &one, sizeof one) < 0) {
      // Only on overflow: it is readable already.
    }
  }
  std::string Deliver(size_t index, uint32_t sequence) {
    smpp::ShortMessage m;
    m.source = "447700900111";
    m.dest = "12345";
    m.shortMessage = "kw b" + std::to_string(index);
    return smpp::EncodePdu({smpp::kDeliverSm, 0, sequence, smpp::EncodeShortMessage(m, false)});
  }
  // One connection until it closes.
  void Serve(UniqueFd fd) {
    std::string in;
    unsigned outstanding = 0;
    uint32_t sequence = 1;
    char buffer[65536];
    while (!stop.load()) {
      if (push.load() && bound.load()) {
        std::string out;
        while (outstanding < window && next.load() < total) {
          size_t index = next++;
          timings.sent[index] = BenchNowUs();
          out += Deliver(index, sequence++);
          ++outstanding;
        }
        if (!out.empty() && !SendAll(fd.get(), out)) return;
      }
      pollfd p[3] = {{fd.get(), POLLIN, 0}, {pushWake.get(), POLLIN, 0}, {stopWake.get(), POLLIN, 0}};
      if (poll(p, 3, -1) <= 0) continue;
      if (p[1].revents & POLLIN) {
        uint64_t count;
        if (read(pushWake.get(), &count, sizeof count) < 0) {
          // Another link took the wake first.
        }
      }
      if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = recv(fd.get(), buffer, sizeof buffer, 0);
      if (n <= 0) return;
      in.append(buffer, size_t(n));
      std::string out;
      bool framed = TakePdus(in, [&](const smpp::Pdu& pdu) {
        uint32_t resp = pdu.commandId | smpp::kResponseBit;
        switch (pdu.commandId) {
          case smpp::kBindTransmitter:
          case smpp::kBindTransceiver:
          case smpp::kBindReceiver:
            out += smpp::EncodePdu({resp, 0, pdu.sequence, std::string("CENTRE\0", 7)});
            if (pdu.commandId != smpp::kBindTransmitter) bound = true;
            break;
          case smpp::kSubmitSm:
            out += smpp::EncodePdu({resp, 0, pdu.sequence, std::string("1\0", 2)});
            break;
          case smpp::kEnquireLink:
          case smpp::kUnbind:
            out += smpp::EncodePdu({resp, 0, pdu.sequence, {}});
            break;
          case smpp::kDeliverSm | smpp::kResponseBit: {
            if (outstanding > 0) --outstanding;
            uint64_t now = BenchNowUs(), none = 0;
            firstAnswerUs.compare_exchange_strong(none, now);
            lastAnswerUs = now;
            ++answered;
            break;
          }
          default:
            if (!smpp::IsResponse(pdu.commandId)) out += smpp::EncodePdu({smpp::kGenericNack, 3, pdu.sequence, {}});
        }
      });
      if (!framed || (!out.empty() && !SendAll(fd.get(), out))) return;
    }
  }
  void Run() {
    while (!stop.load()) {
      pollfd p[2] = {{listener.get(), POLLIN, 0}, {stopWake.get(), POLLIN, 0}};
      if (poll(p, 2, -1) <= 0 || !(p[0].revents & POLLIN)) continue;
      UniqueFd c(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!c) continue;
      int one = 1;
      setsockopt(c.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      bound = false;
      Serve(std::move(c));
      bound = false;
    }
  }
};

