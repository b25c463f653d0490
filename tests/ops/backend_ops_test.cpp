// The backend's add, delete, modify, modify-DN, compare and bind against
// real databases.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include <tuple>

#include "back-ldbm/dbcache.h"
#include "back-ldbm/id2children.h"
#include "back-ldbm/index.h"
#include "back-ldbm/nextid.h"
#include "back-ldbm/ops.h"
#include "ops_fixture.h"

namespace kry {
namespace test {
namespace {

using Attrs = std::vector<std::pair<std::string, std::string>>;
const std::string kAlice = std::string("CN=alice,") + kActive;

Modification Mod(int op, const std::string& type, std::vector<std::string> values = {}) {
  Modification m;
  m.op = op;
  m.type = type;
  m.values = std::move(values);
  return m;
}

class BackendOps : public OpsTest {
 protected:
  void SetUp() override {
    OpsTest::SetUp();
    ASSERT_EQ(Add(kAlice, {{"cn", "alice"}, {"mail", "a@x"}, {"mail", "b@x"}, {"objectclass", "person"}}), 0);
  }
  int Modify(std::vector<Modification> mods, const std::string& dn = kAlice) {
    NewOp(0x66);
    be_->ops.modify(be_, &conn_, op_.get(), dn, mods);
    return Code();
  }
};

TEST_F(BackendOps, AddStoresEntryChildLinkAndIndexes) {
  {
    Held parent = Lookup(kActive);
    ASSERT_TRUE(parent);
    EXPECT_EQ(has_children(be_, parent.e), 1);
  }  // before the cache is emptied below
  Held e = Lookup(kAlice, true);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->id, 5u);  // after the four base entries
  EXPECT_EQ(Values(kAlice, "mail"), (std::vector<std::string>{"a@x", "b@x"}));
  IDListPtr ids = index_read(be_, "objectclass", INDEX_EQUALITY, "PERSON");
  ASSERT_TRUE(ids);
  EXPECT_EQ(ids->nids(), 1u);
}

TEST_F(BackendOps, AddFailuresLeaveCounterAndMapsAlone) {
  const EntryID before = next_id_peek(be_);
  // Missing parent: 32 with an empty matched DN.
  auto e = std::make_unique<Entry>();
  e->dn = "CN=x,OU=NOWHERE,O=KRY KEYSPACE,C=US";
  attr_merge(e.get(), "cn", "x");
  int replicated = 0, err = 0;
  std::string matched = "junk";
  EXPECT_EQ(be_->ops.add(be_, &conn_, op_.get(), e.release(), 0, nullptr, &replicated, &err, &matched), -2);
  EXPECT_EQ(err, 32);
  EXPECT_EQ(matched, "");
  EXPECT_EQ(replicated, 0);
  EXPECT_EQ(next_id_peek(be_), before);
  // An existing DN without merge: 68, the entry as it was.
  EXPECT_EQ(Add(kAlice, {{"cn", "other"}}), 68);
  EXPECT_EQ(Values(kAlice, "cn"), std::vector<std::string>{"alice"});
  // No parent at all: nobody may add at the top.
  EXPECT_EQ(Add("C=DE", {{"c", "DE"}}), 50);
  EXPECT_EQ(next_id_peek(be_), before);
  EXPECT_EQ(dn2id(be_, "C=DE"), NOID);
}

TEST_F(BackendOps, AddNeedsAllOnTheParentUnlessMerging) {
  g_globals->DefaultAccess = ACL_ADD;
  EXPECT_EQ(Add("CN=bob," + std::string(kActive), {{"cn", "bob"}}), 50);
  EXPECT_EQ(Add("CN=bob," + std::string(kActive), {{"cn", "bob"}}, 1), 0);
}

TEST_F(BackendOps, FailedStoreUnlinksTheChild) {
  // A DN map record without its entry (left by a crash, or by an add that
  // finished after our lookup) makes the store fail after the child link
  // was written. The link must go, or the reused ID would show up as a
  // child of ACTIVE and ACTIVE could never be deleted.
  const std::string dn = "CN=carol," + std::string(kActive);
  ASSERT_EQ(dn2id_add(be_, dn, 999), 0);
  const EntryID id = next_id_peek(be_);
  EXPECT_EQ(Add(dn, {{"cn", "carol"}, {"objectclass", "carolclass"}}), 68);
  {
    Held parent = Lookup(kActive);
    Entry probe;
    probe.id = id;
    EXPECT_NE(id2children_remove(be_, parent.e, &probe), 0);  // not listed
    EXPECT_EQ(cache_lookup_id(backend_cache(be_), id), nullptr);
  }
  // The failed add's index records stay and name its ID, so the ID is not
  // handed out again: the next entry would be found by carol's keys.
  EXPECT_GT(next_id_peek(be_), id);
  ASSERT_EQ(Add("CN=dave," + std::string(kActive), {{"cn", "dave"}, {"objectclass", "person"}}), 0);
  Held dave = Lookup("CN=dave," + std::string(kActive));
  ASSERT_TRUE(dave);
  EXPECT_NE(dave->id, id);
  IDListPtr stale = index_read(be_, "objectclass", INDEX_EQUALITY, "CAROLCLASS");
  ASSERT_TRUE(stale);
  for (uint32_t i = 0; i < stale->nids(); ++i) EXPECT_NE(stale->id(i), dave->id);
}

// The backend's directory on a small tmpfs (root only), with a filler file
// whose removal gives space back.
class FullDiskOps : public OpsTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, "size=1m,mode=0700") != 0)
      GTEST_SKIP() << "mounting a tmpfs needs root";
    mounted_ = true;
    OpsTest::SetUp();
    WriteFile(dir_.File("filler"), std::string(128 << 10, 'f'));
  }
  void TearDown() override {
    if (!mounted_) return;
    OpsTest::TearDown();
    umount2(dir_.path().c_str(), MNT_DETACH);
  }
  bool mounted_ = false;
};

TEST_F(FullDiskOps, RefusedAddLeavesNothingBehind) {
  // Entry texts outgrow the room left long before the small counter file
  // does: the entry map's store is the one refused, after the child link,
  // the index keys and the DN were written.
  const std::string big(20000, 'x');
  std::string dn;
  int err = 0;
  for (int n = 0; n < 100 && err == 0; ++n) {
    dn = "CN=big" + std::to_string(n) + "," + kActive;
    NewOp(0x68);
    err = Add(dn, {{"cn", "big"}, {"description", big}});
  }
  ASSERT_EQ(err, 1);
  EXPECT_TRUE(op_->o_storeFailed);
  EXPECT_TRUE(ldbm_out_of_space(be_));
  EXPECT_EQ(dn2id(be_, dn), NOID);
  {
    Held parent = Lookup(kActive);
    Entry probe;
    probe.id = next_id_peek(be_) - 1;
    EXPECT_NE(id2children_remove(be_, parent.e, &probe), 0);  // not listed
  }
  // Room again: the same DN is stored, nothing of the refused add in its way.
  ASSERT_EQ(unlink(dir_.File("filler").c_str()), 0);
  NewOp(0x68);
  EXPECT_EQ(Add(dn, {{"cn", "big"}, {"description", big}}), 0);
  EXPECT_FALSE(ldbm_out_of_space(be_));
  EXPECT_EQ(Values(dn, "cn", true), std::vector<std::string>{"big"});
}

TEST_F(BackendOps, MergeReplacesSentAttributesOnly) {
  const EntryID before = next_id_peek(be_);
  op_->o_logType = 16;
  EXPECT_EQ(Add(kAlice, {{"mail", "c@x"}, {"description", "new"}}, 1), 0);
  EXPECT_EQ(op_->o_logType, 0x20);
  EXPECT_EQ(Values(kAlice, "mail", true), std::vector<std::string>{"c@x"});
  EXPECT_EQ(Values(kAlice, "description", true), std::vector<std::string>{"new"});
  EXPECT_EQ(Values(kAlice, "cn", true), std::vector<std::string>{"alice"});
  EXPECT_EQ(next_id_peek(be_), before);
}

TEST_F(BackendOps, DeleteRules) {
  NewOp(0x4A);
  be_->ops.del(be_, &conn_, op_.get(), kActive);
  EXPECT_EQ(Code(), 66);
  be_->ops.del(be_, &conn_, op_.get(), "CN=nobody," + std::string(kActive));
  EXPECT_EQ(Code(), 32);

  g_globals->DefaultAccess = ACL_ADD;
  be_->ops.del(be_, &conn_, op_.get(), kAlice);
  Response r = Receive();
  EXPECT_EQ(r.code, 50);
  EXPECT_EQ(r.text, "You do not have authority to perform this action.");
  EXPECT_TRUE(Lookup(kAlice));

  g_globals->DefaultAccess = ACL_ALL;
  be_->ops.del(be_, &conn_, op_.get(), kAlice);
  EXPECT_EQ(Code(), 0);
  EXPECT_EQ(dn2id(be_, kAlice), NOID);
  EXPECT_FALSE(Lookup(kAlice, true));
  // Now a leaf, the ACTIVE entry goes too; the keyspace root never does.
  be_->ops.del(be_, &conn_, op_.get(), kActive);
  EXPECT_EQ(Code(), 0);
  be_->ops.del(be_, &conn_, op_.get(), kPending);
  EXPECT_EQ(Code(), 0);
  be_->ops.del(be_, &conn_, op_.get(), kRoot);
  EXPECT_EQ(Code(), 50);
}

TEST_F(BackendOps, ModifyValueRules) {
  EXPECT_EQ(Modify({Mod(MOD_OP_ADD, "mail", {"A@X"})}), 20);  // case-ignore equality
  EXPECT_EQ(Modify({Mod(MOD_OP_DELETE, "mail", {"z@x"})}), 16);
  EXPECT_EQ(Modify({Mod(MOD_OP_DELETE, "nosuch")}), 16);
  EXPECT_EQ(Modify({Mod(MOD_OP_ADD, "mail", {"c@x"}), Mod(MOD_OP_DELETE, "mail", {"B@X"}),
                    Mod(MOD_OP_REPLACE, "cn", {"Alice", "Al"}), Mod(7, "cn", {"ignored"})}),
            0);
  EXPECT_EQ(Values(kAlice, "mail", true), (std::vector<std::string>{"a@x", "c@x"}));
  EXPECT_EQ(Values(kAlice, "cn", true), (std::vector<std::string>{"Alice", "Al"}));
  IDListPtr ids = index_read(be_, "mail", INDEX_EQUALITY, "C@X");
  EXPECT_EQ(Modify({Mod(MOD_OP_DELETE, "objectclass")}), 0);
  EXPECT_TRUE(Values(kAlice, "objectclass").empty());
  EXPECT_EQ(Modify({Mod(MOD_OP_ADD, "mail", {"x"})}, "CN=nobody," + std::string(kActive)), 32);
}

TEST_F(BackendOps, RefusedOrFailedModifyChangesNothing) {
  // The first change would succeed, the second fails: neither the cached
  // entry nor the stored one may show the first.
  EXPECT_EQ(Modify({Mod(MOD_OP_ADD, "mail", {"c@x"}), Mod(MOD_OP_DELETE, "mail", {"z@x"})}), 16);
  EXPECT_EQ(Values(kAlice, "mail"), (std::vector<std::string>{"a@x", "b@x"}));
  EXPECT_EQ(Values(kAlice, "mail", true), (std::vector<std::string>{"a@x", "b@x"}));
  g_globals->DefaultAccess = ACL_ADD;
  EXPECT_EQ(Modify({Mod(MOD_OP_REPLACE, "cn", {"x"})}), 50);
  // ...but the time stamp alone needs no access.
  EXPECT_EQ(Modify({Mod(MOD_OP_REPLACE, "modifytimestamp", {"20260101000000Z"})}), 0);
  EXPECT_EQ(Values(kAlice, "cn"), std::vector<std::string>{"alice"});
}

TEST_F(BackendOps, RemovingTheLastValueRemovesTheAttribute) {
  EXPECT_EQ(Modify({Mod(MOD_OP_DELETE, "mail", {"a@x", "b@x"})}), 0);
  Held e = Lookup(kAlice);
  ASSERT_TRUE(e);
  EXPECT_EQ(attr_lookup(e.e, "mail"), nullptr);
  NewOp(0x6E);
  be_->ops.compare(be_, &conn_, op_.get(), kAlice, Ava{"mail", "A@X"});
  EXPECT_EQ(Code(), 16);  // as it will be once reread
}

TEST_F(BackendOps, HolderOfTheOldEntryKeepsItWhole) {
  Held before = Lookup(kAlice);
  ASSERT_TRUE(before);
  EXPECT_EQ(Modify({Mod(MOD_OP_REPLACE, "mail", {"new@x"})}), 0);
  EXPECT_EQ(attr_lookup(before.e, "mail")->values, (std::vector<std::string>{"a@x", "b@x"}));
  EXPECT_EQ(Values(kAlice, "mail"), std::vector<std::string>{"new@x"});
}

TEST_F(BackendOps, ModifyInternalGivesCodesAndChecksAtAddLevel) {
  g_globals->DefaultAccess = ACL_ADD;
  std::vector<Modification> mods = {Mod(MOD_OP_REPLACE, "cn", {"x"})};
  int err = -1;
  std::string matched;
  EXPECT_EQ(modify_internal(be_, &conn_, op_.get(), kAlice, nullptr, mods, &err, &matched), 0);
  EXPECT_EQ(err, 0);
  mods = {Mod(MOD_OP_DELETE, "nosuch")};
  EXPECT_EQ(modify_internal(be_, &conn_, op_.get(), kAlice, nullptr, mods, &err, &matched), -1);
  EXPECT_EQ(err, 16);
  EXPECT_EQ(modify_internal(be_, &conn_, op_.get(), "CN=none,C=US", nullptr, mods, &err, &matched), -1);
  EXPECT_EQ(err, 32);
  EXPECT_FALSE(Receive().received);  // nothing sent
  // Abandoned: -1, no code, no change.
  op_->o_abandon = true;
  mods = {Mod(MOD_OP_REPLACE, "cn", {"y"})};
  EXPECT_EQ(modify_internal(be_, &conn_, op_.get(), kAlice, nullptr, mods, &err, &matched), -1);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(Values(kAlice, "cn", true), std::vector<std::string>{"x"});
  EXPECT_EQ(cache_size(backend_cache(be_)), 1);
}

TEST_F(BackendOps, ModrdnRenamesInPlace) {
  const std::string bob = "CN=bob," + std::string(kActive);
  ASSERT_EQ(Add(bob, {{"cn", "bob"}}), 0);
  NewOp(0x6C);
  be_->ops.modrdn(be_, &conn_, op_.get(), kAlice, "CN=bob", 1);
  EXPECT_EQ(Code(), 68);
  be_->ops.modrdn(be_, &conn_, op_.get(), kAlice, "CN=alicia", 1);
  EXPECT_EQ(Code(), 0);
  const std::string alicia = "CN=alicia," + std::string(kActive);
  EXPECT_EQ(dn2id(be_, kAlice), NOID);
  Held e = Lookup(alicia, true);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->dn, alicia);
  EXPECT_EQ(e->id, 5u);
  EXPECT_EQ(Values(alicia, "cn"), std::vector<std::string>{"alice"});  // RDN values stay
  IDListPtr byDn = index_read(be_, "dn", INDEX_EQUALITY, "CN=ALICIA,OU=ACTIVE,O=KRY KEYSPACE,C=US");
  ASSERT_TRUE(byDn);
  EXPECT_EQ(byDn->nids(), 1u);
  // Still a child of ACTIVE: deleting it works.
  NewOp(0x4A);
  be_->ops.del(be_, &conn_, op_.get(), alicia);
  EXPECT_EQ(Code(), 0);
}

TEST_F(BackendOps, ModrdnRefusesNonLeafAndMissingAccess) {
  NewOp(0x6C);
  be_->ops.modrdn(be_, &conn_, op_.get(), kActive, "OU=GONE", 0);
  EXPECT_EQ(Code(), 66);
  g_globals->DefaultAccess = ACL_ADD;
  be_->ops.modrdn(be_, &conn_, op_.get(), kAlice, "CN=mallory", 0);
  EXPECT_EQ(Code(), 50);
  EXPECT_NE(dn2id(be_, kAlice), NOID);
  be_->ops.modrdn(be_, &conn_, op_.get(), "CN=none,C=US", "CN=x", 0);
  EXPECT_EQ(Code(), 32);
}

TEST_F(BackendOps, CompareAndBind) {
  NewOp(0x6E);
  const std::pair<Ava, int> compares[] = {
      {{"mail", "B@X"}, 6}, {{"mail", "Q@X"}, 5}, {{"sn", "x"}, 16}};
  for (const auto& c : compares) {
    be_->ops.compare(be_, &conn_, op_.get(), kAlice, c.first);
    EXPECT_EQ(Code(), c.second) << c.first.type << "=" << c.first.value;
  }
  const std::string dn = "CN=admin," + std::string(kActive);
  ASSERT_EQ(Add(dn, {{"cn", "admin"}, {"userpassword", "secret"}}), 0);
  NewOp(0x60);
  EXPECT_EQ(be_->ops.bind(be_, &conn_, op_.get(), dn, 0x80, "secret"), 0);
  EXPECT_FALSE(Receive().received);  // the caller answers
  const std::tuple<std::string, int, std::string, int> binds[] = {
      {dn, 0x80, "wrong", 49}, {dn, 0x80, "SECRET", 49}, {kAlice, 0x80, "secret", 48}, {"CN=none,C=US", 0x80, "x", 32},
      {"CN=none,C=US", 0x80, "", 0}, {dn, 0xA3, "x", 7}, {"CN=none,C=US", 0xA3, "x", 32}};
  for (const auto& b : binds) {
    EXPECT_EQ(be_->ops.bind(be_, &conn_, op_.get(), std::get<0>(b), std::get<1>(b), std::get<2>(b)), 1);
    EXPECT_EQ(Code(), std::get<3>(b)) << std::get<0>(b) << " " << std::get<2>(b);
  }
}

}  // namespace
}  // namespace test
}  // namespace kry
