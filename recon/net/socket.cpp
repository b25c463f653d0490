#include "recon/net/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kry {
namespace recon_net {

void Socket::Reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::vector<std::string> ResolveIPv4(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::vector<std::string> out;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return out;
  for (const addrinfo* a = found; a; a = a->ai_next) {
    const std::string text = AddressText(a->ai_addr);
    if (!text.empty()) out.push_back(text);
  }
  freeaddrinfo(found);
  return out;
}

void SetIoTimeout(int fd, int timeoutMs) {
  timeval tv{};
  tv.tv_sec = timeoutMs / 1000;
  tv.tv_usec = (timeoutMs % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

namespace {

// A non-blocking connect finished within the deadline.
bool AwaitConnect(int fd, int timeoutMs, std::string* error) {
  pollfd p{fd, POLLOUT, 0};
  const int ready = ::poll(&p, 1, timeoutMs);
  if (ready <= 0) {
    *error = ready == 0 ? "connect timed out" : std::string("connect: ") + std::strerror(errno);
    return false;
  }
  int soError = 0;
  socklen_t len = sizeof soError;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0 || soError != 0) {
    *error = std::string("connect: ") + std::strerror(soError ? soError : errno);
    return false;
  }
  return true;
}

}  // namespace

Socket ConnectTo(const std::string& host, int port, int timeoutMs, std::string* error) {
  const std::vector<std::string> addresses = ResolveIPv4(host);
  if (addresses.empty()) {
    *error = "cannot resolve " + host;
    return Socket();
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, addresses.front().c_str(), &to.sin_addr);
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!s) {
    *error = std::string("socket: ") + std::strerror(errno);
    return Socket();
  }
  if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    if (errno != EINPROGRESS) {
      *error = std::string("connect: ") + std::strerror(errno);
      return Socket();
    }
    if (!AwaitConnect(s.get(), timeoutMs, error)) return Socket();
  }
  const int flags = fcntl(s.get(), F_GETFL);
  fcntl(s.get(), F_SETFL, flags & ~O_NONBLOCK);
  SetIoTimeout(s.get(), timeoutMs);
  SetNoDelay(s.get());
  return s;
}

void SetNoDelay(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool SendAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string AddressText(const sockaddr* address) {
  if (!address || address->sa_family != AF_INET) return std::string();
  char text[INET_ADDRSTRLEN] = {0};
  if (!inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text))
    return std::string();
  return text;
}

}  // namespace recon_net
}  // namespace kry
