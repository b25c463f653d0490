// Which local user owns the other end of a loopback TCP connection, read
// from the kernel's table of IPv4 TCP sockets (/proc/net/tcp).
#pragma once

#include <sys/types.h>

#include <string>

namespace kry {

// The owner of the socket whose local address is the peer of `socket`
// (an accepted connection from this machine). False when the peer's socket
// is not in this machine's table (a remote peer, or one already gone).
bool PeerUserOfConnection(int socket, uid_t* uid);

// The same search over a table's text; addresses and ports in host order.
// Exposed for tests.
bool FindSocketOwner(const std::string& table, uint32_t localAddress, uint16_t localPort, uint32_t remoteAddress,
                     uint16_t remotePort, uid_t* uid);

}  // namespace kry
