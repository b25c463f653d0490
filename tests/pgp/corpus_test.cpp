// The library against the GnuPG-made corpus: key IDs, signatures, exports,
// signed requests, secret keys and merges.
#include <algorithm>
#include <map>
#include <set>

#include <openssl/evp.h>

#include "platform/pgp/armor.h"
#include "platform/pgp/packet.h"
#include "tests/pgp/testutil.h"

using namespace pgptest;

namespace {

std::vector<KRYSigRef> AllSigs(KRYKeySetRef set, std::vector<KRYKeyRef>* owners = nullptr) {
  std::vector<KRYSigRef> sigs;
  KRYKeyListRef list = nullptr;
  KRYKeyIterRef it = nullptr;
  KRYOrderKeySet(set, kKRYKeyOrdering_Any, &list);
  KRYNewKeyIter(list, &it);
  KRYKeyRef k;
  KRYSigRef s;
  while (KRYKeyIterNext(it, &k) == 0) {
    auto add = [&](KRYSigRef sig) {
      sigs.push_back(sig);
      if (owners) owners->push_back(k);
    };
    while (KRYKeyIterNextKeySig(it, &s) == 0) add(s);
    KRYUserIDRef u;
    while (KRYKeyIterNextUserID(it, &u) == 0)
      while (KRYKeyIterNextUIDSig(it, &s) == 0) add(s);
    KRYSubKeyRef sub;
    while (KRYKeyIterNextSubKey(it, &sub) == 0)
      while (KRYKeyIterNextSubKeySig(it, &s) == 0) add(s);
  }
  KRYFreeKeyIter(it);
  KRYFreeKeyList(list);
  return sigs;
}

bool SigBool(KRYSigRef s, int prop) {
  KRYBoolean b = 0;
  EXPECT_EQ(0, KRYGetSigBoolean(s, prop, &b));
  return b != 0;
}

krypgp::Bytes Binary(const std::string& text) {
  if (!krypgp::LooksArmored(reinterpret_cast<const uint8_t*>(text.data()), text.size()))
    return krypgp::Bytes(text.begin(), text.end());
  std::vector<krypgp::ArmorBlock> blocks;
  EXPECT_EQ(0, krypgp::DearmorAll(reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                                  &blocks));
  krypgp::Bytes out;
  for (auto& b : blocks) out.insert(out.end(), b.data.begin(), b.data.end());
  return out;
}

const char* kKeyFiles[] = {
    "rsa.asc", "dsa-elg.asc", "ed25519.asc", "ecdsa-p256.asc", "multi-uid.asc",
    "trusted-signer.asc", "second-signer.asc", "signed-by-trusted.asc", "signed-by-both.asc",
    "local-sig.asc", "local-sig-included.asc", "revoked-before.asc", "revoked.asc",
    "expired.asc", "old-signer.asc", "expired-cert.asc", "photo-id.asc", "photo-id-two.asc",
    "photo-id-three.asc", "designated-revoker.asc", "two-keys.asc",
};
const char* kSecretFiles[] = {"server-secring.skr", "server-secring-protected.skr",
                              "trusted-signer-secret.asc", "rsa-secret.asc",
                              "ed25519-secret.asc"};

class CorpusKeys : public Lib {
 protected:
  // Loads the third-party signers so certifications in other files verify.
  void LoadSigners() {
    for (const char* f : {"trusted-signer.asc", "second-signer.asc", "old-signer.asc"})
      signers_.push_back(ImportFile(f));
  }
  std::vector<KRYKeySetRef> signers_;
};

TEST_F(CorpusKeys, KeyIDsAndFingerprintsEqualGnuPGs) {
  std::map<std::string, std::string> fileFor = {
      {"signed-user", "signed-by-trusted.asc"},
      {"server", "server-secring.skr"},
      {"protected-server", "server-secring-protected.skr"}};
  std::istringstream tsv(ReadFile(Corpus("KEYIDS.tsv")));
  std::string line;
  int checked = 0;
  while (std::getline(tsv, line)) {
    std::istringstream ls(line);
    std::string name, fpr, id16, id8;
    ls >> name >> fpr >> id16 >> id8;
    if (name.empty()) continue;
    std::string file = fileFor.count(name) ? fileFor[name] : name + ".asc";
    KRYKeySetRef set = ImportFile(file);
    ASSERT_NE(nullptr, set) << file;
    KRYKeyRef key = Keys(set).at(0);
    uint8_t fp[20];
    size_t len = 0;
    ASSERT_EQ(0, KRYGetKeyPropertyBuffer(key, kKRYKeyProperty_Fingerprint, fp, sizeof fp, &len));
    char hex[41];
    for (size_t i = 0; i < len; ++i) std::snprintf(hex + 2 * i, 3, "%02X", fp[i]);
    EXPECT_EQ(fpr, std::string(hex, 2 * len)) << name;
    EXPECT_EQ(id16, KeyIDText(key)) << name;
    KRYKeyID id;
    char buf[12];
    KRYGetKeyIDFromKey(key, &id);
    ASSERT_EQ(0, KRYGetKeyIDString(&id, kKRYKeyIDString_Abbreviated, buf, sizeof buf));
    EXPECT_EQ("0x" + id8, buf) << name;
    KRYFreeKeySet(set);
    ++checked;
  }
  EXPECT_EQ(17, checked);
}

TEST_F(CorpusKeys, EverySignatureVerifies) {
  LoadSigners();
  std::vector<std::string> files(std::begin(kKeyFiles), std::end(kKeyFiles));
  files.insert(files.end(), std::begin(kSecretFiles), std::end(kSecretFiles));
  files.push_back("server-pubring.pkr");
  for (const std::string& f : files) {
    KRYKeySetRef set = ImportFile(f);
    ASSERT_NE(nullptr, set) << f;
    int n = 0;
    for (KRYSigRef s : AllSigs(set)) {
      EXPECT_TRUE(SigBool(s, kKRYSigProperty_IsTried)) << f << " sig " << n;
      EXPECT_TRUE(SigBool(s, kKRYSigProperty_IsVerified)) << f << " sig " << n;
      EXPECT_TRUE(SigBool(s, kKRYSigProperty_IsNotCorrupt)) << f << " sig " << n;
      ++n;
    }
    EXPECT_GT(n, 0) << f;
    KRYFreeKeySet(set);
  }
}

// Flipping a byte of anything a signature covers must make it fail: the
// signed key material, the user ID, the hashed subpackets, or the
// signature value itself.
TEST_F(CorpusKeys, ChangedSignedDataFailsItsSignature) {
  LoadSigners();
  int tested = 0;
  for (const char* f : {"rsa.asc", "dsa-elg.asc", "ed25519.asc", "ecdsa-p256.asc",
                        "signed-by-both.asc", "designated-revoker.asc", "revoked.asc"}) {
    krypgp::Bytes bin = Binary(ReadFile(Corpus(f)));
    std::vector<krypgp::Packet> packets;
    ASSERT_EQ(0, krypgp::ParsePackets(bin.data(), bin.size(), &packets));
    // Locate every signature packet and, for each, several places to change.
    size_t sigIndex = 0;
    for (size_t pi = 0; pi < packets.size(); ++pi) {
      if (packets[pi].tag != krypgp::kTagSignature) continue;
      const krypgp::Bytes& body = packets[pi].body;
      size_t hashedLen = (size_t(body[4]) << 8) | body[5];
      std::vector<std::pair<size_t, size_t>> edits;  // packet, byte offset
      edits.push_back({pi, 6 + hashedLen - 1});       // last hashed subpacket byte
      edits.push_back({pi, body.size() - 1});         // the signature value
      // The packet this signature covers (the nearest user ID or key before it).
      for (size_t back = pi; back-- > 0;) {
        int t = packets[back].tag;
        if (t == krypgp::kTagUserID || t == krypgp::kTagUserAttribute ||
            t == krypgp::kTagPublicKey || t == krypgp::kTagPublicSubkey) {
          edits.push_back({back, packets[back].body.size() - 1});
          break;
        }
      }
      for (auto [p, off] : edits) {
        std::vector<krypgp::Packet> changed = packets;
        changed[p].body[off] ^= 0x01;
        krypgp::Bytes out;
        for (auto& pk : changed) {
          pk.header.clear();
          krypgp::WritePacket(pk, &out);
        }
        KRYError err;
        KRYKeySetRef set = ImportText(std::string(out.begin(), out.end()), &err);
        if (err != 0) continue;  // a key that no longer parses is refused outright
        std::vector<KRYSigRef> sigs = AllSigs(set);
        ASSERT_LT(sigIndex, sigs.size());
        KRYSigRef s = sigs[sigIndex];
        EXPECT_FALSE(SigBool(s, kKRYSigProperty_IsVerified) &&
                     SigBool(s, kKRYSigProperty_IsNotCorrupt))
            << f << " sig " << sigIndex << " packet " << p << " byte " << off;
        ++tested;
        KRYFreeKeySet(set);
      }
      ++sigIndex;
    }
  }
  EXPECT_GT(tested, 40);
}

TEST_F(CorpusKeys, CompleteExportEqualsInputPackets) {
  for (const char* f : kKeyFiles) {
    KRYKeySetRef set = ImportFile(f);
    krypgp::Bytes in = Binary(ReadFile(Corpus(f)));
    std::string out = Export(set, kKRYExportFormat_Complete, false, true);
    EXPECT_TRUE(krypgp::Bytes(out.begin(), out.end()) == in) << f;
    // The armoured form carries the same packets.
    EXPECT_TRUE(Binary(Export(set, kKRYExportFormat_Complete)) == in) << f;
    KRYFreeKeySet(set);
  }
  for (const char* f : kSecretFiles) {
    KRYKeySetRef set = ImportFile(f);
    krypgp::Bytes in = Binary(ReadFile(Corpus(f)));
    std::string out = Export(set, kKRYExportFormat_Complete, true, true);
    EXPECT_TRUE(krypgp::Bytes(out.begin(), out.end()) == in) << f;
    std::string pub = Export(set, kKRYExportFormat_Complete, false);
    EXPECT_EQ(std::string::npos, pub.find("PRIVATE")) << f;
    KRYFreeKeySet(set);
  }
}

TEST_F(CorpusKeys, BasicExportLeavesOutPhotoIDs) {
  KRYKeySetRef set = ImportFile("photo-id-two.asc");
  std::string basic = Export(set, kKRYExportFormat_Basic);
  KRYKeySetRef again = ImportText(basic);
  KRYKeyListRef list = nullptr;
  KRYKeyIterRef it = nullptr;
  KRYOrderKeySet(again, kKRYKeyOrdering_Any, &list);
  KRYNewKeyIter(list, &it);
  KRYKeyRef k;
  ASSERT_EQ(0, KRYKeyIterNext(it, &k));
  int uids = 0;
  KRYUserIDRef u;
  while (KRYKeyIterNextUserID(it, &u) == 0) {
    int32_t attr = -1;
    KRYGetUserIDNumber(u, kKRYUserIDProperty_AttributeType, &attr);
    EXPECT_EQ(0, attr);
    ++uids;
  }
  EXPECT_EQ(1, uids);
  KRYFreeKeyIter(it);
  KRYFreeKeyList(list);
}

TEST_F(CorpusKeys, PhotoIDsAreImageAttributes) {
  KRYKeySetRef set = ImportFile("photo-id-three.asc");
  KRYKeyListRef list = nullptr;
  KRYKeyIterRef it = nullptr;
  KRYOrderKeySet(set, kKRYKeyOrdering_Any, &list);
  KRYNewKeyIter(list, &it);
  KRYKeyRef k;
  ASSERT_EQ(0, KRYKeyIterNext(it, &k));
  std::vector<int> types;
  KRYUserIDRef u;
  while (KRYKeyIterNextUserID(it, &u) == 0) {
    int32_t attr = -1;
    KRYGetUserIDNumber(u, kKRYUserIDProperty_AttributeType, &attr);
    types.push_back(attr);
    char name[64];
    KRYError e = KRYGetUserIDStringBuffer(u, name, sizeof name, nullptr);
    EXPECT_EQ(attr == 1 ? kKRYError_UserIDNoName : 0, e);
  }
  EXPECT_EQ((std::vector<int>{0, 1, 1, 1}), types);
}

struct RequestCase {
  const char* file;
  std::string signer;
  bool verified;
};

TEST_F(CorpusKeys, SignedRequestsVerifyWithTheRightSigner) {
  KRYKeySetRef ring;
  KRYFileSpecRef fileSpec;
  ASSERT_EQ(0, KRYNewFileSpecFromFullPath(ctx, Corpus("server-pubring.pkr").c_str(), &fileSpec));
  ASSERT_EQ(0, KRYOpenKeyRing(ctx, fileSpec, 0, &ring));
  KRYFreeFileSpec(fileSpec);
  KRYKeySetRef rsa = ImportFile("rsa.asc");
  ASSERT_EQ(0, KRYAddKeys(rsa, ring));
  const RequestCase cases[] = {
      {"add-signed-by-trusted.req", corpus::KeyId("trusted-signer"), true},
      {"add-signed-by-rsa.req", corpus::KeyId("rsa"), true},
      {"delete-rsa-by-trusted.req", corpus::KeyId("trusted-signer"), true},
      {"delete-rsa-by-self.req", corpus::KeyId("rsa"), true},
      {"disable-dsa-by-trusted.req", corpus::KeyId("trusted-signer"), true},
      {"delete-two-by-trusted.req", corpus::KeyId("trusted-signer"), true},
      {"add-twice-header.req", corpus::KeyId("trusted-signer"), true},
      {"tampered-delete.req", corpus::KeyId("trusted-signer"), false},
  };
  for (const RequestCase& c : cases) {
    std::string req = ReadFile(Corpus(c.file));
    struct Seen {
      int events = 0;
      bool ok = false;
      std::string signer;
    } seen;
    KRYDecodeOptions o{};
    o.inputBuffer = req.data();
    o.inputLength = req.size();
    o.keySet = ring;
    o.discardOutput = 1;
    o.eventUserData = &seen;
    o.eventHandler = [](KRYContextRef, const KRYEvent* ev, void* ud) -> KRYError {
      auto* s = static_cast<Seen*>(ud);
      if (ev->type != kKRYEvent_Signature) return 0;
      ++s->events;
      s->ok = ev->signatureData.checked && ev->signatureData.verified;
      char buf[20];
      KRYGetKeyIDString(&ev->signatureData.signingKeyID, kKRYKeyIDString_Full, buf, sizeof buf);
      s->signer = buf + 2;
      return 0;
    };
    ASSERT_EQ(0, KRYDecode(ctx, &o)) << c.file;
    EXPECT_EQ(1, seen.events) << c.file;
    EXPECT_EQ(c.verified, seen.ok) << c.file;
    EXPECT_EQ(c.signer, seen.signer) << c.file;
  }
  // Without the signer's key the signature is reported but not checked.
  KRYKeySetRef empty;
  KRYNewKeySet(ctx, &empty);
  std::string req = ReadFile(Corpus("delete-rsa-by-self.req"));
  KRYSignatureEventData got{};
  KRYDecodeOptions o{};
  o.inputBuffer = req.data();
  o.inputLength = req.size();
  o.keySet = empty;
  o.discardOutput = 1;
  o.eventUserData = &got;
  o.eventHandler = [](KRYContextRef, const KRYEvent* ev, void* ud) -> KRYError {
    *static_cast<KRYSignatureEventData*>(ud) = ev->signatureData;
    return 0;
  };
  ASSERT_EQ(0, KRYDecode(ctx, &o));
  EXPECT_FALSE(got.checked);
  EXPECT_FALSE(got.verified);
  // The unsigned request decodes without any event, and its text comes out.
  std::string unsignedReq = ReadFile(Corpus("add-unsigned-tls.req"));
  int events = 0;
  char* text = nullptr;
  size_t textLen = 0;
  KRYDecodeOptions u{};
  u.inputBuffer = unsignedReq.data();
  u.inputLength = unsignedReq.size();
  u.keySet = ring;
  u.eventUserData = &events;
  u.outputData = &text;
  u.outputLength = &textLen;
  u.eventHandler = [](KRYContextRef, const KRYEvent*, void* ud) -> KRYError {
    ++*static_cast<int*>(ud);
    return 0;
  };
  EXPECT_EQ(0, KRYDecode(ctx, &u));
  EXPECT_EQ(0, events);
  EXPECT_EQ(unsignedReq.size(), textLen);
  KRYFreeData(text);
}

TEST_F(CorpusKeys, ClearSignedTextIsDashUnescaped) {
  std::string req = ReadFile(Corpus("add-signed-by-trusted.req"));
  char* text = nullptr;
  size_t len = 0;
  KRYDecodeOptions o{};
  o.inputBuffer = req.data();
  o.inputLength = req.size();
  o.outputData = &text;
  o.outputLength = &len;
  ASSERT_EQ(0, KRYDecode(ctx, &o));
  std::string t(text, len);
  KRYFreeData(text);
  EXPECT_EQ(0u, t.find("REQUEST: ADD\n"));
  EXPECT_NE(std::string::npos, t.find("\n-----BEGIN PGP PUBLIC KEY BLOCK-----\n"));
  EXPECT_EQ(std::string::npos, t.find("- -----"));
  // The key block inside imports as the rsa key.
  KRYKeySetRef set = ImportText(t);
  ASSERT_NE(nullptr, set);
  EXPECT_EQ(corpus::KeyId("rsa"), KeyIDText(Keys(set).at(0)));
}

TEST_F(CorpusKeys, ProtectedServerKeyUnlocksOnlyWithItsPassphrase) {
  KRYFileSpecRef pub, sec;
  ASSERT_EQ(0, KRYNewFileSpecFromFullPath(ctx, Corpus("server-pubring.pkr").c_str(), &pub));
  ASSERT_EQ(0, KRYNewFileSpecFromFullPath(ctx, Corpus("server-secring-protected.skr").c_str(), &sec));
  KRYKeySetRef set;
  ASSERT_EQ(0, KRYOpenKeyRingPair(ctx, pub, sec, 0, &set));
  KRYFreeFileSpec(pub);
  KRYFreeFileSpec(sec);
  int count = 0;
  KRYCountKeys(set, &count);
  EXPECT_EQ(4, count);
  KRYKeyID id;
  ASSERT_EQ(0, KRYGetKeyIDFromString(corpus::KeyId("protected-server").c_str(), &id));
  KRYKeyRef key;
  ASSERT_EQ(0, KRYGetKeyByKeyID(set, &id, -1, &key));
  KRYBoolean needs = 0;
  ASSERT_EQ(0, KRYGetKeyBoolean(key, kKRYKeyProperty_NeedsPassphrase, &needs));
  EXPECT_TRUE(needs);
  EXPECT_EQ(0, KRYPassphraseIsValid(key, "server secret"));
  EXPECT_EQ(kKRYError_BadPassphrase, KRYPassphraseIsValid(key, "server secreT"));
  EXPECT_EQ(kKRYError_BadPassphrase, KRYPassphraseIsValid(key, ""));
  evp_pkey_st* pkey = nullptr;
  EXPECT_EQ(0, KRYGetPrivateKeyEVP(key, "server secret", &pkey));
  EXPECT_NE(nullptr, pkey);
  // The unlocked key signs, and the signature checks with the public key
  // found again by its OpenSSL form (as the TLS layer finds a peer's key).
  const unsigned char msg[] = "hello";
  unsigned char sig[512];
  size_t sigLen = sizeof sig;
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  ASSERT_EQ(1, EVP_DigestSignInit(md, nullptr, EVP_sha256(), nullptr, pkey));
  ASSERT_EQ(1, EVP_DigestSign(md, sig, &sigLen, msg, 5));
  EVP_MD_CTX_free(md);
  evp_pkey_st* pubKey = nullptr;
  ASSERT_EQ(0, KRYGetPublicKeyEVP(key, &pubKey));
  md = EVP_MD_CTX_new();
  ASSERT_EQ(1, EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, pubKey));
  EXPECT_EQ(1, EVP_DigestVerify(md, sig, sigLen, msg, 5));
  EVP_MD_CTX_free(md);
  KRYKeyRef byEvp = nullptr;
  EXPECT_EQ(0, KRYGetKeyByPublicKeyEVP(set, pkey, &byEvp));
  EXPECT_EQ(key, byEvp);
  EVP_PKEY_free(pubKey);
  EVP_PKEY_free(pkey);
  // The trusted signer in the same set has no secret part.
  ASSERT_EQ(0, KRYGetKeyIDFromString(corpus::KeyId("trusted-signer").c_str(), &id));
  ASSERT_EQ(0, KRYGetKeyByKeyID(set, &id, -1, &key));
  EXPECT_EQ(kKRYError_NoPrivateKey, KRYPassphraseIsValid(key, "x"));
  ASSERT_EQ(0, KRYGetKeyBoolean(key, kKRYKeyProperty_NeedsPassphrase, &needs));
  EXPECT_FALSE(needs);
}

TEST_F(CorpusKeys, MergingRevocationGivesRevokedKeyIdempotentlyInAnyOrder) {
  std::string before = ReadFile(Corpus("revoked-before.asc"));
  std::string revoked = ReadFile(Corpus("revoked.asc"));
  auto merged = [&](const std::vector<std::string>& parts) {
    KRYKeySetRef all;
    KRYNewKeySet(ctx, &all);
    for (const std::string& p : parts) {
      KRYKeySetRef s = ImportText(p);
      EXPECT_EQ(0, KRYAddKeys(s, all));
      KRYFreeKeySet(s);
    }
    return all;
  };
  KRYKeySetRef a = merged({before, revoked});
  KRYKeySetRef b = merged({revoked, before});
  KRYKeySetRef c = merged({before, revoked, revoked, before});
  for (KRYKeySetRef s : {a, b, c}) {
    int n = 0;
    KRYCountKeys(s, &n);
    ASSERT_EQ(1, n);
    KRYBoolean rev = 0;
    KRYGetKeyBoolean(Keys(s).at(0), kKRYKeyProperty_IsRevoked, &rev);
    EXPECT_TRUE(rev);
  }
  KRYBoolean rev = 1;
  KRYKeySetRef plain = ImportText(before);
  KRYGetKeyBoolean(Keys(plain).at(0), kKRYKeyProperty_IsRevoked, &rev);
  EXPECT_FALSE(rev);
  // Same packets whatever the order; repeating a merge changes nothing.
  auto packetSet = [&](KRYKeySetRef s) {
    krypgp::Bytes bin = Binary(Export(s, kKRYExportFormat_Complete));
    std::vector<krypgp::Packet> ps;
    EXPECT_EQ(0, krypgp::ParsePackets(bin.data(), bin.size(), &ps));
    std::multiset<std::string> out;
    for (auto& p : ps) out.insert(std::to_string(p.tag) + ":" + std::string(p.body.begin(), p.body.end()));
    return out;
  };
  EXPECT_EQ(packetSet(a), packetSet(b));
  EXPECT_EQ(Export(a, kKRYExportFormat_Complete), Export(c, kKRYExportFormat_Complete));
  KRYKeySetRef r = ImportText(revoked);
  EXPECT_EQ(packetSet(r), packetSet(a));
}

TEST_F(CorpusKeys, MergeUnitesUserIDsSignaturesAndPhotoIDs) {
  KRYKeySetRef all;
  KRYNewKeySet(ctx, &all);
  for (const char* f : {"photo-id-three.asc", "photo-id.asc", "photo-id-two.asc"}) {
    KRYKeySetRef s = ImportFile(f);
    ASSERT_EQ(0, KRYAddKeys(s, all));
    KRYFreeKeySet(s);
  }
  KRYKeySetRef three = ImportFile("photo-id-three.asc");
  EXPECT_EQ(Binary(Export(three, kKRYExportFormat_Complete)).size(),
            Binary(Export(all, kKRYExportFormat_Complete)).size());
  // signed-by-both holds signed-by-trusted's signatures and one more.
  KRYKeySetRef one = ImportFile("signed-by-trusted.asc");
  KRYKeySetRef both = ImportFile("signed-by-both.asc");
  ASSERT_EQ(0, KRYAddKeys(one, both));
  EXPECT_EQ(Export(ImportFile("signed-by-both.asc"), kKRYExportFormat_Complete),
            Export(both, kKRYExportFormat_Complete));
}

TEST_F(CorpusKeys, KeyStateFlags) {
  LoadSigners();
  KRYBoolean b = 0;
  KRYKeySetRef expired = ImportFile("expired.asc");
  KRYKeyRef k = Keys(expired).at(0);
  KRYGetKeyBoolean(k, kKRYKeyProperty_IsExpired, &b);
  EXPECT_TRUE(b);
  KRYTime created = 0, expires = 0;
  KRYGetKeyTime(k, kKRYKeyProperty_Creation, &created);
  KRYGetKeyTime(k, kKRYKeyProperty_Expiration, &expires);
  EXPECT_EQ(1577836800u, created);  // 2020-01-01
  EXPECT_GT(expires, created);

  KRYKeySetRef ec = ImportFile("expired-cert.asc");
  int expiredSigs = 0;
  for (KRYSigRef s : AllSigs(ec)) expiredSigs += SigBool(s, kKRYSigProperty_IsExpired);
  EXPECT_EQ(1, expiredSigs);

  KRYKeySetRef local = ImportFile("local-sig-included.asc");
  int nonExportable = 0;
  for (KRYSigRef s : AllSigs(local)) nonExportable += !SigBool(s, kKRYSigProperty_IsExportable);
  EXPECT_EQ(1, nonExportable);

  KRYKeySetRef dr = ImportFile("designated-revoker.asc");
  int n = 0;
  KRYKeyRef drKey = Keys(dr).at(0);
  ASSERT_EQ(0, KRYCountRevocationKeys(drKey, &n));
  ASSERT_EQ(1, n);
  KRYKeyID rid;
  KRYKeyRef revoker = nullptr;
  ASSERT_EQ(0, KRYGetIndexedRevocationKey(drKey, signers_[0], 0, &revoker, &rid));
  char buf[20];
  KRYGetKeyIDString(&rid, kKRYKeyIDString_Full, buf, sizeof buf);
  EXPECT_EQ("0x" + corpus::KeyId("trusted-signer"), buf);
  EXPECT_EQ(Keys(signers_[0]).at(0), revoker);

  KRYKeySetRef rsa = ImportFile("rsa.asc");
  KRYKeyRef rk = Keys(rsa).at(0);
  int32_t alg = 0, bits = 0;
  KRYGetKeyNumber(rk, kKRYKeyProperty_AlgorithmID, &alg);
  KRYGetKeyNumber(rk, kKRYKeyProperty_Bits, &bits);
  EXPECT_EQ(1, alg);
  EXPECT_EQ(2048, bits);
  KRYGetKeyBoolean(rk, kKRYKeyProperty_IsRevoked, &b);
  EXPECT_FALSE(b);
  KRYGetKeyBoolean(rk, kKRYKeyProperty_NeedsPassphrase, &b);
  EXPECT_FALSE(b);
}

}  // namespace
