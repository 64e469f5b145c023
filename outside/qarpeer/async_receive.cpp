#include "outside/qarpeer/async_receive.h"

#include <algorithm>
#include <cctype>
#include <deque>
#include <map>
#include <vector>

#include "runtime/mutex.h"

namespace peer {

namespace {

// Taken per turn, so that a second serving thread can help with a long queue.
constexpr size_t kBatch = 32;

struct Queued {
  std::unique_ptr<ReceivedMessage> message;  // owns every text the callback sees
  std::weak_ptr<Session> session;            // the answer goes only where the request came from
  uint32_t commandId = 0;
  uint32_t sequence = 0;
};

struct NameQueue {
  int users = 0;  // on minus off calls
  std::deque<Queued> items;
};

Mutex g_queueLock;
std::map<std::string, NameQueue> g_queues GUARDED_BY(g_queueLock);

std::string Key(const std::string& name) {
  std::string key = name;
  for (char& c : key) c = char(std::toupper(static_cast<unsigned char>(c)));
  return key;
}

void Wake(const std::string& name) {
  if (SMPPAsyncReceiveWakeFn fn = LibrarySettings.asyncReceiveWake.load()) fn(name.c_str());
}

// Takes up to kBatch messages; more waiting is true when some are left.
std::vector<Queued> Take(const std::string& key, bool& moreWaiting) {
  std::vector<Queued> batch;
  MutexLock lock(g_queueLock);
  moreWaiting = false;
  auto it = g_queues.find(key);
  if (it == g_queues.end()) return batch;
  auto& items = it->second.items;
  size_t n = std::min(items.size(), kBatch);
  for (size_t i = 0; i < n; ++i) {
    batch.push_back(std::move(items.front()));
    items.pop_front();
  }
  moreWaiting = !items.empty();
  if (items.empty() && it->second.users == 0) g_queues.erase(it);
  return batch;
}

}  // namespace

int QueueReceived(Session& s, uint32_t commandId, uint32_t sequence, std::unique_ptr<ReceivedMessage>& message) {
  {
    MutexLock lock(g_queueLock);
    auto it = g_queues.find(Key(s.name));
    if (it == g_queues.end() || it->second.users <= 0) return -1;
    if (it->second.items.size() >= kAsyncReceiveLimit) {
      Trace(s, "receive queue full; message refused for now");
      return int(smpp::kStatusMsgQueueFull);
    }
    it->second.items.push_back(Queued{std::move(message), s.weak_from_this(), commandId, sequence});
  }
  Wake(s.name);
  return 0;
}

void SetAsyncReceive(const std::string& name, bool on) {
  bool last = false;
  {
    MutexLock lock(g_queueLock);
    if (on) {
      ++g_queues[Key(name)].users;
    } else if (auto it = g_queues.find(Key(name)); it != g_queues.end() && it->second.users > 0) {
      last = --it->second.users == 0;
    }
  }
  // New messages are answered inline from now on; those already waiting are not left behind.
  if (last) ReceiveFromAsyncQ(name);
}

int ReceiveFromAsyncQ(const std::string& name) {
  std::string key = Key(name);
  int handled = 0;
  for (;;) {
    bool moreWaiting = false;
    std::vector<Queued> batch = Take(key, moreWaiting);
    if (batch.empty()) return handled;
    if (moreWaiting) Wake(name);
    for (Queued& q : batch) {
      std::shared_ptr<Session> s = q.session.lock();
      // Unanswered, the message stays the SMS centre's to deliver again: not stored here,
      // so that it is not stored twice.
      if (!s || !s->linkUp.load()) continue;
      SMPPReceiveMessageCallbackFn fn = LibrarySettings.receive.load();
      uint32_t status = fn ? uint32_t(fn(s->name.c_str(), &q.message->view)) : smpp::kStatusTempAppError;
      ++handled;
      std::string body;
      smpp::AppendCString(body, "", 65);
      // Refused by SendPdu when the session ended meanwhile.
      if (SendPdu(*s, smpp::Pdu{q.commandId | smpp::kResponseBit, status, q.sequence, std::move(body)}) != 0) {
        Trace(*s, "received message handled but its session ended before the answer");
      }
    }
  }
}

}  // namespace peer
