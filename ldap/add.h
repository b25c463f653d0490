// The add request handler's branches: the DNs that select them and the
// check of a group update.
#pragma once

#include <string>

namespace kry {

struct AddRequestState;
struct Backend;
struct Connection;
struct Operation;

// Target of key submissions and signed requests.
inline constexpr const char kVirtualKeyDN[] = "kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US";
// The groups entry, updated only by clients whose TLS key is a configured
// group updater.
inline constexpr const char kGroupDN[] = "ou=default,O=KRY GROUPSPACE,C=US";

// 0 when the connection's authenticated TLS client key is one of the
// "Allow keyid ... GroupUpdate" keys; otherwise 50 after a warning event
// naming the reason.
int VerifyGroupUpdate(Backend* be, Connection* conn, Operation* op);

// Stores the entries the add pipeline built in state->list (certificate
// entry first, merged into stored ones) and writes the add's replication
// record once all are stored. `op` must carry the add tag. The LDAP result:
// 49 for a stored key that waits for approval; a failed write leaves
// op->o_storeFailed set.
int StoreKeyEntries(Backend* be, Connection* conn, Operation* op, AddRequestState* state, std::string* matched);

}  // namespace kry
