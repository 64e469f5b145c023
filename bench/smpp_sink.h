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

// Every run keeps its files on a file system of its own: a new ext4 image with the default
// journal, loop-mounted. Runs then cannot slow each other down through the file system
// (ext4 without a journal, as some machines have, passes over inodes freed in the last
// minutes when it allocates new ones). The image is written out in full first, as a disk
// partition is there in full: in a sparse one every flush would also allocate blocks in the
// host's file system and commit its journal (syncfs of 50 new files: 3.5 against 1.8 ms
// here). Without the privileges for that, the runs use the temporary directory and say so.
struct ScratchFs {
  std::string image, mountPoint;
  bool mounted = false;
  // The directory for one run's files.
  std::string Make(const std::string& label) {
    std::string base = std::filesystem::temp_directory_path().string() + "/" + label + "-XXXXXX";
    if (!mkdtemp(base.data())) return {};
    image = base + ".img";
    mountPoint = base;
    std::string make = "dd if=/dev/zero of='" + image + "' bs=1M count=1536 status=none && mkfs.ext4 -q -F '" + image + "' >/dev/null 2>&1 && mount -o loop '" +
                       image + "' '" + mountPoint + "' 2>/dev/null";
    mounted = system(make.c_str()) == 0;
    if (!mounted) {
      unlink(image.c_str());
      static bool said = false;
      if (!said) fprintf(stderr, "note: no loop mount here; the runs share %s\n", std::filesystem::temp_directory_path().c_str());
      said = true;
    }
    return mountPoint + "/";
  }
  ~ScratchFs() {
    if (mountPoint.empty()) return;
    if (mounted) system(("umount '" + mountPoint + "'").c_str());
    std::error_code ec;
    std::filesystem::remove_all(mountPoint, ec);
    if (mounted) unlink(image.c_str());
  }
};
