#include "back-ldbm/dn2id.h"

#include <cstring>

#include "back-ldbm/cache.h"
#include "back-ldbm/dbcache.h"
#include "back-ldbm/id2entry.h"
#include "back-ldbm/ldbm.h"
#include "ldap/dn.h"
#include "log/trace.h"

namespace kry {

int dn2id_add(Backend* be, const std::string& dn, EntryID id) {
  Debug(LDAP_DEBUG_TRACE, "=> dn2id_add( \"%s\", %ld )\n", dn.c_str(), static_cast<long>(id));
  DbHandle db(be, "dn2id", ldbm_open_flags(be));
  if (!db) {
    Debug(LDAP_DEBUG_ANY, "Could not open/create dn2id%s\n", kLdbmSuffix);
    return -1;
  }
  std::string key = dn_normalized_upper(dn);
  int rc = ldbm_cache_store(db.get(), TextKey(key), Datum{&id, sizeof id}, DB_NOOVERWRITE);
  Debug(LDAP_DEBUG_TRACE, "<= dn2id_add %d\n", rc);
  return rc;
}

namespace {

// The ID stored under a normalized DN, or NOID.
EntryID StoredId(Backend* be, const std::string& key) {
  DbHandle db(be, "dn2id", ldbm_read_flags(be));
  if (!db) {
    Debug(LDAP_DEBUG_TRACE, "<= dn2id could not open dn2id%s\n", kLdbmSuffix);
    return NOID;
  }
  DbValue v = ldbm_cache_fetch(db.get(), TextKey(key));
  db.Close();
  if (!v || v.size() != sizeof(EntryID)) {
    if (v) Debug(LDAP_DEBUG_ANY, "dn2id: damaged record for \"%s\" (%u bytes)\n", key.c_str(), v.size());
    Debug(LDAP_DEBUG_TRACE, "<= dn2id NOID\n");
    return NOID;
  }
  EntryID id;
  std::memcpy(&id, v.data(), sizeof id);
  Debug(LDAP_DEBUG_TRACE, "<= dn2id %d\n", static_cast<int>(id));
  return id;
}

}  // namespace

EntryID dn2id(Backend* be, const std::string& dn) {
  Debug(LDAP_DEBUG_TRACE, "=> dn2id( \"%s\" )\n", dn.c_str());
  std::string key = dn_normalized_upper(dn);
  if (Entry* e = cache_lookup_dn(backend_cache(be), key)) {
    EntryID id = e->id;
    cache_return_entry(be, e);
    Debug(LDAP_DEBUG_TRACE, "<= dn2id %d (in cache)\n", static_cast<int>(id));
    return id;
  }
  return StoredId(be, key);
}

int dn2id_delete(Backend* be, std::string& dn) {
  Debug(LDAP_DEBUG_TRACE, "=> dn2id_delete( \"%s\" )\n", dn.c_str());
  DbHandle db(be, "dn2id", ldbm_open_flags(be));
  if (!db) {
    Debug(LDAP_DEBUG_TRACE, "<= dn2id_delete could not open dn2id%s\n", kLdbmSuffix);
    return -1;
  }
  dn_normalize_upper(dn);
  int rc = ldbm_cache_delete(db.get(), TextKey(dn));
  Debug(LDAP_DEBUG_TRACE, "<= dn2id_delete %d\n", rc);
  return rc;
}

Entry* entry_by_dn(Backend* be, const std::string& dn, std::optional<std::string>* matched) {
  if (matched) matched->reset();
  // A cached entry is taken at once; looking its ID up first would cost
  // two more trips through the cache's lock.
  std::string key = dn_normalized_upper(dn);
  if (Entry* e = cache_lookup_dn(backend_cache(be), key)) return e;
  EntryID id = StoredId(be, key);
  if (id == NOID) return nullptr;
  return id2entry(be, id);
}

}  // namespace kry
