// The two entries the server makes up itself, answered to base searches of
// "CN=KRYSERVERINFO" and "cn=monitor". Both are sent whole whatever the
// request's filter and attribute list, followed by the final result.
#pragma once

namespace kry {

struct Connection;
struct Operation;

// Where keys live: result 0 with one entry, 50 when access control refused
// the entry, nothing when the connection is gone.
void SendServerInfo(Connection* conn, Operation* op);
// The server's statistics and connection table; always result 0 with one
// entry. Figures are a snapshot read without the table and counter locks.
void SendMonitor(Connection* conn, Operation* op);

}  // namespace kry
