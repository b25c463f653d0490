// The prefix tree over the digests of a key set, with each node's sample
// values: for every sample point z, the product of (z - e) over the elements
// e below the node. A node's children are chosen by the next bitQuantum bits
// of the element's bytes; a leaf holds its elements and splits when it grows
// past splitThreshold.
//
// Thread-safe: Insert and Remove may run from any thread; a session works on
// a Snapshot, an immutable view that writers never change (they copy the
// nodes on the path they modify), so a session is neither blocked by nor
// sees half of a concurrent write.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "recon/params.h"
#include "recon/zzp.h"

namespace recon {

// A node prefix: the first `bits` bits of an element's bytes, most
// significant bit of each byte first.
struct Prefix {
  std::vector<uint8_t> bytes;  // (bits + 7) / 8 bytes, unused low bits zero
  int bits = 0;
  bool operator==(const Prefix& o) const { return bits == o.bits && bytes == o.bytes; }
  Prefix Child(int index, int bitQuantum) const;
  // Whether the element's bytes begin with this prefix.
  bool Matches(const std::array<uint8_t, Zp::kBytes>& elementBytes) const;
};

struct ReconNode;  // defined in reconset.cpp

// An immutable view of the tree. Cheap to copy; stays valid after the set
// changes or is destroyed. A default-made view is empty and has no params.
class ReconView {
 public:
  ReconView() = default;
  size_t Size() const;
  // The node at `prefix`: its element count, samples, whether it is a leaf,
  // and (for leaves) its elements. False when no node has that prefix (the
  // tree is shallower there): treat as the node holding the elements of the
  // deepest existing ancestor that match the prefix.
  struct NodeInfo {
    size_t size = 0;
    std::vector<Zp> samples;
    bool leaf = true;
  };
  NodeInfo Node(const Prefix& prefix) const;
  bool Contains(const Zp& e) const;
  // The elements below `prefix`, in no particular order.
  std::vector<Zp> Elements(const Prefix& prefix) const;
  const ReconParams& Params() const;
  // The sample points every node is evaluated at (NumSamples of them).
  const std::vector<Zp>& Points() const;

 private:
  friend class ReconSet;
  std::shared_ptr<const ReconNode> root_;
  std::shared_ptr<const ReconParams> params_;
  std::shared_ptr<const std::vector<Zp>> points_;
};

class ReconSet {
 public:
  // Parameters no tree can be built with (bitQuantum outside 1..8, mbar
  // outside 1..64, splitThreshold below 1) are replaced by the defaults;
  // Params() tells what the set uses.
  explicit ReconSet(ReconParams p = {});
  ReconSet(const ReconSet&) = delete;
  ReconSet& operator=(const ReconSet&) = delete;

  // False when the digest was already in / not in the set. Insert also
  // refuses the few digests that are sample points (the values 0, 1, 2).
  bool Insert(const Digest& d);
  bool Remove(const Digest& d);
  bool Contains(const Digest& d) const;
  size_t Size() const;
  // Adds many digests under one lock (for loading a whole directory).
  size_t InsertMany(const std::vector<Digest>& ds);
  ReconView Snapshot() const;
  const ReconParams& Params() const { return *params_; }

 private:
  bool InsertLocked(const Digest& d);  // mu_ held

  mutable std::mutex mu_;
  std::shared_ptr<const ReconParams> params_;
  std::shared_ptr<const std::vector<Zp>> points_;
  std::shared_ptr<const ReconNode> root_;  // guarded by mu_
};

// The sample points for n samples, as peers use them.
std::vector<Zp> SamplePoints(int n);

}  // namespace recon
