// Delete of leaf entries.
#include <optional>

#include "back-ldbm/cache.h"
#include "back-ldbm/dn2id.h"
#include "back-ldbm/id2children.h"
#include "back-ldbm/id2entry.h"
#include "back-ldbm/ops.h"
#include "back-ldbm/ops_common.h"
#include "cert/access.h"
#include "cert/keydigests.h"
#include "ldap/dn.h"
#include "ldap/result.h"
#include "log/trace.h"

namespace kry {

int ldbm_back_delete(Backend* be, Connection* conn, Operation* op, const std::string& dn) {
  Debug(LDAP_DEBUG_ARGS, "==> ldbm_back_delete: %s\n", dn.c_str());
  MutexGuard update(ldbm_update_lock());
  std::optional<std::string> matched;
  Entry* e = entry_by_dn(be, dn, &matched);
  if (!e) {
    Debug(LDAP_DEBUG_ARGS, "<=- ldbm_back_delete: no such object %s\n", dn.c_str());
    send_ldap_result(conn, op, LDAP_NO_SUCH_OBJECT, matched ? matched->c_str() : nullptr, nullptr);
    return -1;
  }

  int rc = -1;
  Entry* parent = nullptr;
  if (has_children(be, e)) {
    Debug(LDAP_DEBUG_ARGS, "<=- ldbm_back_delete: non leaf %s\n", dn.c_str());
    send_ldap_result(conn, op, LDAP_NOT_ALLOWED_ON_NONLEAF, nullptr, nullptr);
  } else if (!ldbm_access(be, conn, ACL_ALL)) {
    Debug(LDAP_DEBUG_ARGS, "<=- ldbm_back_delete: insufficient access %s\n", dn.c_str());
    send_ldap_result(conn, op, LDAP_INSUFFICIENT_ACCESS, nullptr, nullptr);
  } else {
    bool parentOk = false;
    if (std::optional<std::string> pdn = dn_get_parent(be, e->dn)) {
      std::optional<std::string> pmatched;
      parent = entry_by_dn(be, *pdn, &pmatched);
      if (!parent) {
        Debug(LDAP_DEBUG_ARGS, "<=- ldbm_back_delete: parent does not exist\n");
        send_ldap_result(conn, op, LDAP_OPERATIONS_ERROR, nullptr, nullptr);
      } else if (!ldbm_access(be, conn, ACL_ALL)) {
        Debug(LDAP_DEBUG_ARGS, "<=- ldbm_back_delete: no access to parent\n");
        send_ldap_result(conn, op, LDAP_INSUFFICIENT_ACCESS, nullptr, nullptr);
      } else {
        parentOk = true;
      }
    } else {
      // Entries at the top belong to the root user, which this server lacks.
      Debug(LDAP_DEBUG_ARGS, "<=- ldbm_back_delete: no parent & not root\n");
      send_ldap_result(conn, op, LDAP_INSUFFICIENT_ACCESS, nullptr, nullptr);
    }
    if (parentOk) {
      std::string key = e->dn;
      if (id2children_remove(be, parent, e) != 0 || dn2id_delete(be, key) != 0 || id2entry_delete(be, e) != 0) {
        Debug(LDAP_DEBUG_ARGS, "<=- ldbm_back_delete: operations error %s\n", dn.c_str());
        send_ldap_result(conn, op, LDAP_OPERATIONS_ERROR, nullptr, nullptr);
      } else {
        KeyDigestChanged(be, e->id, KeyDigestOf(e), std::string());
        send_ldap_result(conn, op, LDAP_SUCCESS, nullptr, nullptr);
        rc = 0;
      }
    }
  }
  if (parent) cache_return_entry(be, parent);
  cache_return_entry(be, e);
  return rc;
}

}  // namespace kry
