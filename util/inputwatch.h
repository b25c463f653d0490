// A short look at a socket for input before a thread goes to sleep on it:
// a client that answers at once finds the thread awake, and neither side
// pays a cross-processor wake-up. Callers decide when it is worth it (a
// lone connection); the look never outlasts its bound.
#pragma once

#include <poll.h>
#include <sched.h>

#include <chrono>

namespace kry {

// Polls `fd` without sleeping for at most `micros` microseconds while
// keepWatching() holds, yielding the processor between looks when `yield`
// is set. True when input (or the peer's close) is there to read.
template <typename KeepWatching>
bool WatchForInput(int fd, int micros, bool yield, KeepWatching keepWatching) {
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + std::chrono::microseconds(micros);
  do {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) != 0) return true;
    if (yield) sched_yield();
  } while (keepWatching() && Clock::now() < until);
  return false;
}

}  // namespace kry
