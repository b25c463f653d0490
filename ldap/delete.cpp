// The delete request handler.
#include <string>

#include "back-ldbm/backend.h"
#include "ldap/ber.h"
#include "ldap/dispatch.h"
#include "ldap/dn.h"
#include "ldap/operation.h"
#include "ldap/request_backend.h"
#include "ldap/result.h"
#include "log/trace.h"
#include "runtime/connection.h"

namespace kry {

void do_delete(Connection* conn, Operation* op) {
  Debug(LDAP_DEBUG_TRACE, "do_delete\n");
  std::string dn;
  if (ber_scanf(op->o_ber.get(), "a", &dn) == -1) {
    Debug(LDAP_DEBUG_ANY, "ber_scanf failed\n");
    send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "");
    return;
  }
  dn_normalize(dn);
  Debug(LDAP_DEBUG_ARGS, "do_delete: dn (%s)\n", dn.c_str());
  Debug(LDAP_DEBUG_STATS, "DEL dn=\"%s\"\n", dn.c_str());
  op->o_logDetail.dn = dn;
  if (Backend* be = request_backend(conn, op, dn, &BackendOps::del)) be->ops.del(be, conn, op, dn);
}

}  // namespace kry
