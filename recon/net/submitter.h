// Puts fetched keys through the add pipeline exactly as an HKP submission
// from the peer's address would go: access rules, signing rules, policy,
// merge, PENDING, the blocklist, and an access-log line per key.
#pragma once

#include <string>

#include "recon/net/fetch.h"
#include "runtime/connection.h"

namespace kry {
namespace recon_net {

class PipelineSubmitter {
 public:
  // `peerAddress`: the dotted IPv4 address the keys come from.
  explicit PipelineSubmitter(const std::string& peerAddress);
  ~PipelineSubmitter();
  PipelineSubmitter(const PipelineSubmitter&) = delete;
  PipelineSubmitter& operator=(const PipelineSubmitter&) = delete;

  SubmitOutcome Submit(const std::string& binaryKey);

 private:
  Connection conn_;
};

}  // namespace recon_net
}  // namespace kry
