// "/pks/lookup": a query becomes a subtree search of the active certificates
// (disabled ones left out) through the LDAP search handler, so the
// configured SizeLimit, TimeLimit and access rules apply as they do to LDAP
// clients; the entries become key blocks or an index.
#pragma once

#include "hkp/answer.h"
#include "hkp/query.h"

namespace kry {

struct Connection;

// 200 with the keys or the index, 404 when nothing matched, 403 when the
// client may not read, 500 only when the directory failed. Writes the
// request's access-log line.
HkpAnswer HkpLookup(Connection* conn, const HkpQuery& query);

// The binary key with key digest `hex` (32 upper-case hex digits) when a
// lookup would serve it, found by the same search as op=hget (no access-log
// line). LDAP_SUCCESS; LDAP_NO_SUCH_OBJECT when not served; else the
// search's failure.
int HkpKeyByDigest(Connection* conn, const std::string& hex, std::string* binaryKey);

// The encoded search request (protocol operation only) of a query.
std::string HkpSearchRequest(const HkpQuery& query);

}  // namespace kry
