// The backend a request handler hands its decoded request to.
#pragma once

#include <string>

#include "back-ldbm/backend.h"
#include "ldap/result.h"
#include "runtime/globals.h"

namespace kry {

inline constexpr const char kFunctionNotImplemented[] = "Function not implemented";

// The backend for dn when it offers the operation in `slot`. Otherwise the
// request is answered here (9 with an empty text while no backend is open,
// 53 "Function not implemented" when the backend lacks the operation) and
// the result is null.
template <typename Fn>
Backend* request_backend(Connection* conn, Operation* op, const std::string& dn, Fn BackendOps::*slot) {
  Backend* be = g_globals ? backend_select(g_globals->backends, dn.c_str()) : nullptr;
  if (!be) {
    send_ldap_result(conn, op, LDAP_PARTIAL_RESULTS, nullptr, "");
    return nullptr;
  }
  if (!(be->ops.*slot)) {
    send_ldap_result(conn, op, LDAP_UNWILLING_TO_PERFORM, nullptr, kFunctionNotImplemented);
    return nullptr;
  }
  return be;
}

}  // namespace kry
