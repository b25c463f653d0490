// Plain TCP sockets for talking to reconciliation peers: an owning
// descriptor, a connect with a deadline, whole writes and reads with a
// per-call time limit. IPv4, as the peers' addresses are written.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <string>
#include <vector>

namespace kry {
namespace recon_net {

// Owns one descriptor; closes it on destruction.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() { Reset(); }
  Socket(Socket&& o) noexcept : fd_(o.Release()) {}
  Socket& operator=(Socket&& o) noexcept {
    if (this != &o) {
      Reset();
      fd_ = o.Release();
    }
    return *this;
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset();

 private:
  int fd_ = -1;
};

// The IPv4 addresses of `host` (a dotted address or a name), as dotted
// text. Empty when it does not resolve.
std::vector<std::string> ResolveIPv4(const std::string& host);

// Connects to host:port within `timeoutMs`, then sets that limit on every
// later send and receive of the socket, and no delay. An empty socket on failure, with
// *error saying why.
Socket ConnectTo(const std::string& host, int port, int timeoutMs, std::string* error);

// Sends small writes at once: a session is many short messages, each
// waiting for the answer to the one before, which Nagle's algorithm would
// hold back until the peer's delayed acknowledgement.
void SetNoDelay(int fd);

// Limits each send and receive of `fd` to `timeoutMs`.
void SetIoTimeout(int fd, int timeoutMs);

// Writes all of data; false on error or time-out.
bool SendAll(int fd, const void* data, size_t size);

// The dotted IPv4 text of a peer address ("" for other families).
std::string AddressText(const sockaddr* address);

}  // namespace recon_net
}  // namespace kry
