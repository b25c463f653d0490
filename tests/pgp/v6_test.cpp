// Version 6 keys (RFC 9580): the RFC's sample certificate and signatures,
// checked against the fingerprint and key ID the RFC publishes, and refused
// or marked bad when tampered with.
#include <functional>

#include "testutil.h"

using namespace pgptest;

namespace {

const char kSampleFpr[] = "CB186C4F0609A697E4D52DFA6C722B0C1F1E27C18A56708F6525EC27BAD9ACC9";

std::string DataFile(const std::string& name) {
  const char* src = std::getenv("KRY_SOURCE_DIR");
  return ReadFile(std::string(src ? src : ".") + "/tests/data/v6/" + name);
}

std::string Hex(const uint8_t* p, size_t n) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) (s += kHex[p[i] >> 4]) += kHex[p[i] & 15];
  return s;
}

class V6 : public Lib {
 protected:
  // A flag (verified unless told) of every signature of the first key, in
  // the order direct-key, user-ID certifications, subkey bindings.
  std::vector<bool> SigFlags(KRYKeySetRef set, int property = kKRYSigProperty_IsVerified) {
    std::vector<bool> flags;
    KRYKeyListRef list;
    KRYKeyIterRef it;
    KRYOrderKeySet(set, kKRYKeyOrdering_Any, &list);
    KRYNewKeyIter(list, &it);
    KRYKeyRef k;
    KRYSigRef s;
    auto take = [&](const std::function<KRYError(KRYSigRef*)>& next) {
      while (next(&s) == 0) {
        KRYBoolean ok = 0;
        KRYGetSigBoolean(s, property, &ok);
        flags.push_back(ok != 0);
      }
    };
    if (KRYKeyIterNext(it, &k) == 0) {
      take([&](KRYSigRef* o) { return KRYKeyIterNextKeySig(it, o); });
      KRYUserIDRef u;
      while (KRYKeyIterNextUserID(it, &u) == 0) take([&](KRYSigRef* o) { return KRYKeyIterNextUIDSig(it, o); });
      KRYSubKeyRef sub;
      while (KRYKeyIterNextSubKey(it, &sub) == 0)
        take([&](KRYSigRef* o) { return KRYKeyIterNextSubKeySig(it, o); });
    }
    KRYFreeKeyIter(it);
    KRYFreeKeyList(list);
    return flags;
  }
};

TEST_F(V6, SampleCertificateHasTheRfcFingerprintKeyIDAndGoodSelfSignatures) {
  KRYKeySetRef set = ImportText(DataFile("v6-sample-cert.asc"));
  ASSERT_NE(nullptr, set);
  std::vector<KRYKeyRef> keys = Keys(set);
  ASSERT_EQ(1u, keys.size());
  int32_t version = 0, alg = 0, bits = 0;
  KRYGetKeyNumber(keys[0], kKRYKeyProperty_Version, &version);
  KRYGetKeyNumber(keys[0], kKRYKeyProperty_AlgorithmID, &alg);
  KRYGetKeyNumber(keys[0], kKRYKeyProperty_Bits, &bits);
  EXPECT_EQ(6, version);
  EXPECT_EQ(kKRYPublicKeyAlgorithm_Ed25519, alg);
  EXPECT_EQ(255, bits);
  uint8_t fpr[32];
  size_t len = 0;
  ASSERT_EQ(0, KRYGetKeyPropertyBuffer(keys[0], kKRYKeyProperty_Fingerprint, fpr, sizeof fpr, &len));
  EXPECT_EQ(kSampleFpr, Hex(fpr, len));
  EXPECT_EQ(std::string(kSampleFpr, 16), KeyIDText(keys[0]));
  // The X25519 subkey: its own v6 fingerprint names it by key ID.
  KRYKeyID subID;
  KRYKeyRef owner = nullptr;
  ASSERT_EQ(0, KRYGetKeyIDFromString("0x12C83F1E706F6308", &subID));
  ASSERT_EQ(0, KRYGetKeyByKeyID(set, &subID, -1, &owner));
  EXPECT_EQ(keys[0], owner);

  ASSERT_EQ(0, KRYCheckKeyRingSigs(set, nullptr, 1, nullptr, nullptr));
  EXPECT_EQ((std::vector<bool>{true, true}), SigFlags(set));
  // Exported unchanged.
  KRYKeySetRef again = ImportText(Export(set, 255));
  EXPECT_EQ(Export(set, 255, false, true), Export(again, 255, false, true));
  KRYFreeKeySet(again);
  KRYFreeKeySet(set);
}

TEST_F(V6, CertificationOfAUserIDVerifiesAndTamperedCopiesFail) {
  const std::string good = DataFile("v6-sample-uid.asc");
  KRYKeySetRef set = ImportText(good);
  ASSERT_EQ(0, KRYCheckKeyRingSigs(set, nullptr, 1, nullptr, nullptr));
  EXPECT_EQ((std::vector<bool>{true, true, true}), SigFlags(set));
  KRYFreeKeySet(set);

  // Binary form, then one bit flipped in: the salt of the direct-key
  // signature, the user ID, and the subkey's key material.
  set = ImportText(good);
  std::string bin = Export(set, 255, false, true);
  KRYFreeKeySet(set);
  const size_t directSalt = 44 + 2 + 4 + 0x42 + 4 + 2 + 1;  // header, fields, areas, left 16, count
  const size_t userID = bin.find("v6 Sample");
  const size_t subkeyMaterial = bin.find(std::string("\xCE\x2A\x06", 3)) + 12;
  ASSERT_NE(std::string::npos, userID);
  const std::vector<std::pair<size_t, std::vector<bool>>> cases = {
      {directSalt, {false, true, true}},
      {userID, {true, false, true}},
      {subkeyMaterial, {true, true, false}},
  };
  // A v6 RSA key certifies its user ID in the same salted form.
  set = ImportText(DataFile("v6-rsa-uid.asc"));
  ASSERT_EQ(0, KRYCheckKeyRingSigs(set, nullptr, 1, nullptr, nullptr));
  EXPECT_EQ((std::vector<bool>{true}), SigFlags(set));
  KRYFreeKeySet(set);
  for (const auto& c : cases) {
    std::string bad = bin;
    bad[c.first] ^= 0x01;
    set = ImportText(bad);
    ASSERT_NE(nullptr, set);
    ASSERT_EQ(0, KRYCheckKeyRingSigs(set, nullptr, 1, nullptr, nullptr));
    EXPECT_EQ(c.second, SigFlags(set)) << "byte " << c.first;
    KRYFreeKeySet(set);
  }
}

TEST_F(V6, SampleSignedMessagesVerifyWithTheSampleKey) {
  KRYKeySetRef set = ImportText(DataFile("v6-sample-cert.asc"));
  for (int run = 0; run < 4; ++run) {
    const bool tamper = run & 1;
    std::string msg = DataFile(run < 2 ? "v6-sample-cleartext.asc" : "v6-sample-inline.bin");
    if (tamper) msg.replace(msg.find("tofu"), 4, "tufo");
    KRYSignatureEventData got{};
    KRYDecodeOptions o{};
    o.inputBuffer = msg.data();
    o.inputLength = msg.size();
    o.keySet = set;
    o.discardOutput = 1;
    o.eventUserData = &got;
    o.eventHandler = [](KRYContextRef, const KRYEvent* ev, void* ud) -> KRYError {
      *static_cast<KRYSignatureEventData*>(ud) = ev->signatureData;
      return 0;
    };
    ASSERT_EQ(0, KRYDecode(ctx, &o));
    EXPECT_TRUE(got.checked) << run;
    EXPECT_EQ(!tamper, got.verified != 0) << run;
  }
  KRYFreeKeySet(set);
}

TEST_F(V6, MalformedKeyMaterialIsRefused) {
  KRYKeySetRef set = ImportText(DataFile("v6-sample-cert.asc"));
  const std::string bin = Export(set, 255, false, true);
  KRYFreeKeySet(set);
  // Body octet 9 is the low octet of the primary key's material length (32).
  for (uint8_t len : {31, 33, 0xFF}) {
    std::string bad = bin;
    bad[2 + 9] = char(len);
    KRYError err = 0;
    set = ImportText(bad, &err);
    if (err == 0) {
      EXPECT_EQ(0u, Keys(set).size()) << int(len);
      KRYFreeKeySet(set);
    }
  }
  // A v6 signature whose salt does not fit its hash, or with SHA-1, is
  // unreadable: never tried, never good.
  for (const std::pair<size_t, char>& change : {std::make_pair(size_t(44 + 2 + 4 + 0x42 + 4 + 2), '\x10'),
                                                std::make_pair(size_t(44 + 2 + 3), '\x02')}) {
    std::string bad = bin;
    bad[change.first] = change.second;
    set = ImportText(bad);
    ASSERT_EQ(0, KRYCheckKeyRingSigs(set, nullptr, 1, nullptr, nullptr));
    EXPECT_EQ((std::vector<bool>{false, true}), SigFlags(set, kKRYSigProperty_IsTried)) << change.first;
    KRYFreeKeySet(set);
  }
}

}  // namespace
