#include "hkp/body_budget.h"

namespace kry {

bool BodyBudget::Take(uint64_t bytes, uint64_t limit) {
  MutexGuard guard(lock_);
  if (bytes > limit || used_ > limit - bytes) return false;
  used_ += bytes;
  return true;
}

void BodyBudget::Give(uint64_t bytes) {
  MutexGuard guard(lock_);
  used_ = bytes > used_ ? 0 : used_ - bytes;
}

uint64_t BodyBudget::InUse() {
  MutexGuard guard(lock_);
  return used_;
}

bool BodyShare::GrowTo(uint64_t total, uint64_t limit) {
  if (total <= bytes_) return true;
  if (!budget_->Take(total - bytes_, limit)) return false;
  bytes_ = total;
  return true;
}

}  // namespace kry
