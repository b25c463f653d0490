// Entry cache: shared Entry objects with reference counts, found
// by DN (ignoring ASCII case) or by ID, evicted least recently used first
// when the cache holds more than maxsize entries or, bounded by memory, when
// its entries cost more than maxbytes.
//
// Ownership: an entry added with cache_add_entry_lock (result 0) belongs to
// the cache. Every entry handed out by a lookup or an add carries one
// reference that its holder gives back with cache_release_entry; holders
// never free cached entries. An entry removed from the cache (state deleted)
// is freed when its last reference is given back.
//
// One lock per cache guards the trees, the recency list, cursize and every
// cached entry's state, refcnt and links. Entry contents are not guarded.
#pragma once

#include <cstddef>
#include <string_view>
#include <unordered_map>

#include "ldap/entry.h"
#include "util/avl.h"
#include "util/thread.h"

namespace kry {

struct Backend;

// Hash and equality of DNs ignoring ASCII case, as the DN tree orders them.
struct DnFoldHash {
  size_t operator()(std::string_view dn) const noexcept;
};
struct DnFoldEqual {
  bool operator()(std::string_view a, std::string_view b) const noexcept;
};

struct EntryCache {
  EntryCache();
  ~EntryCache();
  EntryCache(const EntryCache&) = delete;
  EntryCache& operator=(const EntryCache&) = delete;

  int maxsize = 50;
  int cursize = 0;
  // Bounded by memory instead of by count: the entries' estimated heap cost
  // (entry_memory_cost, taken when each is cached) is kept under maxbytes.
  bool byMemory = false;
  size_t maxbytes = 0;
  size_t curbytes = 0;
  AvlTree<Entry*> dnTree;
  AvlTree<Entry*> idTree;
  // The same entries hashed, for lookups: a walk down a tree of tens of
  // thousands of entries misses the processor's caches at every level.
  // The DN keys point into the entries' own DNs, which do not change while
  // an entry is cached.
  std::unordered_map<EntryID, Entry*> idIndex;
  std::unordered_map<std::string_view, Entry*, DnFoldHash, DnFoldEqual> dnIndex;
  Entry* lruHead = nullptr;  // most recently used
  Entry* lruTail = nullptr;
  SpinningMutex lock;
};

// Inserts e with refcnt 1 and `state`, then evicts while over its bound.
// 0 on success (the cache now owns e), 1 when its DN is already cached, -1
// when its ID is (e stays the caller's in both cases).
int cache_add_entry_lock(EntryCache* cache, Entry* e, int state);
// A ready entry by DN or ID, with a new reference; null when absent, being
// created or deleted.
Entry* cache_lookup_dn(EntryCache* cache, std::string_view dn);
Entry* cache_lookup_id(EntryCache* cache, EntryID id);
// Gives back one reference; frees a deleted entry on its last one.
void cache_release_entry(EntryCache* cache, Entry* e);
void cache_set_entry_state(EntryCache* cache, Entry* e, int state);
// Takes e out of both trees and the list and marks it deleted; 0, or -1 when
// it was not in the trees. The entry is freed by its last release.
int cache_remove_entry(EntryCache* cache, Entry* e);
// Frees every cached entry and empties the cache (backend close).
void cache_release_all(EntryCache* cache);
// Idle-time check: when no operation is in progress, records every leaked
// reference ("Non-zero cache refcount. count=%d, dn='%s'") and clears it.
void cache_check_refcounts(Backend* be);
// Cache state for tests and the monitor.
int cache_size(EntryCache* cache);
size_t cache_bytes(EntryCache* cache);

// The backend's cache, and giving an entry back to it.
EntryCache* backend_cache(Backend* be);
inline void cache_return_entry(Backend* be, Entry* e) { cache_release_entry(backend_cache(be), e); }

// An entry reference taken from the cache (entry_by_dn, id2entry), given back
// when the holder goes; null is allowed.
class HeldEntry {
 public:
  HeldEntry(Backend* be, Entry* e) : be_(be), e_(e) {}
  ~HeldEntry() {
    if (e_) cache_return_entry(be_, e_);
  }
  HeldEntry(const HeldEntry&) = delete;
  HeldEntry& operator=(const HeldEntry&) = delete;
  Entry* get() const { return e_; }

 private:
  Backend* be_;
  Entry* e_;
};

}  // namespace kry
