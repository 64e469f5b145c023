#include "tests/support/sped_up_clock.h"

#include <unistd.h>

#include <cstdlib>

namespace {
// The multithreaded build: the programs run many threads that read the clock.
const char* const kLibraries[] = {"/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1",
                                  "/usr/lib/aarch64-linux-gnu/faketime/libfaketimeMT.so.1",
                                  "/usr/lib/faketime/libfaketimeMT.so.1"};
}  // namespace

std::vector<std::string> FakedClockEnv(const std::string& faketime, bool fakeMonotonic) {
  for (const char* library : kLibraries) {
    if (access(library, R_OK) != 0) continue;
    const char* monotonic = fakeMonotonic ? "0" : "1";
    std::vector<std::string> env = {std::string("LD_PRELOAD=") + library, "FAKETIME=" + faketime,
                                    std::string("FAKETIME_DONT_FAKE_MONOTONIC=") + monotonic,
                                    std::string("DONT_FAKE_MONOTONIC=") + monotonic};
    // A sanitized program wants its runtime first among the libraries; the preloaded one
    // only passes time calls on to it.
    const char* asan = getenv("ASAN_OPTIONS");
    std::string options = asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : std::string();
    env.push_back("ASAN_OPTIONS=" + options + "verify_asan_link_order=0");
    return env;
  }
  return {};
}

std::vector<std::string> SpedUpClockEnv(unsigned factor) { return FakedClockEnv("+0 x" + std::to_string(factor), true); }
