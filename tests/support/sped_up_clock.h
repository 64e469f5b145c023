// A child program's clock run faster through libfaketime (Debian's faketime package), so
// that a wait the design fixes in seconds passes in a fraction of them. Only for programs
// whose waits are sleeps and poll time-outs: a timed condition-variable wait or a timer
// signal does not follow the faked clock.
#pragma once

#include <string>
#include <vector>

// "NAME=value" entries for the child's environment; empty when the library is missing, and
// then the child runs at the real speed.
std::vector<std::string> SpedUpClockEnv(unsigned factor);
