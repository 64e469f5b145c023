#include "runtime/memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "runtime/debug_log.h"
#include "runtime/str_printf.h"

namespace {
// Each block carries its size in front so that GWrealloc can zero what it adds.
struct alignas(16) BlockHeader {
  size_t size;
  uint64_t magic;
};
constexpr uint64_t kMagic = 0x51415242'4C4F434Bull;  // "QARBLOCK"
constexpr size_t kSpare = 64;

std::atomic<uint32_t> g_blockCount{0};

BlockHeader* HeaderOf(void* block) { return static_cast<BlockHeader*>(block) - 1; }

void LogCount(const char* label) {
  if (DebugSettings.Debug2.load()) WriteDebugLog(label, StrPrintf("Memory blocks = %u", g_blockCount.load()));
}
}  // namespace

void* GWmalloc(size_t size) {
  if (size > SIZE_MAX - kSpare - sizeof(BlockHeader)) return nullptr;
  auto* header = static_cast<BlockHeader*>(calloc(1, sizeof(BlockHeader) + size + kSpare));
  if (header == nullptr) return nullptr;
  header->size = size + kSpare;
  header->magic = kMagic;
  g_blockCount.fetch_add(1);
  LogCount("GWmalloc");
  return header + 1;
}

bool GWfree(void* block) {
  if (block == nullptr || HeaderOf(block)->magic != kMagic) {
    WriteDebugLog("GWfree", "Error");
    return false;
  }
  BlockHeader* header = HeaderOf(block);
  header->magic = 0;
  free(header);
  uint32_t count = g_blockCount.load();
  while (count > 0 && !g_blockCount.compare_exchange_weak(count, count - 1)) {
  }
  LogCount("GWfree");
  return true;
}

void* GWrealloc(void* block, size_t size) {
  if (block == nullptr) return nullptr;
  if (size > SIZE_MAX - kSpare - sizeof(BlockHeader)) return nullptr;
  BlockHeader* header = HeaderOf(block);
  if (header->magic != kMagic) return nullptr;
  size_t oldSize = header->size;
  size_t newSize = size + kSpare;
  auto* grown = static_cast<BlockHeader*>(realloc(header, sizeof(BlockHeader) + newSize));
  if (grown == nullptr) return nullptr;
  if (newSize > oldSize) memset(reinterpret_cast<char*>(grown + 1) + oldSize, 0, newSize - oldSize);
  grown->size = newSize;
  return grown + 1;
}

uint32_t GWBlockCount() { return g_blockCount.load(); }
