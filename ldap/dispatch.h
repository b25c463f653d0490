// The connection thread's request loop and the dispatch of each LDAP message
// to its handler by protocol-operation tag.
#pragma once

namespace kry {

struct Connection;
struct Operation;

// The connection thread's body: reads one message at a time, runs it to its
// end, and closes the connection when the loop ends.
void connection_activity(Connection* conn);
// Runs one operation and retires it; 1 when the connection is to end.
int DispatchOperation(Connection* conn, Operation* op);

void do_abandon(Connection* conn, Operation* op);
void do_unbind(Connection* conn, Operation* op);

// Request handlers (decoding, checks, hand-off to the backend).
void do_bind(Connection* conn, Operation* op);
void do_search(Connection* conn, Operation* op);
void do_modify(Connection* conn, Operation* op);
void do_add(Connection* conn, Operation* op);
void do_delete(Connection* conn, Operation* op);
void do_modrdn(Connection* conn, Operation* op);
void do_compare(Connection* conn, Operation* op);

}  // namespace kry
