// TLS on accepted sockets: the server session presenting the server key and
// asking for the client's, the receive callback with its time-out, and the
// close. Used by the secure port's connections and by remote consoles.
#pragma once

#include <cstddef>

#include "platform/net/krytls.h"
#include "runtime/keycontext.h"

namespace kry {

struct Connection;

// The TLS objects of one accepted socket. The client key lies in
// clientKeySet (a key found in the directory) or in the context block's
// server key set; it is valid until CloseServerTLS.
struct ServerTLS {
  KRYtlsContextRef context = nullptr;
  KRYtlsSessionRef session = nullptr;
  KRYKeySetRef clientKeySet = nullptr;
  KRYKeyRef clientKey = nullptr;
};

// Wraps the accepted socket `sd` in a server session presenting the server
// key of `block` (with the passphrase of Globals) and asking the client for
// its key; the client key is looked up in the block's server key set, then
// among the ACTIVE certificates of the directory. Runs the handshake, each
// wait of it bounded by handshakeTimeoutMs (0: the connections' socket
// time-out). 0, or 1 after logging; objects made before a failure are left
// in *tls for CloseServerTLS.
int SetUpServerTLS(KRYSocketRef sd, const KeyContextBlock& block, ServerTLS* tls, long handshakeTimeoutMs = 0);
// Closes the session (close_notify when still sound) and frees the session,
// the context and the client key set, in that order. Safe on empty objects.
void CloseServerTLS(ServerTLS* tls);

// The set-up for a connection of the secure port: the objects go into the
// connection and its stream reads and writes through the session.
int SetUpConnectionTLS(Connection* conn);
// Closes and frees the connection's TLS objects, if any (the connection's
// own thread, or nobody else working on the connection).
void CloseConnectionTLS(Connection* conn);

// The receive callback of every session: waits for the socket to become
// readable for at most TLSReceiveTimeoutSeconds, then receives.
long TLSReceive(KRYSocketRef socket, void* buffer, size_t size);
// Twice the time limit, at least 300 seconds.
long TLSReceiveTimeoutSeconds(int timeLimit);

}  // namespace kry
