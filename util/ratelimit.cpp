#include "util/ratelimit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <list>
#include <unordered_map>

#include "util/thread.h"

namespace kry {

namespace {

// Enough shards that 2 to 16 busy threads seldom meet on one mutex; few
// enough that a small table still gives each shard room.
constexpr size_t kShards = 16;

struct Bucket {
  double tokens = 0;
  double last = 0;
  bool started = false;
};

struct Entry {
  std::string address;
  bool exempt = false;
  std::array<Bucket, kRateBuckets> buckets;
};

}  // namespace

// Most recently seen address at the front of `order`; `index` points into it.
struct RateTable::Shard {
  Mutex lock;
  size_t capacity = 1;
  std::list<Entry> order;
  std::unordered_map<std::string, std::list<Entry>::iterator> index;
};

RateTable::RateTable(size_t maxEntries, ExemptCheck exempt)
    : maxEntries_(std::max<size_t>(maxEntries, kShards)), exempt_(exempt), shards_(new Shard[kShards]) {
  // The shards' capacities add up to maxEntries_ exactly.
  for (size_t i = 0; i < kShards; ++i) shards_[i].capacity = maxEntries_ / kShards + (i < maxEntries_ % kShards ? 1 : 0);
}

RateTable::~RateTable() = default;

bool RateTable::Take(const std::string& address, RateBucket bucket, const RateSpec& rate, double now,
                     double* retryAfter) {
  if (!rate.On()) return true;
  Shard& s = shards_[std::hash<std::string>()(address) % kShards];
  MutexGuard guard(s.lock);
  auto it = s.index.find(address);
  if (it != s.index.end()) {
    s.order.splice(s.order.begin(), s.order, it->second);
  } else {
    if (s.order.size() >= s.capacity) {
      s.index.erase(s.order.back().address);
      s.order.pop_back();
    }
    Entry e;
    e.address = address;
    e.exempt = exempt_ && exempt_(address);
    s.order.push_front(std::move(e));
    s.index.emplace(address, s.order.begin());
  }
  Entry& e = s.order.front();
  if (e.exempt) return true;
  Bucket& b = e.buckets[bucket];
  const double burst = std::max(1.0, rate.burst);
  if (!b.started) {
    b.tokens = burst;
    b.started = true;
  } else if (now > b.last) {
    b.tokens = std::min(burst, b.tokens + (now - b.last) * rate.perSecond);
  }
  b.last = std::max(b.last, now);
  if (b.tokens >= 1) {
    b.tokens -= 1;
    return true;
  }
  if (retryAfter) *retryAfter = (1 - b.tokens) / rate.perSecond;
  return false;
}

size_t RateTable::Size() const {
  size_t n = 0;
  for (size_t i = 0; i < kShards; ++i) {
    MutexGuard guard(shards_[i].lock);
    n += shards_[i].order.size();
  }
  return n;
}

}  // namespace kry
