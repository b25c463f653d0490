// The compare request handler.
#include <string>

#include "back-ldbm/backend.h"
#include "ldap/ber.h"
#include "ldap/dispatch.h"
#include "ldap/dn.h"
#include "ldap/entry.h"
#include "ldap/operation.h"
#include "ldap/request_backend.h"
#include "ldap/result.h"
#include "ldap/syntax.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "runtime/connection.h"

namespace kry {

void do_compare(Connection* conn, Operation* op) {
  Debug(LDAP_DEBUG_TRACE, "do_compare\n");
  std::string dn;
  Ava ava;
  BerValue value;
  if (ber_scanf(op->o_ber.get(), "{a{ao}}", &dn, &ava.type, &value) == -1) {
    Debug(LDAP_DEBUG_ANY, "ber_scanf failed\n");
    send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "");
    return;
  }
  // The backend compares canonical stored values with this one as it is.
  ava.value = std::move(value.bv_val);
  value_canonicalize(ava.value, attr_syntax_of(ava.type));
  dn_normalize(dn);
  Debug(LDAP_DEBUG_ARGS, "do_compare: dn (%s) attr (%s) value (%s)\n", dn.c_str(), ava.type.c_str(),
        ava.value.c_str());
  op->o_logDetail.dn = dn;
  LogError(EVENTLOG_VERBOSE, "conn=%d op=%d CMP dn=%s attr = %s.", static_cast<int>(conn->c_connid), op->o_opid,
           dn.c_str(), ava.type.c_str());
  if (Backend* be = request_backend(conn, op, dn, &BackendOps::compare)) be->ops.compare(be, conn, op, dn, ava);
}

}  // namespace kry
