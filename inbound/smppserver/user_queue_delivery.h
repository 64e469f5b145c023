// Delivery of an account's queue (its user queue folder and the subfolders) to a bound
// receiver or transceiver as deliver_sm, one at a time, each file claimed while it is out.
#pragma once

#include <string>

#include "runtime/unique_fd.h"

struct DeliveryLink {
  int socket = -1;
  void* tls = nullptr;
  std::string name;      // the library's connection name
  int version = 0x34;
  std::string user;
};

// The user's queue folder (without the bucket a writer may add), "" for an unusable name.
std::string UserQueueRoot(const std::string& user);

// A wake-up on new files in the user's queue folder and its subfolders (inotify).
struct QueueWatch {
  UniqueFd fd;
  std::string root;
};
bool WatchUserQueue(const std::string& root, QueueWatch& watch);
// Reads the pending events (new subfolders are watched too); true when any arrived.
bool DrainQueueWatch(QueueWatch& watch);

struct DeliveryPass {
  bool linkLost = false;
  bool waitingRetries = false;  // files were left for a later retry time
  unsigned delivered = 0;
};
// Hands every due "*.REQ" file to the client and acts on each answer; stops early when the
// link is lost or the service stops.
DeliveryPass DeliverUserQueue(const DeliveryLink& link);
