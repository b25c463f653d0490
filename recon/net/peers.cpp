#include "recon/net/peers.h"

#include <algorithm>
#include <memory>
#include <new>

namespace kry {
namespace recon_net {

PeerTable::PeerTable(std::vector<Partner> partners, const std::vector<std::string>& allowPatterns)
    : partners_(std::move(partners)) {
  for (const std::string& pattern : allowPatterns) {
    auto rule = std::make_shared<AccessRule>();
    rule->type = ACCESS_IP;
    rule->pattern = pattern;
    // Anchored, unlike "Allow ip" rules: "10.1.2.3" must not also let in
    // 10.1.2.30 or 110.1.2.3 to a port that feeds the directory.
    rule->regex = "^" + CompileAccessPattern(pattern) + "$";
    rule->level = ACL_ALL;
    allow_.push_back(std::move(rule));
  }
}

const Partner* PeerTable::PartnerAt(const std::string& address) const {
  for (const Partner& p : partners_)
    if (std::find(p.addresses.begin(), p.addresses.end(), address) != p.addresses.end()) return &p;
  return nullptr;
}

bool PeerTable::Allowed(const std::string& address) const {
  if (address.empty()) return false;
  if (PartnerAt(address)) return true;
  if (allow_.empty()) return false;
  try {
    return MatchingRuleLevel(address.c_str(), nullptr, allow_) != 0;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace recon_net
}  // namespace kry
