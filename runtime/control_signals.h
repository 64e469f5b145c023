// SIGINT, SIGTERM and SIGHUP ask for an orderly stop.
#pragma once

// The handler only sets ShutdownRequested and a pending flag; the log line is written by
// a normal thread through PollControlEvent.
void InstallControlHandlers();
// Logs "HandlerRoutine: Initiating shutdown..." once when a stop signal arrived.
void PollControlEvent();
