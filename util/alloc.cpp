#include "util/alloc.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace kry {

namespace {
std::atomic<int64_t> g_live{0};
}

void* ch_malloc(size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (p) g_live.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void* ch_calloc(size_t count, size_t size) {
  void* p = std::calloc(count ? count : 1, size ? size : 1);
  if (p) g_live.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void* ch_realloc(void* block, size_t size) {
  if (!block) return ch_malloc(size);
  return std::realloc(block, size ? size : 1);
}

char* ch_strdup(const char* text) {
  if (!text) return nullptr;
  size_t n = std::strlen(text) + 1;
  char* p = static_cast<char*>(ch_malloc(n));
  if (p) std::memcpy(p, text, n);
  return p;
}

void ch_free(void* block) {
  if (!block) return;
  g_live.fetch_sub(1, std::memory_order_relaxed);
  std::free(block);
}

int64_t ch_live_blocks() { return g_live.load(std::memory_order_relaxed); }

}  // namespace kry
