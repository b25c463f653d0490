// Modify-DN: renames an entry in place.
#include <optional>

#include "back-ldbm/cache.h"
#include "back-ldbm/commit.h"
#include "back-ldbm/dn2id.h"
#include "back-ldbm/id2children.h"
#include "back-ldbm/index.h"
#include "back-ldbm/ops.h"
#include "back-ldbm/ops_common.h"
#include "cert/access.h"
#include "ldap/dn.h"
#include "ldap/result.h"
#include "log/trace.h"

namespace kry {

namespace {

// The DN the entry gets: the new RDN in front of the old parent.
std::string NewDn(const Backend* be, const std::string& dn, const std::string& newrdn) {
  std::optional<std::string> pdn = dn_get_parent(be, dn);
  if (!pdn) return dn_normalized(newrdn);
  std::string ndn = newrdn;
  if (dn_is_ldap_form(dn)) {
    ndn += ", ";
  } else {
    // A domain-style name: its parent follows the first "@", or the first
    // "." when it has no "@".
    const char sep = dn.find('@') != std::string::npos ? '@' : '.';
    if (ndn.empty() || (ndn.back() != '.' && ndn.back() != '@')) ndn += sep;
  }
  ndn += *pdn;
  return dn_normalized(ndn);
}

}  // namespace

int ldbm_back_modrdn(Backend* be, Connection* conn, Operation* op, const std::string& dn, const std::string& newrdn,
                     int /*deleteoldrdn*/) {
  MutexGuard update(ldbm_update_lock());
  std::optional<std::string> matched;
  Entry* e = entry_by_dn(be, dn, &matched);
  if (!e) {
    send_ldap_result(conn, op, LDAP_NO_SUCH_OBJECT, matched ? matched->c_str() : nullptr, nullptr);
    return -1;
  }
  auto finish = [&](int code) {
    send_ldap_result(conn, op, code, nullptr, nullptr);
    cache_return_entry(be, e);
    return code == LDAP_SUCCESS ? 0 : -1;
  };

  // Children keep the old DN in their own; renaming their parent would cut
  // them off from it. A rename changes what the entry is called, so it needs
  // the same access as deleting it.
  if (has_children(be, e)) return finish(LDAP_NOT_ALLOWED_ON_NONLEAF);
  if (!ldbm_access(be, conn, ACL_ALL)) return finish(LDAP_INSUFFICIENT_ACCESS);

  const std::string ndn = NewDn(be, dn, newrdn);
  if (ndn.empty() || dn2id(be, ndn) != NOID) return finish(LDAP_ALREADY_EXISTS);
  if (ldbm_abandoned(op)) {
    cache_return_entry(be, e);
    return -1;
  }

  if (dn2id_add(be, ndn, e->id) != 0) return finish(LDAP_OPERATIONS_ERROR);
  std::string oldKey = dn;
  if (dn2id_delete(be, oldKey) != 0) {
    std::string newKey = ndn;
    dn2id_delete(be, newKey);
    return finish(LDAP_OPERATIONS_ERROR);
  }
  EntryPtr renamed = entry_copy(*e);
  renamed->dn = ndn;
  if (ldbm_store_replacement(be, e, std::move(renamed)) != 0) {
    // Put the DN map back, so that the entry stays reachable by the name
    // its stored text still carries.
    dn2id_add(be, dn, e->id);
    std::string newKey = ndn;
    dn2id_delete(be, newKey);
    return finish(LDAP_OPERATIONS_ERROR);
  }
  // Searches by DN must find the new name; the old key stays behind like
  // every index key of a changed value, and the filter test skips it.
  index_add_values(be, "dn", {dn_normalized_upper(ndn)}, e->id);
  Debug(LDAP_DEBUG_ARGS, "ldbm_back_modrdn: \"%s\" is now \"%s\"\n", dn.c_str(), ndn.c_str());
  // Renames are rare: the sync may run under the update lock.
  if (ldbm_commit(be) != 0) return finish(ldbm_store_failed(op));
  return finish(LDAP_SUCCESS);
}

}  // namespace kry
