// The backend a request handler hands its decoded request to.
#pragma once

#include <string>

#include "back-ldbm/backend.h"
#include "ldap/result.h"
#include "log/eventlog.h"
#include "runtime/globals.h"

namespace kry {

inline constexpr const char kFunctionNotImplemented[] = "Function not implemented";

// The backend for dn when it offers the operation in `slot`. Otherwise the
// request is answered here and the result is null: while no backend is open
// with `noBackendCode` (9 with an empty text unless the caller says
// otherwise; a non-null `noBackendEvent` is also written to the event log),
// and with 53 "Function not implemented" when the backend lacks the
// operation.
template <typename Fn>
Backend* request_backend(Connection* conn, Operation* op, const std::string& dn, Fn BackendOps::*slot,
                         int noBackendCode = LDAP_PARTIAL_RESULTS, const char* noBackendEvent = nullptr) {
  Backend* be = g_globals ? backend_select(g_globals->backends, dn.c_str()) : nullptr;
  if (!be) {
    if (noBackendEvent) LogError(EVENTLOG_ERROR, "%s", noBackendEvent);
    send_ldap_result(conn, op, noBackendCode, nullptr, noBackendEvent ? nullptr : "");
    return nullptr;
  }
  if (!(be->ops.*slot)) {
    send_ldap_result(conn, op, LDAP_UNWILLING_TO_PERFORM, nullptr, kFunctionNotImplemented);
    return nullptr;
  }
  return be;
}

}  // namespace kry
