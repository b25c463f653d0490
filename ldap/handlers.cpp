// Request handlers: decoding and checks of each request, then the hand-off
// to the backend. The backend operations (bind, compare, delete, modify,
// modify-DN, search, add) are not part of this build: once a request has
// been decoded it is answered as a server without an open backend answers.
#include <string>
#include <vector>

#include "ldap/ber.h"
#include "ldap/dispatch.h"
#include "ldap/dn.h"
#include "ldap/operation.h"
#include "ldap/result.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "runtime/connection.h"
#include "runtime/globals.h"

namespace kry {

void do_bind(Connection* conn, Operation* op) {
  Debug(LDAP_DEBUG_TRACE, "do_bind\n");
  BerBuffer* ber = op->o_ber.get();

  // The old version-3.0 framing wraps the bind in an extra SEQUENCE.
  size_t saved = ber->current;
  ber_len_t len = 0;
  bool v30 = false;
  if (ber_read_header(ber, &len) != LBER_DEFAULT && ber_peek_header(ber, &len) == LBER_SEQUENCE) v30 = true;
  ber->current = saved;

  int version = 0;
  std::string dn;
  ber_tag_t method = 0;
  BerValue cred;
  int rc;
  if (v30) {
    Debug(LDAP_DEBUG_ANY, "version 3.0 detected\n");
    conn->c_version = 30;
    rc = ber_scanf(ber, "{{iato}}", &version, &dn, &method, &cred);
  } else {
    rc = ber_scanf(ber, "{iato}", &version, &dn, &method, &cred);
  }
  if (rc == -1) {
    Debug(LDAP_DEBUG_ANY, "ber_scanf failed\n");
    send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "decoding error");
    return;
  }
  if (conn->c_version.load() == 30 && method == 0xA0) method = 0x80;
  dn_normalize(dn);
  LogError(EVENTLOG_VERBOSE, "conn=%d op=%d BIND dn=%s method=%d.", static_cast<int>(conn->c_connid), op->o_opid,
           dn.c_str(), static_cast<int>(method));
  if (version != 2) {
    Debug(LDAP_DEBUG_ANY, "unknown version %d\n", version);
    send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "version not supported");
    return;
  }
  Debug(LDAP_DEBUG_TRACE, "do_bind: version %d dn (%s) method %d\n", version, dn.c_str(), static_cast<int>(method));
  if (dn.empty()) {
    send_ldap_result(conn, op, LDAP_SUCCESS, nullptr, nullptr);
    return;
  }
  send_ldap_result(conn, op, cred.empty() ? LDAP_SUCCESS : LDAP_PARTIAL_RESULTS, nullptr, nullptr);
}

void do_compare(Connection* conn, Operation* op) {
  Debug(LDAP_DEBUG_TRACE, "do_compare\n");
  std::string dn, type;
  BerValue value;
  if (ber_scanf(op->o_ber.get(), "{a{ao}}", &dn, &type, &value) == -1) {
    Debug(LDAP_DEBUG_ANY, "ber_scanf failed\n");
    send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "");
    return;
  }
  dn_normalize(dn);
  Debug(LDAP_DEBUG_ARGS, "do_compare: dn (%s) attr (%s) value (%s)\n", dn.c_str(), type.c_str(), value.data());
  op->o_logDetail.dn = dn;
  LogError(EVENTLOG_VERBOSE, "conn=%d op=%d CMP dn=%s attr = %s.", static_cast<int>(conn->c_connid), op->o_opid,
           dn.c_str(), type.c_str());
  send_ldap_result(conn, op, LDAP_PARTIAL_RESULTS, nullptr, "");
}

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
  send_ldap_result(conn, op, LDAP_PARTIAL_RESULTS, nullptr, "");
}

void do_modify(Connection* conn, Operation* op) {
  Debug(LDAP_DEBUG_TRACE, "do_modify\n");
  BerBuffer* ber = op->o_ber.get();
  std::string dn;
  if (ber_scanf(ber, "{a", &dn) == -1) {
    Debug(LDAP_DEBUG_ANY, "ber_scanf failed\n");
    send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "");
    return;
  }
  std::string ndn = dn_normalized(dn);
  Debug(LDAP_DEBUG_ARGS, "do_modify: dn (%s)\n", ndn.c_str());
  op->o_logDetail.dn = ndn;

  ber_len_t len = 0;
  size_t last = 0;
  for (ber_tag_t tag = ber_first_item(ber, &len, &last); tag != LBER_DEFAULT; tag = ber_next_item(ber, &len, last)) {
    int operation = 0;
    std::string type;
    std::vector<BerValue> values;
    if (ber_scanf(ber, "{i{a[V]}}", &operation, &type, &values) == -1) {
      send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "decoding error");
      return;
    }
    if (operation < 0 || operation > 2) {
      send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "unrecognized modify operation");
      return;
    }
    if (values.empty() && operation != 1) {
      send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "no values given");
      return;
    }
  }
  LogError(EVENTLOG_VERBOSE, "conn=%d op=%d MOD dn=%s.", static_cast<int>(conn->c_connid), op->o_opid, ndn.c_str());
  send_ldap_result(conn, op, LDAP_PARTIAL_RESULTS, nullptr, "");
}

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
  send_ldap_result(conn, op, LDAP_PARTIAL_RESULTS, nullptr, "");
}

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

void do_add(Connection* conn, Operation* op) {
  Debug(LDAP_DEBUG_TRACE, "do_add\n");
  BerBuffer* ber = op->o_ber.get();
  std::string dn;
  if (ber_scanf(ber, "{a", &dn) == -1) {
    Debug(LDAP_DEBUG_ANY, "ber_scanf failed\n");
    send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "");
    return;
  }
  ber_len_t len = 0;
  size_t last = 0;
  for (ber_tag_t tag = ber_first_item(ber, &len, &last); tag != LBER_DEFAULT; tag = ber_next_item(ber, &len, last)) {
    std::string type;
    std::vector<BerValue> values;
    if (ber_scanf(ber, "{a{V}}", &type, &values) == -1) {
      send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "decoding error");
      return;
    }
  }
  dn_normalize(dn);
  op->o_logDetail.dn = dn;
  send_ldap_result(conn, op, LDAP_PARTIAL_RESULTS, nullptr, "");
}

}  // namespace kry
