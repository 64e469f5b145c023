// The modem simulator of the peers folder on a pseudo-terminal under /dev (the gateway
// opens "/dev/..." names as serial lines), asked through its control channel.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

class ModemSim {
 public:
  // Starts it with these extra arguments ("--set", "pin=\"1234\"", ...); false when it did
  // not say it is ready.
  bool Start(const std::vector<std::string>& args = {});
  ~ModemSim();
  const std::string& device() const { return link_; }
  // The answer to a control request as JSON, or the value of expr over it (the answer as
  // `a`, `g(pdu)` decodes an SMS-SUBMIT with python3-gammu), one line per list item.
  std::string Ask(const std::string& request, const std::string& expr = "") const;
  long AskNumber(const std::string& request, const std::string& expr) const;
  // The number of submits the modem accepted.
  long AcceptedSubmits() const;
  // Every byte the gateway wrote to the modem, control bytes shown as <CR>, <SUB>, <ESC>.
  std::string Received() const;
  // Polls Ask until it prints want, up to ms.
  bool WaitFor(const std::string& request, const std::string& expr, const std::string& want, unsigned ms) const;

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  uint16_t control_ = 0;
  std::string link_;
};
