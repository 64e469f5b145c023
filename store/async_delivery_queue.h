// The asynchronous delivery queue of one SMPP server session: queued user messages handed
// to the client without waiting for its answer. Entries own their claimed file until the
// answer decides: accepted (file deleted), kept for retry (WriteErrorDetail), refused
// (deleted). Entries of a closing session are completed as kept, never leaked.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "store/queue_file.h"

constexpr uint32_t kSmppStatusQueueFull = 0x14;
constexpr uint32_t kSmppStatusThrottled = 0x58;
constexpr uint32_t kSmppStatusLibraryFailure = 0xFFFF0000u;

struct AsyncQueueEntry {
  int socket = -1;
  ClaimedFile file;
  uint32_t retryCount = 0;
  bool completed = false;
  bool abandoned = false;
  uint32_t status = 0;
  uint64_t id = 0;
  // Called outside the lock when the client accepted the message (session activity and the
  // user's running counter belong to the session and the user entry).
  std::function<void()> onAccepted;
};

struct AsyncQueue {
  std::list<std::unique_ptr<AsyncQueueEntry>> entries;
  uint32_t depth = 0;
};

// Links the entry at the tail; returns its id for AsyncQueueSetResult.
uint64_t AsyncQueueAppend(AsyncQueue& queue, std::unique_ptr<AsyncQueueEntry> entry);
// Records the client's answer for an entry.
bool AsyncQueueSetResult(AsyncQueue& queue, uint64_t id, uint32_t status);
// Completes up to count + 1 answered entries.
void AsyncQueueComplete(AsyncQueue& queue, uint32_t count);
// The session is closing: answered entries are completed by their status, the others are
// kept for retry with their retry state unchanged; the queue is left empty.
void AsyncQueueAbandon(AsyncQueue& queue);
uint32_t AsyncQueueDepth(AsyncQueue& queue);
