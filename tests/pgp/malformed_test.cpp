// Hostile input: truncated, bit-flipped, oversized and deliberately broken
// packets, MPIs, subpackets, armour and compression. Every call must return
// a status (success or an error) without crashing, hanging or reading out
// of bounds; the sanitizer build checks the last part.
#include <zlib.h>

#include <openssl/evp.h>

#include <cstring>
#include <random>

#include "platform/pgp/armor.h"
#include "platform/pgp/packet.h"
#include "tests/pgp/testutil.h"

using namespace pgptest;

namespace {

class Malformed : public Lib {
 protected:
  // Imports, exports and lists whatever comes out; only the absence of a
  // crash is being tested, plus that a failure is a known status.
  void Exercise(const std::string& input) {
    KRYError err;
    KRYKeySetRef set = ImportText(input, &err);
    if (err != 0) {
      char buf[100];
      KRYGetErrorString(err, buf, sizeof buf);
      EXPECT_EQ(nullptr, std::strstr(buf, "Unknown")) << err;
      EXPECT_EQ(nullptr, set);
      return;
    }
    KRYCheckKeyRingSigs(set, nullptr, 1, nullptr, nullptr);
    for (KRYKeyRef k : Keys(set)) {
      KRYBoolean b;
      int32_t n;
      KRYTime t;
      for (int p : {1, 2, 3, 4, 5, 6, 7}) KRYGetKeyBoolean(k, p, &b);
      KRYGetKeyNumber(k, kKRYKeyProperty_Bits, &n);
      KRYGetKeyTime(k, kKRYKeyProperty_Expiration, &t);
      int revokers = 0;
      KRYCountRevocationKeys(k, &revokers);
      // Unlocking runs the S2K count, which GnuPG tunes to ~100 ms; only
      // unprotected keys are unlocked here.
      KRYBoolean needs = 1;
      KRYGetKeyBoolean(k, kKRYKeyProperty_NeedsPassphrase, &needs);
      evp_pkey_st* pk = nullptr;
      if (!needs && KRYPassphraseIsValid(k, "x") == 0 && KRYGetPrivateKeyEVP(k, "x", &pk) == 0)
        EVP_PKEY_free(pk);
    }
    std::string out = Export(set, kKRYExportFormat_Basic);
    EXPECT_FALSE(out.empty());
    KRYFreeKeySet(set);
  }
  void Decode(const std::string& input) {
    KRYDecodeOptions o{};
    o.inputBuffer = input.data();
    o.inputLength = input.size();
    o.keySet = signers_;
    o.discardOutput = 1;
    KRYDecode(ctx, &o);
  }
  KRYKeySetRef signers_ = nullptr;
};

std::string Binary(const std::string& armored) {
  std::vector<krypgp::ArmorBlock> blocks;
  krypgp::DearmorAll(reinterpret_cast<const uint8_t*>(armored.data()), armored.size(), &blocks);
  std::string out;
  for (auto& b : blocks) out.append(b.data.begin(), b.data.end());
  return out;
}

TEST_F(Malformed, TruncationAtEveryPointIsHandled) {
  for (const char* f : {"ed25519.asc", "ecdsa-p256.asc", "ed25519-secret.asc"}) {
    std::string bin = Binary(ReadFile(Corpus(f)));
    for (size_t n = 0; n < bin.size(); ++n) Exercise(bin.substr(0, n));
  }
  std::string text = ReadFile(Corpus("rsa.asc"));
  for (size_t n = 0; n < text.size(); n += 7) Exercise(text.substr(0, n));
}

TEST_F(Malformed, RandomByteChangesAreHandled) {
  std::mt19937 rng(4880);
  signers_ = ImportFile("trusted-signer.asc");
  for (const char* f : {"rsa.asc", "dsa-elg.asc", "ed25519.asc", "photo-id.asc",
                        "designated-revoker.asc", "server-secring-protected.skr"}) {
    std::string bin = Binary(ReadFile(Corpus(f)));
    if (bin.empty()) bin = ReadFile(Corpus(f));
    ASSERT_FALSE(bin.empty()) << f;
    for (int i = 0; i < 150; ++i) {
      std::string m = bin;
      int edits = 1 + int(rng() % 4);
      for (int e = 0; e < edits; ++e) m[rng() % m.size()] = char(rng());
      Exercise(m);
    }
  }
  std::string req = ReadFile(Corpus("delete-rsa-by-trusted.req"));
  ASSERT_FALSE(req.empty());
  for (int i = 0; i < 500; ++i) {
    std::string m = req;
    m[rng() % m.size()] = char(rng() % 128);
    Decode(m);
  }
}

krypgp::Bytes Pkt(int tag, krypgp::Bytes body) {
  krypgp::Bytes out;
  krypgp::WritePacket(krypgp::MakePacket(tag, std::move(body)), &out);
  return out;
}
std::string S(const krypgp::Bytes& b) { return std::string(b.begin(), b.end()); }

TEST_F(Malformed, AbsurdMPIAndSubpacketLengthsAreRefused) {
  // v4 RSA key whose modulus claims 65535 bits.
  krypgp::Bytes key = {4, 0, 0, 0, 1, 1, 0xFF, 0xFF, 1, 2, 3};
  KRYError err;
  EXPECT_EQ(nullptr, ImportText(S(Pkt(krypgp::kTagPublicKey, key)), &err));
  EXPECT_NE(0, err);
  // A key with an ECC OID length running past the body.
  krypgp::Bytes ecc = {4, 0, 0, 0, 1, 22, 0xFE, 1, 2};
  EXPECT_EQ(nullptr, ImportText(S(Pkt(krypgp::kTagPublicKey, ecc)), &err));
  // A good key followed by signatures with impossible subpacket lengths:
  // the key imports, the signatures are kept but marked corrupt.
  std::string good = Binary(ReadFile(Corpus("ed25519.asc")));
  std::vector<krypgp::Packet> ps;
  ASSERT_EQ(0, krypgp::ParsePackets(reinterpret_cast<const uint8_t*>(good.data()), good.size(), &ps));
  ASSERT_GE(ps.size(), 2u);
  const krypgp::Bytes badSigs[] = {
      {4, 0x13, 22, 8, 0xFF, 0xFF},                       // hashed area longer than the packet
      {4, 0x13, 22, 8, 0, 6, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 2},  // 4-byte subpacket length
      {4, 0x13, 22, 8, 0, 2, 0xC0, 0x00, 0, 0, 0xAA, 0xBB},     // 2-byte length past the area
      {4, 0x13, 22, 8, 0, 1, 0x00, 0, 0, 0xAA, 0xBB},           // zero-length subpacket
      {4, 0x13, 22, 8, 0, 0, 0, 0, 0xAA, 0xBB, 0xFF, 0xFF},     // MPI past the end
      {3, 5, 0x13},                                             // short v3
      {9, 1, 2, 3},                                             // unknown version
  };
  for (const krypgp::Bytes& sig : badSigs) {
    std::string in = S(Pkt(krypgp::kTagPublicKey, ps[0].body)) + S(Pkt(krypgp::kTagUserID, ps[1].body)) +
                     S(Pkt(krypgp::kTagSignature, sig));
    KRYKeySetRef set = ImportText(in);
    ASSERT_NE(nullptr, set);
    KRYKeyListRef list = nullptr;
    KRYKeyIterRef it = nullptr;
    KRYOrderKeySet(set, kKRYKeyOrdering_Any, &list);
    KRYNewKeyIter(list, &it);
    KRYKeyRef k;
    KRYUserIDRef u;
    KRYSigRef s;
    ASSERT_EQ(0, KRYKeyIterNext(it, &k));
    ASSERT_EQ(0, KRYKeyIterNextUserID(it, &u));
    ASSERT_EQ(0, KRYKeyIterNextUIDSig(it, &s));
    KRYBoolean notCorrupt = 1, verified = 1;
    KRYGetSigBoolean(s, kKRYSigProperty_IsNotCorrupt, &notCorrupt);
    KRYGetSigBoolean(s, kKRYSigProperty_IsVerified, &verified);
    EXPECT_FALSE(notCorrupt && verified);
    // The packet is still written back unchanged.
    std::string out = Export(set, kKRYExportFormat_Complete, false, true);
    EXPECT_NE(std::string::npos, out.find(S(Pkt(krypgp::kTagSignature, sig))));
    KRYFreeKeyIter(it);
    KRYFreeKeyList(list);
  }
}

// A hash we do not implement leaves a signature untried (it may be fine);
// MD5 is refused, so an MD5 signature is tried and fails.
TEST_F(Malformed, UnknownHashesStayUntriedAndMD5Fails) {
  std::string good = Binary(ReadFile(Corpus("rsa.asc")));
  std::vector<krypgp::Packet> ps;
  ASSERT_EQ(0, krypgp::ParsePackets(reinterpret_cast<const uint8_t*>(good.data()), good.size(), &ps));
  ASSERT_GE(ps.size(), 3u);
  ASSERT_EQ(krypgp::kTagSignature, ps[2].tag);
  for (uint8_t hash : {uint8_t(14), uint8_t(1)}) {
    std::vector<krypgp::Packet> changed(ps.begin(), ps.begin() + 3);
    changed[2].body[3] = hash;
    changed[2].header.clear();
    krypgp::Bytes out;
    for (auto& p : changed) krypgp::WritePacket(p, &out);
    KRYKeySetRef set = ImportText(S(out));
    KRYKeyListRef list = nullptr;
    KRYKeyIterRef it = nullptr;
    KRYOrderKeySet(set, kKRYKeyOrdering_Any, &list);
    KRYNewKeyIter(list, &it);
    KRYKeyRef k;
    KRYUserIDRef u;
    KRYSigRef sig;
    KRYKeyIterNext(it, &k);
    KRYKeyIterNextUserID(it, &u);
    ASSERT_EQ(0, KRYKeyIterNextUIDSig(it, &sig));
    KRYBoolean tried = 0, verified = 1;
    KRYGetSigBoolean(sig, kKRYSigProperty_IsTried, &tried);
    KRYGetSigBoolean(sig, kKRYSigProperty_IsVerified, &verified);
    EXPECT_EQ(hash == 1, tried != 0) << int(hash);
    EXPECT_FALSE(verified);
    KRYFreeKeyIter(it);
    KRYFreeKeyList(list);
  }
}

TEST_F(Malformed, UnknownPacketsAndSubpacketsSurviveARoundTrip) {
  std::string good = Binary(ReadFile(Corpus("rsa.asc")));
  // An experimental packet (tag 60) after the user ID and a trust packet.
  std::vector<krypgp::Packet> ps;
  ASSERT_EQ(0, krypgp::ParsePackets(reinterpret_cast<const uint8_t*>(good.data()), good.size(), &ps));
  krypgp::Bytes out;
  for (size_t i = 0; i < ps.size(); ++i) {
    krypgp::WritePacket(ps[i], &out);
    if (ps[i].tag == krypgp::kTagUserID) {
      krypgp::WritePacket(krypgp::MakePacket(60, {1, 2, 3, 4}), &out);
      krypgp::WritePacket(krypgp::MakePacket(krypgp::kTagTrust, {0, 0}), &out);
    }
  }
  KRYKeySetRef set = ImportText(S(out));
  ASSERT_NE(nullptr, set);
  EXPECT_EQ(S(out), Export(set, kKRYExportFormat_Complete, false, true));
  // The basic format leaves them out and is exactly the original.
  EXPECT_EQ(good, Export(set, kKRYExportFormat_Basic, false, true));
}

TEST_F(Malformed, CompressionBombsAndDeepNestingStop) {
  // 100 MB of zeros compresses to ~100 KB; decoding must stop at the cap.
  std::vector<uint8_t> zeros(100u << 20, 0);
  uLongf clen = compressBound(uLong(zeros.size()));
  krypgp::Bytes comp(clen + 1);
  comp[0] = 2;  // ZLIB
  ASSERT_EQ(Z_OK, compress2(comp.data() + 1, &clen, zeros.data(), uLong(zeros.size()), 9));
  comp.resize(clen + 1);
  zeros.clear();
  zeros.shrink_to_fit();
  std::string msg = S(Pkt(krypgp::kTagCompressed, comp));
  KRYDecodeOptions o{};
  o.inputBuffer = msg.data();
  o.inputLength = msg.size();
  EXPECT_EQ(kKRYError_TooLarge, KRYDecode(ctx, &o));
  // Compressed packets nested 20 deep (algorithm 0, stored).
  krypgp::Bytes inner = Pkt(krypgp::kTagLiteral, {'b', 0, 0, 0, 0, 0, 'x'});
  for (int i = 0; i < 20; ++i) {
    krypgp::Bytes body = {0};
    body.insert(body.end(), inner.begin(), inner.end());
    inner = Pkt(krypgp::kTagCompressed, body);
  }
  std::string nested = S(inner);
  o.inputBuffer = nested.data();
  o.inputLength = nested.size();
  EXPECT_EQ(kKRYError_MalformedPacket, KRYDecode(ctx, &o));
  // Garbage in a compressed packet is an error, not a crash.
  std::string junk = S(Pkt(krypgp::kTagCompressed, {2, 0x78, 0x9C, 1, 2, 3, 4}));
  o.inputBuffer = junk.data();
  o.inputLength = junk.size();
  EXPECT_NE(0, KRYDecode(ctx, &o));
}

TEST_F(Malformed, BrokenClearSignedMessagesAreErrors) {
  std::string req = ReadFile(Corpus("delete-rsa-by-trusted.req"));
  const std::string cuts[] = {
      req.substr(0, req.find("-----BEGIN PGP SIGNATURE-----")),
      req.substr(0, req.find("-----END PGP SIGNATURE-----")),
      "-----BEGIN PGP SIGNED MESSAGE-----\n",
      "-----BEGIN PGP SIGNED MESSAGE-----\nHash: SHA512\n\ntext\n-----BEGIN PGP SIGNATURE-----\n\n!!!!\n-----END PGP SIGNATURE-----\n",
  };
  for (const std::string& c : cuts) {
    KRYDecodeOptions o{};
    o.inputBuffer = c.data();
    o.inputLength = c.size();
    EXPECT_NE(0, KRYDecode(ctx, &o)) << c;
  }
}

}  // namespace
