#include <deque>

#include "accounting/accounting.h"
#include "httpclient/http_client.h"
#include "runtime/debug_log.h"
#include "outside/seal_table.h"
#include "httpclient/socket_io.h"
#include "runtime/mutex.h"

namespace {
Mutex PoolLock;
std::deque<KeepAliveSlot> Pool GUARDED_BY(PoolLock);
}  // namespace

void PutAccountingKeepAlive(int socket, void* ssl) {
  KeepAliveSlot slot{socket, ssl};
  if (socket < 0) return;
  if (!SocketStillOpen(socket)) {
    CloseKeepAliveSlot(slot);
    return;
  }
  MutexLock guard(PoolLock);
  Pool.push_back(slot);
}

bool TakeAccountingKeepAlive(KeepAliveSlot& out) {
  MutexLock guard(PoolLock);
  while (!Pool.empty()) {
    KeepAliveSlot slot = Pool.front();
    Pool.pop_front();
    if (!SocketStillOpen(slot.socket)) {
      WriteDebugLog("GetAccountingKeepAlive", "Closing keep-alive socket");
      CloseKeepAliveSlot(slot);
      continue;
    }
    WriteDebugLog("GetAccountingKeepAlive", "Re-using keep-alive socket");
    out = slot;
    return true;
  }
  return false;
}

void CloseAccountingKeepAlives() {
  MutexLock guard(PoolLock);
  for (KeepAliveSlot& slot : Pool) CloseKeepAliveSlot(slot);
  Pool.clear();
}
