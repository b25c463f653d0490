// The add request handler's branches: the DNs that select them and the
// check of a group update.
#pragma once

namespace kry {

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

}  // namespace kry
