// Key blocks in search results: certificates stored through the backend's
// add as the add pipeline builds them, then searched for their user IDs
// with and without the key-block attributes.
#include "back-ldbm/search.h"
#include "cert/keyattrs.h"
#include "cert/keysets.h"
#include "cert_test_util.h"
#include "ldap/dispatch.h"
#include "ldap/dn.h"
#include "util/strutil.h"
#include "../search/search_test_util.h"

namespace kry {
namespace test {
namespace {

class KeyAttrTest : public CertTest {
 protected:
  // Stores a corpus key: the certificate entry with its basic block (and the
  // complete one when `withV2`), and its user-ID entries. Returns the
  // certificate DN.
  std::string StoreKey(const std::string& file, bool withV2 = false) {
    KRYKeySetRef set = Import(CorpusText(file));
    EntryList list;
    EXPECT_EQ(BuildEntries(set, &list), 0) << file;
    if (list.count == 0) return std::string();  // nothing to store (the test has failed)
    std::string basic, complete;
    EXPECT_EQ(ConvertKeySet2KeyBlock(set, false, kKRYExportFormat_Basic, 0, &basic), 0);
    EXPECT_EQ(ConvertKeySet2KeyBlock(set, false, kKRYExportFormat_Complete, 0, &complete), 0);
    attr_merge(list.slots[0].get(), "krykey", basic);
    if (withV2) attr_merge(list.slots[0].get(), "kryKeyV2", complete);
    std::string certDN = list.slots[0]->dn;
    for (int i = 0; i < list.count; ++i) {
      int replicated = 0, err = -1;
      std::string matched;
      be_->ops.add(be_, &conn_, op_.get(), list.slots[i].release(), 0, nullptr, &replicated, &err, &matched);
      EXPECT_EQ(err, 0) << file;
    }
    return certDN;
  }
  SearchResponses Search(const std::string& base, int scope, const F& filter, const std::vector<std::string>& attrs) {
    NewOp(0x63, SearchOp(base, scope, filter, attrs));
    op_->o_time = time(nullptr);
    do_search(&conn_, op_.get());
    return ParseResponses(ReadAll());
  }
  static const std::vector<std::string>* Find(const SearchResponses& r, size_t i, const std::string& type) {
    for (const auto& a : r.attrs[i])
      if (StrIEquals(a.first, type)) return &a.second;
    return nullptr;
  }
  static std::string Fingerprint(const std::string& block) {
    GpgKey g = GpgList(block);
    return g.keyID;
  }
};

const F kUserIDs = Eq("objectclass", "kryUserID");

TEST_F(KeyAttrTest, KeyOnlySearchesReturnEachCertificateOnce) {
  std::string multi = StoreKey("multi-uid.asc");
  std::string rsa = StoreKey("rsa.asc");
  SearchResponses r = Search(kActive, 2, kUserIDs, {"kryKey"});
  ASSERT_TRUE(r.done);
  EXPECT_EQ(r.code, 0);
  ASSERT_EQ(r.dns.size(), 2u);
  std::vector<std::string> parents;
  for (size_t i = 0; i < r.dns.size(); ++i) {
    const std::vector<std::string>* key = Find(r, i, "kryKey");
    ASSERT_NE(key, nullptr) << r.dns[i];
    ASSERT_EQ(key->size(), 1u);
    EXPECT_EQ(r.attrs[i].size(), 1u);  // nothing but the block
    parents.push_back(*dn_get_parent(nullptr, r.dns[i]));
    // The block is the certificate's, whole: gpg reads the same key back.
    if (pgptest::HaveGpg()) {
      std::string id;
      ASSERT_EQ(ExtractKeyIDFromDN(nullptr, r.dns[i], &id), 0);
      EXPECT_EQ(Fingerprint((*key)[0]), id);
    }
  }
  std::sort(parents.begin(), parents.end());
  std::vector<std::string> want = {multi, rsa};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(parents, want);

  // Asked by its other name, the block of a certificate without a complete
  // block is the basic one; still one entry per certificate.
  r = Search(kActive, 2, kUserIDs, {"KRYKEYV2"});
  ASSERT_EQ(r.dns.size(), 2u);
  for (size_t i = 0; i < r.dns.size(); ++i) EXPECT_NE(Find(r, i, "kryKeyV2"), nullptr);
}

// User-ID entries stay cached while their certificate changes: the block a
// search returns is always the certificate's as it is now, after a change of
// its block, and after the key is deleted and stored again.
TEST_F(KeyAttrTest, KeyBlocksFollowTheirCertificate) {
  const std::string cert = StoreKey("rsa.asc");
  auto blockNow = [&](const char* attr) {
    SearchResponses r = Search(kActive, 2, kUserIDs, {attr});
    if (r.dns.size() != 1u) return std::string("entries: ") + std::to_string(r.dns.size());
    const std::vector<std::string>* key = Find(r, 0, attr);
    return key && key->size() == 1u ? (*key)[0] : std::string("no block");
  };
  const std::string first = blockNow("kryKey");
  ASSERT_NE(first.find("BEGIN PGP PUBLIC KEY BLOCK"), std::string::npos) << first;
  EXPECT_EQ(blockNow("kryKey"), first);  // served again, now from what the entries keep

  std::vector<Modification> mods(1);
  mods[0].op = MOD_OP_REPLACE;
  mods[0].type = "krykey";
  mods[0].values = {"changed block"};
  NewOp(0x66);
  be_->ops.modify(be_, &conn_, op_.get(), cert, mods);
  ReadAll();
  EXPECT_EQ(blockNow("kryKey"), "changed block");
  EXPECT_EQ(blockNow("kryKeyV2"), "changed block");

  // Deleted (user IDs first, then the certificate) and stored again: the
  // stored block, not the one last served.
  SearchResponses ids = Search(kActive, 2, kUserIDs, {"kryUserID"});
  for (const std::string& dn : ids.dns) {
    NewOp(0x4a);
    be_->ops.del(be_, &conn_, op_.get(), dn);
    ReadAll();
  }
  NewOp(0x4a);
  be_->ops.del(be_, &conn_, op_.get(), cert);
  ReadAll();
  EXPECT_EQ(blockNow("kryKey"), "entries: 0");
  ASSERT_EQ(StoreKey("rsa.asc"), cert);
  EXPECT_EQ(blockNow("kryKey"), first);
}

TEST_F(KeyAttrTest, OtherAttributeListsReturnEveryMatchingEntry) {
  std::string multi = StoreKey("multi-uid.asc");
  SearchResponses r = Search(kActive, 2, kUserIDs, {"kryKey", "kryUserID"});
  ASSERT_EQ(r.dns.size(), 3u);
  std::string block;
  for (size_t i = 0; i < r.dns.size(); ++i) {
    ASSERT_NE(Find(r, i, "kryKey"), nullptr);
    ASSERT_NE(Find(r, i, "kryUserID"), nullptr);
    if (i == 0) block = (*Find(r, i, "kryKey"))[0];
    EXPECT_EQ((*Find(r, i, "kryKey"))[0], block);
  }

  // No attribute list: the stored attributes only.
  r = Search(kActive, 2, kUserIDs, {});
  ASSERT_EQ(r.dns.size(), 3u);
  for (size_t i = 0; i < r.dns.size(); ++i) {
    EXPECT_EQ(Find(r, i, "kryKey"), nullptr);
    EXPECT_NE(Find(r, i, "kryKeySize"), nullptr);
  }

  // Attributes that are not key blocks add nothing.
  r = Search(kActive, 2, kUserIDs, {"kryKeySize"});
  ASSERT_EQ(r.dns.size(), 3u);
  EXPECT_EQ(r.attrs[0].size(), 1u);
}

TEST_F(KeyAttrTest, CertificateEntriesAndCompleteBlocks) {
  std::string rsa = StoreKey("rsa.asc");
  std::string dsa = StoreKey("photo-id.asc", true);  // its complete block keeps the photo
  Held rsaCert = Lookup(rsa), dsaCert = Lookup(dsa);
  const std::string rsaBasic = Val(rsaCert.e, "krykey");
  const std::string dsaComplete = Val(dsaCert.e, "krykeyv2");

  // A certificate entry holding only the basic block answers "kryKeyV2"
  // with it.
  SearchResponses r = Search(rsa, 0, Present("objectclass"), {"kryKeyV2"});
  ASSERT_EQ(r.dns.size(), 1u);
  ASSERT_NE(Find(r, 0, "kryKeyV2"), nullptr);
  EXPECT_EQ((*Find(r, 0, "kryKeyV2"))[0], rsaBasic);
  EXPECT_EQ(Find(r, 0, "kryKey"), nullptr);

  // One that holds its complete block sends its own attributes only.
  r = Search(dsa, 0, Present("objectclass"), {"kryKey", "kryKeyV2"});
  ASSERT_EQ(r.dns.size(), 1u);
  EXPECT_EQ(r.attrs[0].size(), 2u);

  // User-ID entries get the complete block for "kryKeyV2", the basic one for
  // "kryKey".
  r = Search(dsa, 1, kUserIDs, {"kryKey", "kryKeyV2"});
  ASSERT_EQ(r.dns.size(), 1u);
  EXPECT_EQ((*Find(r, 0, "kryKeyV2"))[0], dsaComplete);
  EXPECT_EQ((*Find(r, 0, "kryKey"))[0], Val(dsaCert.e, "krykey"));
  EXPECT_NE(dsaComplete, Val(dsaCert.e, "krykey"));
}

TEST_F(KeyAttrTest, EntriesOutsideTheKeySpaceAreNeverSuppressed) {
  StoreKey("rsa.asc");
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(Add("cn=Person" + std::to_string(i) + "," + kActive, {{"objectclass", "person"}, {"cn", "x"}}), 0);
  SearchResponses r = Search(kActive, 1, Eq("objectclass", "person"), {"kryKey"});
  EXPECT_EQ(r.dns.size(), 3u);
  for (size_t i = 0; i < r.dns.size(); ++i) EXPECT_TRUE(r.attrs[i].empty());
}

// The set remembers the last DN's certificate ID; an answer must never
// come from the previous entry.
TEST_F(KeyAttrTest, SentKeySetsFollowEachEntrysOwnDN) {
  SentKeySet sent;
  Entry a, b, other;
  a.dn = "kryUserID=a,KRYCERTID=9B17F4FF83984697,OU=ACTIVE,O=KRY KEYSPACE,C=US";
  b.dn = "kryUserID=a,KRYCERTID=0000000083984697,OU=ACTIVE,O=KRY KEYSPACE,C=US";
  other.dn = "cn=other,OU=ACTIVE,O=KRY KEYSPACE,C=US";
  EXPECT_FALSE(CheckIfKeySent(be_, &a, &sent));
  TrackKeysSent(be_, &a, &sent);
  EXPECT_FALSE(CheckIfKeySent(be_, &b, &sent));
  EXPECT_FALSE(CheckIfKeySent(be_, &other, &sent));
  EXPECT_TRUE(CheckIfKeySent(be_, &a, &sent));
  TrackKeysSent(be_, &other, &sent);
  EXPECT_EQ(sent.Size(), 1u);
  TrackKeysSent(be_, &b, &sent);
  EXPECT_EQ(sent.Size(), 2u);
  std::string id;
  EXPECT_EQ(sent.CertIDFor(be_, other.dn, &id), 1);
  EXPECT_EQ(sent.CertIDFor(be_, b.dn, &id), 0);
  EXPECT_EQ(id, "0000000083984697");
}

TEST_F(KeyAttrTest, SentKeySetsIgnoreCase) {
  SentKeySet sent;
  Entry e;
  e.dn = "kryUserID=a,KRYCERTID=9B17F4FF83984697,OU=ACTIVE,O=KRY KEYSPACE,C=US";
  EXPECT_FALSE(CheckIfKeySent(be_, &e, &sent));
  TrackKeysSent(be_, &e, &sent);
  TrackKeysSent(be_, &e, &sent);
  EXPECT_EQ(sent.Size(), 1u);
  // (An entry's derived names are kept with it, so each DN is its own entry.)
  Entry lower, outside;
  lower.dn = "kryuserid=b,krycertid=9b17f4ff83984697,ou=pending,o=kry keyspace,c=us";
  EXPECT_TRUE(CheckIfKeySent(be_, &lower, &sent));
  outside.dn = "cn=other,OU=ACTIVE,O=KRY KEYSPACE,C=US";
  TrackKeysSent(be_, &outside, &sent);
  EXPECT_EQ(sent.Size(), 1u);
  EXPECT_FALSE(CheckIfKeySent(be_, &outside, &sent));

  const std::vector<std::string> one{"krykey"}, v2{"KryKeyV2"}, two{"kryKey", "kryUserID"}, other{"cn"}, none;
  EXPECT_TRUE(IsKeyOnlySearch(&one));
  EXPECT_TRUE(IsKeyOnlySearch(&v2));
  EXPECT_FALSE(IsKeyOnlySearch(&two));
  EXPECT_FALSE(IsKeyOnlySearch(&other));
  EXPECT_FALSE(IsKeyOnlySearch(&none));
  EXPECT_FALSE(IsKeyOnlySearch(nullptr));
}

}  // namespace
}  // namespace test
}  // namespace kry
