// Backend registry and configuration keywords.
#include <gtest/gtest.h>

#include "back-ldbm/dbcache.h"
#include "back-ldbm/index.h"
#include "back-ldbm/ldbm_ops.h"
#include "back-ldbm/poolshare.h"
#include "ldap/syntax.h"
#include "ldbm_test_util.h"

namespace kry {
namespace {

using test::TestBackend;

struct Result {
  int rc;
  std::string err;
};

Result ConfigLine(TestBackend& tb, std::vector<std::string> words) {
  testing::internal::CaptureStderr();
  int rc = tb.Config(std::move(words), "krycertd.cfg", 12);
  return {rc, testing::internal::GetCapturedStderr()};
}

TEST(BackendRegistry, NewSelectCloseAll) {
  std::vector<std::unique_ptr<Backend>> list;
  EXPECT_EQ(backend_new("nosuch", list), nullptr);
  EXPECT_TRUE(list.empty());
  Backend* be = backend_new("LDBM", list);
  ASSERT_NE(be, nullptr);
  EXPECT_EQ(list.size(), 1u);
  EXPECT_EQ(backend_select(list, "cn=anything,o=elsewhere"), be);
  EXPECT_TRUE(backend_is_suffix(be, "o=x"));
  EXPECT_NE(be->ops.config, nullptr);
  EXPECT_NE(be->ops.close, nullptr);
  EXPECT_NE(be->ops.sync, nullptr);
  EXPECT_NE(be->ops.release, nullptr);
  EXPECT_EQ(be->ops.unbind(be, nullptr, nullptr), 0);
  EXPECT_EQ(be->ops.abandon(be, nullptr, nullptr, 1), 0);
  backend_unbind_all(list, nullptr, nullptr);
  EXPECT_EQ(be->ldbm->mode, 0600);
  EXPECT_EQ(be->ldbm->dbCacheSize, -1);  // a share of DBCacheTotal
  EXPECT_TRUE(be->ldbm->cache.byMemory);
  EXPECT_EQ(be->ldbm->cache.maxbytes, 256u << 20);
  EXPECT_EQ(be->ldbm->nextId, -1);
  EXPECT_EQ(attr_syntax_of("dn"), 17);
  backend_close_all(list);
  EXPECT_TRUE(list.empty());
  std::vector<std::unique_ptr<Backend>> none;
  EXPECT_EQ(backend_select(none, "o=x"), nullptr);
}

TEST(BackendConfig, CacheEntries) {
  TestBackend tb;
  Result r = ConfigLine(tb, {"CacheEntries", "5"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(tb.li()->cache.maxsize, 5);
  EXPECT_NE(r.err.find("krycertd.cfg(12): CacheEntries should be between 10 and 1000. Currently it is 5."),
            std::string::npos);
  r = ConfigLine(tb, {"cacheentries", "2000"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(tb.li()->cache.maxsize, 2000);
  r = ConfigLine(tb, {"CacheEntries", "200"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_TRUE(r.err.empty());
  r = ConfigLine(tb, {"CacheEntries", "abc"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("CacheEntries should be an integer. Currently it is abc."), std::string::npos);
  r = ConfigLine(tb, {"CacheEntries"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("Missing Number in \"CacheEntries <Number>\" line."), std::string::npos);
  EXPECT_EQ(tb.li()->cache.maxsize, 200);
}

// A count given with CacheEntries wins over the memory budget, in either
// order; the budgets are in MiB.
TEST(BackendConfig, MemoryBudgets) {
  TestBackend tb;
  EXPECT_EQ(ConfigLine(tb, {"CacheMemory", "64"}).rc, 0);
  EXPECT_TRUE(tb.li()->cache.byMemory);
  EXPECT_EQ(tb.li()->cache.maxbytes, 64u << 20);
  EXPECT_EQ(ConfigLine(tb, {"CacheEntries", "500"}).rc, 0);
  EXPECT_EQ(ConfigLine(tb, {"cachememory", "32"}).rc, 0);
  EXPECT_FALSE(tb.li()->cache.byMemory);
  EXPECT_EQ(tb.li()->cache.maxsize, 500);
  EXPECT_EQ(ConfigLine(tb, {"DBCacheTotal", "8"}).rc, 0);
  EXPECT_EQ(tb.li()->dbCacheTotal, 8L << 20);
  EXPECT_EQ(ConfigLine(tb, {"DBCacheTotal", "0"}).rc, 1);
  EXPECT_EQ(tb.li()->dbCacheTotal, 8L << 20);  // an error changes nothing
}

// Without DBCacheSize the files share the total, the busy ones more; the
// 15 largest shares (as many files as stay open) fit in it.
TEST(BackendConfig, PoolsShareTheTotal) {
  TestBackend tb;
  const LdbmState& li = *tb.li();
  const long entries = ldbm_file_pool_size(li, "id2entry");
  const long plain = ldbm_file_pool_size(li, "objectclass");
  EXPECT_GT(entries, plain);
  EXPECT_GT(ldbm_file_pool_size(li, "kryuserid"), plain);
  EXPECT_GT(plain, 1L << 20);
  std::vector<long> shares{entries, ldbm_file_pool_size(li, "dn2id"), ldbm_file_pool_size(li, "kryuserid"),
                           ldbm_file_pool_size(li, "krykeyid")};
  while (shares.size() < static_cast<size_t>(kDbCacheSlots)) shares.push_back(plain);
  long sum = 0;
  for (long v : shares) sum += v;
  EXPECT_LE(sum, li.dbCacheTotal);
  EXPECT_GT(sum, li.dbCacheTotal * 9 / 10);
  {
    DbHandle db(tb.be(), "id2entry", DB_CREATE);  // opened with its share
    ASSERT_TRUE(db);
    uint32_t gb = 1, bytes = 0;
    int ncache = 0;
    db.get()->db->get_cachesize(db.get()->db, &gb, &bytes, &ncache);
    EXPECT_EQ(gb, 0u);
    EXPECT_GE(bytes, static_cast<uint32_t>(entries));
    EXPECT_LT(bytes, static_cast<uint32_t>(entries) * 2);
  }
  // A size per file, when given, is every file's.
  EXPECT_EQ(ConfigLine(tb, {"DBCacheSize", "1100000"}).rc, 0);
  EXPECT_EQ(ldbm_file_pool_size(li, "id2entry"), 100000);
  EXPECT_EQ(ldbm_file_pool_size(li, "objectclass"), 100000);
}

TEST(BackendConfig, DbCacheSize) {
  TestBackend tb;
  EXPECT_EQ(ConfigLine(tb, {"DBCacheSize", "110000"}).rc, 0);
  EXPECT_EQ(tb.li()->dbCacheSize, 10000);
  Result r = ConfigLine(tb, {"DBCacheSize", "5000"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(tb.li()->dbCacheSize, 5000);
  EXPECT_NE(r.err.find("DBCacheSize should be larger. Currently it is 5000."), std::string::npos);
  EXPECT_EQ(ConfigLine(tb, {"DBCacheSize", "-1"}).rc, 1);
  EXPECT_EQ(ConfigLine(tb, {"DBCacheSize"}).rc, 1);
  // Files still open with the configured pool.
  tb.li()->dbCacheSize = 10000;
  DbHandle db(tb.be(), "small", DB_CREATE);
  ASSERT_TRUE(db);
  uint32_t gb = 0, bytes = 0;
  int ncache = 0;
  db.get()->db->get_cachesize(db.get()->db, &gb, &bytes, &ncache);
  EXPECT_EQ(gb, 0u);
  EXPECT_GE(bytes, 10000u);  // the library adds its own overhead and minimum
}

TEST(BackendConfig, Mode) {
  TestBackend tb;
  EXPECT_EQ(ConfigLine(tb, {"Mode", "0644"}).rc, 0);
  EXPECT_EQ(ConfigLine(tb, {"mode", "0x1ff"}).rc, 0);
  EXPECT_EQ(ConfigLine(tb, {"mode", " -12"}).rc, 0);
  EXPECT_EQ(tb.li()->mode, 0600);
  Result r = ConfigLine(tb, {"Mode", "rw"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("Invalid Mode argument in \"Mode <Mode>\" line."), std::string::npos);
  EXPECT_EQ(ConfigLine(tb, {"Mode", "0x"}).rc, 1);
  EXPECT_NE(ConfigLine(tb, {"Mode"}).err.find("Missing Mode in \"Mode <Mode>\" line."), std::string::npos);
}

TEST(BackendConfig, Directory) {
  TestBackend tb;
  std::string file = tb.dir().File("plain");
  test::WriteFile(file, "x");
  Result r = ConfigLine(tb, {"Directory", file});
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("Directory '" + file + "' does not exist."), std::string::npos);
  EXPECT_EQ(ConfigLine(tb, {"Directory"}).rc, 1);
  std::string sub = tb.dir().File("data");
  mkdir(sub.c_str(), 0700);
  EXPECT_EQ(ConfigLine(tb, {"directory", sub}).rc, 0);
  EXPECT_EQ(backend_directory(tb.be()), sub);
  backend_set_directory(tb.be(), "..\\data\\");
  EXPECT_EQ(backend_directory(tb.be()), "../data");
}

TEST(BackendConfig, ReadOnly) {
  TestBackend tb;
  EXPECT_EQ(ConfigLine(tb, {"ReadOnly", "on"}).rc, 0);
  EXPECT_EQ(tb.be()->readOnly, 1);
  EXPECT_EQ(ldbm_open_flags(tb.be()), static_cast<uint32_t>(DB_RDONLY));
  EXPECT_EQ(ConfigLine(tb, {"ReadOnly", "OFF"}).rc, 0);
  EXPECT_EQ(tb.be()->readOnly, 0);
  EXPECT_EQ(ConfigLine(tb, {"ReadOnly", "maybe"}).rc, 1);
}

TEST(BackendConfig, UnknownKeyword) {
  TestBackend tb;
  Result r = ConfigLine(tb, {"Frobnicate", "1"});
  EXPECT_EQ(r.rc, 2);
  EXPECT_NE(r.err.find("krycertd.cfg(12): Unknown configuration value (Frobnicate)."), std::string::npos);
}

int Mask(Backend* be, const char* attr) {
  int mask = 0, syntax = 0;
  index_definition_of(be, attr, &mask, &syntax);
  return mask;
}

TEST(BackendConfig, IndexDefaultsAndLines) {
  TestBackend tb;
  EXPECT_EQ(Mask(tb.be(), "dn"), INDEX_EQUALITY | INDEX_DEFAULT);
  EXPECT_EQ(Mask(tb.be(), "objectClass"), INDEX_PRESENCE | INDEX_EQUALITY | INDEX_DEFAULT);
  EXPECT_EQ(Mask(tb.be(), "kryuserid"), INDEX_EQUALITY | INDEX_SUB | INDEX_DEFAULT);
  for (const char* a : {"id2children", "kryKeyCreateTime", "kryCertID", "kryKeyID", "krySignerID", "krySubKeyID",
                        "modifytimestamp", "kryDisabled", "kryRevoked", "kryKeyExpireTime"})
    EXPECT_EQ(Mask(tb.be(), a), INDEX_EQUALITY | INDEX_DEFAULT) << a;
  EXPECT_EQ(Mask(tb.be(), "cn"), 0);

  Result r = ConfigLine(tb, {"Index", "kryUserID", "approx"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.err.find("duplicate"), std::string::npos);
  EXPECT_EQ(Mask(tb.be(), "kryUserID"), INDEX_EQUALITY | INDEX_SUB | INDEX_APPROX | INDEX_DEFAULT);

  EXPECT_EQ(ConfigLine(tb, {"Index", "cn,sn", "equality,PRES"}).rc, 0);
  EXPECT_EQ(Mask(tb.be(), "cn"), INDEX_EQUALITY | INDEX_PRESENCE);
  EXPECT_EQ(Mask(tb.be(), "SN"), INDEX_EQUALITY | INDEX_PRESENCE);
  r = ConfigLine(tb, {"Index", "cn", "sub"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_NE(r.err.find("duplicate index definition for attr \"cn\" (ignored)"), std::string::npos);
  EXPECT_EQ(Mask(tb.be(), "cn"), INDEX_EQUALITY | INDEX_PRESENCE);

  EXPECT_EQ(ConfigLine(tb, {"Index", "mail"}).rc, 0);
  EXPECT_EQ(Mask(tb.be(), "mail"), INDEX_ALL_TYPES);

  r = ConfigLine(tb, {"Index", "kryKeyID", "none"});
  EXPECT_EQ(Mask(tb.be(), "kryKeyID"), INDEX_EQUALITY | INDEX_DEFAULT);  // ORed into the default
  r = ConfigLine(tb, {"Index", "x1", "eq,none"});
  EXPECT_NE(r.err.find("index type \"none\" cannot be combined with other types"), std::string::npos);
  r = ConfigLine(tb, {"Index", "x2", "bogus,eq"});
  EXPECT_NE(r.err.find("unknown index type \"bogus\" (ignored)"), std::string::npos);
  EXPECT_EQ(Mask(tb.be(), "x2"), INDEX_EQUALITY);

  r = ConfigLine(tb, {"Index"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("Missing Attribute in \"Index <Attribute> [pres,eq,approx,sub]\" line."), std::string::npos);
  r = ConfigLine(tb, {"Index", "a", "eq", "extra"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("Too many parameters in \"Index <Attribute> [pres,eq,approx,sub]\" line."), std::string::npos);

  EXPECT_EQ(ConfigLine(tb, {"Index", "default", "eq"}).rc, 0);
  EXPECT_EQ(Mask(tb.be(), "anything"), INDEX_EQUALITY);
}

TEST(BackendConfig, WordType) {
  TestBackend tb;
  index_set_word_mode(false);
  EXPECT_EQ(ConfigLine(tb, {"Index", "description", "word"}).rc, 0);
  EXPECT_TRUE(index_word_mode());
  index_set_word_mode(false);
}

TEST(BackendSync, SyncAllChecksTheCache) {
  TestBackend tb;
  testing::internal::CaptureStderr();
  backend_sync_all(tb.list());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Commiting database cache data to disk."), std::string::npos);
}

}  // namespace
}  // namespace kry
