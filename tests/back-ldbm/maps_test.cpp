// The entry, DN and child maps and the ID counter, with damaged
// and missing files.
#include <gtest/gtest.h>

#include <cstring>

#include <sys/stat.h>

#include "back-ldbm/cache.h"
#include "back-ldbm/commit.h"
#include "back-ldbm/dbcache.h"
#include "back-ldbm/dn2id.h"
#include "back-ldbm/id2children.h"
#include "back-ldbm/id2entry.h"
#include "back-ldbm/idlist.h"
#include "back-ldbm/nextid.h"
#include "ldbm_test_util.h"

namespace kry {
namespace {

using test::TestBackend;

Entry* NewEntry(EntryID id, const std::string& dn) {
  Entry* e = new Entry;
  e->id = id;
  e->dn = dn;
  attr_merge(e, "objectclass", "top");
  attr_merge(e, "cn", "name " + std::to_string(id));
  return e;
}

TEST(NextId, FirstIdWithoutFile) {
  TestBackend tb;
  EXPECT_EQ(next_id(tb.be()), 1u);
  EXPECT_EQ(next_id(tb.be()), 2u);
  // The file follows once per commit round, not once per ID.
  EXPECT_FALSE(test::FileExists(tb.dir().File("NEXTID")));
  EXPECT_EQ(ldbm_commit(tb.be()), 0);
  EXPECT_EQ(test::ReadFile(tb.dir().File("NEXTID")), "3\n");
  EXPECT_EQ(next_id_peek(tb.be()), 3u);
  EXPECT_EQ(test::ReadFile(tb.dir().File("NEXTID")), "3\n");
}

TEST(NextId, ReturnOnlyTheLastOne) {
  TestBackend tb;
  test::WriteFile(tb.dir().File("NEXTID"), "7\n");
  EXPECT_EQ(next_id(tb.be()), 7u);
  next_id_return(tb.be(), 7);
  EXPECT_EQ(next_id(tb.be()), 7u);
  EXPECT_EQ(next_id(tb.be()), 8u);
  next_id_return(tb.be(), 7);  // 8 was handed out later
  EXPECT_EQ(next_id(tb.be()), 9u);
  EXPECT_EQ(ldbm_commit(tb.be()), 0);
  EXPECT_EQ(test::ReadFile(tb.dir().File("NEXTID")), "10\n");
}

TEST(NextId, CommitRoundsRewriteTheCounterInPlaceAndNeverBackwards) {
  TestBackend tb;
  const std::string path = tb.dir().File("NEXTID");
  auto inode = [&] {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  };
  EXPECT_EQ(next_id(tb.be()), 1u);
  ASSERT_EQ(ldbm_commit(tb.be()), 0);
  const ino_t first = inode();
  for (int i = 0; i < 9; ++i) next_id(tb.be());
  ASSERT_EQ(ldbm_commit(tb.be()), 0);
  EXPECT_EQ(test::ReadFile(path), "11\n");
  // The same file: a replacement per round freed the old one's blocks.
  EXPECT_EQ(inode(), first);
  // An ID given back after the file covered it: the file stays ahead.
  next_id_return(tb.be(), 10);
  ASSERT_EQ(ldbm_commit(tb.be()), 0);
  EXPECT_EQ(test::ReadFile(path), "11\n");
  EXPECT_EQ(next_id(tb.be()), 10u);
}

TEST(NextId, DamagedOrUnwritableFileNeverStopsAllocation) {
  TestBackend tb;
  test::WriteFile(tb.dir().File("NEXTID"), "garbage\n");
  EXPECT_EQ(next_id(tb.be()), 1u);
  TestBackend tb2;
  backend_set_directory(tb2.be(), tb2.dir().File("no/such/dir"));
  EXPECT_EQ(next_id(tb2.be()), 1u);
  EXPECT_EQ(next_id(tb2.be()), 2u);
}

TEST(Dn2Id, NormalisedKeys) {
  TestBackend tb;
  EXPECT_EQ(dn2id_add(tb.be(), "O=KRY KEYSPACE,C=US", 1), 0);
  EXPECT_EQ(dn2id(tb.be(), "o=kry keyspace, c=us"), 1u);
  EXPECT_EQ(dn2id_add(tb.be(), "o = kry keyspace ; c=US", 2), DB_KEYEXIST);
  EXPECT_EQ(dn2id(tb.be(), "O=KRY KEYSPACE,C=US"), 1u);
  EXPECT_EQ(dn2id(tb.be(), "o=nothing"), NOID);
  std::string dn = "o=kry keyspace, c=us";
  EXPECT_EQ(dn2id_delete(tb.be(), dn), 0);
  EXPECT_EQ(dn, "O=KRY KEYSPACE,C=US");  // normalised in place
  EXPECT_EQ(dn2id(tb.be(), dn), NOID);
  // The stored key is the upper-case form with its NUL.
  DbHandle db(tb.be(), "dn2id", DB_CREATE);
  dn2id_add(tb.be(), "cn=x,o=y", 5);
  std::string key = "CN=X,O=Y";
  DbValue v = ldbm_cache_fetch(db.get(), TextKey(key));
  ASSERT_TRUE(v);
  ASSERT_EQ(v.size(), 4u);
  EntryID id;
  std::memcpy(&id, v.data(), 4);
  EXPECT_EQ(id, 5u);
}

TEST(Id2Entry, AddFetchFromCacheAndDisk) {
  TestBackend tb;
  Entry* e = NewEntry(3, "cn=Three,o=x");
  bool cached = false;
  ASSERT_EQ(id2entry_add(tb.be(), e, &cached), 0);
  EXPECT_TRUE(cached);
  cache_return_entry(tb.be(), e);  // the reference id2entry_add left us

  // The record is the text with its NUL.
  {
    DbHandle db(tb.be(), "id2entry", DB_CREATE);
    EntryID id = 3;
    DbValue v = ldbm_cache_fetch(db.get(), Datum{&id, 4});
    ASSERT_TRUE(v);
    std::string expect = "3\ndn: cn=Three,o=x\nobjectclass: top\ncn: name 3\n";
    ASSERT_EQ(v.size(), expect.size() + 1);
    EXPECT_EQ(std::memcmp(v.data(), expect.c_str(), expect.size() + 1), 0);
  }

  Entry* fromCache = id2entry(tb.be(), 3);
  EXPECT_EQ(fromCache, e);
  cache_return_entry(tb.be(), fromCache);

  cache_release_all(backend_cache(tb.be()));
  Entry* fromDisk = id2entry(tb.be(), 3);
  ASSERT_NE(fromDisk, nullptr);
  EXPECT_EQ(fromDisk->dn, "cn=Three,o=x");
  EXPECT_EQ(fromDisk->id, 3u);
  EXPECT_EQ(fromDisk->refcnt, 1);
  ASSERT_NE(attr_lookup(fromDisk, "cn"), nullptr);
  cache_return_entry(tb.be(), fromDisk);

  EXPECT_EQ(id2entry(tb.be(), 99), nullptr);
}

TEST(Id2Entry, EntryByDnAndDelete) {
  TestBackend tb;
  Entry* e = NewEntry(4, "cn=Four,o=x");
  ASSERT_EQ(dn2id_add(tb.be(), e->dn, e->id), 0);
  ASSERT_EQ(id2entry_add(tb.be(), e), 0);
  cache_return_entry(tb.be(), e);
  std::optional<std::string> matched = std::string("junk");
  Entry* found = entry_by_dn(tb.be(), "CN=four, o=X", &matched);
  ASSERT_EQ(found, e);
  EXPECT_FALSE(matched.has_value());
  EXPECT_EQ(id2entry_delete(tb.be(), found), 0);
  cache_return_entry(tb.be(), found);  // frees it
  EXPECT_EQ(id2entry(tb.be(), 4), nullptr);
  EXPECT_EQ(entry_by_dn(tb.be(), "nothing=here"), nullptr);
}

TEST(Id2Entry, DamagedTextIsReportedAsMissing) {
  TestBackend tb;
  Entry* good = NewEntry(1, "cn=Good,o=x");
  ASSERT_EQ(id2entry_add(tb.be(), good), 0);
  cache_return_entry(tb.be(), good);
  {
    DbHandle db(tb.be(), "id2entry", DB_CREATE);
    EntryID id = 2;
    const char text[] = "2\ncn: no dn line here\n";
    ASSERT_EQ(ldbm_cache_store(db.get(), Datum{&id, 4}, Datum{text, sizeof text}, 0), 0);
    id = 3;
    const char unterminated[] = {'3', '\n', 'd', 'n', ':', ' ', 'o', '=', 'z'};  // no NUL at all
    ASSERT_EQ(ldbm_cache_store(db.get(), Datum{&id, 4}, Datum{unterminated, sizeof unterminated}, 0), 0);
    id = 4;
    ASSERT_EQ(ldbm_cache_store(db.get(), Datum{&id, 4}, Datum{"", 0}, 0), 0);
  }
  cache_release_all(backend_cache(tb.be()));
  EXPECT_EQ(id2entry(tb.be(), 2), nullptr);
  Entry* z = id2entry(tb.be(), 3);
  ASSERT_NE(z, nullptr);  // read only up to the record's end
  EXPECT_EQ(z->dn, "o=z");
  cache_return_entry(tb.be(), z);
  EXPECT_EQ(id2entry(tb.be(), 4), nullptr);
  Entry* g = id2entry(tb.be(), 1);  // the other records are intact
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->dn, "cn=Good,o=x");
  cache_return_entry(tb.be(), g);
}

TEST(Id2Entry, DamagedDnRecord) {
  TestBackend tb;
  {
    DbHandle db(tb.be(), "dn2id", DB_CREATE);
    std::string key = "O=BAD";
    ASSERT_EQ(ldbm_cache_store(db.get(), TextKey(key), Datum{"xy", 2}, 0), 0);
  }
  EXPECT_EQ(dn2id(tb.be(), "o=bad"), NOID);
}

TEST(Id2Children, AddRemoveHasChildren) {
  TestBackend tb;
  EntryPtr parent(NewEntry(1, "o=p"));
  EntryPtr child(NewEntry(2, "cn=c,o=p"));
  EntryPtr top(NewEntry(3, "o=top"));
  EXPECT_EQ(id2children_add(tb.be(), parent.get(), child.get()), 0);
  EXPECT_EQ(id2children_add(tb.be(), nullptr, top.get()), 0);
  EXPECT_EQ(has_children(tb.be(), parent.get()), 1);
  EXPECT_EQ(has_children(tb.be(), child.get()), 0);
  {
    DbHandle db(tb.be(), "id2children", DB_CREATE);
    IDListPtr l = idl_fetch(tb.be(), db.get(), "=0");  // parent ID 0
    ASSERT_TRUE(l);
    EXPECT_EQ(l->nids(), 1u);
    EXPECT_EQ(l->id(0), 3u);
  }
  EXPECT_EQ(id2children_remove(tb.be(), parent.get(), top.get()), -1);  // not there
  EXPECT_EQ(id2children_remove(tb.be(), parent.get(), child.get()), 0);
  EXPECT_EQ(has_children(tb.be(), parent.get()), 0);
  EXPECT_EQ(id2children_add(tb.be(), parent.get(), child.get()), 0);
  EXPECT_EQ(id2children_delete_all(tb.be(), parent.get()), 0);
  EXPECT_EQ(has_children(tb.be(), parent.get()), 0);
}

TEST(Id2Children, AllIdsMeansChildren) {
  TestBackend tb;
  EntryPtr parent(NewEntry(1, "o=p"));
  {
    DbHandle db(tb.be(), "id2children", DB_CREATE);
    ASSERT_EQ(idl_store(tb.be(), db.get(), id2children_key(1), *idl_allids(tb.be())), 0);
  }
  EXPECT_EQ(has_children(tb.be(), parent.get()), 1);
}

TEST(MissingFiles, ReadOnlyBackendWithoutDatabase) {
  TestBackend tb;
  tb.be()->readOnly = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(dn2id(tb.be(), "o=x"), NOID);
  EXPECT_EQ(id2entry(tb.be(), 1), nullptr);
  EXPECT_EQ(dn2id_add(tb.be(), "o=x", 1), -1);
  EntryPtr e(NewEntry(1, "o=x"));
  EXPECT_EQ(id2entry_add(tb.be(), e.get()), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Could not open database."), std::string::npos);
  EXPECT_FALSE(test::FileExists(tb.dir().File("dn2id.dbb")));
  EXPECT_FALSE(test::FileExists(tb.dir().File("id2entry.dbb")));
}

TEST(MissingFiles, DirectoryGone) {
  TestBackend tb;
  backend_set_directory(tb.be(), tb.dir().File("gone"));
  testing::internal::CaptureStderr();
  EntryPtr e(NewEntry(1, "o=x"));
  EXPECT_EQ(id2entry_add(tb.be(), e.get()), -1);
  EXPECT_EQ(id2children_add(tb.be(), nullptr, e.get()), -1);
  EXPECT_EQ(has_children(tb.be(), e.get()), 0);
  testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace kry
