#include "hkp/idle_spin.h"

#include <poll.h>
#include <sched.h>

#include <chrono>
#include <cstring>
#include <string>

#include "util/strutil.h"

namespace kry {

bool SpinForNextRequest(int fd, const std::atomic<int>& open, int micros) {
  using Clock = std::chrono::steady_clock;
  if (fd < 0 || open.load(std::memory_order_relaxed) != 1) return false;
  const auto until = Clock::now() + std::chrono::microseconds(micros);
  do {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) != 0) return true;
    // The client may be waiting for this very processor to send its
    // request: it goes first.
    sched_yield();
  } while (open.load(std::memory_order_relaxed) == 1 && Clock::now() < until);
  return false;
}

bool AsksKeepAlive(const char* version, const char* connection) {
  const std::string said = connection ? ToLower(connection) : std::string();
  if (version && std::strcmp(version, "HTTP/1.1") == 0) return said.find("close") == std::string::npos;
  return said.find("keep-alive") != std::string::npos;
}

}  // namespace kry
