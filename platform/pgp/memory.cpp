// The memory manager: a counting layer over the C heap. Every manager uses
// malloc/free, so a block may be released through any of them (the server
// hands blocks between subsystems freely).
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/pgp/kry.h"

struct KRYMemoryMgr {
  std::atomic<long> live{0};
};

namespace {

// The block header remembers its manager so that KRYFreeData can keep the
// counts right. 16 bytes keep the payload aligned for any type.
struct alignas(16) BlockHeader {
  KRYMemoryMgr* mgr;
  size_t size;
};

KRYMemoryMgr g_builtin;
std::atomic<KRYMemoryMgr*> g_default{nullptr};

KRYMemoryMgr* Resolve(KRYMemoryMgrRef mgr) {
  if (mgr != nullptr) return mgr;
  KRYMemoryMgr* d = g_default.load();
  return d != nullptr ? d : &g_builtin;
}

}  // namespace

KRYError KRYNewMemoryMgr(uint32_t, KRYMemoryMgrRef* outMgr) {
  if (outMgr == nullptr) return kKRYError_BadParams;
  *outMgr = new (std::nothrow) KRYMemoryMgr;
  return *outMgr != nullptr ? kKRYError_NoErr : kKRYError_OutOfMemory;
}

KRYError KRYSetDefaultMemoryMgr(KRYMemoryMgrRef mgr) {
  g_default.store(mgr);
  return kKRYError_NoErr;
}

KRYMemoryMgrRef KRYGetDefaultMemoryMgr() { return Resolve(nullptr); }

KRYError KRYFreeMemoryMgr(KRYMemoryMgrRef mgr) {
  if (mgr == nullptr || mgr == &g_builtin) return kKRYError_BadParams;
  KRYMemoryMgr* expected = mgr;
  g_default.compare_exchange_strong(expected, nullptr);
  // Blocks still out keep a pointer to their manager; to keep KRYFreeData
  // safe after this, a manager with live blocks is retired, not freed.
  if (mgr->live.load() == 0) delete mgr;
  return kKRYError_NoErr;
}

void* KRYNewData(KRYMemoryMgrRef mgr, size_t size, uint32_t flags) {
  KRYMemoryMgr* m = Resolve(mgr);
  if (size > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
  void* raw = (flags & kKRYMemoryFlag_Clear) ? std::calloc(1, sizeof(BlockHeader) + size)
                                             : std::malloc(sizeof(BlockHeader) + size);
  if (raw == nullptr) return nullptr;
  auto* h = static_cast<BlockHeader*>(raw);
  h->mgr = m;
  h->size = size;
  m->live.fetch_add(1);
  return h + 1;
}

KRYError KRYReallocData(KRYMemoryMgrRef mgr, void** block, size_t size, uint32_t flags) {
  if (block == nullptr) return kKRYError_BadParams;
  if (*block == nullptr) {
    void* p = KRYNewData(mgr, size, flags);
    if (p == nullptr) return kKRYError_OutOfMemory;
    *block = p;
    return kKRYError_NoErr;
  }
  if (size > SIZE_MAX - sizeof(BlockHeader)) return kKRYError_OutOfMemory;
  BlockHeader* h = static_cast<BlockHeader*>(*block) - 1;
  size_t old = h->size;
  void* raw = std::realloc(h, sizeof(BlockHeader) + size);
  if (raw == nullptr) return kKRYError_OutOfMemory;
  h = static_cast<BlockHeader*>(raw);
  h->size = size;
  if ((flags & kKRYMemoryFlag_Clear) && size > old)
    std::memset(reinterpret_cast<char*>(h + 1) + old, 0, size - old);
  *block = h + 1;
  return kKRYError_NoErr;
}

KRYError KRYFreeData(void* block) {
  if (block == nullptr) return kKRYError_NoErr;
  BlockHeader* h = static_cast<BlockHeader*>(block) - 1;
  h->mgr->live.fetch_sub(1);
  std::free(h);
  return kKRYError_NoErr;
}

long KRYMemoryMgrLiveBlocks(KRYMemoryMgrRef mgr) { return Resolve(mgr)->live.load(); }
