// Runs the built qarconsole as an operator would: its own data folder, the answers it
// reads on standard input, what it prints and its exit code.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

struct ConsoleOutcome {
  int code = -1;
  std::string out;  // standard output, then standard error
};

class ConsoleHome {
 public:
  ConsoleHome();
  const std::string& path() const { return dir_.path(); }
  // QARHUB.INI from lines (CR LF added).
  void WriteConfig(const std::vector<std::string>& lines) const;
  std::string Config() const;
  // Runs qarconsole with args; input goes to its standard input; extraEnv "NAME=value".
  ConsoleOutcome Run(const std::vector<std::string>& args, const std::string& input = "",
                     const std::vector<std::string>& extraEnv = {}, const std::string& program = "") const;

 private:
  TempDir dir_;
};

// A stand-in systemctl (a shell script first on PATH) that records its calls in calls.log
// and keeps each unit's state in a file: "enable --now" and "start" make it active, "stop"
// inactive; "is-active" prints it.
struct FakeSystemctl {
  TempDir dir;
  TempDir units;
  FakeSystemctl();
  std::vector<std::string> Env() const;
  std::string Calls() const;
};

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A child process holding an exclusive flock on path (created when missing) until it is
// killed, as a running gateway holds its device or instance lock; ignoreTerm: it outlives
// SIGTERM. Its pid, or -1 when it could not take the lock.
pid_t HoldFileLock(const std::string& path, bool ignoreTerm);
