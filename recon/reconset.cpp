// Nodes are immutable once published: a writer copies the nodes on the path
// it changes and swaps the root under the mutex, so a snapshot is a root
// pointer and never sees a half-made change.
#include "recon/reconset.h"

#include <algorithm>

namespace recon {

struct ReconNode {
  size_t size = 0;
  std::vector<Zp> samples;
  std::vector<std::shared_ptr<const ReconNode>> children;  // empty for a leaf
  std::vector<Zp> elements;                                // leaves only
  bool leaf() const { return children.empty(); }
};

namespace {

using NodePtr = std::shared_ptr<const ReconNode>;
using ElementBytes = std::array<uint8_t, Zp::kBytes>;
constexpr int kMaxBits = 8 * Zp::kBytes;

int BitAt(const uint8_t* bytes, int i) { return (bytes[i / 8] >> (7 - i % 8)) & 1; }

// The child an element goes to below a node at `depth`.
int ChildIndex(const ElementBytes& b, int depth, int q) {
  int index = 0;
  for (int i = 0; i < q; ++i) index = index << 1 | BitAt(b.data(), depth * q + i);
  return index;
}

NodePtr EmptyNode(const ReconParams& p) {
  auto n = std::make_shared<ReconNode>();
  n->samples.assign(p.NumSamples(), Zp::FromU64(1));
  return n;
}

// Multiplies per-point factors into a node's samples: (point - e) to add an
// element, their inverses to take it out.
void Apply(std::vector<Zp>* samples, const std::vector<Zp>& factors) {
  for (size_t i = 0; i < samples->size(); ++i) (*samples)[i] = (*samples)[i] * factors[i];
}

std::vector<Zp> Factors(const std::vector<Zp>& points, const Zp& e, bool inverse) {
  std::vector<Zp> f(points.size());
  for (size_t i = 0; i < points.size(); ++i) {
    f[i] = points[i] - e;
    if (inverse) f[i] = f[i].Inverse();
  }
  return f;
}

bool CanSplit(int depth, const ReconParams& p) { return (depth + 1) * p.bitQuantum <= kMaxBits; }

NodePtr MakeNode(const std::vector<Zp>& elems, int depth, const ReconParams& p,
                 const std::vector<Zp>& points);

// Children of a node that has grown past the threshold.
void Split(ReconNode* n, int depth, const ReconParams& p, const std::vector<Zp>& points) {
  std::vector<std::vector<Zp>> parts(size_t(1) << p.bitQuantum);
  for (const Zp& e : n->elements) parts[ChildIndex(e.ToBytesLE(), depth, p.bitQuantum)].push_back(e);
  n->elements.clear();
  n->elements.shrink_to_fit();
  for (auto& part : parts) n->children.push_back(MakeNode(part, depth + 1, p, points));
}

NodePtr MakeNode(const std::vector<Zp>& elems, int depth, const ReconParams& p,
                 const std::vector<Zp>& points) {
  auto n = std::make_shared<ReconNode>();
  n->samples.assign(points.size(), Zp::FromU64(1));
  for (const Zp& e : elems) Apply(&n->samples, Factors(points, e, false));
  n->size = elems.size();
  n->elements = elems;
  if (n->size > (size_t)p.splitThreshold && CanSplit(depth, p)) Split(n.get(), depth, p, points);
  return n;
}

void Collect(const ReconNode& n, std::vector<Zp>* out) {
  if (n.leaf()) {
    out->insert(out->end(), n.elements.begin(), n.elements.end());
    return;
  }
  for (const auto& c : n.children) Collect(*c, out);
}

struct Edit {
  const ReconParams& p;
  const std::vector<Zp>& points;
  const Zp& e;
  const ElementBytes& bytes;
  const std::vector<Zp>& factors;  // (point - e), or their inverses on removal
};

bool LeafHas(const ReconNode& n, const Zp& e) {
  return std::find(n.elements.begin(), n.elements.end(), e) != n.elements.end();
}

const ReconNode* Find(const ReconNode* n, const ElementBytes& b, int q) {
  for (int depth = 0; !n->leaf(); ++depth) n = n->children[ChildIndex(b, depth, q)].get();
  return n;
}

// The copy of `n` with the element added; the caller has checked it is absent.
NodePtr InsertAt(const ReconNode& n, const Edit& ed, int depth) {
  auto copy = std::make_shared<ReconNode>(n);
  Apply(&copy->samples, ed.factors);
  copy->size++;
  if (copy->leaf()) {
    copy->elements.push_back(ed.e);
    if (copy->size > (size_t)ed.p.splitThreshold && CanSplit(depth, ed.p)) {
      Split(copy.get(), depth, ed.p, ed.points);
    }
  } else {
    int i = ChildIndex(ed.bytes, depth, ed.p.bitQuantum);
    copy->children[i] = InsertAt(*n.children[i], ed, depth + 1);
  }
  return copy;
}

// The copy of `n` with the element taken out; the caller has checked it is present.
NodePtr RemoveAt(const ReconNode& n, const Edit& ed, int depth) {
  auto copy = std::make_shared<ReconNode>(n);
  Apply(&copy->samples, ed.factors);
  copy->size--;
  if (copy->leaf()) {
    copy->elements.erase(std::find(copy->elements.begin(), copy->elements.end(), ed.e));
    return copy;
  }
  int i = ChildIndex(ed.bytes, depth, ed.p.bitQuantum);
  copy->children[i] = RemoveAt(*n.children[i], ed, depth + 1);
  if (copy->size <= (size_t)ed.p.JoinThreshold()) {
    std::vector<Zp> all;
    Collect(*copy, &all);
    copy->children.clear();
    copy->elements = std::move(all);
  }
  return copy;
}

// Walks towards `prefix`; returns the node at it, or the leaf where the
// tree ends above it.
const ReconNode* Walk(const ReconNode* n, const Prefix& prefix, int q, bool* exact) {
  int depth = 0;
  // Only whole levels: a prefix that ends inside one stops above it.
  while ((depth + 1) * q <= prefix.bits && !n->leaf()) {
    int index = 0;
    for (int i = 0; i < q; ++i) index = index << 1 | BitAt(prefix.bytes.data(), depth * q + i);
    n = n->children[index].get();
    ++depth;
  }
  *exact = depth * q == prefix.bits;
  return n;
}

}  // namespace

Prefix Prefix::Child(int index, int bitQuantum) const {
  Prefix c = *this;
  for (int i = bitQuantum - 1; i >= 0; --i) {
    if (c.bits % 8 == 0) c.bytes.push_back(0);
    if ((index >> i) & 1) c.bytes[c.bits / 8] |= (uint8_t)(0x80 >> (c.bits % 8));
    c.bits++;
  }
  return c;
}

bool Prefix::Matches(const std::array<uint8_t, Zp::kBytes>& b) const {
  if (bits > kMaxBits || (int)bytes.size() * 8 < bits) return false;
  for (int i = 0; i < bits; ++i) {
    if (BitAt(b.data(), i) != BitAt(bytes.data(), i)) return false;
  }
  return true;
}

std::vector<Zp> SamplePoints(int n) {
  // 0, -1, 1, -2, 2, -3, ...
  std::vector<Zp> pts;
  for (int i = 0; i < n; ++i) pts.push_back(Zp::FromInt(i % 2 ? -(i + 1) / 2 : i / 2));
  return pts;
}

size_t ReconView::Size() const { return root_ ? root_->size : 0; }
const ReconParams& ReconView::Params() const { return *params_; }
const std::vector<Zp>& ReconView::Points() const { return *points_; }

ReconView::NodeInfo ReconView::Node(const Prefix& prefix) const {
  NodeInfo info;
  if (!root_) return info;
  bool exact = false;
  const ReconNode* n = Walk(root_.get(), prefix, params_->bitQuantum, &exact);
  if (exact) {
    info.size = n->size;
    info.samples = n->samples;
    info.leaf = n->leaf();
    return info;
  }
  info.samples.assign(points_->size(), Zp::FromU64(1));
  for (const Zp& e : n->elements) {
    if (!prefix.Matches(e.ToBytesLE())) continue;
    Apply(&info.samples, Factors(*points_, e, false));
    info.size++;
  }
  return info;
}

std::vector<Zp> ReconView::Elements(const Prefix& prefix) const {
  if (!root_) return {};
  bool exact = false;
  const ReconNode* n = Walk(root_.get(), prefix, params_->bitQuantum, &exact);
  std::vector<Zp> out;
  Collect(*n, &out);
  if (!exact) {
    out.erase(std::remove_if(out.begin(), out.end(),
                             [&](const Zp& e) { return !prefix.Matches(e.ToBytesLE()); }),
              out.end());
  }
  return out;
}

bool ReconView::Contains(const Zp& e) const {
  return root_ && LeafHas(*Find(root_.get(), e.ToBytesLE(), params_->bitQuantum), e);
}

namespace {

// Parameters a tree can be built with: a quantum of zero bits would split a
// leaf into itself forever, and one of more than a byte's worth would make
// nodes with hundreds of children.
ReconParams Usable(ReconParams p) {
  const ReconParams defaults;
  if (p.bitQuantum < 1 || p.bitQuantum > 8) p.bitQuantum = defaults.bitQuantum;
  if (p.mbar < 1 || p.mbar > 64) p.mbar = defaults.mbar;
  if (p.splitThreshold < 1) p.splitThreshold = defaults.splitThreshold;
  return p;
}

}  // namespace

ReconSet::ReconSet(ReconParams p)
    : params_(std::make_shared<const ReconParams>(Usable(std::move(p)))),
      points_(std::make_shared<const std::vector<Zp>>(SamplePoints(params_->NumSamples()))),
      root_(EmptyNode(*params_)) {}

bool ReconSet::Insert(const Digest& d) {
  std::lock_guard<std::mutex> lock(mu_);
  return InsertLocked(d);
}

bool ReconSet::InsertLocked(const Digest& d) {
  Zp e = Zp::FromDigest(d);
  ElementBytes b = e.ToBytesLE();
  std::vector<Zp> f = Factors(*points_, e, false);
  // An element on a sample point would zero the samples of every node above
  // it, and could not be divided out again.
  for (const Zp& x : f) {
    if (x.IsZero()) return false;
  }
  if (LeafHas(*Find(root_.get(), b, params_->bitQuantum), e)) return false;
  root_ = InsertAt(*root_, Edit{*params_, *points_, e, b, f}, 0);
  return true;
}

bool ReconSet::Remove(const Digest& d) {
  Zp e = Zp::FromDigest(d);
  ElementBytes b = e.ToBytesLE();
  std::vector<Zp> f = Factors(*points_, e, true);
  std::lock_guard<std::mutex> lock(mu_);
  if (!LeafHas(*Find(root_.get(), b, params_->bitQuantum), e)) return false;
  root_ = RemoveAt(*root_, Edit{*params_, *points_, e, b, f}, 0);
  return true;
}

bool ReconSet::Contains(const Digest& d) const {
  Zp e = Zp::FromDigest(d);
  std::lock_guard<std::mutex> lock(mu_);
  return LeafHas(*Find(root_.get(), e.ToBytesLE(), params_->bitQuantum), e);
}

size_t ReconSet::Size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return root_->size;
}

size_t ReconSet::InsertMany(const std::vector<Digest>& ds) {
  size_t added = 0;
  std::lock_guard<std::mutex> lock(mu_);
  for (const Digest& d : ds) added += InsertLocked(d) ? 1 : 0;
  return added;
}

ReconView ReconSet::Snapshot() const {
  ReconView v;
  v.params_ = params_;
  v.points_ = points_;
  std::lock_guard<std::mutex> lock(mu_);
  v.root_ = root_;
  return v;
}

}  // namespace recon
