// What the bodies of HKP submissions in memory may hold together
// ("HKPMaxBodyBytes"): each request takes its share before it buffers a
// byte and gives it back when it ends, so that many large uploads held
// open cannot make the server's memory grow without bound.
#pragma once

#include <cstdint>

#include "util/thread.h"

namespace kry {

class BodyBudget {
 public:
  // Takes `bytes` when they fit under `limit` beside what is taken.
  bool Take(uint64_t bytes, uint64_t limit);
  void Give(uint64_t bytes);
  uint64_t InUse();

 private:
  Mutex lock_;
  uint64_t used_ = 0;
};

// A request's share of a budget, given back when the holder goes.
class BodyShare {
 public:
  explicit BodyShare(BodyBudget* budget) : budget_(budget) {}
  ~BodyShare() { budget_->Give(bytes_); }
  BodyShare(const BodyShare&) = delete;
  BodyShare& operator=(const BodyShare&) = delete;
  // Grows the share to `total` bytes; false (share unchanged) when the
  // budget has no room.
  bool GrowTo(uint64_t total, uint64_t limit);
  uint64_t bytes() const { return bytes_; }

 private:
  BodyBudget* budget_;
  uint64_t bytes_ = 0;
};

}  // namespace kry
