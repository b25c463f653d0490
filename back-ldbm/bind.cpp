// Simple bind against the entry's "userpassword".
#include <optional>

#include "back-ldbm/cache.h"
#include "back-ldbm/dn2id.h"
#include "back-ldbm/ops.h"
#include "ldap/result.h"
#include "ldap/syntax.h"

namespace kry {

namespace {
constexpr int kAuthSimple = 0x80;

// Passwords compare byte for byte. "userpassword" has the default
// case-ignore syntax unless configured otherwise, and comparing by it would
// accept "SECRET" for "secret"; a configured binary or case-exact syntax is
// already exact.
int PasswordSyntax(int syntax) { return (syntax & (SYNTAX_BIN | SYNTAX_CES)) ? syntax : SYNTAX_CES; }
}  // namespace

int ldbm_back_bind(Backend* be, Connection* conn, Operation* op, const std::string& dn, int method,
                   const std::string& cred) {
  std::optional<std::string> matched;
  Entry* e = entry_by_dn(be, dn, &matched);
  const char* m = matched ? matched->c_str() : nullptr;
  int rc = 1;
  if (method != kAuthSimple) {
    if (e)
      send_ldap_result(conn, op, LDAP_STRONG_AUTH_NOT_SUPPORTED, nullptr, "auth method not supported");
    else
      send_ldap_result(conn, op, LDAP_NO_SUCH_OBJECT, m, nullptr);
  } else if (cred.empty()) {
    // An unauthenticated simple bind: it proves nothing and binds as nobody.
    send_ldap_result(conn, op, LDAP_SUCCESS, nullptr, nullptr);
  } else if (!e) {
    send_ldap_result(conn, op, LDAP_NO_SUCH_OBJECT, m, nullptr);
  } else if (const Attribute* pw = attr_lookup(e, "userpassword"); !pw) {
    send_ldap_result(conn, op, LDAP_INAPPROPRIATE_AUTH, nullptr, nullptr);
  } else if (value_lookup(pw->values, cred, PasswordSyntax(pw->syntax), 0) == 0) {
    rc = 0;
  } else {
    send_ldap_result(conn, op, LDAP_INVALID_CREDENTIALS, nullptr, nullptr);
  }
  if (e) cache_return_entry(be, e);
  return rc;
}

}  // namespace kry
