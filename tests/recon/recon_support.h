// Digest sets for reconciliation tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "recon/params.h"

namespace recontest {

// `n` distinct pseudo-random digests from `seed`.
inline std::vector<recon::Digest> RandomDigests(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<recon::Digest> out(n);
  for (auto& d : out) {
    for (size_t i = 0; i < d.size(); i += 8) {
      uint64_t v = rng();
      for (size_t j = 0; j < 8; ++j) d[i + j] = (uint8_t)(v >> (8 * j));
    }
  }
  return out;
}

inline std::vector<recon::Digest> Sorted(std::vector<recon::Digest> v) {
  std::sort(v.begin(), v.end());
  return v;
}

}  // namespace recontest
