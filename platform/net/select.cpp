// Socket sets and the readiness wait, on poll(2) so that descriptors above
// FD_SETSIZE work.
#include <poll.h>
#include <time.h>

#include <cerrno>
#include <new>

#include "platform/net/krynet.h"
#include "platform/net/net_internal.h"

using krynet_internal::Fail;
using krynet_internal::FailWithErrno;

namespace {

bool Contains(const SocketSet::Half& half, KRYSocketRef socket) {
  for (uint32_t i = 0; i < half.count; ++i) {
    if (half.sockets[i] == socket) return true;
  }
  return false;
}

void Add(SocketSet::Half* half, KRYSocketRef socket) {
  if (Contains(*half, socket) || half->count >= kKRYSocketSetSize) return;
  half->sockets[half->count++] = socket;
}

long long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

SocketSet* KRYNewSocketSet(uint32_t extra) {
  SocketSet* set = new (std::nothrow) SocketSet();
  if (!set) {
    Fail(ENOMEM);
    return nullptr;
  }
  set->extra = extra;
  return set;
}

void KRYFreeSocketSet(SocketSet* set) { delete set; }

void KRYClearSocketSet(SocketSet* set) {
  if (!set) return;
  set->read.count = 0;
  set->write.count = 0;
}

void KRYAddToSocketSet(SocketSet* set, KRYSocketRef socket, int mode) {
  if (!set || socket < 0) return;
  if (mode & kKRYSocketSetRead) Add(&set->read, socket);
  if (mode & kKRYSocketSetWrite) Add(&set->write, socket);
}

int KRYTestSocketSet(const SocketSet* set, KRYSocketRef socket) {
  if (!set) return 0;
  if (Contains(set->write, socket)) return 2;
  if (Contains(set->read, socket)) return 1;
  return 0;
}

int KRYSelect(SocketSet* set, long timeoutMs) {
  if (!set) return Fail(EINVAL);
  pollfd fds[2 * kKRYSocketSetSize];
  nfds_t n = 0;
  for (uint32_t i = 0; i < set->read.count; ++i) fds[n++] = pollfd{set->read.sockets[i], POLLIN, 0};
  for (uint32_t i = 0; i < set->write.count; ++i) fds[n++] = pollfd{set->write.sockets[i], POLLOUT, 0};

  long long deadline = timeoutMs >= 0 ? NowMs() + timeoutMs : 0;
  int rc;
  for (;;) {
    int wait = -1;
    if (timeoutMs >= 0) {
      long long left = deadline - NowMs();
      wait = left > 0 ? static_cast<int>(left > 0x7FFFFFFF ? 0x7FFFFFFF : left) : 0;
    }
    rc = ::poll(fds, n, wait);
    if (rc >= 0 || errno != EINTR) break;
  }
  if (rc < 0) return FailWithErrno();

  for (nfds_t i = 0; i < n; ++i) {
    if (fds[i].revents & POLLNVAL) return Fail(EBADF);
  }
  // Keep only the ready sockets, so that a test afterwards tells which.
  // Hang-up and error count as ready for both: the next receive or send then
  // reports what happened.
  uint32_t readCount = set->read.count;
  set->read.count = 0;
  set->write.count = 0;
  int ready = 0;
  for (nfds_t i = 0; i < n; ++i) {
    if (fds[i].revents == 0) continue;
    ++ready;
    if (i < readCount) {
      set->read.sockets[set->read.count++] = fds[i].fd;
    } else {
      set->write.sockets[set->write.count++] = fds[i].fd;
    }
  }
  return ready;
}
