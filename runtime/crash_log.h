// Fatal signals: EXCEPT.LOG written once with async-signal-safe calls, then exit.
#pragma once

#include <string>

constexpr int kCrashExitCode = 45233 & 255;  // 177

// Precomputes the EXCEPT.LOG and SMSDEBUG.LOG paths and installs the handlers for SIGSEGV,
// SIGBUS, SIGFPE, SIGILL and SIGABRT on an alternate signal stack.
void InstallCrashHandlers(const std::string& privateDataDirWithSlash, const std::string& debugLogDirWithSlash);
// Gives the calling thread its own alternate signal stack (each thread frame calls it).
void SetupThreadAltStack();
void ReleaseThreadAltStack();
// Refreshes the cached offset of local time from UTC that the handler uses for its date.
void RefreshCrashTimeZone();
