#include "back-ldbm/cache.h"

#include "back-ldbm/entrycost.h"
#include "back-ldbm/ldbm.h"
#include "log/eventlog.h"
#include "log/metrics.h"
#include "log/trace.h"
#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

namespace {

constexpr int kMaxTailSkips = 10;

inline unsigned char Fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c; }

// ASCII case-insensitive order of DNs (the locale plays no part). Hot: every
// lookup and add walks the DN tree.
int CompareDn(Entry* const& a, Entry* const& b) {
  const auto* p = reinterpret_cast<const unsigned char*>(a->dn.data());
  const auto* q = reinterpret_cast<const unsigned char*>(b->dn.data());
  const size_t na = a->dn.size(), nb = b->dn.size();
  const size_t n = na < nb ? na : nb;
  for (size_t i = 0; i < n; ++i) {
    if (p[i] == q[i]) continue;
    unsigned char x = Fold(p[i]), y = Fold(q[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return na == nb ? 0 : (na < nb ? -1 : 1);
}
int CompareId(Entry* const& a, Entry* const& b) { return a->id < b->id ? -1 : a->id > b->id ? 1 : 0; }

// Recency list, caller holds the cache lock.
void LruUnlink(EntryCache* c, Entry* e) {
  if (e->lruPrev)
    e->lruPrev->lruNext = e->lruNext;
  else
    c->lruHead = e->lruNext;
  if (e->lruNext)
    e->lruNext->lruPrev = e->lruPrev;
  else
    c->lruTail = e->lruPrev;
  e->lruNext = e->lruPrev = nullptr;
}

void LruLinkHead(EntryCache* c, Entry* e) {
  e->lruPrev = nullptr;
  e->lruNext = c->lruHead;
  if (c->lruHead) c->lruHead->lruPrev = e;
  c->lruHead = e;
  if (!c->lruTail) c->lruTail = e;
}

bool OverBound(const EntryCache* c) {
  return c->byMemory ? c->curbytes > c->maxbytes : c->cursize > c->maxsize;
}

// Takes e out of the recency list and the counts; the trees are the
// caller's.
void Unaccount(EntryCache* c, Entry* e) {
  LruUnlink(c, e);
  --c->cursize;
  c->curbytes -= e->cacheCost;
}

// Takes e out of the hashed lookups; caller holds the cache lock.
void Unindex(EntryCache* c, Entry* e) {
  c->idIndex.erase(e->id);
  c->dnIndex.erase(std::string_view(e->dn));
}

Entry* LookupLocked(EntryCache* c, Entry* found) {
  if (!found || found->state != ENTRY_STATE_READY) return nullptr;
  ++found->refcnt;
  LruUnlink(c, found);
  LruLinkHead(c, found);
  return found;
}

}  // namespace

size_t DnFoldHash::operator()(std::string_view dn) const noexcept {
  uint64_t h = 14695981039346656037ull;  // FNV-1a
  for (unsigned char ch : dn) {
    h ^= Fold(ch);
    h *= 1099511628211ull;
  }
  return static_cast<size_t>(h);
}

bool DnFoldEqual::operator()(std::string_view a, std::string_view b) const noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i] && Fold(static_cast<unsigned char>(a[i])) != Fold(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

EntryCache::EntryCache() : dnTree(CompareDn), idTree(CompareId) {}

EntryCache::~EntryCache() { cache_release_all(this); }

int cache_add_entry_lock(EntryCache* c, Entry* e, int state) {
  // Cached entries are never changed (a modify caches a new copy), so the
  // cost is taken once, outside the lock.
  const size_t cost = entry_memory_cost(*e);
  SpinningGuard g(c->lock);
  if (c->dnTree.Insert(e) != 0) {
    Debug(LDAP_DEBUG_TRACE, "entry %20s id %d already in dn cache\n", e->dn.c_str(), static_cast<int>(e->id));
    return 1;
  }
  if (c->idTree.Insert(e) != 0) {
    Debug(LDAP_DEBUG_ANY, "entry %20s id %d already in id cache\n", e->dn.c_str(), static_cast<int>(e->id));
    if (!c->dnTree.Delete(e)) Debug(LDAP_DEBUG_ANY, "can't delete from dn cache\n");
    return -1;
  }
  c->idIndex[e->id] = e;
  c->dnIndex[e->dn] = e;
  e->refcnt = 1;
  e->state = static_cast<uint8_t>(state);
  e->cacheCost = cost;
  LruLinkHead(c, e);
  ++c->cursize;
  c->curbytes += cost;

  if (OverBound(c)) {
    // Skip over referenced entries at the tail, moving them to the head, so
    // that a few held entries do not stop eviction.
    for (int i = 0; i < kMaxTailSkips && c->lruTail && c->lruTail->refcnt > 0; ++i) {
      Entry* t = c->lruTail;
      LruUnlink(c, t);
      LruLinkHead(c, t);
    }
    while (c->lruTail && c->lruTail->refcnt == 0 && OverBound(c)) {
      Entry* victim = c->lruTail;
      c->dnTree.Delete(victim);
      c->idTree.Delete(victim);
      Unindex(c, victim);
      Unaccount(c, victim);
      victim->state = ENTRY_STATE_DELETED;
      entry_release(victim);
    }
  }
  return 0;
}

Entry* cache_lookup_dn(EntryCache* c, std::string_view dn) {
  SpinningGuard g(c->lock);
  auto hit = c->dnIndex.find(dn);
  Entry* e = LookupLocked(c, hit != c->dnIndex.end() ? hit->second : nullptr);
  metrics::CountCacheLookup(e != nullptr);
  return e;
}

Entry* cache_lookup_id(EntryCache* c, EntryID id) {
  SpinningGuard g(c->lock);
  auto hit = c->idIndex.find(id);
  Entry* e = LookupLocked(c, hit != c->idIndex.end() ? hit->second : nullptr);
  metrics::CountCacheLookup(e != nullptr);
  return e;
}

void cache_release_entry(EntryCache* c, Entry* e) {
  if (!c || !e) return;
  bool free = false;
  {
    SpinningGuard g(c->lock);
    if (e->refcnt > 0) --e->refcnt;
    free = e->refcnt == 0 && e->state == ENTRY_STATE_DELETED;
  }
  // A deleted entry is in no tree and no list; nobody else can reach it.
  if (free) entry_release(e);
}

void cache_set_entry_state(EntryCache* c, Entry* e, int state) {
  if (!c || !e) return;
  SpinningGuard g(c->lock);
  e->state = static_cast<uint8_t>(state);
}

int cache_remove_entry(EntryCache* c, Entry* e) {
  SpinningGuard g(c->lock);
  // Only remove what is really this entry: another entry with the same DN or
  // ID must not be taken out in its place.
  Entry** byDn = c->dnTree.Find(e);
  Entry** byId = c->idTree.Find(e);
  if (!byDn || *byDn != e || !byId || *byId != e) return -1;
  c->dnTree.Delete(e);
  c->idTree.Delete(e);
  Unindex(c, e);
  Unaccount(c, e);
  e->state = ENTRY_STATE_DELETED;
  return 0;
}

void cache_release_all(EntryCache* c) {
  SpinningGuard g(c->lock);
  // (AvlTree::Clear(fn) does not compile with a lambda: it binds a
  // temporary to a non-const reference; Apply and then Clear instead.)
  c->dnTree.Apply([](Entry*& e) {
    entry_release(e);
    return 0;
  });
  c->dnTree.Clear();
  c->idTree.Clear();
  c->idIndex.clear();
  c->dnIndex.clear();
  c->lruHead = c->lruTail = nullptr;
  c->cursize = 0;
  c->curbytes = 0;
}

int cache_size(EntryCache* c) {
  SpinningGuard g(c->lock);
  return c->cursize;
}

size_t cache_bytes(EntryCache* c) {
  SpinningGuard g(c->lock);
  return c->curbytes;
}

EntryCache* backend_cache(Backend* be) { return be && be->ldbm ? &be->ldbm->cache : nullptr; }

void cache_check_refcounts(Backend* be) {
  EntryCache* c = backend_cache(be);
  if (!c) return;
  auto check = [&] {
    SpinningGuard g(c->lock);
    for (Entry* e = c->lruHead; e; e = e->lruNext) {
      if (e->refcnt != 0) {
        LogError(EVENTLOG_VERBOSE, "Non-zero cache refcount. count=%d, dn='%s'", e->refcnt, e->dn.c_str());
        e->refcnt = 0;
      }
    }
  };
  if (g_globals) {
    SpinningGuard ops(g_globals->operationCountLock);
    if (g_globals->activeOperations == 0) check();
  } else {
    check();  // no server around (tools, tests): nothing can be in progress
  }
}

}  // namespace kry
