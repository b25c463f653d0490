// The digests already fetched from a peer and put through the add pipeline,
// kept so that a key the pipeline refused (or changed, so that its stored
// digest differs) is not fetched again every round. Bounded: the least
// recently remembered digest is forgotten first. Thread-safe.
#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <vector>

#include "platform/pgp/sksdigest.h"
#include "util/thread.h"

namespace kry {
namespace recon_net {

class DigestMemory {
 public:
  explicit DigestMemory(size_t capacity) : capacity_(capacity) {}

  void Remember(const krypgp::SksDigest& d);
  bool Contains(const krypgp::SksDigest& d) const;
  // The digests of `wanted` not remembered, in their order.
  std::vector<krypgp::SksDigest> Unknown(const std::vector<krypgp::SksDigest>& wanted) const;
  size_t Size() const;

 private:
  const size_t capacity_;
  mutable Mutex lock_;
  std::list<krypgp::SksDigest> order_;  // most recent first
  std::map<krypgp::SksDigest, std::list<krypgp::SksDigest>::iterator> where_;
};

}  // namespace recon_net
}  // namespace kry
