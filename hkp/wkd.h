// Web Key Directory answers on the HKP listener: a key request becomes a
// search of the active, not disabled certificates through the LDAP search
// handler (so SizeLimit, TimeLimit and access rules apply as for HKP), and
// each certificate found is answered in binary carrying only the user IDs
// that are exactly the address asked for.
#pragma once

#include "hkp/answer.h"
#include "hkp/wkdname.h"

namespace kry {

struct Connection;

// The text of the policy file, the same for every configured domain.
extern const char kWkdPolicy[];

// 200 with the keys (application/octet-stream), 404 when no certificate
// that is not revoked has the address, 403 when the client may not read,
// 500 only when the directory failed. `localPart` is the "l" argument, or
// null; one whose hash differs from the path's gets 404 without a search.
// Writes the access-log line of the requests that reach the directory
// (*logged then true).
HkpAnswer WkdLookup(Connection* conn, const WkdRequest& request, const char* localPart, bool* logged);

}  // namespace kry
