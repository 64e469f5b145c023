// The receive side of an SMPP connection: the separate receiver session, the threads of the
// asynchronous receive queue and their per-connection event ("SmppReceiveAsync").
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

struct ReceiveThreadBlock {
  std::string connection;
  std::atomic<bool> stop{false};     // set by the connection worker
  std::atomic<bool> running{false};  // set by the thread once it serves
  std::atomic<bool> ended{false};    // set by the thread on leaving
};

// Returns of the receiver sessions' waits (traffic, keep-alive, a one-second step, the stop).
struct ReceiveWaitCounts {
  std::atomic<uint64_t> wakeUps{0};
};
extern ReceiveWaitCounts ReceiveWaits;

// The separate receiver session: binds as a receiver and serves deliver_sm until stopped.
// Failures go to the message and debug logs only.
void ThreadProcessSMPPReceive(ReceiveThreadBlock& block);
// Serves the connection's asynchronous receive queue until stop is set.
void ThreadProcessSMPPReceiveAsyncQ(ReceiveThreadBlock& block);
// Sets the connection's "SmppReceiveAsync" event (the library's wake-up when it queued a
// received message); nothing when no thread serves that connection.
void WakeSmppReceiveAsync(const char* connectionName);

// The receive threads a worker runs beside its sending session; stopped when it goes.
struct ReceiveThreads {
  std::vector<std::shared_ptr<ReceiveThreadBlock>> blocks;
  void Start(const std::string& description, const std::string& connection, void (*body)(ReceiveThreadBlock&));
  // Waits up to 60 s for the first to run.
  void WaitRunning();
  // Waits up to 150 x 100 ms for them to end. One still inside a connect or a closing
  // drain is left to finish alone: each holds its own block, nothing of the worker's.
  ~ReceiveThreads();
};
