// The modem simulator of ../shared/peers as a test peer: started with arguments, driven
// through its control channel (one JSON object per line).
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "runtime/unique_fd.h"

class ModemSimPeer {
 public:
  // Starts the simulator (it stops by itself after a few minutes should a test die).
  explicit ModemSimPeer(const std::vector<std::string>& args);
  ~ModemSimPeer();
  ModemSimPeer(const ModemSimPeer&) = delete;
  ModemSimPeer& operator=(const ModemSimPeer&) = delete;

  bool ready() const { return !readyLine_.empty(); }
  // A member of the ready line ("tcp", "device", "control").
  std::string Field(std::string_view key) const;
  // Sends one request, returns its answer line ("" when none came).
  std::string Control(const std::string& json);
  // The transcript as one latin-1 string of every entry's data, in order, by direction
  // ("in": what the simulator received).
  std::string Transcript(std::string_view dir);

 private:
  pid_t pid_ = -1;
  std::string readyLine_;
  UniqueFd control_;
};

// A member of a JSON object: a string's contents (escapes \" \\ \r \n \uXXXX for latin-1
// undone), or the raw text of another value.
std::string JsonField(std::string_view json, std::string_view key);
// An SMS-DELIVER with SMSC field, upper-case hex, made by python3-gammu.
std::string GammuDeliverPdu(const std::string& sender, const std::string& text);
// Runs program with args in a child of its own; the pid (to kill and reap).
pid_t StartProgram(const std::vector<std::string>& argv);
void StopProgram(pid_t pid);
