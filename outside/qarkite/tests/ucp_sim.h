// The UCP SMS centre simulator of ../shared/peers as a child process, driven through its
// JSON-lines control channel; every wait bounded.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "runtime/unique_fd.h"

// A parsed JSON value (enough for the simulator's answers).
struct Json {
  enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;

  // Member by name (a null value when absent or not an object).
  const Json& operator[](const std::string& name) const;
  const Json& operator[](size_t index) const;
  size_t size() const { return kind == Array ? items.size() : members.size(); }
  // Text of a string, digits of a number, "true"/"false"; "" otherwise.
  std::string str() const;
  int integer() const { return int(number); }
};
// False when text is not one JSON value.
bool ParseJson(const std::string& text, Json& out);
// A JSON string literal of text (UTF-8 kept).
std::string JsonQuote(const std::string& text);

class UcpSim {
 public:
  UcpSim() = default;
  UcpSim(const UcpSim&) = delete;
  UcpSim& operator=(const UcpSim&) = delete;
  ~UcpSim();
  // Starts the simulator listening on a free loopback port; false (with why()) when it
  // cannot be found or does not come up.
  bool Start(const std::vector<std::string>& extraArgs);
  void Stop();
  // Sends one control request (a JSON object text) and returns the parsed answer.
  Json Control(const std::string& request);
  unsigned port() const { return port_; }
  const std::string& why() const { return why_; }

 private:
  pid_t pid_ = -1;
  UniqueFd out_;
  UniqueFd control_;
  std::string controlBuffer_;
  unsigned port_ = 0;
  std::string why_;
};

// The peers folder (QAR_PEERS_DIR, else ../shared/peers beside the checkout).
std::string PeersDir();
