// The session state a protocol library keeps per socket descriptor, handed out as shared
// pointers so that a call in progress keeps its session even after the socket is forgotten.
// Session has `int sock`, a `linkUp` flag and the Mutex its calls hold while they send
// (callLock below).
#pragma once

#include <map>
#include <memory>

#include "runtime/mutex.h"

template <typename Session>
struct SocketSessions {
  Mutex lock;
  std::map<int, std::shared_ptr<Session>> bySocket GUARDED_BY(lock);
};

// Marks the link down once the call in progress on it (the holder of callLock) has ended:
// nothing is sent on the descriptor afterwards.
template <typename Session>
void MarkSessionDown(Session& s, Mutex& callLock) {
  MutexLock lock(callLock);
  s.linkUp = false;
}

// The session of sock, made on first use; fresh=true replaces any earlier one (a new link on
// a reused descriptor number), which is marked down so that it never sends on the reused
// number. update(Session&, bool made) runs under the table lock on every call.
template <typename Session, typename Update>
std::shared_ptr<Session> SessionOfSocket(SocketSessions<Session>& table, int sock, bool fresh,
                                         Mutex Session::*callLock, Update update) {
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
  if (replaced) MarkSessionDown(*replaced, (*replaced).*callLock);
  return result;
}

// Removes the session of sock and marks it down (after the call in progress on it); the
// session, or null for a socket without one.
template <typename Session>
std::shared_ptr<Session> ForgetSocketSession(SocketSessions<Session>& table, int sock, Mutex Session::*callLock) {
  std::shared_ptr<Session> gone;
  {
    MutexLock lock(table.lock);
    auto it = table.bySocket.find(sock);
    if (it == table.bySocket.end()) return nullptr;
    gone = std::move(it->second);
    table.bySocket.erase(it);
  }
  MarkSessionDown(*gone, (*gone).*callLock);
  return gone;
}
