// Reads an strace -f log (each line led by the thread id) call by call.
#pragma once

#include <functional>
#include <string>

struct TracedCall {
  std::string pid;
  std::string call;       // from the name on; a split call's two halves joined
  bool complete = true;   // false: its first half, the call still running
  bool resumed = false;   // a split call, now complete
};

// Calls fn for every line that is a call: once for a complete call, twice for one another
// thread split ("<unfinished ...>": complete false; "<... resumed>": joined, complete).
void ForEachTracedCall(const std::string& log, const std::function<void(const TracedCall&)>& fn);
