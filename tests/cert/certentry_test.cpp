// Certificate and user-ID entries built from the corpus keys, compared with
// what gpg lists for the same keys; algorithms the server refuses; stored
// certificates read back, damaged ones included.
#include <ctime>

#include "back-ldbm/id2entry.h"
#include "cert/keysets.h"
#include "ldap/dn.h"
#include "cert_test_util.h"

namespace kry {
namespace test {
namespace {

std::string GeneralizedTime(long t) {
  time_t s = t;
  struct tm parts;
  gmtime_r(&s, &parts);
  char buf[32];
  strftime(buf, sizeof buf, "%Y%m%d%H%M%SZ", &parts);
  return buf;
}

std::string Escaped(const std::string& uid) {
  std::string out;
  EXPECT_EQ(EscapeDNString(uid, &out), 0);
  return out;
}

std::vector<std::string> Types(const Entry* e) {
  std::vector<std::string> t;
  for (const Attribute& a : e->attrs) t.push_back(a.type);
  return t;
}

class EntryBuildTest : public CertTest {
 protected:
  // Builds the entries of a corpus key and checks every attribute against
  // gpg's listing of the same key.
  void CheckAgainstGpg(const std::string& file, const std::string& keyType) {
    SCOPED_TRACE(file);
    std::string text = CorpusText(file);
    GpgKey g = GpgList(text);
    ASSERT_EQ(g.keyID.size(), 16u) << "gpg did not list " << file;
    KRYKeySetRef set = Import(text);
    ASSERT_NE(set, nullptr);
    EntryList list;
    ASSERT_EQ(BuildEntries(set, &list), 0) << Events();

    const std::string certDN = "KRYCERTID=" + g.keyID + ",OU=ACTIVE,O=KRY KEYSPACE,C=US";
    Entry* cert = list.slots[0].get();
    EXPECT_EQ(cert->dn, certDN);
    EXPECT_EQ(Vals(cert, "objectclass"), std::vector<std::string>{"kryCertificate"});
    EXPECT_EQ(Vals(cert, "version"), std::vector<std::string>{"2.5.1"});

    ASSERT_EQ(list.count, static_cast<int>(g.userIDs.size()) + 1);
    const bool dsa = g.algorithm == 17;
    int size = g.bits;
    if (dsa) {
      size = 0;
      for (int b : g.subKeyBits) size = std::max(size, b);
    }
    char sizeText[8];
    snprintf(sizeText, sizeof sizeText, "%05d", size);
    for (int i = 1; i < list.count; ++i) {
      const Entry* e = list.slots[i].get();
      const std::string uid = Val(e, "kryUserID");
      SCOPED_TRACE(uid);
      EXPECT_NE(std::find(g.userIDs.begin(), g.userIDs.end(), uid), g.userIDs.end());
      // The normal form keeps the backslash only where a character would
      // otherwise end the value (comma, plus, semicolon, quote, backslash).
      EXPECT_EQ(e->dn, dn_normalized("kryUserID=" + Escaped(uid) + "," + certDN));
      std::vector<std::string> expectTypes = {"objectclass", "krycertid", "krydisabled", "krykeyid", "krykeytype",
                                              "kryuserid",   "krykeycreatetime"};
      if (g.expires) expectTypes.push_back("krykeyexpiretime");
      expectTypes.push_back("krykeysize");
      if (dsa) expectTypes.push_back("krysubkeyid");
      expectTypes.push_back("kryrevoked");
      EXPECT_EQ(Types(e), expectTypes);
      EXPECT_EQ(Val(e, "objectclass"), "kryUserID");
      EXPECT_EQ(Val(e, "kryCertID"), g.keyID);
      EXPECT_EQ(Val(e, "kryKeyID"), g.keyID.substr(8));
      EXPECT_EQ(Val(e, "kryDisabled"), "0");
      EXPECT_EQ(Val(e, "kryKeyType"), keyType);
      EXPECT_EQ(Val(e, "kryKeyCreateTime"), GeneralizedTime(g.created));
      if (g.expires) {
        EXPECT_EQ(Val(e, "kryKeyExpireTime"), GeneralizedTime(g.expires));
      }
      EXPECT_EQ(Val(e, "kryKeySize"), sizeText);
      if (dsa) {
        EXPECT_EQ(Vals(e, "krySubKeyID"), g.subKeyIDs);
      }
      EXPECT_EQ(Val(e, "kryRevoked"), "0");
    }
  }
};

TEST_F(EntryBuildTest, RsaAndDsaKeysGiveTheAttributesGpgAgreesWith) {
  if (!pgptest::HaveGpg()) GTEST_SKIP() << "gpg not available";
  CheckAgainstGpg("rsa.asc", "RSA");
  CheckAgainstGpg("dsa-elg.asc", "DSS/DH");
  CheckAgainstGpg("multi-uid.asc", "RSA");
  CheckAgainstGpg("expired.asc", "RSA");
}

TEST_F(EntryBuildTest, ModernKeysOnlyWhenAccepted) {
  if (!pgptest::HaveGpg()) GTEST_SKIP() << "gpg not available";
  const std::pair<const char*, std::string> keys[] = {
      {"ed25519.asc", "Algorithm ID 22 is not supported (" + corpus::KeyId("ed25519") + ")."},
      {"ecdsa-p256.asc", "Algorithm ID 19 is not supported (" + corpus::KeyId("ecdsa-p256") + ")."}};
  for (const auto& k : keys) {
    EntryList list;
    KRYKeySetRef set = Import(CorpusText(k.first));
    EXPECT_EQ(BuildEntries(set, &list), 1) << k.first;
    EXPECT_NE(Events().find(k.second), std::string::npos) << k.first;
    // The size builder refuses such a key on its own as well.
    Entry e;
    EXPECT_EQ(AddDynamicKRYUserIDAttrs(&e, KeyOf(set), "X", false, 0, {}), 1);
    EXPECT_TRUE(e.attrs.empty());
  }
  g_globals->AcceptModernKeys = true;
  CheckAgainstGpg("ed25519.asc", "EdDSA");
  CheckAgainstGpg("ecdsa-p256.asc", "ECDSA");
  EntryList list;
  ASSERT_EQ(BuildEntries(Import(CorpusText("ecdsa-p256.asc")), &list), 0);
  EXPECT_EQ(Val(list.slots[1].get(), "kryKeySize"), "00256");
}

TEST_F(EntryBuildTest, DssKeysAreSizedByTheirLargestSubkey) {
  const std::vector<std::string> subs = {"1111111111111111", "2222222222222222"};
  Entry dss, rsa;
  ASSERT_EQ(AddDynamicKRYUserIDAttrs(&dss, KeyOf(Import(CorpusText("dsa-elg.asc"))), corpus::KeyId("dsa-elg"), true,
                                     4096, subs),
            0);
  EXPECT_EQ(Vals(&dss, "kryKeySize"), std::vector<std::string>{"04096"});
  EXPECT_EQ(Vals(&dss, "krySubKeyID"), subs);
  EXPECT_EQ(Vals(&dss, "kryRevoked"), std::vector<std::string>{"1"});
  // An RSA key has its own size and no subkey list, whatever is passed.
  ASSERT_EQ(AddDynamicKRYUserIDAttrs(&rsa, KeyOf(Import(CorpusText("rsa.asc"))), corpus::KeyId("rsa"), false, 4096,
                                     subs),
            0);
  EXPECT_EQ(Vals(&rsa, "kryKeySize"), std::vector<std::string>{"02048"});
  EXPECT_TRUE(Vals(&rsa, "krySubKeyID").empty());
}

TEST_F(EntryBuildTest, RevocationAndPhotoIDs) {
  EntryList before, after;
  ASSERT_EQ(BuildEntries(Import(CorpusText("revoked-before.asc")), &before), 0);
  ASSERT_EQ(BuildEntries(Import(CorpusText("revoked.asc")), &after), 0);
  ASSERT_GE(before.count, 2);
  ASSERT_EQ(after.count, before.count);
  EXPECT_EQ(Val(before.slots[1].get(), "kryRevoked"), "0");
  for (int i = 1; i < after.count; ++i) EXPECT_EQ(Val(after.slots[i].get(), "kryRevoked"), "1");

  // A photo ID has no name string: no entry and nothing in the event log.
  Events();
  EntryList photo;
  ASSERT_EQ(BuildEntries(Import(CorpusText("photo-id.asc")), &photo), 0);
  EXPECT_EQ(photo.count, 2);
  EXPECT_EQ(Events(), "");
}

TEST_F(EntryBuildTest, EntryListsGrowAndGiveBack) {
  EntryList list;
  EXPECT_EQ(GrowEntries(&list, 1), 0);
  EXPECT_EQ(list.slots.size(), 8u);
  EXPECT_EQ(GrowEntries(&list, 8), 0);
  EXPECT_EQ(list.slots.size(), 8u);
  EXPECT_EQ(GrowEntries(&list, 9), 0);
  EXPECT_EQ(list.slots.size(), 16u);
  EXPECT_EQ(GrowEntries(&list, 40), 0);
  EXPECT_EQ(list.slots.size(), 40u);

  EntryList l2;
  GiveBackEntry(&l2);  // nothing to give back
  EXPECT_EQ(l2.count, 0);
  Entry* a = nullptr;
  Entry* b = nullptr;
  for (int i = 0; i < 9; ++i) ASSERT_EQ(CrtKRYUserIDEntry(&l2, "cn=" + std::to_string(i), i ? &b : &a), 0);
  EXPECT_EQ(l2.count, 9);
  EXPECT_EQ(l2.slots.size(), 16u);
  EXPECT_EQ(l2.slots[0]->dn, "cn=0");
  EXPECT_EQ(b->dn, "cn=8");
  GiveBackEntry(&l2);
  EXPECT_EQ(l2.count, 8);
  EXPECT_EQ(l2.slots[8], nullptr);
  EXPECT_EQ(l2.Last()->dn, "cn=7");
}

TEST_F(EntryBuildTest, SignerValuesAndRepeatedValuesAreKept) {
  Entry e;
  AddSignerIDAttrs(&e, {{'+', "0123456789ABCDEF"}, {'-', "1111222233334444"}, {'x', "AAAABBBBCCCCDDDD"}});
  EXPECT_EQ(Vals(&e, "krySignerID"),
            (std::vector<std::string>{"0123456789ABCDEF", "Neg: 1111222233334444", "Exp: AAAABBBBCCCCDDDD"}));
  AddDirAttrToEntry(&e, "krySignerID", "0123456789ABCDEF");
  EXPECT_EQ(Vals(&e, "krysignerid").size(), 4u);
}

// ---- stored certificates

class StoredCertTest : public CertTest {
 protected:
  int Store(const std::string& certID, std::vector<std::pair<std::string, std::string>> attrs) {
    std::string dn;
    EXPECT_EQ(CreateKeyDN(certID.c_str(), false, kLocationActive, &dn), 0);
    attrs.insert(attrs.begin(), {"objectclass", "kryCertificate"});
    return Add(dn, attrs);
  }
  int Read(const std::string& certID, bool* v2, KRYKeySetRef* set, std::string* block) {
    std::string dn;
    EXPECT_EQ(CreateKeyDN(certID.c_str(), false, kLocationActive, &dn), 0);
    int rc = GetCertObject(be_, dn, ctx_, v2, set, block);
    if (*set) sets_.push_back(*set);
    return rc;
  }
};

TEST_F(StoredCertTest, TheCompleteBlockWinsAndAbsentCertificatesAreNoError) {
  std::string rsa = CorpusText("rsa.asc"), dsa = CorpusText("dsa-elg.asc");
  const std::string rsaID = corpus::KeyId("rsa"), dsaID = corpus::KeyId("dsa-elg");
  ASSERT_EQ(Store(rsaID, {{"kryKey", rsa}}), 0);
  ASSERT_EQ(Store(dsaID, {{"kryKey", rsa}, {"kryKeyV2", dsa}}), 0);
  bool v2 = true;
  KRYKeySetRef set = nullptr;
  std::string block;
  EXPECT_EQ(Read(rsaID, &v2, &set, &block), 0);
  EXPECT_FALSE(v2);
  EXPECT_EQ(block, rsa);
  EXPECT_EQ(KeyIDText(KeyOf(set)), rsaID);

  EXPECT_EQ(Read(dsaID, &v2, &set, &block), 0);
  EXPECT_TRUE(v2);
  EXPECT_EQ(block, dsa);

  EXPECT_EQ(Read("0000000000000001", &v2, &set, &block), 0);
  EXPECT_EQ(set, nullptr);
  EXPECT_TRUE(block.empty());
}

TEST_F(StoredCertTest, DamagedDisabledAndEmptyCertificatesGetTheirResults) {
  std::string rsa = CorpusText("rsa.asc");
  std::string truncated = rsa.substr(0, rsa.size() / 2);
  // Well-formed armour that holds no key at all.
  std::string request = CorpusText("add-signed-by-trusted.req");
  std::string signature = request.substr(request.find("-----BEGIN PGP SIGNATURE-----"));
  std::string flipped = rsa;
  flipped[flipped.size() / 2] = flipped[flipped.size() / 2] == 'A' ? 'B' : 'A';
  const struct {
    const char* id;
    std::vector<std::pair<std::string, std::string>> attrs;
    int result;
    const char* event;
  } cases[] = {
      {"1000000000000001", {{"kryKey", truncated}}, 89, "Keyblock of (KRYCERTID=1000000000000001,"},
      {"1000000000000002", {{"kryKey", flipped}}, 89, "is missing or invalid.  Library error: "},
      {"1000000000000003", {{"kryKey", "not a key block at all"}}, 89, "is missing or invalid."},
      {"1000000000000008", {{"kryKey", signature}}, 89, "is missing or invalid."},
      {"1000000000000009",
       {{"kryKey", "-----BEGIN PGP PUBLIC KEY BLOCK-----\n\n=twTO\n-----END PGP PUBLIC KEY BLOCK-----\n"}},
       89,
       "is missing or invalid."},
      {"1000000000000004", {{"kryKey", rsa}, {"kryDisabled", "1"}}, 52, "Certificate is disabled (KRYCERTID="},
      {"1000000000000005", {{"cn", "no block"}}, 1, "Certificate in database did not have a keyblock (KRYCERTID="},
      // A good basic block does not rescue a damaged complete one.
      {"1000000000000006", {{"kryKey", rsa}, {"kryKeyV2", truncated}}, 89, "is missing or invalid."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    ASSERT_EQ(Store(c.id, c.attrs), 0);
    Events();
    bool v2 = false;
    KRYKeySetRef set = nullptr;
    std::string block = "stale";
    EXPECT_EQ(Read(c.id, &v2, &set, &block), c.result);
    EXPECT_EQ(set, nullptr);
    EXPECT_NE(Events().find(c.event), std::string::npos);
  }
  // A disabled flag other than "1" does not disable.
  ASSERT_EQ(Store("1000000000000007", {{"kryKey", rsa}, {"kryDisabled", "0"}}), 0);
  bool v2 = false;
  KRYKeySetRef set = nullptr;
  std::string block;
  EXPECT_EQ(Read("1000000000000007", &v2, &set, &block), 0);
  EXPECT_NE(set, nullptr);
}

TEST_F(StoredCertTest, ChildrenOfACertificateAreItsUserIDEntries) {
  EntryList list;
  ASSERT_EQ(BuildEntries(Import(CorpusText("multi-uid.asc")), &list), 0);
  ASSERT_EQ(list.count, 4);
  attr_merge(list.slots[0].get(), "kryKey", CorpusText("multi-uid.asc"));
  std::string certDN = list.slots[0]->dn;
  for (int i = 0; i < list.count; ++i) {
    int replicated = 0, err = -1;
    std::string matched;
    be_->ops.add(be_, &conn_, op_.get(), list.slots[i].release(), 0, nullptr, &replicated, &err, &matched);
    ASSERT_EQ(err, 0);
  }
  Held cert = Lookup(certDN);
  ASSERT_TRUE(cert);
  std::vector<EntryID> children;
  ASSERT_EQ(GetKeysChildren(be_, cert.e, &children), 0);
  ASSERT_EQ(children.size(), 3u);
  for (EntryID id : children) {
    Entry* child = id2entry(be_, id);
    ASSERT_NE(child, nullptr);
    EXPECT_NE(child->dn.find("," + certDN), std::string::npos);
    cache_return_entry(be_, child);
  }
  // A user-ID entry has no children of its own.
  Entry* child = id2entry(be_, children[0]);
  ASSERT_NE(child, nullptr);
  std::vector<EntryID> none = {1, 2};
  EXPECT_EQ(GetKeysChildren(be_, child, &none), 0);
  EXPECT_TRUE(none.empty());
  cache_return_entry(be_, child);
}

// A user ID stored under the DN an earlier release gave it keeps that entry;
// another user ID that merely had the same old DN gets its own.
TEST_F(StoredCertTest, UserIDsStoredUnderTheirOldDNKeepIt) {
  const std::string certID = "1000000000000010";
  ASSERT_EQ(Store(certID, {{"kryKey", "block"}}), 0);
  std::string certDN, old, fresh, escaped;
  ASSERT_EQ(CreateKeyDN(certID.c_str(), false, kLocationActive, &certDN), 0);
  const std::string uid = "Ends With Backslash\\", twin = "Ends With Backslash\\\\";
  ASSERT_EQ(LegacyUserIDDN(uid, certDN, &old), 0);
  ASSERT_EQ(Add(old, {{"objectclass", "kryUserID"}, {"kryUserID", uid}}), 0);
  for (const std::string& u : {uid, twin}) {
    ASSERT_EQ(EscapeDNString(u, &escaped), 0);
    fresh = dn_normalized("kryUserID=" + escaped + "," + certDN);
    ASSERT_NE(fresh, old);
    std::string dn = fresh;
    ASSERT_EQ(FindStoredUserIDDN(be_, u, certDN, &dn), 0);
    EXPECT_EQ(dn, u == uid ? old : fresh) << u;
  }
}

}  // namespace
}  // namespace test
}  // namespace kry
