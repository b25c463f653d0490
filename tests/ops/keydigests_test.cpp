// Key digests kept by the backend: stamped with each write of a certificate
// entry, told to the observer as they enter and leave, read back from their
// index, and given to certificates stored before digests were kept.
#include <gtest/gtest.h>

#include <unistd.h>

#include <set>
#include <utility>
#include <vector>

#include "back-ldbm/dn2id.h"
#include "back-ldbm/ops.h"
#include "back-ldbm/ops_common.h"
#include "cert/keydigests.h"
#include "ops_fixture.h"
#include "platform/pgp/armor.h"
#include "../support/corpus_ids.h"

namespace kry {
namespace test {
namespace {

std::string Block(const std::string& name) { return ReadFile(corpus::Dir() + "/" + name + ".asc"); }

std::string DigestOfFile(const std::string& name) {
  std::string hex;
  EXPECT_TRUE(KeyBlockDigestHex(Block(name), &hex)) << name;
  return hex;
}

std::string CertDN(const std::string& name) { return "kryCertID=" + corpus::KeyId(name) + "," + kActive; }

class KeyDigests : public OpsTest {
 protected:
  void SetUp() override {
    OpsTest::SetUp();
    if (corpus::Dir().empty()) GTEST_SKIP() << "no corpus";
    SetKeyDigestObserver([this](const krypgp::SksDigest& d, bool present) {
      seen_.emplace_back(krypgp::SksDigestHex(d), present);
    });
  }
  void TearDown() override {
    SetKeyDigestObserver(nullptr);
    OpsTest::TearDown();
  }
  // A certificate entry holding `keyFile`'s block, stored at `dn`.
  int AddCert(const std::string& dn, const std::string& keyFile, int merge = 0) {
    return Add(dn, {{"objectclass", "kryCertificate"}, {"kryKey", Block(keyFile)}}, merge);
  }
  std::set<std::string> Stored() {
    std::set<std::string> all;
    EXPECT_EQ(ForEachKeyDigest(be_, [&](const krypgp::SksDigest& d) { all.insert(krypgp::SksDigestHex(d)); }), 0);
    return all;
  }
  bool Served(const std::string& hex) {
    krypgp::SksDigest d;
    std::string binary;
    return krypgp::ParseSksDigestHex(hex, &d) && FindServedKeyByDigest(be_, d, &binary) == 0 && !binary.empty();
  }

  std::vector<std::pair<std::string, bool>> seen_;
};

TEST_F(KeyDigests, FollowEveryWriteOfTheKeyBlock) {
  const std::string dn = CertDN("rsa"), first = DigestOfFile("rsa"), second = DigestOfFile("dsa-elg");
  ASSERT_EQ(AddCert(dn, "rsa"), 0);
  EXPECT_EQ(Values(dn, "kryKeyDigest", true), std::vector<std::string>{first});
  EXPECT_EQ(Stored(), std::set<std::string>{first});
  EXPECT_TRUE(Served(first));

  // A merge whose block differs: the old digest leaves before the new one
  // enters, and only the new one can be found.
  ASSERT_EQ(AddCert(dn, "dsa-elg", 1), 0);
  EXPECT_EQ(Values(dn, "kryKeyDigest", true), std::vector<std::string>{second});
  EXPECT_EQ(Stored(), std::set<std::string>{second});
  EXPECT_FALSE(Served(first));
  EXPECT_TRUE(Served(second));

  // A change that leaves the block alone tells nothing, whatever digest a
  // client sends; a disabled key stays in the set but is not served.
  int err = -1;
  std::string matched;
  std::vector<Modification> mods(2);
  mods[0].op = MOD_OP_ADD;
  mods[0].type = "kryDisabled";
  mods[0].values = {"1"};
  mods[1].op = MOD_OP_REPLACE;
  mods[1].type = "kryKeyDigest";
  mods[1].values = {first};
  ASSERT_EQ(modify_internal(be_, &conn_, op_.get(), dn, nullptr, mods, &err, &matched), 0);
  EXPECT_EQ(Values(dn, "kryKeyDigest", true), std::vector<std::string>{second});
  EXPECT_EQ(Stored(), std::set<std::string>{second});
  EXPECT_FALSE(Served(second));

  NewOp(0x4a);
  be_->ops.del(be_, &conn_, op_.get(), dn);
  EXPECT_EQ(Code(), 0);
  EXPECT_TRUE(Stored().empty());
  const std::vector<std::pair<std::string, bool>> expected = {{first, true}, {first, false}, {second, true},
                                                              {second, false}};
  EXPECT_EQ(seen_, expected);
}

TEST_F(KeyDigests, AFailedAddLeavesNoDigest) {
  // A DN map record without its entry makes the store fail after the
  // indexes were written.
  ASSERT_EQ(dn2id_add(be_, CertDN("rsa"), 999), 0);
  EXPECT_EQ(AddCert(CertDN("rsa"), "rsa"), 68);
  EXPECT_TRUE(Stored().empty());
  EXPECT_TRUE(seen_.empty());
}

TEST_F(KeyDigests, ADigestTwoCertificatesShareIsOneMember) {
  const std::string hex = DigestOfFile("rsa");
  const std::string pending = "kryCertID=" + corpus::KeyId("rsa") + "," + kPending;
  ASSERT_EQ(AddCert(pending, "rsa"), 0);
  EXPECT_FALSE(Served(hex));  // parked, not served
  ASSERT_EQ(AddCert(CertDN("rsa"), "rsa"), 0);
  EXPECT_TRUE(Served(hex));
  NewOp(0x4a);
  be_->ops.del(be_, &conn_, op_.get(), pending);
  ASSERT_EQ(Code(), 0);
  EXPECT_EQ(Stored(), std::set<std::string>{hex});
  EXPECT_EQ(seen_, (std::vector<std::pair<std::string, bool>>{{hex, true}}));
}

TEST_F(KeyDigests, CertificatesStoredWithoutOneGetItAtStartUp) {
  const std::string dn = CertDN("ed25519"), hex = DigestOfFile("ed25519");
  ASSERT_EQ(AddCert(dn, "ed25519"), 0);
  ASSERT_EQ(AddCert(CertDN("rsa"), "rsa"), 0);
  {
    // The entry as an earlier release stored it: no digest, no index file.
    MutexGuard update(ldbm_update_lock());
    Held h = Lookup(dn);
    ASSERT_TRUE(h);
    EntryPtr old = entry_copy(*h.e);
    attr_remove(old.get(), "kryKeyDigest");
    ASSERT_EQ(ldbm_store_replacement(be_, h.e, std::move(old)), 0);
  }
  be_->ops.close(be_);
  ASSERT_EQ(unlink((dir_.path() + "/krykeydigest.dbb").c_str()), 0);
  EXPECT_TRUE(Stored().empty());

  EXPECT_EQ(StampMissingKeyDigests(be_), 2);
  EXPECT_EQ(Values(dn, "kryKeyDigest", true), std::vector<std::string>{hex});
  EXPECT_EQ(Stored(), (std::set<std::string>{hex, DigestOfFile("rsa")}));
  EXPECT_EQ(StampMissingKeyDigests(be_), 0);  // nothing left to do
}

}  // namespace
}  // namespace test
}  // namespace kry
