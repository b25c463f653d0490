// The search request handler: decodes the request, answers the two
// server-made bases itself and hands every other search to the backend.
#include <string>
#include <vector>

#include "ldap/ber.h"
#include "ldap/dispatch.h"
#include "ldap/dn.h"
#include "ldap/entry.h"
#include "ldap/filter.h"
#include "ldap/monitor.h"
#include "ldap/operation.h"
#include "ldap/request_backend.h"
#include "ldap/result.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "runtime/connection.h"
#include "util/strutil.h"

namespace kry {

void do_search(Connection* conn, Operation* op) {
  Debug(LDAP_DEBUG_TRACE, "do_search\n");
  BerBuffer* ber = op->o_ber.get();
  std::string base;
  int scope = 0, deref = 0, sizelimit = 0, timelimit = 0, attrsonly = 0;
  if (ber_scanf(ber, "{aiiiib", &base, &scope, &deref, &sizelimit, &timelimit, &attrsonly) == -1) {
    send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "");
    return;
  }
  if (scope < 0 || scope > 2) {
    send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "Unknown search scope");
    return;
  }
  dn_normalize(base);
  Debug(LDAP_DEBUG_ARGS, "SRCH \"%s\" %d %d", base.c_str(), scope, deref);
  Debug(LDAP_DEBUG_ARGS, "    %d %d %d\n", sizelimit, timelimit, attrsonly);

  FilterPtr filter;
  std::string filterString;
  if (int err = get_filter(conn, ber, &filter, &filterString)) {
    send_ldap_result(conn, op, err, nullptr, "Bad search filter");
    return;
  }
  Debug(LDAP_DEBUG_ARGS, "    filter: %s\n", filterString.c_str());
  op->o_logDetail.dn = filterString;

  std::vector<std::string> attrs;
  if (ber_scanf(ber, "{v}}", &attrs) == -1) {
    send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "");
    return;
  }
  Debug(LDAP_DEBUG_ARGS, "    attrs:");
  for (std::string& a : attrs) {
    type_lowercase(a);
    Debug(LDAP_DEBUG_ARGS, " %s", a.c_str());
  }
  Debug(LDAP_DEBUG_ARGS, "\n");
  LogError(EVENTLOG_VERBOSE, "conn=%d op=%d SRCH base=%s scope=%d filter=%s.", static_cast<int>(conn->c_connid),
           op->o_opid, base.c_str(), scope, filterString.c_str());

  if (scope == 0 && StrIEquals(base, "CN=KRYSERVERINFO")) {
    SendServerInfo(conn, op);
    return;
  }
  if (scope == 0 && StrIEquals(base, "cn=monitor")) {
    SendMonitor(conn, op);
    return;
  }
  Backend* be = request_backend(conn, op, base, &BackendOps::search);
  if (!be) return;
  be->ops.search(be, conn, op, base, scope, deref, sizelimit, timelimit, filter.get(), filterString,
                 attrs.empty() ? nullptr : &attrs, attrsonly);
}

}  // namespace kry
