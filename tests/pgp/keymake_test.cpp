// Keys and signatures made by the library: imported back through the
// ordinary import, every self-signature, binding and certification must be
// tried and verified, and a signature over changed data must fail.
#include "platform/pgp/armor.h"
#include "platform/pgp/keymake.h"
#include "platform/pgp/pubkey.h"
#include "platform/pgp/sigpacket.h"
#include "tests/pgp/testutil.h"

using namespace pgptest;
using krypgp::Bytes;
using krypgp::PublicKeyInfo;

namespace {

struct Made {
  krypgp::EvpPtr priv;
  PublicKeyInfo info;
};

class KeyMake : public Lib {
 protected:
  static Made Primary(int alg, krypgp::EvpPtr priv, KRYTime created) {
    Made m;
    m.priv = std::move(priv);
    Bytes body;
    size_t publicLen = 0;
    EXPECT_TRUE(krypgp::PublicKeyBody(alg, created, m.priv.get(), &body));
    EXPECT_EQ(0, krypgp::ParsePublicKey(body, &m.info, &publicLen));
    return m;
  }
  static void Put(int tag, const Bytes& body, Bytes* out) { krypgp::WritePacket(krypgp::MakePacket(tag, body), out); }

  // A key with one user ID signed by itself (and by `certifier` when given)
  // and a subkey bound to it, as packets.
  static Bytes KeyPackets(Made& key, const PublicKeyInfo& sub, const std::string& uid, Made* certifier,
                          bool corruptUserID = false) {
    Bytes out;
    Put(krypgp::kTagPublicKey, key.info.body, &out);
    krypgp::Packet u = krypgp::MakePacket(krypgp::kTagUserID, Bytes(uid.begin(), uid.end()));
    krypgp::SigTarget t;
    t.primary = &key.info;
    t.userID = &u;
    krypgp::SigSpec params;
    params.type = krypgp::kSigCertPositive;
    params.created = key.info.created;
    params.keyFlags = 3;
    params.primaryUserID = true;
    Bytes selfSig, certSig, binding;
    EXPECT_TRUE(krypgp::MakeSignature(params, key.info, key.priv.get(), t, &selfSig));
    if (certifier) {
      params.type = krypgp::kSigCertGeneric;
      params.keyFlags = -1;
      params.primaryUserID = false;
      EXPECT_TRUE(krypgp::MakeSignature(params, certifier->info, certifier->priv.get(), t, &certSig));
    }
    if (corruptUserID) u.body.back() ^= 1;
    krypgp::WritePacket(u, &out);
    Put(krypgp::kTagSignature, selfSig, &out);
    if (certifier) Put(krypgp::kTagSignature, certSig, &out);
    Put(krypgp::kTagPublicSubkey, sub.body, &out);
    krypgp::SigTarget bt;
    bt.primary = &key.info;
    bt.subkey = &sub;
    params.type = krypgp::kSigSubkeyBinding;
    params.keyFlags = 0x0C;
    EXPECT_TRUE(krypgp::MakeSignature(params, key.info, key.priv.get(), bt, &binding));
    Put(krypgp::kTagSignature, binding, &out);
    return out;
  }

  // Imports the armoured packets and returns (tried, verified) counts.
  std::pair<int, int> Check(const Bytes& packets, KRYKeySetRef* keep = nullptr) {
    KRYKeySetRef set = ImportText(krypgp::Armor("PGP PUBLIC KEY BLOCK", packets));
    int tried = 0, verified = 0;
    for (KRYKeyRef k : Keys(set)) {
      auto count = [&](const SigList& sigs) {
        for (const auto& s : sigs) {
          tried += s->tried;
          verified += s->verified;
        }
      };
      for (const auto& u : k->userIDs) count(u->sigs);
      for (const auto& s : k->subKeys) count(s->sigs);
    }
    if (keep) *keep = set;
    else KRYFreeKeySet(set);
    return {tried, verified};
  }
};

TEST_F(KeyMake, RsaAndDsaKeysWithSubkeysVerify) {
  Made rsa = Primary(kKRYPublicKeyAlgorithm_RSA, krypgp::GenerateRSA(1024), 1600000000);
  EXPECT_EQ(rsa.info.bits, 1024);
  Made rsaSub = Primary(kKRYPublicKeyAlgorithm_RSA, krypgp::GenerateRSA(1024), 1600000000);
  EXPECT_EQ(Check(KeyPackets(rsa, rsaSub.info, "R <r@example.org>", nullptr)), std::make_pair(2, 2));

  Made dsa = Primary(kKRYPublicKeyAlgorithm_DSA, krypgp::GenerateDSA(1024, 160), 1600000001);
  krypgp::ElGamalKey elg;
  ASSERT_TRUE(krypgp::GenerateElGamal(&elg));
  PublicKeyInfo elgInfo;
  size_t publicLen = 0;
  ASSERT_EQ(0, krypgp::ParsePublicKey(krypgp::ElGamalBody(1600000001, elg), &elgInfo, &publicLen));
  EXPECT_EQ(elgInfo.algorithm, kKRYPublicKeyAlgorithm_ElGamal);
  EXPECT_EQ(elgInfo.bits, 2048);
  EXPECT_EQ(Check(KeyPackets(dsa, elgInfo, "D <d@example.org>", nullptr)), std::make_pair(2, 2));
}

TEST_F(KeyMake, SameMaterialAtAnotherTimeIsAnotherKey) {
  krypgp::EvpPtr material = krypgp::GenerateRSA(1024);
  Bytes a, b;
  ASSERT_TRUE(krypgp::PublicKeyBody(kKRYPublicKeyAlgorithm_RSA, 1600000000, material.get(), &a));
  ASSERT_TRUE(krypgp::PublicKeyBody(kKRYPublicKeyAlgorithm_RSA, 1600000001, material.get(), &b));
  PublicKeyInfo ia, ib;
  size_t len = 0;
  ASSERT_EQ(0, krypgp::ParsePublicKey(a, &ia, &len));
  ASSERT_EQ(0, krypgp::ParsePublicKey(b, &ib, &len));
  // The MPI bit counts are exact (our reader tolerates a wrong count, GnuPG
  // does not): the modulus has 1024 bits, the exponent 65537 has 17.
  ASSERT_GT(a.size(), 6u + 2 + 128 + 2);
  EXPECT_EQ((a[6] << 8) | a[7], 1024);
  EXPECT_EQ((a[6 + 2 + 128] << 8) | a[6 + 2 + 128 + 1], 17);
  EXPECT_NE(ia.fingerprint, ib.fingerprint);
  EXPECT_NE(ia.keyID64, ib.keyID64);
}

TEST_F(KeyMake, CertificationsVerifyOnlyOverTheSignedData) {
  Made certifier = Primary(kKRYPublicKeyAlgorithm_DSA, krypgp::GenerateDSA(1024, 160), 1600000000);
  Made key = Primary(kKRYPublicKeyAlgorithm_RSA, krypgp::GenerateRSA(1024), 1600000005);
  Made sub = Primary(kKRYPublicKeyAlgorithm_RSA, krypgp::GenerateRSA(1024), 1600000005);
  // The certifier's key in the same input: the certification is tried too.
  Made unused = Primary(kKRYPublicKeyAlgorithm_RSA, krypgp::GenerateRSA(1024), 1600000000);
  Bytes both = KeyPackets(certifier, unused.info, "C <c@example.org>", nullptr);
  const Bytes certified = KeyPackets(key, sub.info, "K <k@example.org>", &certifier);
  both.insert(both.end(), certified.begin(), certified.end());
  EXPECT_EQ(Check(both), std::make_pair(5, 5));

  // A user ID changed after signing: both its signatures fail, the binding holds.
  EXPECT_EQ(Check(KeyPackets(key, sub.info, "K <k@example.org>", nullptr, true)), std::make_pair(2, 1));
}

TEST_F(KeyMake, UnsupportedSignersAndKeysAreRefused) {
  krypgp::ElGamalKey elg;
  ASSERT_TRUE(krypgp::GenerateElGamal(&elg));
  PublicKeyInfo elgInfo;
  size_t len = 0;
  ASSERT_EQ(0, krypgp::ParsePublicKey(krypgp::ElGamalBody(1, elg), &elgInfo, &len));
  krypgp::EvpPtr rsa = krypgp::GenerateRSA(1024);
  krypgp::SigSpec params;
  params.type = krypgp::kSigDirectKey;
  krypgp::SigTarget t;
  t.primary = &elgInfo;
  Bytes sig;
  EXPECT_FALSE(krypgp::MakeSignature(params, elgInfo, rsa.get(), t, &sig));
  Bytes body;
  EXPECT_FALSE(krypgp::PublicKeyBody(kKRYPublicKeyAlgorithm_ECDSA, 1, rsa.get(), &body));
  // A DSA key's fields cannot be written as an RSA key.
  krypgp::EvpPtr dsa = krypgp::GenerateDSA(1024, 160);
  EXPECT_FALSE(krypgp::PublicKeyBody(kKRYPublicKeyAlgorithm_RSA, 1, dsa.get(), &body));
}

}  // namespace
