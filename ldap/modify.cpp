// The modify request handler.
#include <string>
#include <vector>

#include "back-ldbm/backend.h"
#include "ldap/ber.h"
#include "ldap/dispatch.h"
#include "ldap/dn.h"
#include "ldap/entry.h"
#include "ldap/operation.h"
#include "ldap/request_backend.h"
#include "ldap/result.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "runtime/connection.h"

namespace kry {

namespace {
const char* ModOpName(int op) {
  switch (op) {
    case MOD_OP_ADD: return "add";
    case MOD_OP_DELETE: return "delete";
    default: return "replace";
  }
}
}  // namespace

void do_modify(Connection* conn, Operation* op) {
  Debug(LDAP_DEBUG_TRACE, "do_modify\n");
  BerBuffer* ber = op->o_ber.get();
  std::string dn;
  if (ber_scanf(ber, "{a", &dn) == -1) {
    Debug(LDAP_DEBUG_ANY, "ber_scanf failed\n");
    send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "");
    return;
  }
  // The backend gets the DN as received; the log gets its normal form.
  const std::string ndn = dn_normalized(dn);
  Debug(LDAP_DEBUG_ARGS, "do_modify: dn (%s)\n", ndn.c_str());
  op->o_logDetail.dn = ndn;

  std::vector<Modification> mods;
  ber_len_t len = 0;
  size_t last = 0;
  for (ber_tag_t tag = ber_first_item(ber, &len, &last); tag != LBER_DEFAULT; tag = ber_next_item(ber, &len, last)) {
    Modification mod;
    std::vector<BerValue> values;
    if (ber_scanf(ber, "{i{a[V]}}", &mod.op, &mod.type, &values) == -1) {
      send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "decoding error");
      return;
    }
    if (mod.op != MOD_OP_ADD && mod.op != MOD_OP_DELETE && mod.op != MOD_OP_REPLACE) {
      send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "unrecognized modify operation");
      return;
    }
    if (values.empty() && mod.op != MOD_OP_DELETE) {
      send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "no values given");
      return;
    }
    type_lowercase(mod.type);
    mod.values.reserve(values.size());
    for (BerValue& v : values) mod.values.push_back(std::move(v.bv_val));
    mods.push_back(std::move(mod));
  }

  Debug(LDAP_DEBUG_ARGS, "modifications:\n");
  for (const auto& m : mods) Debug(LDAP_DEBUG_ARGS, "\t%s: %s\n", ModOpName(m.op), m.type.c_str());
  LogError(EVENTLOG_VERBOSE, "conn=%d op=%d MOD dn=%s.", static_cast<int>(conn->c_connid), op->o_opid, ndn.c_str());
  if (Backend* be = request_backend(conn, op, ndn, &BackendOps::modify)) be->ops.modify(be, conn, op, dn, mods);
}

}  // namespace kry
