#include "outside/qarkite/tests/ucp_sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "gsm/gsm_alphabet.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? int(left) : 0;
}

// Reads one line from fd into buffer within the deadline.
bool ReadLine(int fd, std::string& buffer, std::string& line, Clock::time_point deadline) {
  for (;;) {
    size_t nl = buffer.find('\n');
    if (nl != std::string::npos) {
      line = buffer.substr(0, nl);
      buffer.erase(0, nl + 1);
      return true;
    }
    int left = MsLeft(deadline);
    if (left == 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    char chunk[65536];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer.append(chunk, size_t(n));
  }
}

struct Parser {
  const std::string& s;
  size_t i = 0;

  void Space() {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
  }
  bool Hex4(unsigned& v) {
    if (i + 4 > s.size()) return false;
    v = unsigned(std::strtoul(s.substr(i, 4).c_str(), nullptr, 16));
    i += 4;
    return true;
  }
  bool String(std::string& out) {
    if (s[i] != '"') return false;
    ++i;
    while (i < s.size() && s[i] != '"') {
      if (s[i] != '\\') {
        out += s[i++];
        continue;
      }
      if (++i >= s.size()) return false;
      char e = s[i++];
      switch (e) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
          unsigned cp;
          if (!Hex4(cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i] == '\\' && s[i + 1] == 'u') {
            i += 2;
            unsigned low;
            if (!Hex4(low)) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          AppendUtf8(out, cp);
          break;
        }
        default: out += e;
      }
    }
    if (i >= s.size()) return false;
    ++i;
    return true;
  }
  bool Value(Json& v) {
    Space();
    if (i >= s.size()) return false;
    char c = s[i];
    if (c == '{') {
      v.kind = Json::Object;
      ++i;
      Space();
      if (i < s.size() && s[i] == '}') return ++i, true;
      for (;;) {
        Space();
        std::string name;
        if (i >= s.size() || !String(name)) return false;
        Space();
        if (i >= s.size() || s[i++] != ':') return false;
        Json member;
        if (!Value(member)) return false;
        v.members.emplace_back(std::move(name), std::move(member));
        Space();
        if (i >= s.size()) return false;
        if (s[i] == ',') { ++i; continue; }
        if (s[i] == '}') return ++i, true;
        return false;
      }
    }
    if (c == '[') {
      v.kind = Json::Array;
      ++i;
      Space();
      if (i < s.size() && s[i] == ']') return ++i, true;
      for (;;) {
        Json item;
        if (!Value(item)) return false;
        v.items.push_back(std::move(item));
        Space();
        if (i >= s.size()) return false;
        if (s[i] == ',') { ++i; continue; }
        if (s[i] == ']') return ++i, true;
        return false;
      }
    }
    if (c == '"') {
      v.kind = Json::String;
      return String(v.text);
    }
    if (s.compare(i, 4, "true") == 0) return v.kind = Json::Bool, v.boolean = true, i += 4, true;
    if (s.compare(i, 5, "false") == 0) return v.kind = Json::Bool, i += 5, true;
    if (s.compare(i, 4, "null") == 0) return i += 4, true;
    size_t start = i;
    while (i < s.size() && std::strchr("+-0123456789.eE", s[i])) ++i;
    if (i == start) return false;
    v.kind = Json::Number;
    v.text = s.substr(start, i - start);
    v.number = std::strtod(v.text.c_str(), nullptr);
    return true;
  }
};

const Json kNull;

}  // namespace

const Json& Json::operator[](const std::string& name) const {
  for (const auto& [key, value] : members) {
    if (key == name) return value;
  }
  return kNull;
}

const Json& Json::operator[](size_t index) const { return kind == Array && index < items.size() ? items[index] : kNull; }

std::string Json::str() const {
  switch (kind) {
    case String:
    case Number: return text;
    case Bool: return boolean ? "true" : "false";
    default: return {};
  }
}

bool ParseJson(const std::string& text, Json& out) {
  Parser p{text};
  out = Json{};
  if (!p.Value(out)) return false;
  p.Space();
  return p.i == text.size();
}

std::string JsonQuote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04X", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

std::string PeersDir() {
  if (const char* env = getenv("QAR_PEERS_DIR")) return env;
  return std::string(QARKITE_SOURCE_DIR) + "/../shared/peers";
}

UcpSim::~UcpSim() { Stop(); }

bool UcpSim::Start(const std::vector<std::string>& extraArgs) {
  std::string script = PeersDir() + "/ucp-smsc-sim";
  if (access(script.c_str(), R_OK) != 0) {
    why_ = "no simulator at " + script;
    return false;
  }
  int fromChild[2];
  if (pipe2(fromChild, O_CLOEXEC) != 0) return false;
  int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, devnull, 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  std::vector<std::string> argv = {"python3", script, "--listen", "127.0.0.1:0", "--control", "127.0.0.1:0",
                                   "--lifetime", "600"};
  argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
  std::vector<char*> raw;
  for (auto& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  int rc = posix_spawnp(&pid_, "python3", &actions, nullptr, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fromChild[1]);
  close(devnull);
  out_.reset(fromChild[0]);
  if (rc != 0) {
    pid_ = -1;
    why_ = "python3 did not start";
    return false;
  }
  std::string buffer, line;
  Json ready;
  if (!ReadLine(out_.get(), buffer, line, Clock::now() + std::chrono::seconds(30)) || !ParseJson(line, ready) ||
      !ready["ready"].boolean) {
    why_ = "simulator not ready: " + line;
    return false;
  }
  auto portOf = [](const std::string& hostPort) { return unsigned(std::atoi(hostPort.substr(hostPort.rfind(':') + 1).c_str())); };
  port_ = portOf(ready["listen"].str());
  control_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(portOf(ready["control"].str())));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(control_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    why_ = "control channel refused";
    return false;
  }
  return true;
}

void UcpSim::Stop() {
  control_.reset();
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    // Its stdout closes when it has gone; it prints nothing after the ready line.
    auto deadline = Clock::now() + std::chrono::seconds(5);
    char sink[256];
    for (int left; out_ && (left = MsLeft(deadline)) > 0;) {
      pollfd p{out_.get(), POLLIN, 0};
      if (poll(&p, 1, left) <= 0 || read(out_.get(), sink, sizeof sink) <= 0) break;
    }
    if (waitpid(pid_, nullptr, WNOHANG) != pid_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }
  out_.reset();
}

Json UcpSim::Control(const std::string& request) {
  Json answer;
  if (!control_) return answer;
  std::string line = request + "\n";
  if (send(control_.get(), line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size())) return answer;
  std::string reply;
  if (ReadLine(control_.get(), controlBuffer_, reply, Clock::now() + std::chrono::seconds(60))) ParseJson(reply, answer);
  return answer;
}
