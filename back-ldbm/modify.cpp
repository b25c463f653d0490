// Modify: the value-level changes and both modify variants.
#include <optional>

#include "back-ldbm/cache.h"
#include "back-ldbm/dbcache.h"
#include "back-ldbm/dn2id.h"
#include "back-ldbm/id2entry.h"
#include "back-ldbm/index.h"
#include "back-ldbm/ops.h"
#include "back-ldbm/ops_common.h"
#include "cert/access.h"
#include "cert/keydigests.h"
#include "ldap/result.h"
#include "ldap/syntax.h"
#include "log/trace.h"
#include "util/strutil.h"
#include "runtime/connection.h"

namespace kry {

// 20 when a new value equals one already there (by the attribute's syntax,
// both sides canonical), else the values join the attribute (created when
// absent).
int mod_add_values(Entry* e, const Modification& mod) {
  if (const Attribute* a = attr_lookup(e, mod.type)) {
    for (const std::string& v : mod.values)
      if (value_lookup(a->values, v, a->syntax, VALUE_CANON_A | VALUE_CANON_B) == 0)
        return kLdapValueExists;
  }
  if (attr_merge(e, mod.type, mod.values) != 0) return kLdapConstraintViolation;
  return LDAP_SUCCESS;
}

// Without values the whole attribute goes; with values every one must be
// present. 16 for a missing attribute or value.
int mod_delete_values(Entry* e, const Modification& mod) {
  if (mod.values.empty()) {
    Debug(LDAP_DEBUG_ARGS, "removing entire attribute %s\n", mod.type.c_str());
    if (attr_remove(e, mod.type) != 0) {
      Debug(LDAP_DEBUG_ARGS, "could not find attribute %s\n", mod.type.c_str());
      return LDAP_NO_SUCH_ATTRIBUTE;
    }
    return LDAP_SUCCESS;
  }
  Attribute* a = attr_lookup(e, mod.type);
  if (!a) {
    Debug(LDAP_DEBUG_ARGS, "could not find attribute %s\n", mod.type.c_str());
    return LDAP_NO_SUCH_ATTRIBUTE;
  }
  for (const std::string& v : mod.values) {
    auto it = a->values.begin();
    while (it != a->values.end() && value_compare(*it, v, a->syntax, VALUE_CANON_A | VALUE_CANON_B) != 0) ++it;
    if (it == a->values.end()) {
      Debug(LDAP_DEBUG_ARGS, "could not find value for attr %s\n", mod.type.c_str());
      return LDAP_NO_SUCH_ATTRIBUTE;
    }
    a->values.erase(it);
  }
  return LDAP_SUCCESS;
}

int mod_replace_values(Entry* e, const Modification& mod) {
  attr_remove(e, mod.type);
  if (attr_merge(e, mod.type, mod.values) != 0) return kLdapConstraintViolation;
  return LDAP_SUCCESS;
}

namespace {

constexpr int kAbandoned = -1;

// index_add_modifications, except that a certificate's digest is indexed
// from its key block (below), never from a value a client sent.
int IndexModifications(Backend* be, const std::vector<Modification>& mods, EntryID id, bool certificate) {
  if (!certificate) return index_add_modifications(be, mods, id);
  for (const auto& m : mods) {
    const int op = m.op & ~MOD_OP_BVALUES;
    if ((op != MOD_OP_ADD && op != MOD_OP_REPLACE) || StrIEquals(m.type, kKeyDigestAttr)) continue;
    if (int rc = index_add_values(be, m.type, m.values, id)) return rc;
  }
  return 0;
}

// Applies mods to a copy of `current` and stores it in its place. Caller
// holds the update lock and a reference to `current`.
int ApplyAndStore(Backend* be, Operation* op, Entry* current, const std::vector<Modification>& mods) {
  EntryPtr changed = entry_copy(*current);
  for (const auto& m : mods) {
    int rc = LDAP_SUCCESS;
    switch (m.op & ~MOD_OP_BVALUES) {
      case MOD_OP_ADD: rc = mod_add_values(changed.get(), m); break;
      case MOD_OP_DELETE: rc = mod_delete_values(changed.get(), m); break;
      case MOD_OP_REPLACE: rc = mod_replace_values(changed.get(), m); break;
      default: break;
    }
    if (rc != LDAP_SUCCESS) return rc;
  }
  entry_drop_empty_attrs(changed.get());
  // A changed key block brings its new digest in the same write.
  const std::string before = KeyDigestOf(current);
  const std::string after = StampKeyDigest(changed.get());

  if (ldbm_abandoned(op)) return kAbandoned;
  if (IndexModifications(be, mods, current->id, IsCertificateEntry(changed.get())) != 0)
    return ldbm_store_failed(op);
  // The new digest is indexed before the entry is written, as an add's keys
  // are; a write that does not happen takes it back, so that the index
  // names only digests that entries hold.
  const bool newDigest = after != before && !after.empty();
  const EntryID id = current->id;
  int rc = LDAP_SUCCESS;
  if (newDigest && index_add_values(be, kKeyDigestAttr, {after}, id) != 0) rc = ldbm_store_failed(op);
  else if (ldbm_abandoned(op)) rc = kAbandoned;
  else if (ldbm_store_replacement(be, current, std::move(changed)) != 0) rc = ldbm_store_failed(op);
  if (rc != LDAP_SUCCESS) {
    if (newDigest) DropKeyDigestRecord(be, id, after);
    return rc;
  }
  ldbm_note_update_stored(be);
  KeyDigestChanged(be, id, before, after);
  return LDAP_SUCCESS;
}

// The steps both variants share, on an entry the caller holds a reference
// to. The modifications are applied to a private copy, so a refused or
// failed modify leaves the cached entry and the disk as they were, and
// readers never see an entry change under them. Returns the LDAP result, or
// kAbandoned. Takes the update lock.
int ModifyEntry(Backend* be, Connection* conn, Operation* op, Entry* e, const std::vector<Modification>& mods,
                bool keyAdd) {
  std::vector<std::string> types;
  types.reserve(mods.size());
  for (const auto& m : mods) types.push_back(m.type);
  const char* host = ConnectionHostName(conn);
  if (int rc = acl_check_mods(be, conn ? conn->c_addr.c_str() : nullptr, host, types, keyAdd)) return rc;

  // Work on the entry as it is now: another change may have replaced the
  // copy the caller found before we got the lock.
  MutexGuard update(ldbm_update_lock());
  Entry* current = id2entry(be, e->id);
  if (!current) return LDAP_NO_SUCH_OBJECT;
  int rc = ApplyAndStore(be, op, current, mods);
  cache_return_entry(be, current);
  return rc;
}

}  // namespace

int ldbm_back_modify(Backend* be, Connection* conn, Operation* op, const std::string& dn,
                     std::vector<Modification>& mods) {
  std::optional<std::string> matched;
  Entry* e = entry_by_dn(be, dn, &matched);
  if (!e) {
    send_ldap_result(conn, op, LDAP_NO_SUCH_OBJECT, matched ? matched->c_str() : nullptr, nullptr);
    return -1;
  }
  int rc = ModifyEntry(be, conn, op, e, mods, false);
  if (rc != kAbandoned) send_ldap_result(conn, op, rc, nullptr, nullptr);
  cache_return_entry(be, e);
  return rc == LDAP_SUCCESS ? 0 : -1;
}

int modify_internal(Backend* be, Connection* conn, Operation* op, const std::string& dn, Entry* e,
                    std::vector<Modification>& mods, int* err, std::string* matched) {
  *err = LDAP_SUCCESS;
  if (matched) matched->clear();
  if (!e) {
    std::optional<std::string> m;
    e = entry_by_dn(be, dn, &m);
    if (!e) {
      *err = LDAP_NO_SUCH_OBJECT;
      if (matched && m) *matched = *m;
      return -1;
    }
  }
  int rc = ModifyEntry(be, conn, op, e, mods, true);
  cache_return_entry(be, e);
  if (rc == kAbandoned) return -1;
  *err = rc;
  return rc == LDAP_SUCCESS ? 0 : -1;
}

}  // namespace kry
