// The web listener: listener thread bodies, connection processing, request reading,
// authentication and dispatch by path.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "web/web_connection.h"

// Listener thread bodies, started by start-up under the names "ThreadListenForConnections"
// and "ThreadLsitenForSSLConnections" with the listening socket (which stays the
// caller's). They loop until ShutdownRequested, waking at least once a second.
void ThreadListenForConnections(int listenSocket);
void ThreadListenForSSLConnections(int listenSocket);

enum class ReadOutcome { Request, Failed, TooLarge };
// Reads one complete request (pipelined remainder first, chunked bodies de-chunked).
ReadOutcome ProcessRead(WebConnection& c, WebRequest& request);

// Runs the request loop of one connection; closes nothing.
void ProcessConnection(WebConnection& c);

// Consecutive failed logins of the process; 0 whenever a request passes.
extern std::atomic<uint32_t> FailedLoginCount;
// Checks the request's credentials; on failure waits the failed-login delay, sends the
// 401 page and returns false. On success fills c.user and the user's request options.
bool AuthenticateRequest(WebConnection& c, const WebRequest& request);

// Handlers of later modules plug in here; a route without a handler is answered as an
// unknown request (the web menu).
enum class WebRoute { Admin, Provision, PushAccess, DistributionLists, AddressBook, Submission, Count };
void RegisterWebHandler(WebRoute route, WebHandler handler);
WebHandler WebHandlerFor(WebRoute route);
// Rewrites a multipart/form-data body into ordinary parameters before the submission
// parameters are looked at (installed by the submission module).
using RequestRewriter = std::function<void(WebRequest&)>;
void SetMultipartRewriter(RequestRewriter rewriter);
// Dispatch after authentication: /PAP and /PPG, /DLists, /AddrBook, submissions, the menu.
void DispatchWebRequest(WebConnection& c, WebRequest& request);

// Parked connection threads (EnableThreadPool): how many wait for a socket now.
size_t ParkedThreadCount();
