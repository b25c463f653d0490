#include "back-ldbm/ops_common.h"

#include <algorithm>

#include "back-ldbm/cache.h"
#include "back-ldbm/id2entry.h"
#include "cert/access.h"
#include "ldap/operation.h"
#include "ldap/result.h"
#include "runtime/connection.h"

namespace kry {

Mutex& ldbm_update_lock() {
  static Mutex lock;
  return lock;
}

bool ldbm_access(const Backend* be, const Connection* conn, int level) {
  if (!conn) return false;
  if (conn->c_internal) return true;
  const char* host = ConnectionHostName(conn);
  return access_allowed(be, conn->c_addr.c_str(), host, level);
}

bool ldbm_abandoned(Operation* op) { return op && op->Abandoned(); }

int ldbm_store_failed(Operation* op) {
  if (op) op->o_storeFailed = true;
  return LDAP_OPERATIONS_ERROR;
}

EntryPtr entry_copy(const Entry& e) {
  auto c = std::make_unique<Entry>();
  c->dn = e.dn;
  c->attrs = e.attrs;
  c->id = e.id;
  return c;
}

void entry_drop_empty_attrs(Entry* e) {
  e->attrs.erase(std::remove_if(e->attrs.begin(), e->attrs.end(), [](const Attribute& a) { return a.values.empty(); }),
                 e->attrs.end());
}

int ldbm_store_replacement(Backend* be, Entry* old, EntryPtr replacement) {
  EntryCache* cache = backend_cache(be);
  // While `old` is cached (our reference keeps it from eviction) the store
  // cannot cache the replacement, whose ID is taken: the text is written
  // first, and only then does the cache switch to the new copy. A reader
  // that misses the cache between the two steps reads the new text.
  bool cached = false;
  int rc = id2entry_add(be, replacement.get(), &cached);
  if (cached) {
    // `old` had left the cache already (a concurrent delete); the cache now
    // owns the replacement and we hold its first reference. A copy that did
    // not reach the disk must not stay visible.
    Entry* r = replacement.release();
    if (rc != 0) cache_remove_entry(cache, r);
    cache_release_entry(cache, r);
    return rc;
  }
  if (rc != 0) return rc;
  cache_remove_entry(cache, old);
  Entry* r = replacement.release();
  if (cache_add_entry_lock(cache, r, ENTRY_STATE_READY) == 0)
    cache_release_entry(cache, r);
  else
    entry_release(r);  // another thread has cached the new text meanwhile
  return rc;
}

}  // namespace kry
