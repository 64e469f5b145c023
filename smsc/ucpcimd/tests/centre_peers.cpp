#include "smsc/ucpcimd/tests/centre_peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "tests/support/gateway_process.h"

namespace {

int MsLeft(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? int(left.count()) : 0;
}

}  // namespace

std::string PeersDirectory() {
  if (const char* d = getenv("QAR_PEERS_DIR")) return std::string(d) + "/";
  // The build folder lies in the checkout; the checkout beside shared/.
  std::filesystem::path p = std::filesystem::path(QAR_SOURCE_DIR).parent_path() / "shared" / "peers";
  if (std::filesystem::exists(p)) return p.string() + "/";
  return "/work/shared/peers/";
}

bool UcpSim::Start(uint16_t port, const std::vector<std::string>& extra) {
  std::vector<std::string> argv = {"python3", PeersDirectory() + "ucp-smsc-sim", "--listen",
                                   "127.0.0.1:" + std::to_string(port), "--control", "127.0.0.1:0",
                                   "--lifetime", "600", "--set", "mt3_charset=gsm"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  if (!process_.Start(argv)) return false;
  std::string line;
  if (!process_.ReadLine(line, 20000) || line.find("\"ready\": true") == std::string::npos) return false;
  std::string listen = JsonField(line, "listen"), control = JsonField(line, "control");
  port_ = uint16_t(std::stoul(listen.substr(listen.rfind(':') + 1)));
  control_ = uint16_t(std::stoul(control.substr(control.rfind(':') + 1)));
  controlFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(control_);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return connect(controlFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

void UcpSim::Stop() {
  if (controlFd_ >= 0) close(controlFd_);
  controlFd_ = -1;
  process_.Stop();
}

std::string UcpSim::Command(const std::string& json, int timeoutMs) {
  if (controlFd_ < 0) return "";
  std::string text = json + "\n";
  if (send(controlFd_, text.data(), text.size(), MSG_NOSIGNAL) != ssize_t(text.size())) return "";
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string answer;
  for (;;) {
    size_t nl = answer.find('\n');
    if (nl != std::string::npos) return answer.substr(0, nl);
    int left = MsLeft(deadline);
    if (left == 0) return "";
    pollfd p{controlFd_, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    // One request at a time: the answer is the only thing on the channel.
    char chunk[65536];
    ssize_t n = recv(controlFd_, chunk, sizeof chunk, 0);
    if (n <= 0) return "";
    answer.append(chunk, size_t(n));
  }
}

bool UcpSim::WaitLoggedIn(unsigned ms) {
  return WaitUntil(ms, [&] { return Command(R"({"cmd":"status"})").find("\"logged_in\": true") != std::string::npos; });
}

int UcpSim::SubmitCount() { return int(CountOf(Submits(), "\"seq\":")); }

std::string JsonField(const std::string& json, const std::string& key, size_t from) {
  std::string quoted = "\"" + key + "\":";
  size_t at = json.find(quoted, from);
  if (at == std::string::npos) return "";
  at += quoted.size();
  while (at < json.size() && json[at] == ' ') ++at;
  if (at >= json.size()) return "";
  if (json[at] == '"') {
    std::string out;
    for (size_t i = at + 1; i < json.size() && json[i] != '"'; ++i) {
      if (json[i] == '\\' && i + 1 < json.size()) out.push_back(json[i++]);
      out.push_back(json[i]);
    }
    return out;
  }
  size_t end = json.find_first_of(",}]", at);
  return json.substr(at, end - at);
}

size_t CountOf(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}
