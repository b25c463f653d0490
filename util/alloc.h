// Allocation wrappers for the places where memory must cross a C interface
// (Berkeley DB's user allocator, the BER codec's byte areas). Everything else
// uses standard containers. The wrappers count live blocks so that tests and
// the monitor can see leaks; all of them are thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kry {

void* ch_malloc(size_t size);            // null when memory is exhausted
void* ch_calloc(size_t count, size_t size);
void* ch_realloc(void* block, size_t size);
char* ch_strdup(const char* text);       // null for a null text
void ch_free(void* block);               // null is allowed

// Number of blocks handed out and not yet freed.
int64_t ch_live_blocks();

struct ChFree {
  void operator()(void* p) const { ch_free(p); }
};
template <typename T>
using ChPtr = std::unique_ptr<T, ChFree>;

}  // namespace kry
