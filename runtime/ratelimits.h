// The server's rate limits ("RateLimit" lines): one token-bucket table for
// every listener, keyed by the client's dotted address. Addresses that an
// "Allow ip <pattern> all" line matches first are never limited.
#pragma once

#include <atomic>
#include <cstdint>

#include "util/ratelimit.h"

namespace kry {

struct Connection;

// Requests refused by a rate limit since start, per bucket.
extern std::atomic<uint64_t> g_rateRefused[kRateBuckets];

// Takes a token for the connection's address. True when the request may go
// on (no limit configured, an exempt address, or a token was there); false
// when refused, with *retryAfter the whole seconds (at least 1) to wait.
bool RateAllowed(const Connection* conn, RateBucket bucket, int* retryAfter);

// The table's addresses now (0 before the first limited request).
size_t RateTableSize();

}  // namespace kry
