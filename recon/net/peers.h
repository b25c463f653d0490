// Who this server reconciles with: the "ReconPartner" lines, their host
// names resolved when the table is made, and the "ReconAllow" patterns
// ('*' and '?' as in "Allow ip" patterns, but matching the whole address)
// for peers that only connect here.
#pragma once

#include <string>
#include <vector>

#include "cert/access.h"

namespace kry {
namespace recon_net {

struct Partner {
  std::string host;
  int reconPort = 0;
  int httpPort = 0;  // where its keys are fetched when its handshake names no port
  std::vector<std::string> addresses;  // dotted IPv4, resolved at start

  std::string Name() const { return host + ":" + std::to_string(reconPort); }
};

class PeerTable {
 public:
  PeerTable(std::vector<Partner> partners, const std::vector<std::string>& allowPatterns);

  // A partner's address, or one a "ReconAllow" pattern matches.
  bool Allowed(const std::string& address) const;
  // The first partner at `address`; null when none is.
  const Partner* PartnerAt(const std::string& address) const;
  const std::vector<Partner>& partners() const { return partners_; }

 private:
  std::vector<Partner> partners_;
  AccessList allow_;
};

}  // namespace recon_net
}  // namespace kry
