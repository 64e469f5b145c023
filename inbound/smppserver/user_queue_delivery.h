// Delivery of an account's queue (its user queue folder and the subfolders) to a bound
// receiver or transceiver as deliver_sm, one at a time, each file claimed while it is out.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <string>

#include "outside/qarpeer/qarpeer.h"
#include "store/message_file.h"
#include "store/queue_file.h"

struct DeliveryLink {
  int socket = -1;
  void* tls = nullptr;
  std::string name;      // the library's connection name
  int version = 0x34;
  std::string user;
};

// The user's queue folder (without the bucket a writer may add), "" for an unusable name.
std::string UserQueueRoot(const std::string& user);

// A deliver_sm whose answer is awaited: its file stays claimed until the answer (or the
// link's loss, the session's end, the time-out) decides.
struct PendingDelivery {
  ClaimedFile file;
  SmsMessageRecord message;
  SMPPAsyncSubmit record{};
  std::atomic<bool> done{false};
};
// The deliveries of a session awaiting their answers; size 0 delivers one at a time.
struct DeliveryWindow {
  uint32_t size = 0;
  std::list<std::unique_ptr<PendingDelivery>> pending;
};
// The window of an account: its key in [SMPPServerAsyncWindowSize], else the server's.
uint32_t DeliveryWindowSize(const std::string& user);

struct DeliveryPass {
  bool linkLost = false;
  bool waitingRetries = false;  // files were left for a later retry time
  unsigned delivered = 0;
};
// Hands every due "*.REQ" file to the client and acts on each answer; stops early when the
// link is lost or the service stops.
DeliveryPass DeliverUserQueue(const DeliveryLink& link, DeliveryWindow& window);
// Acts on the answers that have come.
void SettleDeliveries(const DeliveryLink& link, DeliveryWindow& window, DeliveryPass& pass);
// The session ends: waits up to maxWaitMs for the answers still awaited, then gives the
// rest up (their files kept for a retry).
void DrainDeliveries(const DeliveryLink& link, DeliveryWindow& window, uint32_t maxWaitMs);
