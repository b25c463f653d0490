#include "hkp/idle_spin.h"

#include <cstring>
#include <string>

#include "util/inputwatch.h"
#include "util/strutil.h"

namespace kry {

bool SpinForNextRequest(int fd, const std::atomic<int>& open, int micros) {
  auto alone = [&open] { return open.load(std::memory_order_relaxed) == 1; };
  // Yielding between looks: the client may be waiting for this very
  // processor to send its request, and it goes first.
  return fd >= 0 && alone() && WatchForInput(fd, micros, true, alone);
}

bool AsksKeepAlive(const char* version, const char* connection) {
  const std::string said = connection ? ToLower(connection) : std::string();
  if (version && std::strcmp(version, "HTTP/1.1") == 0) return said.find("close") == std::string::npos;
  return said.find("keep-alive") != std::string::npos;
}

}  // namespace kry
