// Uniting two copies of a key: what the source adds to the target, and
// nothing twice.
#include <gtest/gtest.h>

#include <memory>

#include "platform/pgp/merge.h"

namespace {

using krypgp::Bytes;
using krypgp::MakePacket;

std::unique_ptr<KRYSig> Sig(uint8_t marker) {
  auto s = std::make_unique<KRYSig>();
  s->packet = MakePacket(krypgp::kTagSignature, Bytes{4, 0x18, marker});
  return s;
}

// A key with one user ID and one subkey, each with the given signatures.
std::unique_ptr<KRYKey> Key(std::initializer_list<uint8_t> uidSigs, std::initializer_list<uint8_t> subSigs) {
  auto k = std::make_unique<KRYKey>();
  k->publicPacket = MakePacket(6, Bytes{4, 1, 2, 3});
  auto u = std::make_unique<KRYUserID>();
  u->packet = MakePacket(13, Bytes{'a', '@', 'x'});
  u->key = k.get();
  for (uint8_t m : uidSigs) u->sigs.push_back(Sig(m));
  k->userIDs.push_back(std::move(u));
  auto sub = std::make_unique<KRYSubKey>();
  sub->publicPacket = MakePacket(14, Bytes{4, 9, 9});
  sub->key = k.get();
  for (uint8_t m : subSigs) sub->sigs.push_back(Sig(m));
  k->subKeys.push_back(std::move(sub));
  return k;
}

std::vector<uint8_t> Markers(const SigList& sigs) {
  std::vector<uint8_t> out;
  for (const auto& s : sigs) out.push_back(s->packet.body.back());
  return out;
}

TEST(Merge, NewSignatureOnASubkeyBothCopiesHoldIsAdded) {
  auto target = Key({1}, {0x18});
  auto source = Key({1}, {0x18, 0x28});  // the binding and a revocation
  EXPECT_TRUE(krypgp::MergeKey(target.get(), *source));
  ASSERT_EQ(target->subKeys.size(), 1u);
  EXPECT_EQ(Markers(target->subKeys[0]->sigs), (std::vector<uint8_t>{0x18, 0x28}));
  EXPECT_EQ(target->subKeys[0]->sigs[1]->subKey, target->subKeys[0].get());
  EXPECT_FALSE(krypgp::MergeKey(target.get(), *source));  // nothing more to add
}

TEST(Merge, RepeatedSignaturePacketIsCopiedOnce) {
  auto target = Key({1}, {});
  auto source = Key({1, 2, 2}, {7, 7});
  EXPECT_TRUE(krypgp::MergeKey(target.get(), *source));
  EXPECT_EQ(Markers(target->userIDs[0]->sigs), (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(Markers(target->subKeys[0]->sigs), (std::vector<uint8_t>{7}));
}

TEST(Merge, RemovedSignatureComesBackOnlyFromTheSource) {
  auto target = Key({1, 2}, {});
  target->userIDs[0]->sigs[1]->removed = true;
  auto source = Key({1}, {});
  EXPECT_FALSE(krypgp::MergeKey(target.get(), *source));
  EXPECT_TRUE(target->userIDs[0]->sigs[1]->removed);
  source->userIDs[0]->sigs.push_back(Sig(2));
  EXPECT_TRUE(krypgp::MergeKey(target.get(), *source));
  EXPECT_FALSE(target->userIDs[0]->sigs[1]->removed);
  EXPECT_EQ(target->userIDs[0]->sigs.size(), 2u);
}

}  // namespace
