// Database creation, the start-up check and the directory lock.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "back-ldbm/cache.h"
#include "back-ldbm/dbcache.h"
#include "back-ldbm/dn2id.h"
#include "back-ldbm/id2children.h"
#include "back-ldbm/id2entry.h"
#include "back-ldbm/idlist.h"
#include "back-ldbm/index.h"
#include "ldbm_test_util.h"

namespace kry {
namespace {

using test::TestBackend;

constexpr const char* kDbFiles[] = {"id2entry.dbb", "id2children.dbb", "dn2id.dbb", "dn.dbb", "objectclass.dbb"};

std::string RunCommand(const std::string& cmd, int* status) {
  std::string out;
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) {
    *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  *status = pclose(p);
  return out;
}

bool HaveTool(const char* tool) {
  int status = 0;
  RunCommand(std::string("command -v ") + tool, &status);
  return status == 0;
}

std::vector<EntryID> Fetch(Backend* be, const char* file, const std::string& key) {
  DbHandle db(be, file, DB_RDONLY);
  std::vector<EntryID> out;
  if (!db) return out;
  IDListPtr l = idl_fetch(be, db.get(), key);
  for (EntryID id = idl_first_id(l.get()); id != NOID; id = idl_next_id(l.get(), id)) out.push_back(id);
  return out;
}

TEST(CreateDatabasesTest, FreshDirectory) {
  TestBackend tb;
  testing::internal::CaptureStderr();
  EXPECT_EQ(CheckRequiredDBs(tb.be()), 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Required database '" + tb.dir().File("NEXTID") + "' not found.\n  Cause of failure: "),
            std::string::npos);

  testing::internal::CaptureStderr();
  EXPECT_EQ(CreateDatabases(tb.be()), 6);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Creating database '" + tb.dir().File("id2entry.dbb") + "'."), std::string::npos);
  EXPECT_EQ(test::ReadFile(tb.dir().File("NEXTID")), "5\n");
  EXPECT_EQ(CheckRequiredDBs(tb.be()), 0);
  // The backend was closed: no file stays open.
  for (auto& s : tb.li()->dbcache.slots) EXPECT_FALSE(s.in_use());

  EXPECT_EQ(dn2id(tb.be(), "O=KRY KEYSPACE,C=US"), 1u);
  EXPECT_EQ(dn2id(tb.be(), "ou=active, o=kry keyspace, c=us"), 2u);
  EXPECT_EQ(dn2id(tb.be(), "OU=PENDING,O=KRY KEYSPACE,C=US"), 3u);
  EXPECT_EQ(dn2id(tb.be(), "O=KRY GROUPSPACE,C=US"), 4u);
  Entry* active = id2entry(tb.be(), 2);
  ASSERT_NE(active, nullptr);
  EXPECT_EQ(active->dn, "OU=ACTIVE,O=KRY KEYSPACE,C=US");
  ASSERT_NE(attr_lookup(active, "ou"), nullptr);
  EXPECT_EQ(attr_lookup(active, "objectclass")->values[0], "organizationalunit");
  cache_return_entry(tb.be(), active);

  {
    DbHandle db(tb.be(), "id2entry", DB_RDONLY);
    EntryID id = 1;
    DbValue v = ldbm_cache_fetch(db.get(), Datum{&id, 4});
    const std::string text = "1\ndn: O=KRY KEYSPACE,C=US\no: KRY KEYSPACE\nobjectclass: organization\n";
    ASSERT_EQ(v.size(), text.size() + 1);
    EXPECT_EQ(std::memcmp(v.data(), text.c_str(), text.size() + 1), 0);
  }
  EXPECT_EQ(Fetch(tb.be(), "id2children", id2children_key(1)), (std::vector<EntryID>{2, 3}));
  EXPECT_TRUE(Fetch(tb.be(), "id2children", id2children_key(0)).empty());
  EXPECT_EQ(Fetch(tb.be(), "dn", "=OU=PENDING,O=KRY KEYSPACE,C=US"), std::vector<EntryID>{3});
  EXPECT_EQ(Fetch(tb.be(), "objectclass", "=ORGANIZATION"), (std::vector<EntryID>{1, 4}));
  EXPECT_EQ(Fetch(tb.be(), "objectclass", "=ORGANIZATIONALUNIT"), (std::vector<EntryID>{2, 3}));
  EXPECT_EQ(Fetch(tb.be(), "objectclass", "*"), (std::vector<EntryID>{1, 2, 3, 4}));
  IDListPtr viaIndex = index_read(tb.be(), "objectClass", INDEX_EQUALITY, "ORGANIZATION");
  ASSERT_TRUE(viaIndex);
  EXPECT_EQ(viaIndex->nids(), 2u);
}

TEST(CreateDatabasesTest, SecondRunChangesNothing) {
  TestBackend tb;
  testing::internal::CaptureStderr();
  ASSERT_EQ(CreateDatabases(tb.be()), 6);
  std::vector<std::string> before;
  for (const char* f : kDbFiles) before.push_back(test::ReadFile(tb.dir().File(f)));
  EXPECT_EQ(CreateDatabases(tb.be()), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(test::ReadFile(tb.dir().File("NEXTID")), "5\n");
  EXPECT_EQ(Fetch(tb.be(), "id2children", id2children_key(1)), (std::vector<EntryID>{2, 3}));
  EXPECT_EQ(Fetch(tb.be(), "objectclass", "=ORGANIZATION"), (std::vector<EntryID>{1, 4}));
}

TEST(CreateDatabasesTest, OnlyObjectclassMissing) {
  TestBackend tb;
  testing::internal::CaptureStderr();
  ASSERT_EQ(CreateDatabases(tb.be()), 6);
  std::remove(tb.dir().File("objectclass.dbb").c_str());
  EXPECT_EQ(CreateDatabases(tb.be()), 1);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(test::ReadFile(tb.dir().File("NEXTID")), "5\n");  // existing IDs kept
  EXPECT_EQ(Fetch(tb.be(), "objectclass", "=ORGANIZATIONALUNIT"), (std::vector<EntryID>{2, 3}));
}

TEST(CreateDatabasesTest, PartialDatabaseKeepsIds) {
  TestBackend tb;
  testing::internal::CaptureStderr();
  ASSERT_EQ(CreateDatabases(tb.be()), 6);
  std::remove(tb.dir().File("id2entry.dbb").c_str());
  std::remove(tb.dir().File("NEXTID").c_str());
  tb.li()->nextId = -1;
  EXPECT_EQ(CreateDatabases(tb.be()), 2);
  testing::internal::GetCapturedStderr();
  Entry* e = id2entry(tb.be(), 4);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->dn, "O=KRY GROUPSPACE,C=US");
  cache_return_entry(tb.be(), e);
}

TEST(CreateDatabasesTest, CheckNamesTheMissingFile) {
  TestBackend tb;
  testing::internal::CaptureStderr();
  ASSERT_EQ(CreateDatabases(tb.be()), 6);
  testing::internal::GetCapturedStderr();
  std::remove(tb.dir().File("dn.dbb").c_str());
  testing::internal::CaptureStderr();
  EXPECT_EQ(CheckRequiredDBs(tb.be()), 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Required database '" + tb.dir().File("dn.dbb") +
                     "' not found.\n  Cause of failure: No such file or directory"),
            std::string::npos);
}

TEST(CreateDatabasesTest, UnwritableDirectoryFails) {
  TestBackend tb;
  backend_set_directory(tb.be(), tb.dir().File("missing"));
  testing::internal::CaptureStderr();
  EXPECT_EQ(CreateDatabases(tb.be()), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Could not open file '" + tb.dir().File("missing/NEXTID") + "'."), std::string::npos);
}

TEST(CreateDatabasesTest, FilesPassTheBerkeleyDbTools) {
  if (!HaveTool("db5.3_verify") || !HaveTool("db5.3_dump")) GTEST_SKIP() << "db5.3 utilities not installed";
  TestBackend tb;
  testing::internal::CaptureStderr();
  ASSERT_EQ(CreateDatabases(tb.be()), 6);
  // Some bulk so that the files have more than one page.
  for (EntryID id = 5; id < 2500; ++id) {
    Entry* e = new Entry;
    e->id = id;
    e->dn = "cn=u" + std::to_string(id) + ",OU=ACTIVE,O=KRY KEYSPACE,C=US";
    attr_merge(e, "objectclass", "kryUser");
    attr_merge(e, "kryUserID", "User Number " + std::to_string(id));
    ASSERT_EQ(dn2id_add(tb.be(), e->dn, id), 0);
    ASSERT_EQ(index_add_entry(tb.be(), e), 0);
    EntryPtr parent(new Entry);
    parent->id = 2;
    ASSERT_EQ(id2children_add(tb.be(), parent.get(), e), 0);
    bool cached = false;
    ASSERT_EQ(id2entry_add(tb.be(), e, &cached), 0);
    if (cached)
      cache_return_entry(tb.be(), e);
    else
      delete e;
  }
  backend_close_all(tb.list());
  testing::internal::GetCapturedStderr();
  for (const char* f : {"id2entry.dbb", "id2children.dbb", "dn2id.dbb", "dn.dbb", "objectclass.dbb",
                        "kryuserid.dbb"}) {
    int status = 0;
    std::string out = RunCommand("db5.3_verify '" + tb.dir().File(f) + "'", &status);
    EXPECT_EQ(status, 0) << f << ": " << out;
  }
  int status = 0;
  std::string dump = RunCommand("db5.3_dump -p '" + tb.dir().File("id2entry.dbb") + "'", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(dump.find("type=btree"), std::string::npos);
  EXPECT_NE(dump.find("1\\0adn: O=KRY KEYSPACE,C=US\\0ao: KRY KEYSPACE\\0aobjectclass: organization\\0a\\00"),
            std::string::npos)
      << dump.substr(0, 2000);
  EXPECT_NE(dump.find("4\\0adn: O=KRY GROUPSPACE,C=US\\0a"), std::string::npos);
}

TEST(LockDBsTest, SecondLockFailsAndUnlockReleases) {
  TestBackend tb;
  std::unique_ptr<DBLock> first, second;
  ASSERT_EQ(LockDBs(tb.be(), &first), 0);
  EXPECT_TRUE(test::FileExists(tb.dir().File(".lockfile")));
  testing::internal::CaptureStderr();
  EXPECT_EQ(LockDBs(tb.be(), &second), 1);  // another open of the lock file, even in this process
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Locking file (" + tb.dir().File(".lockfile") + ") failed with error "), std::string::npos);
  EXPECT_NE(err.find("Database may already be locked by another server."), std::string::npos);
  EXPECT_EQ(second, nullptr);

  // Another process fails too.
  pid_t pid = fork();
  if (pid == 0) {
    std::unique_ptr<DBLock> mine;
    int rc = LockDBs(tb.be(), &mine);
    _exit(rc == 1 ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  UnlockDBs(&first);
  EXPECT_EQ(first, nullptr);
  ASSERT_EQ(LockDBs(tb.be(), &second), 0);
  UnlockDBs(&second);
  UnlockDBs(&second);  // a null lock is fine
}

TEST(LockDBsTest, LockIsReleasedWhenTheHolderExits) {
  TestBackend tb;
  int pipefd[2];
  ASSERT_EQ(pipe(pipefd), 0);
  pid_t pid = fork();
  if (pid == 0) {
    std::unique_ptr<DBLock> held;
    int rc = LockDBs(tb.be(), &held);
    char c = rc == 0 ? 'L' : 'F';
    (void)!write(pipefd[1], &c, 1);
    usleep(300 * 1000);
    _exit(0);  // no unlock: the system drops the lock with the process
  }
  char c = 0;
  ASSERT_EQ(read(pipefd[0], &c, 1), 1);
  ASSERT_EQ(c, 'L');
  std::unique_ptr<DBLock> mine;
  testing::internal::CaptureStderr();
  EXPECT_EQ(LockDBs(tb.be(), &mine), 1);
  testing::internal::GetCapturedStderr();
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(LockDBs(tb.be(), &mine), 0);
  close(pipefd[0]);
  close(pipefd[1]);
}

}  // namespace
}  // namespace kry
