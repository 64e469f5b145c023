// Retrieval of MMS announced by notifications: one worker per notification folder of
// MMSINQ/, which fetches each queued message, stores or routes it, acknowledges it to the
// operator's MMSC and retries or gives up.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

// Starts the worker of the connection's folder unless one runs already (in this process, or
// holding the folder's MMSINQ.LCK).
void StartInboundMMSWorker(std::string_view connection);
// The always-running thread: starts a worker for each folder of MMSINQ/ holding "*.Q" files,
// so that notifications survive a restart, and serves MMSINQ/ itself until the stop.
void ThreadProcessInboundMMS();

// One pass over a notification folder at the time now: the number of notifications retrieved
// or given up.
unsigned ProcessMmsQueuePass(const std::string& dir, time_t now);
// The same with the worker's data call kept across passes.
struct MmsDataCall;
unsigned ProcessMmsQueuePass(const std::string& dir, time_t now, MmsDataCall& call);

// The m-notifyresp-ind of a notification: its Transaction-id and MMS-version (else "unknown"
// and 1.0), Status Retrieved or Rejected, Report-allowed Yes.
std::string NotifyRespPdu(std::string_view notification, bool rejected);
