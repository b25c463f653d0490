// The field against OpenSSL's big numbers, the difference solver on known
// sets, and the tree's samples against a plain recomputation.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <memory>
#include <thread>

#include "recon/poly.h"
#include "recon/reconset.h"
#include "tests/recon/recon_support.h"

using namespace recon;

namespace {

using BnPtr = std::unique_ptr<BIGNUM, decltype(&BN_free)>;

BnPtr Bn(const std::string& dec) {
  BIGNUM* b = nullptr;
  BN_dec2bn(&b, dec.c_str());
  return BnPtr(b, BN_free);
}

std::string Dec(const BIGNUM* b) {
  char* s = BN_bn2dec(b);
  std::string r(s);
  OPENSSL_free(s);
  return r;
}

const char kPrime[] = "530512889551602322505127520352579437339";

Zp Product(const std::vector<Digest>& ds, const Zp& z) {
  Zp r = Zp::FromU64(1);
  for (const auto& d : ds) r = r * (z - Zp::FromDigest(d));
  return r;
}

}  // namespace

TEST(ReconField, ArithmeticMatchesBignum) {
  std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
  BnPtr p = Bn(kPrime);
  auto ds = recontest::RandomDigests(200, 1);
  // Values near the prime too: p - 1 and p - 2 in little-endian bytes.
  for (int k = 1; k <= 2; ++k) {
    BnPtr v = Bn(kPrime);
    BN_sub_word(v.get(), k);
    std::array<uint8_t, Zp::kBytes> le{};
    BN_bn2lebinpad(v.get(), le.data(), (int)le.size());
    EXPECT_EQ(Zp::FromBytesLE(le.data(), le.size()).ToDecimal(), Dec(v.get()));
  }
  // Longer inputs reduce too.
  std::array<uint8_t, 32> ff;
  for (size_t i = 0; i < ff.size(); ++i) ff[i] = (uint8_t)(0xff - 7 * i);
  BnPtr big(BN_new(), BN_free), rem(BN_new(), BN_free);
  BN_lebin2bn(ff.data(), (int)ff.size(), big.get());
  BN_mod(rem.get(), big.get(), p.get(), ctx.get());
  EXPECT_EQ(Zp::FromBytesLE(ff.data(), ff.size()).ToDecimal(), Dec(rem.get()));
  for (size_t i = 0; i + 1 < ds.size(); ++i) {
    Zp a = Zp::FromDigest(ds[i]) * Zp::FromDigest(ds[i]) + Zp::FromInt(-7);
    Zp b = Zp::FromDigest(ds[i + 1]);
    BnPtr ba = Bn(a.ToDecimal()), bb = Bn(b.ToDecimal()), r(BN_new(), BN_free);
    BN_mod_mul(r.get(), ba.get(), bb.get(), p.get(), ctx.get());
    ASSERT_EQ((a * b).ToDecimal(), Dec(r.get()));
    BN_mod_sub(r.get(), bb.get(), ba.get(), p.get(), ctx.get());
    ASSERT_EQ((b - a).ToDecimal(), Dec(r.get()));
    ASSERT_EQ((a / b) * b, a);
    Digest back;
    ASSERT_TRUE(b.ToDigest(&back));
    ASSERT_EQ(back, ds[i + 1]);
  }
  EXPECT_EQ(Zp::FromInt(-1).ToDecimal(), "530512889551602322505127520352579437338");
}

TEST(ReconField, SolvesDifferencesUpToMbar) {
  auto pts = SamplePoints(6);
  auto all = recontest::RandomDigests(40, 2);
  std::vector<Digest> common(all.begin(), all.begin() + 30);
  // (remote-only, local-only) counts: within mbar they resolve, beyond not.
  const std::pair<int, int> cases[] = {{0, 0}, {1, 0}, {0, 1}, {2, 3}, {5, 0}, {0, 5}, {3, 3}, {6, 0}};
  for (auto c : cases) {
    std::vector<Digest> remote = common, local = common;
    remote.insert(remote.end(), all.begin() + 30, all.begin() + 30 + c.first);
    local.insert(local.end(), all.begin() + 35, all.begin() + 35 + c.second);
    std::vector<Zp> rs, ls, ro, lo;
    for (const auto& z : pts) {
      rs.push_back(Product(remote, z));
      ls.push_back(Product(local, z));
    }
    bool ok = SolveDifference(pts, rs, (int64_t)remote.size(), ls, (int64_t)local.size(), &ro, &lo);
    SCOPED_TRACE(std::to_string(c.first) + "/" + std::to_string(c.second));
    if (c.first + c.second > 5) {
      EXPECT_FALSE(ok);
      continue;
    }
    ASSERT_TRUE(ok);
    ASSERT_EQ(ro.size(), (size_t)c.first);
    ASSERT_EQ(lo.size(), (size_t)c.second);
    std::vector<Digest> got;
    for (const Zp& z : ro) {
      got.emplace_back();
      ASSERT_TRUE(z.ToDigest(&got.back()));
    }
    EXPECT_EQ(recontest::Sorted(got),
              recontest::Sorted({all.begin() + 30, all.begin() + 30 + c.first}));
  }
}

TEST(ReconField, TreeSamplesFollowInsertAndRemove) {
  ReconSet set;
  auto ds = recontest::RandomDigests(400, 3);
  EXPECT_EQ(set.InsertMany(ds), ds.size());
  EXPECT_FALSE(set.Insert(ds[0]));
  Digest onPoint{};
  onPoint[0] = 2;  // the sample point 2 would zero every sample above it
  EXPECT_FALSE(set.Insert(onPoint));
  ReconView before = set.Snapshot();
  // Remove down past the join threshold so that nodes merge again.
  for (size_t i = 0; i < 380; ++i) ASSERT_TRUE(set.Remove(ds[i]));
  EXPECT_FALSE(set.Remove(ds[0]));
  EXPECT_FALSE(set.Contains(ds[0]));
  EXPECT_TRUE(set.Contains(ds[399]));
  std::vector<Digest> rest(ds.begin() + 380, ds.end());
  ReconView after = set.Snapshot();
  EXPECT_EQ(after.Size(), rest.size());
  EXPECT_EQ(before.Size(), ds.size());  // the old snapshot is untouched
  for (int child = 0; child < 4; ++child) {
    Prefix pre = Prefix().Child(child, 2).Child(3, 2);
    std::vector<Digest> below;
    for (const auto& d : rest) {
      if (pre.Matches(Zp::FromDigest(d).ToBytesLE())) below.push_back(d);
    }
    auto node = after.Node(pre);
    ASSERT_EQ(node.size, below.size());
    for (size_t i = 0; i < node.samples.size(); ++i) {
      EXPECT_EQ(node.samples[i], Product(below, after.Points()[i]));
    }
  }
  auto root = before.Node(Prefix());
  EXPECT_FALSE(root.leaf);
  EXPECT_EQ(root.samples[3], Product(ds, Zp::FromInt(-2)));
}

TEST(ReconField, SnapshotsStayWholeUnderConcurrentWrites) {
  ReconSet set;
  auto ds = recontest::RandomDigests(300, 4);
  set.InsertMany({ds.begin(), ds.begin() + 150});
  std::thread writer([&] {
    for (int round = 0; round < 20; ++round) {
      for (size_t i = 100; i < 300; ++i) {
        if (round % 2) set.Remove(ds[i]); else set.Insert(ds[i]);
      }
    }
  });
  // Each snapshot's root must agree with the elements it holds.
  for (int i = 0; i < 30; ++i) {
    ReconView v = set.Snapshot();
    std::vector<Zp> elems = v.Elements(Prefix());
    ASSERT_EQ(elems.size(), v.Size());
    Zp product = Zp::FromU64(1);
    for (const Zp& e : elems) product = product * (v.Points()[1] - e);
    ASSERT_EQ(v.Node(Prefix()).samples[1], product);
  }
  writer.join();
  EXPECT_EQ(set.Size(), 100u);
}

TEST(ReconField, UnusableParametersFallBackToDefaults) {
  ReconParams p;
  p.bitQuantum = 0;  // would split a leaf into itself without end
  ReconSet set(p);
  EXPECT_EQ(set.InsertMany(recontest::RandomDigests(200, 5)), 200u);
  EXPECT_EQ(set.Params().bitQuantum, 2);
  EXPECT_EQ(set.Snapshot().Node(Prefix()).size, 200u);
}
