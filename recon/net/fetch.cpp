#include "recon/net/fetch.h"

#include <algorithm>
#include <set>

namespace kry {
namespace recon_net {

namespace {

// Submits the keys of one answer. Only keys whose digest was asked for
// are submitted: a peer cannot push other keys in through a fetch.
void SubmitBatch(const std::vector<std::string>& keys, const std::set<krypgp::SksDigest>& asked,
                 DigestMemory* memory, const KeySubmitter& submit, FetchCounts* counts) {
  for (const std::string& key : keys) {
    krypgp::SksDigest d{};
    if (krypgp::ComputeSksDigest(reinterpret_cast<const uint8_t*>(key.data()), key.size(), &d) != 0 ||
        asked.count(d) == 0) {
      ++counts->refused;
      continue;
    }
    switch (submit(key)) {
      case SubmitOutcome::kStored: ++counts->stored; break;
      case SubmitOutcome::kUnchanged: ++counts->unchanged; break;
      case SubmitOutcome::kRefused: ++counts->refused; break;
    }
    memory->Remember(d);
  }
}

}  // namespace

bool FetchMissing(const std::string& host, int httpPort, const std::vector<krypgp::SksDigest>& lack,
                  const HashqueryLimits& limits, DigestMemory* memory, const KeySubmitter& submit,
                  const std::atomic<bool>& stop, FetchCounts* counts, std::string* error) {
  std::vector<krypgp::SksDigest> wanted = memory->Unknown(lack);
  if (wanted.size() > kMaxFetchPerRound) wanted.resize(kMaxFetchPerRound);
  for (size_t at = 0; at < wanted.size() && !stop.load(); at += kFetchBatch) {
    const size_t end = std::min(wanted.size(), at + kFetchBatch);
    const std::vector<krypgp::SksDigest> batch(wanted.begin() + static_cast<long>(at),
                                                wanted.begin() + static_cast<long>(end));
    std::vector<std::string> keys;
    if (!FetchByDigests(host, httpPort, batch, limits, &keys, error)) return false;
    SubmitBatch(keys, std::set<krypgp::SksDigest>(batch.begin(), batch.end()), memory, submit, counts);
  }
  return true;
}

}  // namespace recon_net
}  // namespace kry
