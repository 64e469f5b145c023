// The one frame every service thread runs in: counted, numbered, crash-logged.
#pragma once

#include <functional>
#include <string>

// Starts a detached thread that runs body inside the frame. The thread is counted in
// ActiveThreadCount before this returns, so a shutdown that follows at once still waits
// for it. False when the thread could not be started (nothing is counted then).
bool StartServiceThread(const std::string& description, std::function<void()> body);

// Runs body in the frame on the calling thread (used by StartServiceThread and tests).
void RunInThreadFrame(const std::string& description, const std::function<void()>& body);

// Waits until ActiveThreadCount is 0, logging the threads still running every reportMs.
void WaitForServiceThreads(unsigned reportMs = 10000);
