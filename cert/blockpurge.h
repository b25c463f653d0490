// Purging blocked keys: the certificate entry and every user-ID entry of a
// blocked key, at both locations, so that nothing of it stays stored.
#pragma once

#include <string>

namespace kry {

struct Backend;

// Text of the refusal of a blocked key's submission (LDAP 50, HKP 410).
extern const char kBlockedKeyText[];

// Deletes the stored certificates (ACTIVE and PENDING) of `certID`. The
// user-ID entries go first and the certificate entry last, so a purge cut
// short leaves the certificate for the next purge to find. Returns the
// number of certificates removed, -1 when one could not be.
int PurgeCertID(Backend* be, const std::string& certID);

// The request text of a blocklist change, as the replication log carries
// it in a kryRequest record.
std::string BlockRequestText(bool block, const std::string& fingerprint);

// Blocks (durably, then purges) or unblocks `fingerprint` and writes the
// change to the replication log. 0; 2 not a fingerprint; 3 not blocked
// (unblock); 1 when the list or the purge failed (reported). `be` may be
// null (no directory server running): the purge then waits for its start.
int ApplyBlockChange(Backend* be, bool block, const std::string& fingerprint, const std::string& reason);

// Purges every blocked key still stored (run at start-up, so that a purge
// interrupted by a crash is finished). Returns the number removed.
int PurgeBlockedKeys(Backend* be);

}  // namespace kry
