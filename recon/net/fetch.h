// Fetching the keys a session found missing here: from the peer's HTTP port
// in batches of 100 digests, each key put through `submit` (the add
// pipeline, as for an HKP submission). Digests already put through it once
// are skipped, so a key the pipeline refuses is not fetched every round.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "platform/pgp/sksdigest.h"
#include "recon/net/digest_memory.h"
#include "recon/net/hashquery_client.h"

namespace kry {
namespace recon_net {

// What became of one submitted key.
enum class SubmitOutcome { kStored, kUnchanged, kRefused };
using KeySubmitter = std::function<SubmitOutcome(const std::string& binaryKey)>;

// Digests asked for in one hash query, as peers do.
constexpr size_t kFetchBatch = 100;
// Most digests fetched after one session; the rest wait for later rounds.
constexpr size_t kMaxFetchPerRound = 50000;

struct FetchCounts {
  size_t stored = 0;     // stored or merged
  size_t unchanged = 0;
  size_t refused = 0;    // refused by the pipeline, unreadable, or not asked for
};

// Fetches the keys of `lack` from host:httpPort. False, with *error, when a
// batch failed (the batches before it were submitted and are counted).
// `stop`, when set, ends the fetch between batches.
bool FetchMissing(const std::string& host, int httpPort, const std::vector<krypgp::SksDigest>& lack,
                  const HashqueryLimits& limits, DigestMemory* memory, const KeySubmitter& submit,
                  const std::atomic<bool>& stop, FetchCounts* counts, std::string* error);

}  // namespace recon_net
}  // namespace kry
