#include "recon/net/digest_memory.h"

namespace kry {
namespace recon_net {

void DigestMemory::Remember(const krypgp::SksDigest& d) {
  MutexGuard guard(lock_);
  auto found = where_.find(d);
  if (found != where_.end()) {
    order_.splice(order_.begin(), order_, found->second);
    return;
  }
  order_.push_front(d);
  where_.emplace(d, order_.begin());
  if (order_.size() > capacity_) {
    where_.erase(order_.back());
    order_.pop_back();
  }
}

bool DigestMemory::Contains(const krypgp::SksDigest& d) const {
  MutexGuard guard(lock_);
  return where_.count(d) != 0;
}

std::vector<krypgp::SksDigest> DigestMemory::Unknown(const std::vector<krypgp::SksDigest>& wanted) const {
  MutexGuard guard(lock_);
  std::vector<krypgp::SksDigest> out;
  for (const krypgp::SksDigest& d : wanted)
    if (where_.count(d) == 0) out.push_back(d);
  return out;
}

size_t DigestMemory::Size() const {
  MutexGuard guard(lock_);
  return order_.size();
}

}  // namespace recon_net
}  // namespace kry
