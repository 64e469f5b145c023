// The session state a protocol library keeps per socket descriptor, handed out as shared
// pointers so that a call in progress keeps its session even after the socket is forgotten.
#pragma once

#include <map>
#include <memory>

#include "runtime/mutex.h"

template <typename Session>
struct SocketSessions {
  Mutex lock;
  std::map<int, std::shared_ptr<Session>> bySocket GUARDED_BY(lock);
};

// The session of sock, made on first use; fresh=true replaces any earlier one (a new link on
// a reused descriptor number). update(Session&, bool made) runs under the table lock on every
// call. A replaced session goes to markDown(Session&) after the table lock is released:
// markDown waits for a call in progress on it, so that it never sends on the reused number.
template <typename Session, typename Update, typename MarkDown>
std::shared_ptr<Session> SessionOfSocket(SocketSessions<Session>& table, int sock, bool fresh, Update update,
                                         MarkDown markDown) {
  std::shared_ptr<Session> replaced, result;
  {
    MutexLock lock(table.lock);
    auto& slot = table.bySocket[sock];
    bool made = !slot || fresh;
    if (made) {
      replaced = std::move(slot);
      slot = std::make_shared<Session>();
      slot->sock = sock;
    }
    update(*slot, made);
    result = slot;
  }
  if (replaced) markDown(*replaced);
  return result;
}

// Removes the session of sock and hands it to end(Session&) outside the table lock (end
// waits for a call in progress, as markDown above). Nothing happens for an unknown socket.
template <typename Session, typename End>
void ForgetSocketSession(SocketSessions<Session>& table, int sock, End end) {
  std::shared_ptr<Session> gone;
  {
    MutexLock lock(table.lock);
    auto it = table.bySocket.find(sock);
    if (it == table.bySocket.end()) return;
    gone = std::move(it->second);
    table.bySocket.erase(it);
  }
  end(*gone);
}
