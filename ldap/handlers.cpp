// The search request handler's decoding, answered as a server without a
// search backend answers, until the search module takes it over.
#include <string>
#include <vector>

#include "ldap/ber.h"
#include "ldap/dispatch.h"
#include "ldap/dn.h"
#include "ldap/operation.h"
#include "ldap/result.h"
#include "log/trace.h"

namespace kry {

void do_search(Connection* conn, Operation* op) {
  Debug(LDAP_DEBUG_TRACE, "do_search\n");
  BerBuffer* ber = op->o_ber.get();
  std::string base;
  int scope = 0, deref = 0, sizelimit = 0, timelimit = 0, attrsonly = 0;
  std::vector<std::string> attrs;
  if (ber_scanf(ber, "{aiiiib", &base, &scope, &deref, &sizelimit, &timelimit, &attrsonly) == -1 ||
      ber_scanf(ber, "x") == -1 || ber_scanf(ber, "{v}}", &attrs) == -1) {
    Debug(LDAP_DEBUG_ANY, "ber_scanf failed\n");
    send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "");
    return;
  }
  dn_normalize(base);
  op->o_logDetail.dn = base;
  send_search_result(conn, op, LDAP_PARTIAL_RESULTS, nullptr, "", 0);
}

}  // namespace kry
