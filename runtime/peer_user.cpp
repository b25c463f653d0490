#include "runtime/peer_user.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace kry {

namespace {

// "0100007F:1F90": the address as the kernel's in-memory network-order word
// printed in hex, then the port in host order.
bool ParseEndpoint(const std::string& text, uint32_t* address, uint16_t* port) {
  unsigned a = 0, p = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%8x:%4x%c", &a, &p, &tail) != 2) return false;
  *address = ntohl(static_cast<uint32_t>(a));
  *port = static_cast<uint16_t>(p);
  return true;
}

bool Endpoint(int socket, bool peer, uint32_t* address, uint16_t* port) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  int rc = peer ? getpeername(socket, reinterpret_cast<sockaddr*>(&a), &len)
                : getsockname(socket, reinterpret_cast<sockaddr*>(&a), &len);
  if (rc != 0 || a.sin_family != AF_INET) return false;
  *address = ntohl(a.sin_addr.s_addr);
  *port = ntohs(a.sin_port);
  return true;
}

}  // namespace

bool FindSocketOwner(const std::string& table, uint32_t localAddress, uint16_t localPort, uint32_t remoteAddress,
                     uint16_t remotePort, uid_t* uid) {
  std::istringstream in(table);
  std::string line;
  std::getline(in, line);  // column titles
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits;
    long owner = -1;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> owner)) continue;
    uint32_t la, ra;
    uint16_t lp, rp;
    if (!ParseEndpoint(local, &la, &lp) || !ParseEndpoint(remote, &ra, &rp)) continue;
    if (la == localAddress && lp == localPort && ra == remoteAddress && rp == remotePort && owner >= 0) {
      *uid = static_cast<uid_t>(owner);
      return true;
    }
  }
  return false;
}

bool PeerUserOfConnection(int socket, uid_t* uid) {
  uint32_t peerAddress, ourAddress;
  uint16_t peerPort, ourPort;
  if (!Endpoint(socket, true, &peerAddress, &peerPort) || !Endpoint(socket, false, &ourAddress, &ourPort))
    return false;
  std::ifstream f("/proc/net/tcp");
  if (!f) return false;
  std::stringstream ss;
  ss << f.rdbuf();
  // The peer's own socket: its local end is our peer, its remote end us.
  return FindSocketOwner(ss.str(), peerAddress, peerPort, ourAddress, ourPort, uid);
}

}  // namespace kry
