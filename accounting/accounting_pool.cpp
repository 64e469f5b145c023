#include <deque>
#include <mutex>

#include "accounting/accounting.h"
#include "httpclient/http_client.h"
#include "runtime/debug_log.h"
#include "outside/seal_table.h"
#include "httpclient/socket_io.h"

namespace {
std::mutex PoolLock;
std::deque<KeepAliveSlot> Pool;
}  // namespace

void PutAccountingKeepAlive(int socket, void* ssl) {
  KeepAliveSlot slot{socket, ssl};
  if (socket < 0) return;
  if (!SocketStillOpen(socket)) {
    CloseKeepAliveSlot(slot);
    return;
  }
  std::lock_guard<std::mutex> guard(PoolLock);
  Pool.push_back(slot);
}

bool TakeAccountingKeepAlive(KeepAliveSlot& out) {
  std::lock_guard<std::mutex> guard(PoolLock);
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
  std::lock_guard<std::mutex> guard(PoolLock);
  for (KeepAliveSlot& slot : Pool) CloseKeepAliveSlot(slot);
  Pool.clear();
}
