// A short look for a kept-alive client's next request before the HTTP
// pool's thread goes back to sleep. With one client on the port, every
// request otherwise wakes a sleeping thread, often on the other processor,
// which costs more than the lookup itself.
#pragma once

#include <atomic>

namespace kry {

// Watches `fd` for up to `micros` microseconds while `open` (the port's
// connections) stays at exactly one; true when data (or the peer's close)
// is there to read. Returns false at once with any other number of
// connections: the processor belongs to the other clients' answers.
bool SpinForNextRequest(int fd, const std::atomic<int>& open, int micros);

// Whether a request of HTTP `version` with the Connection header `connection`
// (null when absent) leaves its connection open after the answer: HTTP/1.1
// unless it says "close", HTTP/1.0 only when it says "keep-alive".
bool AsksKeepAlive(const char* version, const char* connection);

}  // namespace kry
