// The modify-DN request handler.
#include <string>

#include "back-ldbm/backend.h"
#include "ldap/ber.h"
#include "ldap/dispatch.h"
#include "ldap/dn.h"
#include "ldap/operation.h"
#include "ldap/request_backend.h"
#include "ldap/result.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "runtime/connection.h"

namespace kry {

void do_modrdn(Connection* conn, Operation* op) {
  Debug(LDAP_DEBUG_TRACE, "do_modrdn\n");
  std::string dn, newrdn;
  int deleteOld = 0;
  if (ber_scanf(op->o_ber.get(), "{aab}", &dn, &newrdn, &deleteOld) == -1) {
    Debug(LDAP_DEBUG_ANY, "ber_scanf failed\n");
    send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "");
    return;
  }
  dn_normalize(dn);
  Debug(LDAP_DEBUG_ARGS, "do_modrdn: dn (%s) newrdn (%s) deloldrdn (%d)\n", dn.c_str(), newrdn.c_str(), deleteOld);
  op->o_logDetail.dn = dn;
  LogError(EVENTLOG_VERBOSE, "conn=%d op=%d MODRDN dn=%s.", static_cast<int>(conn->c_connid), op->o_opid,
           dn.c_str());
  if (Backend* be = request_backend(conn, op, dn, &BackendOps::modrdn))
    be->ops.modrdn(be, conn, op, dn, newrdn, deleteOld);
}

}  // namespace kry
