// Wake-ups that any number of threads wait for as descriptors (polled with their sockets,
// folders and the stop): a signal on a channel makes every waiter of that channel readable.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

struct BroadcastWaiter;

class BroadcastWake {
 public:
  explicit BroadcastWake(std::string channel);
  ~BroadcastWake();
  BroadcastWake(const BroadcastWake&) = delete;
  BroadcastWake& operator=(const BroadcastWake&) = delete;

  int Fd() const;
  // Call before looking at what the channel announces: a signal from now on wakes again.
  void Rearm();
  // Waits up to ms for a signal (true) or the stop (false), for a thread with nothing else
  // to wait on.
  bool Wait(uint32_t ms);

 private:
  std::shared_ptr<BroadcastWaiter> waiter_;
};

// Waits up to ms for a signal on any of wakes (its index) or the stop (-1); -2 when the
// time ran out.
int WaitForAnyBroadcast(std::initializer_list<BroadcastWake*> wakes, uint32_t ms);

// Wakes every waiter of channel.
void SignalBroadcast(std::string_view channel);
