// Signatures made here with the corpus's secret keys, for cases GnuPG no
// longer produces or produces only interactively: v3 certifications and
// key revocations by a designated revoker or by an unrelated key.
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstring>

#include "platform/pgp/armor.h"
#include "platform/pgp/packet.h"
#include "tests/pgp/testutil.h"

using namespace pgptest;
using krypgp::Bytes;

namespace {

struct Signer {
  EVP_PKEY* pkey = nullptr;
  uint8_t keyID[8];
  ~Signer() { EVP_PKEY_free(pkey); }
};

class Handmade : public Lib {
 protected:
  // The first key of a secret-key file, unlocked, with its key ID.
  void LoadSigner(const char* file, Signer* s) {
    KRYKeySetRef set = ImportFile(file);
    KRYKeyRef k = Keys(set).at(0);
    ASSERT_EQ(0, KRYGetPrivateKeyEVP(k, "", &s->pkey));
    KRYKeyID id;
    KRYGetKeyIDFromKey(k, &id);
    std::memcpy(s->keyID, id.bytes + 2, 8);
    KRYFreeKeySet(set);
  }
  static Bytes Packets(const std::string& file) {
    std::string text = ReadFile(Corpus(file));
    std::vector<krypgp::ArmorBlock> blocks;
    EXPECT_EQ(0, krypgp::DearmorAll(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &blocks));
    return blocks.at(0).data;
  }
  static std::vector<krypgp::Packet> Split(const Bytes& b) {
    std::vector<krypgp::Packet> ps;
    EXPECT_EQ(0, krypgp::ParsePackets(b.data(), b.size(), &ps));
    return ps;
  }
  // RSA PKCS#1 v1.5 over a SHA-256 digest; returns the signature MPI.
  static Bytes RsaSignMPI(EVP_PKEY* k, const uint8_t* digest) {
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new(k, nullptr);
    size_t len = 0;
    EVP_PKEY_sign_init(c);
    EVP_PKEY_CTX_set_rsa_padding(c, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(c, EVP_sha256());
    EVP_PKEY_sign(c, nullptr, &len, digest, 32);
    Bytes sig(len);
    EXPECT_EQ(1, EVP_PKEY_sign(c, sig.data(), &len, digest, 32));
    EVP_PKEY_CTX_free(c);
    sig.resize(len);
    size_t skip = 0;
    while (skip < sig.size() && sig[skip] == 0) ++skip;
    Bytes mpi;
    size_t bits = (sig.size() - skip) * 8;
    if (skip < sig.size())
      for (uint8_t top = sig[skip]; !(top & 0x80); top <<= 1) --bits;
    mpi.push_back(uint8_t(bits >> 8));
    mpi.push_back(uint8_t(bits));
    mpi.insert(mpi.end(), sig.begin() + long(skip), sig.end());
    return mpi;
  }
  static void HashKey(EVP_MD_CTX* md, const Bytes& body) {
    uint8_t pre[3] = {0x99, uint8_t(body.size() >> 8), uint8_t(body.size())};
    EVP_DigestUpdate(md, pre, 3);
    EVP_DigestUpdate(md, body.data(), body.size());
  }
  // A v4 RSA/SHA-256 signature of `type` over the given key (and user ID).
  static Bytes V4Sig(const Signer& s, int type, const Bytes& keyBody, const Bytes* uid) {
    Bytes hashed = {5, 2, 0x6A, 0, 0, 0};  // creation time 2026-06-..
    hashed.insert(hashed.end(), {9, 16});
    hashed.insert(hashed.end(), s.keyID, s.keyID + 8);
    Bytes body = {4, uint8_t(type), 1, 8, uint8_t(hashed.size() >> 8), uint8_t(hashed.size())};
    body.insert(body.end(), hashed.begin(), hashed.end());
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_DigestInit_ex(md, EVP_sha256(), nullptr);
    HashKey(md, keyBody);
    if (uid) {
      uint8_t pre[5] = {0xB4, 0, 0, uint8_t(uid->size() >> 8), uint8_t(uid->size())};
      EVP_DigestUpdate(md, pre, 5);
      EVP_DigestUpdate(md, uid->data(), uid->size());
    }
    EVP_DigestUpdate(md, body.data(), body.size());
    uint32_t n = uint32_t(body.size());
    uint8_t trailer[6] = {4, 0xFF, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    EVP_DigestUpdate(md, trailer, 6);
    uint8_t digest[32];
    unsigned int dl;
    EVP_DigestFinal_ex(md, digest, &dl);
    EVP_MD_CTX_free(md);
    body.insert(body.end(), {0, 0});  // no unhashed subpackets
    body.insert(body.end(), digest, digest + 2);
    Bytes mpi = RsaSignMPI(s.pkey, digest);
    body.insert(body.end(), mpi.begin(), mpi.end());
    return body;
  }
  static std::string Join(const std::vector<krypgp::Packet>& ps) {
    Bytes out;
    for (const auto& p : ps) krypgp::WritePacket(p, &out);
    return std::string(out.begin(), out.end());
  }
  bool KeyFlag(KRYKeySetRef set, int prop) {
    KRYBoolean b = 0;
    EXPECT_EQ(0, KRYGetKeyBoolean(Keys(set).at(0), prop, &b));
    return b != 0;
  }
};

TEST_F(Handmade, V3CertificationVerifies) {
  Signer rsa;
  LoadSigner("rsa-secret.asc", &rsa);
  std::vector<krypgp::Packet> ps = Split(Packets("rsa.asc"));
  const Bytes& key = ps[0].body;
  const Bytes& uid = ps[1].body;
  uint8_t created[4] = {0x6A, 0x00, 0x00, 0x00};
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  EVP_DigestInit_ex(md, EVP_sha256(), nullptr);
  HashKey(md, key);
  EVP_DigestUpdate(md, uid.data(), uid.size());  // v3: no prefix for the user ID
  uint8_t typeTime[5] = {0x10, created[0], created[1], created[2], created[3]};
  EVP_DigestUpdate(md, typeTime, 5);
  uint8_t digest[32];
  unsigned int dl;
  EVP_DigestFinal_ex(md, digest, &dl);
  EVP_MD_CTX_free(md);
  Bytes sig = {3, 5, 0x10, created[0], created[1], created[2], created[3]};
  sig.insert(sig.end(), rsa.keyID, rsa.keyID + 8);
  sig.insert(sig.end(), {1, 8, digest[0], digest[1]});
  Bytes mpi = RsaSignMPI(rsa.pkey, digest);
  sig.insert(sig.end(), mpi.begin(), mpi.end());

  // 0: as made; 1: the creation time (hashed) changed; 2: both left hash
  // bytes changed (not covered by the signature itself, but they must
  // match the digest).
  for (int tamper = 0; tamper < 3; ++tamper) {
    std::vector<krypgp::Packet> withSig(ps.begin(), ps.begin() + 2);
    withSig.push_back(krypgp::MakePacket(krypgp::kTagSignature, sig));
    if (tamper == 1) withSig[2].body[4] ^= 1;
    if (tamper == 2) {
      withSig[2].body[17] ^= 0x5A;
      withSig[2].body[18] ^= 0xA5;
    }
    KRYKeySetRef set = ImportText(Join(withSig));
    KRYKeyListRef list = nullptr;
    KRYKeyIterRef it = nullptr;
    KRYOrderKeySet(set, kKRYKeyOrdering_Any, &list);
    KRYNewKeyIter(list, &it);
    KRYKeyRef k;
    KRYUserIDRef u;
    KRYSigRef s, v3 = nullptr;
    KRYKeyIterNext(it, &k);
    KRYKeyIterNextUserID(it, &u);
    while (KRYKeyIterNextUIDSig(it, &s) == 0) {
      int32_t version = 0;
      KRYGetSigNumber(s, kKRYSigProperty_Version, &version);
      if (version == 3) v3 = s;
    }
    ASSERT_NE(nullptr, v3);
    KRYBoolean tried = 0, ok = 0;
    KRYGetSigBoolean(v3, kKRYSigProperty_IsTried, &tried);
    KRYGetSigBoolean(v3, kKRYSigProperty_IsVerified, &ok);
    EXPECT_TRUE(tried);
    EXPECT_EQ(!tamper, ok != 0);
    KRYFreeKeyIter(it);
    KRYFreeKeyList(list);
    KRYFreeKeySet(set);
  }
}

TEST_F(Handmade, DesignatedRevokerRevokesOnlyWhenItsKeyIsPresent) {
  Signer trusted, stranger;
  LoadSigner("trusted-signer-secret.asc", &trusted);
  LoadSigner("rsa-secret.asc", &stranger);
  std::vector<krypgp::Packet> ps = Split(Packets("designated-revoker.asc"));
  auto revokedBy = [&](const Signer& s) {
    std::vector<krypgp::Packet> out = ps;
    out.insert(out.begin() + 1,
               krypgp::MakePacket(krypgp::kTagSignature, V4Sig(s, 0x20, ps[0].body, nullptr)));
    return Join(out);
  };
  std::string byTrusted = revokedBy(trusted);
  std::string byStranger = revokedBy(stranger);

  // Without the revoker's key the revocation cannot be checked yet.
  KRYKeySetRef alone = ImportText(byTrusted);
  EXPECT_FALSE(KeyFlag(alone, kKRYKeyProperty_IsRevoked));
  EXPECT_TRUE(KeyFlag(alone, kKRYKeyProperty_HasUnverifiedRevocation));
  // With it in the context (as after loading the revokers), it revokes.
  KRYKeySetRef revoker = ImportFile("trusted-signer.asc");
  KRYKeySetRef checked = ImportText(byTrusted);
  EXPECT_TRUE(KeyFlag(checked, kKRYKeyProperty_IsRevoked));
  EXPECT_FALSE(KeyFlag(checked, kKRYKeyProperty_HasUnverifiedRevocation));
  // Checking the first set against the revoker later has the same effect.
  ASSERT_EQ(0, KRYCheckKeyRingSigs(alone, revoker, 0, nullptr, nullptr));
  EXPECT_TRUE(KeyFlag(alone, kKRYKeyProperty_IsRevoked));
  // A key that was never named as revoker cannot revoke, even though its
  // signature is good.
  KRYKeySetRef strangerKey = ImportFile("rsa.asc");
  KRYKeySetRef forged = ImportText(byStranger);
  EXPECT_FALSE(KeyFlag(forged, kKRYKeyProperty_IsRevoked));
  EXPECT_FALSE(KeyFlag(forged, kKRYKeyProperty_HasUnverifiedRevocation));
  (void)strangerKey;
}

TEST_F(Handmade, ThirdPartyCertificationChecksAgainstTheSignerSet) {
  Signer trusted;
  LoadSigner("trusted-signer-secret.asc", &trusted);
  std::vector<krypgp::Packet> ps = Split(Packets("ed25519.asc"));
  std::vector<krypgp::Packet> out(ps.begin(), ps.begin() + 3);  // key, user ID, self-sig
  out.push_back(krypgp::MakePacket(krypgp::kTagSignature,
                                   V4Sig(trusted, 0x10, ps[0].body, &ps[1].body)));
  Bytes bad = V4Sig(trusted, 0x10, ps[0].body, &ps[1].body);
  bad.back() ^= 1;
  out.push_back(krypgp::MakePacket(krypgp::kTagSignature, bad));
  out.insert(out.end(), ps.begin() + 3, ps.end());
  KRYKeySetRef set = ImportText(Join(out));
  KRYKeySetRef signers = ImportFile("trusted-signer.asc");
  // The import already saw the signer in the context; check again against
  // it alone, as the policy does.
  ASSERT_EQ(0, KRYCheckKeyRingSigs(set, signers, 1, nullptr, nullptr));
  KRYKeyListRef list = nullptr;
  KRYKeyIterRef it = nullptr;
  KRYOrderKeySet(set, kKRYKeyOrdering_Any, &list);
  KRYNewKeyIter(list, &it);
  KRYKeyRef k;
  KRYUserIDRef u;
  KRYSigRef s;
  KRYKeyIterNext(it, &k);
  KRYKeyIterNextUserID(it, &u);
  std::vector<std::pair<bool, bool>> flags;  // verified, not corrupt
  while (KRYKeyIterNextUIDSig(it, &s) == 0) {
    KRYBoolean v = 0, nc = 0;
    KRYGetSigBoolean(s, kKRYSigProperty_IsVerified, &v);
    KRYGetSigBoolean(s, kKRYSigProperty_IsNotCorrupt, &nc);
    flags.emplace_back(v != 0, nc != 0);
  }
  EXPECT_EQ((std::vector<std::pair<bool, bool>>{{true, true}, {true, true}, {false, false}}), flags);
  KRYFreeKeyIter(it);
  KRYFreeKeyList(list);
}

}  // namespace
