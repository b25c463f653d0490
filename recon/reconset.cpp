#include "recon/reconset.h"

namespace recon {

struct ReconNode {};

ReconSet::ReconSet(ReconParams p) : params_(std::make_shared<const ReconParams>(std::move(p))) {}
bool ReconSet::Insert(const Digest&) { return false; }
bool ReconSet::Remove(const Digest&) { return false; }
bool ReconSet::Contains(const Digest&) const { return false; }
size_t ReconSet::Size() const { return 0; }
size_t ReconSet::InsertMany(const std::vector<Digest>&) { return 0; }
ReconView ReconSet::Snapshot() const { return ReconView(); }

}  // namespace recon
