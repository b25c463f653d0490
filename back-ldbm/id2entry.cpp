#include "back-ldbm/id2entry.h"

#include <cstring>
#include <string>

#include "back-ldbm/cache.h"
#include "back-ldbm/dbcache.h"
#include "back-ldbm/ldbm.h"
#include "back-ldbm/nextid.h"
#include "log/trace.h"

namespace kry {

int id2entry_add(Backend* be, Entry* e, bool* cached) {
  if (cached) *cached = false;
  Debug(LDAP_DEBUG_TRACE, "=> id2entry_add( %d, \"%s\" )\n", static_cast<int>(e->id), e->dn.c_str());
  DbHandle db(be, "id2entry", ldbm_open_flags(be));
  if (!db) {
    Debug(LDAP_DEBUG_ANY, "Could not open/create id2entry%s\n", kLdbmSuffix);
    return -1;
  }
  // The text goes into a buffer of this call, so no process-wide entry-text
  // lock is needed around the conversion and the store.
  std::string text;
  entry_to_text(*e, true, &text);
  EntryID id = e->id;
  // A bulk load syncs once at its end; otherwise the put waits for the
  // writer's next commit (commit.h).
  const uint32_t flags = be->ldbm && be->ldbm->bulkLoad ? 0 : kLdbmStoreCommit;
  int rc = ldbm_cache_store(db.get(), Datum{&id, sizeof id}, Datum{text.c_str(), static_cast<uint32_t>(text.size() + 1)},
                            flags);
  db.Close();
  const bool added = cache_add_entry_lock(backend_cache(be), e, ENTRY_STATE_READY) == 0;
  if (cached) *cached = added;
  Debug(LDAP_DEBUG_TRACE, "<= id2entry_add %d\n", rc);
  return rc;
}

int id2entry_delete(Backend* be, Entry* e) {
  Debug(LDAP_DEBUG_TRACE, "=> id2entry_delete( %d, \"%s\" )\n", static_cast<int>(e->id), e->dn.c_str());
  DbHandle db(be, "id2entry", ldbm_open_flags(be));
  if (!db) {
    Debug(LDAP_DEBUG_ANY, "Could not open/create id2entry%s\n", kLdbmSuffix);
    return -1;
  }
  EntryID id = e->id;
  // The counter must not fall back below this ID after a power loss.
  next_id_sync(be);
  if (cache_remove_entry(backend_cache(be), e) != 0)
    Debug(LDAP_DEBUG_ANY, "could not delete %d (%s) from cache\n", static_cast<int>(id), e->dn.c_str());
  int rc = ldbm_cache_delete(db.get(), Datum{&id, sizeof id});
  Debug(LDAP_DEBUG_TRACE, "<= id2entry_delete %d\n", rc);
  return rc;
}

int id2entry_remove_record(Backend* be, EntryID id) {
  DbHandle db(be, "id2entry", ldbm_open_flags(be));
  return db ? ldbm_cache_delete(db.get(), Datum{&id, sizeof id}) : -1;
}

Entry* id2entry(Backend* be, EntryID id) {
  Debug(LDAP_DEBUG_TRACE, "=> id2entry( %ld )\n", static_cast<long>(id));
  EntryCache* cache = backend_cache(be);
  // A few rounds: when another thread caches the same entry between our
  // read and our add, and that copy is evicted again before we look it up,
  // the entry is read once more rather than reported missing.
  constexpr int kRounds = 3;
  for (int round = 0; round < kRounds; ++round) {
    if (Entry* e = cache_lookup_id(cache, id)) {
      Debug(LDAP_DEBUG_TRACE, "<= id2entry 0x%lx (cache)\n", reinterpret_cast<unsigned long>(e));
      return e;
    }
    DbHandle db(be, "id2entry", ldbm_read_flags(be));
    if (!db) {
      Debug(LDAP_DEBUG_ANY, "Could not open id2entry%s\n", kLdbmSuffix);
      return nullptr;
    }
    DbValue v = ldbm_cache_fetch(db.get(), Datum{&id, sizeof id});
    db.Close();
    if (!v) {
      Debug(LDAP_DEBUG_TRACE, "<= id2entry( %ld ) not found\n", static_cast<long>(id));
      return nullptr;
    }
    // The stored text ends with a NUL; never read past the record, whatever
    // it holds.
    const char* text = static_cast<const char*>(v.data());
    EntryPtr e = str2entry(std::string_view(text, strnlen(text, v.size())));
    if (!e) {
      Debug(LDAP_DEBUG_ANY, "id2entry( %ld ): stored entry text does not convert\n", static_cast<long>(id));
      return nullptr;
    }
    e->id = id;
    if (cache_add_entry_lock(cache, e.get(), ENTRY_STATE_READY) == 0) {
      Entry* r = e.release();
      Debug(LDAP_DEBUG_TRACE, "<= id2entry( %ld ) 0x%lx (disk)\n", static_cast<long>(id),
            reinterpret_cast<unsigned long>(r));
      return r;
    }
    // Another thread cached the same entry meanwhile (or an entry with the
    // same DN is cached, for instance one being created or deleted).
    e.reset();
    if (Entry* again = cache_lookup_id(cache, id)) {
      Debug(LDAP_DEBUG_TRACE, "<= id2entry 0x%lx (cache2)\n", reinterpret_cast<unsigned long>(again));
      return again;
    }
  }
  Debug(LDAP_DEBUG_TRACE, "<= id2entry not found\n");
  return nullptr;
}

}  // namespace kry
