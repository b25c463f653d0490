#include "back-ldbm/id2children.h"

#include "back-ldbm/dbcache.h"
#include "back-ldbm/idlist.h"
#include "back-ldbm/ldbm.h"
#include "log/trace.h"

namespace kry {

std::string id2children_key(EntryID parent) { return "=" + std::to_string(parent); }

int id2children_add(Backend* be, const Entry* parent, const Entry* child) {
  const EntryID pid = parent ? parent->id : 0;
  Debug(LDAP_DEBUG_TRACE, "=> id2children_add( %d, %d )\n", static_cast<int>(pid), static_cast<int>(child->id));
  DbHandle db(be, "id2children", ldbm_open_flags(be));
  if (!db) {
    Debug(LDAP_DEBUG_TRACE, "<= id2children_add -1 could not open \"id2children%s\"\n", kLdbmSuffix);
    return -1;
  }
  if (idl_insert(be, db.get(), id2children_key(pid), child->id) != 0) {
    Debug(LDAP_DEBUG_TRACE, "<= id2children_add -1 (idl_insert)\n");
    return -1;
  }
  Debug(LDAP_DEBUG_TRACE, "<= id2children_add 0\n");
  return 0;
}

int id2children_remove(Backend* be, const Entry* parent, const Entry* child) {
  const EntryID pid = parent ? parent->id : 0;
  Debug(LDAP_DEBUG_TRACE, "=> id2children_remove( %lu, %lu )\n", static_cast<unsigned long>(pid),
        static_cast<unsigned long>(child->id));
  DbHandle db(be, "id2children", DB_CREATE);
  if (!db) {
    Debug(LDAP_DEBUG_TRACE, "<= id2children_remove -1 could not open \"id2children%s\"\n", kLdbmSuffix);
    return -1;
  }
  if (idl_delete(be, db.get(), id2children_key(pid), child->id) != 0) {
    Debug(LDAP_DEBUG_TRACE, "<= id2children_remove -1 (idl_delete)\n");
    return -1;
  }
  Debug(LDAP_DEBUG_TRACE, "<= id2children_remove 0\n");
  return 0;
}

int has_children(Backend* be, const Entry* e) {
  Debug(LDAP_DEBUG_TRACE, "=> has_children( %lu )\n", static_cast<unsigned long>(e->id));
  DbHandle db(be, "id2children", ldbm_read_flags(be));
  if (!db) {
    Debug(LDAP_DEBUG_TRACE, "<= has_children -1 could not open \"id2children%s\"\n", kLdbmSuffix);
    return 0;
  }
  IDListPtr l = idl_fetch(be, db.get(), id2children_key(e->id));
  const int rc = l ? 1 : 0;
  Debug(LDAP_DEBUG_TRACE, "<= has_children( %lu ): %s\n", static_cast<unsigned long>(e->id), rc ? "yes" : "no");
  return rc;
}

int id2children_delete_all(Backend* be, const Entry* e) {
  Debug(LDAP_DEBUG_TRACE, "=> id2children_delete_all( \"%s\" )\n", e->dn.c_str());
  DbHandle db(be, "id2children", ldbm_open_flags(be));
  if (!db) {
    Debug(LDAP_DEBUG_TRACE, "<= id2children_delete_all could not open id2children%s\n", kLdbmSuffix);
    return -1;
  }
  std::string key = id2children_key(e->id);
  int rc = ldbm_cache_delete(db.get(), TextKey(key));
  Debug(LDAP_DEBUG_TRACE, "<= id2children_delete_all %d\n", rc);
  return rc;
}

}  // namespace kry
