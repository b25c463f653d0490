// Sending results and search entries to a client. Every response is written
// under the connection's send lock and then the connection-table lock, and
// only while the operation's connection still owns the slot.
#pragma once

#include <string>
#include <vector>

namespace kry {

struct Connection;
struct Operation;
struct Backend;
struct Entry;
struct Attribute;

// LDAP result codes the server sends.
enum LdapResult : int {
  LDAP_SUCCESS = 0,
  LDAP_OPERATIONS_ERROR = 1,
  LDAP_PROTOCOL_ERROR = 2,
  LDAP_TIMELIMIT_EXCEEDED = 3,
  LDAP_SIZELIMIT_EXCEEDED = 4,
  LDAP_COMPARE_FALSE = 5,
  LDAP_COMPARE_TRUE = 6,
  LDAP_STRONG_AUTH_NOT_SUPPORTED = 7,
  LDAP_STRONG_AUTH_REQUIRED = 8,
  LDAP_PARTIAL_RESULTS = 9,
  LDAP_NO_SUCH_ATTRIBUTE = 16,
  LDAP_NO_SUCH_OBJECT = 32,
  LDAP_INAPPROPRIATE_AUTH = 48,
  LDAP_INVALID_CREDENTIALS = 49,
  LDAP_INSUFFICIENT_ACCESS = 50,
  LDAP_BUSY = 51,
  LDAP_UNWILLING_TO_PERFORM = 53,
  LDAP_OBJECT_CLASS_VIOLATION = 65,
  LDAP_NOT_ALLOWED_ON_NONLEAF = 66,
  LDAP_ALREADY_EXISTS = 68,
  LDAP_SEND_FAILED = 88,  // recorded in the access log only
  LDAP_SERVER_OUT_OF_MEMORY = 90,
};

// Sets *text to the default text of `code` when it has one.
void MapErrorCodeToMsg(int code, const char** text);
// Response tag of a request tag.
unsigned ResponseTag(unsigned requestTag);

// Writes a finished response to the connection of `op`. 0 when sent; -1 when
// the connection was closed or reused (dropped) or the write failed (logged).
// With `hold` set, a response that fits in a small buffer is kept and goes
// out with the next one (search entries ahead of their result).
class BerBuffer;
int SendResponse(Connection* conn, Operation* op, BerBuffer* ber, bool hold = false);
// Writes what SendResponse held; 0 when nothing was held or it was sent.
int FlushHeldOutput(Connection* conn);

// Sends one SearchResultEntry. `attrList`, when not null, replaces the
// entry's own attributes (attributes computed at search time); `virtualAttrs`,
// when not null, are sent before them (key blocks copied from elsewhere).
// Returns 0 when sent, 1 when not sent (no access, or an encoding failure
// already answered with result 1) and -1 when the connection was closed or
// reused or the write failed (the caller stops the search).
int send_search_entry(Backend* be, Connection* conn, Operation* op, const Entry* e,
                      const std::vector<std::string>* attrs, const std::vector<Attribute>* attrList, int attrsonly,
                      const std::vector<Attribute>* virtualAttrs = nullptr);

void send_ldap_result(Connection* conn, Operation* op, int err, const char* matched, const char* text);
void send_search_result(Connection* conn, Operation* op, int err, const char* matched, const char* text,
                        int nentries);

}  // namespace kry
