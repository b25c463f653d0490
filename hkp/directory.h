// Runs HKP requests as LDAP requests through the server's own request
// dispatch (the search and add handlers, the backend, access control and the
// add pipeline), with the responses collected instead of sent.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "ldap/entry.h"
#include "ldap/operation.h"
#include "log/accesslog.h"
#include "platform/pgp/kry.h"

namespace kry {

struct Connection;

// One entry a search returned: its DN, its attributes and after them the
// key blocks copied from its certificate.
struct HkpEntry {
  std::string dn;
  std::vector<Attribute> attrs;

  // Values of `type` (compared ignoring case); empty when absent.
  const std::vector<std::string>& Values(const char* type) const;
  // The first value of `type`, or "" (valid while the entry is).
  const std::string& First(const char* type) const;
};

// What one request produced: the LDAP result, its text, the entries of a
// search and what the handlers recorded for the access log.
class HkpOutcome : public ResponseSink {
 public:
  int code = -1;  // -1: no result was produced
  std::string text;
  std::vector<HkpEntry> entries;
  int logType = kLogOther;
  AccessLogDetail logDetail;
  int nentries = 0;
  time_t start = 0;
  // The attribute types kept of each entry (ignoring case); empty: all.
  // An entry arrives with every attribute it stores, whatever was asked.
  std::vector<std::string> wanted;

  int OnEntry(const Entry& e, const std::vector<Attribute>& attrs, const std::vector<Attribute>* virtualAttrs) override;
  void OnResult(int err, const char* matched, const char* text, int nentries) override;

  Operation* op = nullptr;  // the running operation, while it runs
};

// Encodes one LDAP message: SEQUENCE { message ID 1, `protocolOp` }, where
// `protocolOp` is already encoded. Empty when encoding fails.
std::string HkpLdapMessage(const std::string& protocolOp);

// Runs one encoded LDAP message for `conn` through the request dispatch.
// Returns false when the message could not be decoded or no operation could
// be made (nothing ran); *out then holds no result.
bool RunHkpRequest(Connection* conn, const std::string& message, HkpOutcome* out);

// The peer as access rules and the logs see it: address text and host name
// (when "LookupHostname" is on and a rule or a log uses it; peername.h), set
// on `conn`. IPv4 only looks up names.
void SetHkpPeer(Connection* conn, const sockaddr* address);

// The key-library context of the HTTP connection: its block is taken from
// the pool at first use, as an LDAP connection's is, and given back by
// ReleaseHkpKeyContext. Null when no context could be made (logged).
KRYContextRef HkpKeyContext(Connection* conn);
void ReleaseHkpKeyContext(Connection* conn);

// The access-log line of one HKP request: the line an LDAP request of the
// same category gets, with " HKP" after its last field.
void HkpAccessLog(const Connection* conn, int category, const AccessLogDetail& detail, int nentries, time_t start,
                  int resultCode);

}  // namespace kry
