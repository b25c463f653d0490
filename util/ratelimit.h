// Token buckets per client address: a bounded table (least recently seen
// address evicted when full) split into shards, each under its own mutex,
// so that requests from different addresses rarely wait on each other.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace kry {

// One limit: `perSecond` tokens added per second up to `burst`; a request
// takes one. perSecond 0 means no limit.
struct RateSpec {
  double perSecond = 0;
  double burst = 0;
  bool On() const { return perSecond > 0; }
};

// The buckets each address has: LDAP and HKP, reads and writes.
enum RateBucket : int { kRateLdapRead = 0, kRateLdapWrite = 1, kRateHkpRead = 2, kRateHkpWrite = 3, kRateBuckets = 4 };

class RateTable {
 public:
  // exempt, when set, is asked once when an address enters the table; an
  // exempt address is never refused.
  using ExemptCheck = bool (*)(const std::string& address);
  explicit RateTable(size_t maxEntries, ExemptCheck exempt = nullptr);
  ~RateTable();
  RateTable(const RateTable&) = delete;
  RateTable& operator=(const RateTable&) = delete;

  // Takes a token from the address's bucket at time `now` (seconds, any
  // monotonic origin). True when granted; false when the bucket is empty,
  // with *retryAfter (when not null) the seconds until a token is there.
  bool Take(const std::string& address, RateBucket bucket, const RateSpec& rate, double now,
            double* retryAfter = nullptr);
  // Addresses held now; never more than MaxEntries().
  size_t Size() const;
  size_t MaxEntries() const { return maxEntries_; }

 private:
  struct Shard;
  size_t maxEntries_;
  ExemptCheck exempt_;
  std::unique_ptr<Shard[]> shards_;
};

}  // namespace kry
