// A child program's clock run faster through libfaketime (Debian's faketime package), so
// that a wait the design fixes in seconds passes in a fraction of them. Only for a wait
// that is a sleep or a poll time-out: a timed condition-variable wait or a timer signal
// does not follow the faked clock, so a test must not depend on one in that program.
#pragma once

#include <string>
#include <vector>

// "NAME=value" entries for the child's environment; empty when the library is missing, and
// then the child runs at the real speed.
std::vector<std::string> SpedUpClockEnv(unsigned factor);

// The same for a clock set by a faketime value (libfaketime's FAKETIME, e.g. "+25h"); with fakeMonotonic
// false, waits measured on the steady clock keep their real length.
std::vector<std::string> FakedClockEnv(const std::string& faketime, bool fakeMonotonic);
