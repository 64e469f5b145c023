#include "service/status_block.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "runtime/unique_fd.h"

namespace {
UniqueFd g_instanceLock;
volatile uint8_t* g_block = nullptr;
}  // namespace

InstanceResult OpenStatusBlock(const std::string& privateDataDir, int& error) {
  error = 0;
  UniqueFd lock(open((privateDataDir + kInstanceLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0664));
  if (!lock) {
    error = errno;
    return InstanceResult::CreateFailed;
  }
  if (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    error = errno;
    return errno == EWOULDBLOCK ? InstanceResult::AlreadyActive : InstanceResult::CreateFailed;
  }
  UniqueFd file(open((privateDataDir + kStatusBlockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (!file || ftruncate(file.get(), kStatusBlockSize) != 0) {
    error = errno;
    return InstanceResult::CreateFailed;
  }
  void* map = mmap(nullptr, kStatusBlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, file.get(), 0);
  if (map == MAP_FAILED) {
    error = errno;
    return InstanceResult::MapFailed;
  }
  g_block = static_cast<volatile uint8_t*>(map);
  // A block left by a crashed gateway may still say "stop": start from zero.
  for (size_t i = 0; i < kStatusBlockSize; ++i) g_block[i] = 0;
  g_instanceLock = std::move(lock);
  return InstanceResult::Ok;
}

void SetStatusByte(size_t index, uint8_t value) {
  if (g_block != nullptr && index < kStatusBlockSize) {
    g_block[index] = value;
    std::atomic_thread_fence(std::memory_order_seq_cst);
  }
}

uint8_t GetStatusByte(size_t index) {
  if (g_block == nullptr || index >= kStatusBlockSize) return 0;
  std::atomic_thread_fence(std::memory_order_seq_cst);
  return g_block[index];
}

void CloseStatusBlock() {
  if (g_block != nullptr) munmap(const_cast<uint8_t*>(g_block), kStatusBlockSize);
  g_block = nullptr;
  g_instanceLock.reset();
}
