#include "runtime/ratelimits.h"

#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <new>

#include "cert/access.h"
#include "runtime/connection.h"
#include "runtime/globals.h"

namespace kry {

std::atomic<uint64_t> g_rateRefused[kRateBuckets];

namespace {

std::once_flag g_tableOnce;
std::unique_ptr<RateTable> g_table;
// The table once built, for readers that must not build it (the scrape).
std::atomic<RateTable*> g_published{nullptr};

bool GrantedAll(const std::string& address) {
  const Globals* g = g_globals;
  if (!g) return false;
  try {
    return MatchingRuleLevel(address.c_str(), nullptr, g->accessList) >= ACL_ALL;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Built at the first limited request, with the size configured then: the
// configuration is read before any listener runs.
RateTable* Table() {
  std::call_once(g_tableOnce, [] {
    g_table = std::make_unique<RateTable>(static_cast<size_t>(g_globals->RateLimitTable), &GrantedAll);
    g_published.store(g_table.get(), std::memory_order_release);
  });
  return g_table.get();
}

double Now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

bool RateAllowed(const Connection* conn, RateBucket bucket, int* retryAfter) {
  const Globals* g = g_globals;
  if (!g || !g->rateLimits[bucket].On() || conn->c_addr.empty()) return true;
  double wait = 0;
  if (Table()->Take(conn->c_addr, bucket, g->rateLimits[bucket], Now(), &wait)) return true;
  g_rateRefused[bucket].fetch_add(1, std::memory_order_relaxed);
  if (retryAfter) *retryAfter = std::max(1, static_cast<int>(std::ceil(wait)));
  return false;
}

size_t RateTableSize() {
  const RateTable* t = g_published.load(std::memory_order_acquire);
  return t ? t->Size() : 0;
}

}  // namespace kry
