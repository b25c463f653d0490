// The listener: owns the regular and secure ports, accepts connections into
// the table of "MaxConnections" slots with one thread each, flushes the
// databases when the server goes idle and cycles the access log when due.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/net/krynet.h"

namespace kry {

struct Connection;


// The listener thread's body. 0 after an orderly shutdown, 1 when it could
// not start. Stores its result in g_daemonResult and releases
// g_daemonStarted once listening (or after failing).
int daemon(int port);

// Opens a listening TCP socket on `port` (any address, reuse, the
// system's largest backlog).
// Returns 0 or the network library's error code.
int CreateDaemonSocket(int port, int secure, int* socket);

// Accepts one pending connection into a free slot; 0 and *conn on success.
// A full table is not an accept: the connection idle longest with no
// request in progress is shut down instead, and the pending connection
// waits for its slot. A client address that already holds
// "MaxConnectionsPerAddress" slots has the new connection closed at once.
int AddNewConnection(Connection* table, int listenSocket, int secure, long now, Connection** conn);
void LaunchConnectionThread(Connection* conn);
// Closes the slot if it still belongs to `connectionID`. opID -1 is an
// ordinary close, -2 the forced close at shutdown (the connection's own
// thread still owns its TLS objects and ends at its next read).
void CloseConnection(Connection* conn, uint32_t connectionID, int opID);
// The same, for a caller that holds connectionTableLock.
void CloseConnectionLocked(Connection* conn, uint32_t connectionID, int opID);
// Makes the listener's wait return at once (a one-byte connection to the
// server's own port).
int WakeListener();

// Process result word of the listener and the start-up handshake.
extern std::atomic<int> g_daemonResult;
class Semaphore;
extern Semaphore* g_daemonStarted;
extern std::atomic<bool> g_serverRunning;

}  // namespace kry
