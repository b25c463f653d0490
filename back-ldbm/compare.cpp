// Compare of one attribute value.
#include <optional>

#include "back-ldbm/cache.h"
#include "back-ldbm/dn2id.h"
#include "back-ldbm/ops.h"
#include "back-ldbm/ops_common.h"
#include "cert/access.h"
#include "ldap/result.h"
#include "ldap/syntax.h"

namespace kry {

int ldbm_back_compare(Backend* be, Connection* conn, Operation* op, const std::string& dn, const Ava& ava) {
  std::optional<std::string> matched;
  Entry* e = entry_by_dn(be, dn, &matched);
  if (!e) {
    send_ldap_result(conn, op, LDAP_NO_SUCH_OBJECT, matched ? matched->c_str() : nullptr, nullptr);
    return 1;
  }
  int rc = 1;
  if (!ldbm_access(be, conn, ACL_COMPARE)) {
    send_ldap_result(conn, op, LDAP_INSUFFICIENT_ACCESS, nullptr, nullptr);
  } else if (const Attribute* a = attr_lookup(e, ava.type); !a) {
    send_ldap_result(conn, op, LDAP_NO_SUCH_ATTRIBUTE, nullptr, nullptr);
  } else {
    // The assertion arrives canonical; only the stored values need it.
    bool present = value_lookup(a->values, ava.value, a->syntax, VALUE_CANON_A) == 0;
    send_ldap_result(conn, op, present ? LDAP_COMPARE_TRUE : LDAP_COMPARE_FALSE, nullptr, nullptr);
    rc = 0;
  }
  cache_return_entry(be, e);
  return rc;
}

}  // namespace kry
