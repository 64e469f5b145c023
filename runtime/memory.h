// Counted, zero-filled heap blocks with 64 spare bytes. For buffers handed across the
// outside-library boundary; ordinary code uses std::string and containers.
#pragma once

#include <cstddef>
#include <cstdint>

void* GWmalloc(size_t size);
bool GWfree(void* block);
void* GWrealloc(void* block, size_t size);
uint32_t GWBlockCount();
