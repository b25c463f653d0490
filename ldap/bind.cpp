// The bind request handler.
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
#include "runtime/globals.h"

namespace kry {

namespace {
constexpr ber_tag_t kAuthSimple = 0x80;
constexpr ber_tag_t kAuthSimpleV30 = 0xA0;  // how the 3.0 framing tags a simple bind
constexpr int kVersion30 = 30;
}  // namespace

void do_bind(Connection* conn, Operation* op) {
  Debug(LDAP_DEBUG_TRACE, "do_bind\n");
  BerBuffer* ber = op->o_ber.get();

  // The old version-3.0 framing wraps the bind in an extra SEQUENCE: look
  // past the request's own header without consuming it.
  size_t saved = ber->current;
  ber_len_t len = 0;
  bool v30 = ber_read_header(ber, &len) != LBER_DEFAULT && ber_peek_header(ber, &len) == LBER_SEQUENCE;
  ber->current = saved;

  int version = 0;
  std::string dn;
  ber_tag_t method = 0;
  BerValue cred;
  int rc;
  if (v30) {
    Debug(LDAP_DEBUG_ANY, "version 3.0 detected\n");
    conn->c_version = kVersion30;
    rc = ber_scanf(ber, "{{iato}}", &version, &dn, &method, &cred);
  } else {
    rc = ber_scanf(ber, "{iato}", &version, &dn, &method, &cred);
  }
  if (rc == -1) {
    Debug(LDAP_DEBUG_ANY, "ber_scanf failed\n");
    send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "decoding error");
    return;
  }
  if (conn->c_version.load() == kVersion30 && method == kAuthSimpleV30) method = kAuthSimple;
  dn_normalize(dn);
  op->o_logDetail.dn = dn;
  LogError(EVENTLOG_VERBOSE, "conn=%d op=%d BIND dn=%s method=%d.", static_cast<int>(conn->c_connid), op->o_opid,
           dn.c_str(), static_cast<int>(method));
  if (version != 2) {
    Debug(LDAP_DEBUG_ANY, "unknown version %d\n", version);
    send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "version not supported");
    return;
  }
  Debug(LDAP_DEBUG_TRACE, "do_bind: version %d dn (%s) method %d\n", version, dn.c_str(), static_cast<int>(method));

  // Anonymous: success, and whatever the connection was bound as stays.
  if (dn.empty()) {
    send_ldap_result(conn, op, LDAP_SUCCESS, nullptr, nullptr);
    return;
  }
  Backend* be = g_globals ? backend_select(g_globals->backends, dn.c_str()) : nullptr;
  if (!be) {
    send_ldap_result(conn, op, cred.empty() ? LDAP_SUCCESS : LDAP_PARTIAL_RESULTS, nullptr, "");
    return;
  }
  if (!be->ops.bind) {
    send_ldap_result(conn, op, LDAP_UNWILLING_TO_PERFORM, nullptr, kFunctionNotImplemented);
    return;
  }
  if (be->ops.bind(be, conn, op, dn, static_cast<int>(method), cred.bv_val) == 0) {
    {
      MutexGuard g(conn->c_dnmutex);
      conn->c_dn = dn;
      conn->c_bound = true;
    }
    send_ldap_result(conn, op, LDAP_SUCCESS, nullptr, nullptr);
  }
}

}  // namespace kry
