// HandleAddRequest and the result texts of key submissions.
#include <string>

#include "cert/addkey.h"
#include "ldap/entry.h"
#include "ldap/operation.h"
#include "ldap/result.h"
#include "log/eventlog.h"
#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

const char* MapErrorCodeToMsg(int code) {
  switch (code) {
    case 1:
      return "An error was detected on the server processing this request.  Consult the server admininstrator for "
             "assistance.";
    case 2:
      return "The data provided to the server was invalid or corrupt.";
    case 3:
      return "This operation exceeded the maximum time limit for a single request.";
    case 4:
      return "The number of certificates returned by this search exceeds the maximum set for this server.";
    case 8:
      return "This request must be signed by an authorized person.";
    case 48:
      return "The authorization used for this request was invalid and unnecessary.";
    case 50:
      return "You do not have authority to perform this action.";
    case 90:
      return "Server out of memory.";
    default:
      return nullptr;
  }
}

int HandleAddRequest(AddRequestState* state, Backend* be, Connection* conn, Operation* op, RequestKeysHolder* keys) {
  state->authorised = false;
  if (state->list.count == 0 || !state->list.slots[0]) {
    LogError(EVENTLOG_ERROR, "Internal add request error.");
    return 1;
  }
  Entry* e = state->list.slots[0].get();
  if (e->attrs.empty()) {
    LogError(EVENTLOG_WARNING, "No keyblock received.");
    return 2;
  }
  Attribute& first = e->attrs[0];
  if (StrIEquals(first.type, "kryRequest")) {
    // Signed add, delete and disable requests are not served by this build.
    state->SetText("Function not implemented");
    return LDAP_UNWILLING_TO_PERFORM;
  }
  if (!is_key_block_type(first.type)) {
    LogError(EVENTLOG_WARNING, "kryKey or kryRequest attribute must be provided.");
    return 2;
  }
  if (first.values.empty()) {
    LogError(EVENTLOG_WARNING, "Attribute must contain a single value.");
    return 2;
  }
  state->kind = 1;
  state->location = 0;
  if (g_globals->MustSignAdds && !state->authorised) {
    state->SetText("Requests to add certificates must be signed.");
    return 8;
  }
  const std::string block = first.values[0];
  if (keys->Acquire(conn) != 0) return 1;
  const int rc = CreateAddKeyEntries(state, be, block, keys->keys());
  op->o_logDetail.certID = state->certID;
  if (rc != 0) {
    if (state->certID.empty())
      LogError(EVENTLOG_INFO, "Did not add certificate (Unknown ID).");
    else
      LogError(EVENTLOG_INFO, "Did not add certificate 0x%s.", state->certID.c_str());
  }
  return rc;
}

}  // namespace kry
