// The driver interface of the SMS centre connection kinds. The connection worker runs the
// life cycle that every kind shares (enumeration, backup waiting, reconnect delays, change
// checks, the error file, events, queue passes); a driver does what its protocol does:
// connect and log in, submit (waiting for each answer or within a window), yield for
// received traffic, check its link, and class its statuses into the outcomes of the pass.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "smsc/queue_pass.h"

// The kind of a connection, by its name's prefix ("SMPP - ", "UCP - ", "CIMD - ",
// "HTTP - " or "SDKLink - ", anything else a modem); worker 0 routes locally.
enum class ConnectionKind { LocalRouting, Smpp, Ucp, Cimd, Http, Modem };
ConnectionKind ConnectionKindOf(uint32_t index, std::string_view name);

// One connection of a kind for one cycle of its worker (until its name changes, or a
// setting that needs a new session). The slots share the driver's state, which ends with
// the last copy of the driver.
struct SmscDriver {
  // Set for a kind this build cannot run: each round fails with this text; no slot is set.
  std::string unavailable;
  // Connects and logs in. On failure calls report once with the text (message log, debug
  // log, error file) and returns false.
  std::function<bool(const std::function<void(const std::string&)>& report)> connect;
  // The session's link as the queue pass uses it: t's submit (or submitAsync and its window),
  // enquireLink, yield (received traffic is served there), linkUp. Sets the driver's part of
  // w.settings.
  std::function<void(QueueWorker& w, QueueTransport& t)> open;
  // The change check: reads the settings again. True when they need a new session (the
  // ones in use stay); otherwise they are in use and apply gives w the in-place ones.
  std::function<bool()> reload;
  std::function<void(QueueWorker& w)> apply;
  // Nothing to send on this link: the worker only serves it.
  std::function<bool()> receiveOnly;
  // Ends the session: what is outstanding, the logout when logout is set and the link is
  // up, the socket.
  std::function<void(QueueWorker& w, bool logout)> close;
};

// Makes a kind's driver for a connection; instance is 1..TransmitterCount.
using SmscDriverFactory = SmscDriver (*)(const std::string& connection, uint32_t instance);
// Start-up, before the workers: the factory of a kind (none: the kind is not available).
void RegisterSmscDriver(ConnectionKind kind, SmscDriverFactory factory);
SmscDriver MakeSmscDriver(ConnectionKind kind, const std::string& connection, uint32_t instance);
bool SmscDriverRegistered(ConnectionKind kind);
