// Library lifetime, socket calls and byte order over BSD sockets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/net/krynet.h"
#include "platform/net/net_internal.h"
#include "platform/net/tls_internal.h"
#include "platform/net/tls_local.h"

using krynet_internal::Fail;
using krynet_internal::FailWithErrno;

namespace {

std::atomic<int> g_libUsers{0};
std::atomic<int> g_socketUsers{0};

int NativeFlags(int flags, bool receive) {
  int native = 0;
  if (flags & kKRYSocketNoWait) native |= MSG_DONTWAIT;
  if (receive && (flags & kKRYSocketPeek)) native |= MSG_PEEK;
  return native;
}

bool KnownFlags(int flags, bool receive) {
  int allowed = kKRYSocketNoWait | (receive ? kKRYSocketPeek : 0);
  return (flags & ~allowed) == 0;
}

bool ToNative(const KRYSocketAddress* address, int size, sockaddr_in* out) {
  if (!address || size < static_cast<int>(sizeof(KRYSocketAddress)) || address->family != kKRYAddressFamilyInternet) {
    return false;
  }
  std::memset(out, 0, sizeof *out);
  out->sin_family = AF_INET;
  out->sin_port = address->port;
  out->sin_addr.s_addr = address->address;
  return true;
}

}  // namespace

int KRYsdkNetworkLibInit(uint32_t /*flags*/) {
  if (g_libUsers.fetch_add(1) == 0) {
    struct sigaction current;
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      struct sigaction ignore;
      std::memset(&ignore, 0, sizeof ignore);
      ignore.sa_handler = SIG_IGN;
      sigemptyset(&ignore.sa_mask);
      sigaction(SIGPIPE, &ignore, nullptr);
    }
  }
  return 0;
}

int KRYsdkNetworkLibCleanup() {
  int users = g_libUsers.load();
  while (users > 0 && !g_libUsers.compare_exchange_weak(users, users - 1)) {
  }
  if (users == 1) krytls_internal::ReleaseLocalKeys();
  return 0;
}

int KRYSocketsInit() {
  g_socketUsers.fetch_add(1);
  return 0;
}

int KRYSocketsCleanup() {
  int users = g_socketUsers.load();
  while (users > 0 && !g_socketUsers.compare_exchange_weak(users, users - 1)) {
  }
  return 0;
}

KRYSocketRef KRYOpenSocket(int family, int type, int protocol) {
  if (family != kKRYAddressFamilyInternet || type != kKRYSocketTypeStream ||
      (protocol != kKRYProtocolTCP && protocol != 0)) {
    return Fail(EINVAL);
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return FailWithErrno();
  return fd;
}

int KRYSetSocketOptions(KRYSocketRef socket, int level, int name, const void* value, int size) {
  if (!value || size < static_cast<int>(sizeof(int))) return Fail(EINVAL);
  int nativeLevel, nativeName;
  if (level == kKRYSocketLevel && name == kKRYSocketReuseAddress) {
    nativeLevel = SOL_SOCKET;
    nativeName = SO_REUSEADDR;
  } else if (level == kKRYSocketLevel && name == kKRYSocketKeepAlive) {
    nativeLevel = SOL_SOCKET;
    nativeName = SO_KEEPALIVE;
  } else if (level == kKRYTcpLevel && name == kKRYTcpNoDelay) {
    nativeLevel = IPPROTO_TCP;
    nativeName = TCP_NODELAY;
  } else {
    return Fail(ENOPROTOOPT);
  }
  int v;
  std::memcpy(&v, value, sizeof v);
  if (::setsockopt(socket, nativeLevel, nativeName, &v, sizeof v) != 0) return FailWithErrno();
  return 0;
}

int KRYBindSocket(KRYSocketRef socket, const KRYSocketAddress* address, int size) {
  sockaddr_in native;
  if (!ToNative(address, size, &native)) return Fail(EINVAL);
  if (::bind(socket, reinterpret_cast<sockaddr*>(&native), sizeof native) != 0) return FailWithErrno();
  return 0;
}

int KRYListen(KRYSocketRef socket, int backlog) {
  if (::listen(socket, backlog) != 0) return FailWithErrno();
  return 0;
}

KRYSocketRef KRYAccept(KRYSocketRef socket, KRYSocketAddress* peer, int* size) {
  if (peer && (!size || *size < static_cast<int>(sizeof(KRYSocketAddress)))) return Fail(EINVAL);
  sockaddr_storage native;
  socklen_t nativeSize;
  int fd;
  do {
    nativeSize = sizeof native;
    fd = ::accept4(socket, reinterpret_cast<sockaddr*>(&native), &nativeSize, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return FailWithErrno();
  if (peer) {
    *peer = KRYSocketAddress();
    if (native.ss_family == AF_INET) {
      const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(&native);
      peer->port = in->sin_port;
      peer->address = in->sin_addr.s_addr;
    }
    *size = sizeof(KRYSocketAddress);
  }
  return fd;
}

int KRYConnect(KRYSocketRef socket, const KRYSocketAddress* address, int size) {
  sockaddr_in native;
  if (!ToNative(address, size, &native)) return Fail(EINVAL);
  if (::connect(socket, reinterpret_cast<sockaddr*>(&native), sizeof native) == 0) return 0;
  if (errno != EINTR) return FailWithErrno();
  // An interrupted connect goes on in the background; wait for its outcome.
  pollfd p{socket, POLLOUT, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, -1);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return FailWithErrno();
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return FailWithErrno();
  if (error != 0) return Fail(error);
  return 0;
}

long KRYSend(KRYSocketRef socket, const void* data, size_t length, int flags) {
  if (!KnownFlags(flags, false) || (!data && length)) return Fail(EINVAL);
  if (KRYtlsSession* tls = krytls_internal::SessionOfSocket(socket))
    return krytls_internal::SessionSend(tls, data, length, flags);
  ssize_t n;
  do {
    n = ::send(socket, data, length, NativeFlags(flags, false) | MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return FailWithErrno();
  return static_cast<long>(n);
}

long KRYReceive(KRYSocketRef socket, void* data, size_t length, int flags) {
  if (!KnownFlags(flags, true) || (!data && length)) return Fail(EINVAL);
  if (KRYtlsSession* tls = krytls_internal::SessionOfSocket(socket))
    return krytls_internal::SessionReceive(tls, data, length, flags);
  ssize_t n;
  do {
    n = ::recv(socket, data, length, NativeFlags(flags, true));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return FailWithErrno();
  return static_cast<long>(n);
}

int KRYShutdownSocket(KRYSocketRef socket, int how) {
  int native;
  switch (how) {
    case kKRYShutdownReceive: native = SHUT_RD; break;
    case kKRYShutdownSend: native = SHUT_WR; break;
    case kKRYShutdownBoth: native = SHUT_RDWR; break;
    default: return Fail(EINVAL);
  }
  if (::shutdown(socket, native) != 0) return FailWithErrno();
  return 0;
}

int KRYCloseSocket(KRYSocketRef socket) {
  if (socket < 0) return Fail(EBADF);
  // Linux releases the descriptor even when close reports EINTR, so a retry
  // could close a descriptor another thread has just been given.
  if (::close(socket) != 0 && errno != EINTR) return FailWithErrno();
  return 0;
}

uint32_t KRYHostToNetLong(uint32_t value) { return htonl(value); }
uint16_t KRYHostToNetShort(uint16_t value) { return htons(value); }
uint32_t KRYNetToHostLong(uint32_t value) { return ntohl(value); }
uint16_t KRYNetToHostShort(uint16_t value) { return ntohs(value); }
