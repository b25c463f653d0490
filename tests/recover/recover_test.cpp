// Recovery of the backend's files: rebuilding the maps and indexes from the
// entry file, salvaging a damaged entry file, records kept aside, the ID
// counter, the clean-shutdown marker and the report of a damaged file.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>

#include "../ops/ops_fixture.h"
#include "back-ldbm/dbcache.h"
#include "back-ldbm/id2children.h"
#include "back-ldbm/id2entry.h"
#include "back-ldbm/idlist.h"
#include "back-ldbm/index.h"
#include "back-ldbm/nextid.h"
#include "back-ldbm/recover.h"
#include "back-ldbm/salvage.h"
#include "log/eventlog.h"

// Berkeley DB cannot free a handle's private memory pool once a damaged page
// made it fail (the damaged-file tests below). The library has no frame
// pointers, so its blocks cannot be told apart more finely: in this binary
// only, leaks inside it are not reported (the other backend tests still
// report a handle left open).
extern "C" const char* __lsan_default_suppressions() { return "leak:libdb-5.3.so\n"; }

namespace kry {
namespace {

using test::kActive;

std::string Dn(int i) { return "CN=User" + std::to_string(i) + "," + std::string(kActive); }
std::string CertId(int i) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016X", 0xABC00000u + static_cast<unsigned>(i));
  return buf;
}

// Overwrites `len` bytes at `offset` of a file with `byte`.
void Overwrite(const std::string& path, off_t offset, size_t len, char byte) {
  int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0) << path;
  std::string junk(len, byte);
  ASSERT_EQ(pwrite(fd, junk.data(), len, offset), static_cast<ssize_t>(len));
  close(fd);
}

class Recovery : public test::OpsTest {
 protected:
  void SetUp() override {
    events_ = dir_.File("events.log");
    setenv("KRYCERTD_EVENTLOG", events_.c_str(), 1);
    ErrorLogInit("krycertd", EVENTLOG_VERBOSE, 389, 0);
    OpsTest::SetUp();
  }
  void TearDown() override {
    OpsTest::TearDown();
    ErrorLogClose();
    unsetenv("KRYCERTD_EVENTLOG");
  }

  void AddUsers(int n) {
    for (int i = 0; i < n; ++i)
      ASSERT_EQ(Add(Dn(i), {{"objectclass", "kryCertificate"},
                            {"kryCertID", CertId(i)},
                            {"kryUserID", "User " + std::to_string(i) + " <u" + std::to_string(i) + "@example.org>"},
                            {"description", std::string(300, 'x')}}),
                0)
          << i;
  }
  int Delete(const std::string& dn) {
    NewOp(0x4A);
    be_->ops.del(be_, &conn_, op_.get(), dn);
    return Code();
  }
  EntryID IdOf(const std::string& dn) {
    Held h = Lookup(dn, true);
    return h ? h->id : NOID;
  }
  std::set<EntryID> Children(const std::string& dn) {
    std::set<EntryID> out;
    EntryID pid = IdOf(dn);
    DbHandle db(be_, "id2children", DB_CREATE);
    IDListPtr l = idl_fetch(be_, db.get(), id2children_key(pid));
    for (EntryID id = idl_first_id(l.get()); id != NOID; id = idl_next_id(l.get(), id)) out.insert(id);
    return out;
  }
  std::set<EntryID> EqCandidates(const std::string& type, const std::string& value) {
    std::set<EntryID> out;
    IDListPtr l = index_read(be_, type, 0x02, value);
    for (EntryID id = idl_first_id(l.get()); id != NOID; id = idl_next_id(l.get(), id)) out.insert(id);
    return out;
  }
  void ExpectAllFilesVerify() {
    be_->ops.close(be_);
    for (const char* f : {"id2entry.dbb", "dn2id.dbb", "id2children.dbb", "dn.dbb", "objectclass.dbb",
                          "kryuserid.dbb", "krycertid.dbb"})
      EXPECT_EQ(VerifyDatabaseFile(dir_.File(f)), 0) << f;
  }
  // Closes the backend's files and returns the size of one of them.
  int64_t ClosedFileSize(const std::string& path) {
    be_->ops.close(be_);
    int64_t size = 0;
    EXPECT_EQ(GetFileMode(path.c_str(), nullptr, nullptr, &size), 0) << path;
    return size;
  }
  std::string Events() { return test::ReadFile(events_); }
  std::string Counter() { return test::ReadFile(dir_.File("NEXTID")); }

  std::string events_;
};

TEST_F(Recovery, RebuildsLostMapsAndDropsStaleIndexRecords) {
  AddUsers(40);
  const EntryID deletedId = IdOf(Dn(7));
  ASSERT_EQ(Delete(Dn(7)), 0);
  be_->ops.close(be_);
  // What a kill leaves: maps written only in memory, never flushed.
  for (const char* f : {"dn2id.dbb", "id2children.dbb", "kryuserid.dbb"}) unlink(dir_.File(f).c_str());
  test::WriteFile(dir_.File("NEXTID"), "");

  RecoveryStats st;
  ASSERT_EQ(RecoverDatabases(be_, &st), 0);
  EXPECT_FALSE(st.salvaged);
  EXPECT_EQ(st.entries, 4u + 39u);
  EXPECT_EQ(st.setAside, 0u);

  std::set<EntryID> ids;
  for (int i = 0; i < 40; ++i) {
    if (i == 7) continue;
    EntryID id = IdOf(Dn(i));
    ASSERT_NE(id, NOID) << i;
    ids.insert(id);
    EXPECT_EQ(EqCandidates("kryCertID", CertId(i)), std::set<EntryID>{id}) << i;
  }
  EXPECT_EQ(IdOf(Dn(7)), NOID);
  EXPECT_EQ(Children(kActive), ids);
  EXPECT_EQ(ids.count(deletedId), 0u);
  // The deleted entry's index records are gone, not only its entry.
  EXPECT_TRUE(EqCandidates("kryCertID", CertId(7)).empty());
  EXPECT_FALSE(EqCandidates("kryUserID", "USER 3 <U3@EXAMPLE.ORG>").empty());
  EXPECT_EQ(Counter(), std::to_string(*ids.rbegin() + 1) + "\n");
  ExpectAllFilesVerify();
  EXPECT_NE(Events().find("Database recovery finished"), std::string::npos);

  // New adds go on after the old IDs.
  ASSERT_EQ(Add(Dn(100), {{"objectclass", "kryCertificate"}}), 0);
  EXPECT_GT(IdOf(Dn(100)), *ids.rbegin());
}

TEST_F(Recovery, DeletedHighestIdIsNeverHandedOutAgain) {
  AddUsers(5);
  const EntryID top = IdOf(Dn(4));
  ASSERT_EQ(Delete(Dn(4)), 0);
  be_->ops.close(be_);
  ASSERT_EQ(RecoverDatabases(be_), 0);
  ASSERT_EQ(Add(Dn(50), {{"objectclass", "kryCertificate"}}), 0);
  EXPECT_GT(IdOf(Dn(50)), top);
}

TEST_F(Recovery, UnreadableRecordsAreKeptAsideAndReported) {
  AddUsers(3);
  be_->ops.close(be_);
  {
    DB* db = ldbm_open(dir_.File("id2entry.dbb"), 0, 0600, 0);
    ASSERT_NE(db, nullptr);
    EntryID bad = 90, twin = 91, wrongLine = 92;
    const char junk[] = "not an entry at all";
    ldbm_store(db, Datum{&bad, 4}, Datum{junk, sizeof junk}, 0);
    std::string copy = "91\ndn: " + Dn(1) + "\nobjectclass: x\n";
    ldbm_store(db, Datum{&twin, 4}, Datum{copy.c_str(), static_cast<uint32_t>(copy.size() + 1)}, 0);
    std::string other = "17\ndn: CN=Other," + std::string(kActive) + "\nobjectclass: x\n";
    ldbm_store(db, Datum{&wrongLine, 4}, Datum{other.c_str(), static_cast<uint32_t>(other.size() + 1)}, 0);
    ldbm_close(db);
  }
  RecoveryStats st;
  ASSERT_EQ(RecoverDatabases(be_, &st), 0);
  EXPECT_EQ(st.setAside, 3u);
  std::string aside = test::ReadFile(dir_.File(kAsideFileName));
  for (const char* id : {"id: 90\n", "id: 91\n", "id: 92\n"}) EXPECT_NE(aside.find(id), std::string::npos) << id;
  EXPECT_NE(Events().find("Entry 90 kept aside"), std::string::npos);
  // The first holder of the DN keeps it; the set-aside records leave the
  // entry file but their IDs are never reused.
  EXPECT_EQ(IdOf(Dn(1)), 6u);
  EXPECT_EQ(IdOf("CN=Other," + std::string(kActive)), NOID);
  Held gone{be_, id2entry(be_, 91)};
  EXPECT_FALSE(gone);
  EXPECT_EQ(Counter(), "93\n");
  // A second recovery finds nothing more to set aside.
  ASSERT_EQ(RecoverDatabases(be_, &st), 0);
  EXPECT_EQ(st.setAside, 0u);
}

TEST_F(Recovery, SalvagesDamagedEntryFile) {
  AddUsers(120);
  const std::string entries = dir_.File("id2entry.dbb");
  const int64_t size = ClosedFileSize(entries);
  ASSERT_GT(size, 8 * 4096);
  // One leaf page in the middle of the file becomes garbage.
  Overwrite(entries, (size / 4096 / 2) * 4096, 4096, '\x5a');
  ASSERT_NE(VerifyDatabaseFile(entries), 0);

  RecoveryStats st;
  ASSERT_EQ(RecoverDatabases(be_, &st), 0);
  EXPECT_TRUE(st.salvaged);
  EXPECT_EQ(VerifyDatabaseFile(entries), 0);
  int found = 0;
  for (int i = 0; i < 120; ++i) found += IdOf(Dn(i)) != NOID;
  // A page holds a handful of these entries; the rest survive.
  EXPECT_GE(found, 100);
  EXPECT_EQ(IdOf(kActive), 2u);
  EXPECT_EQ(Children(kActive).size(), static_cast<size_t>(found));
  EXPECT_NE(Events().find("is damaged"), std::string::npos);
  bool keptCopy = false;
  if (DIR* d = opendir(dir_.path().c_str())) {
    while (dirent* de = readdir(d)) keptCopy |= std::string(de->d_name).rfind("id2entry.dbb.damaged.", 0) == 0;
    closedir(d);
  }
  EXPECT_TRUE(keptCopy);
  ExpectAllFilesVerify();
}

// Records in Berkeley DB's own salvage output (what "db5.3_dump -r" reads),
// or -1 when the tool is missing.
int DumpSalvageCount(const std::string& path) {
  FILE* p = popen(("db5.3_dump -r '" + path + "' 2>/dev/null").c_str(), "r");
  if (!p) return -1;
  int lines = 0;
  char buf[8192];
  bool atStart = true;
  while (std::fgets(buf, sizeof buf, p)) {
    if (atStart && buf[0] == ' ') ++lines;
    atStart = std::strchr(buf, '\n') != nullptr;
  }
  const int status = pclose(p);
  return status == -1 || WEXITSTATUS(status) == 127 ? -1 : lines / 2;
}

// Every record Berkeley DB can give back from a damaged entry file is
// salvaged, also when the damage took the meta page (the salvage output then
// has no header at all).
TEST_F(Recovery, SalvagesWhatBerkeleyDBGivesBackWhateverTheDamage) {
  AddUsers(120);
  const std::string entries = dir_.File("id2entry.dbb"), pristine = dir_.File("pristine.copy");
  const int64_t size = ClosedFileSize(entries);
  ASSERT_EQ(std::system(("cp '" + entries + "' '" + pristine + "'").c_str()), 0);
  const struct {
    const char* name;
    off_t offset;  // zeroed page, or the length the file is cut to
    bool cut;
  } damages[] = {{"meta page zeroed", 0, false},
                 {"leaf page zeroed", (size / 4096 / 2) * 4096, false},
                 {"file cut short", (size / 4096 * 3 / 4) * 4096 + 1000, true}};
  for (const auto& d : damages) {
    SCOPED_TRACE(d.name);
    be_->ops.close(be_);
    ASSERT_EQ(std::system(("cp '" + pristine + "' '" + entries + "'").c_str()), 0);
    if (d.cut) ASSERT_EQ(truncate(entries.c_str(), d.offset), 0);
    else Overwrite(entries, d.offset, 4096, '\0');
    const int dumped = DumpSalvageCount(entries);
    RecoveryStats st;
    ASSERT_EQ(RecoverDatabases(be_, &st), 0);
    EXPECT_TRUE(st.salvaged);
    int found = 0;
    for (int i = 0; i < 120; ++i) found += IdOf(Dn(i)) != NOID;
    // The meta page holds no records; a page holds a handful of entries.
    EXPECT_GE(found, d.offset == 0 ? 120 : 80);
    if (dumped >= 0) {
      EXPECT_GE(st.entries + st.setAside, static_cast<size_t>(dumped));
    }
    ExpectAllFilesVerify();
  }
}

TEST_F(Recovery, CounterFileIsReplacedWholeAndNeverRestartsAtOne) {
  AddUsers(3);  // IDs 5..7
  EXPECT_EQ(Counter(), "8\n");
  EXPECT_FALSE(test::FileExists(dir_.File("NEXTID.tmp")));
  be_->ops.close(be_);

  // An empty counter beside stored entries.
  test::WriteFile(dir_.File("NEXTID"), "");
  be_->ldbm->nextId = -1;
  EXPECT_EQ(next_id(be_), 8u);
  EXPECT_NE(Events().find("IDs continue at 8"), std::string::npos);

  // A missing counter recreated by database creation.
  unlink(dir_.File("NEXTID").c_str());
  be_->ldbm->nextId = -1;
  EXPECT_EQ(CreateDatabases(be_), 1);
  EXPECT_EQ(Counter(), "8\n");
}

TEST_F(Recovery, CleanShutdownMarker) {
  const std::string marker = dir_.File(kCleanMarkerName);
  EXPECT_TRUE(test::FileExists(marker)) << "a new database starts out closed in order";
  ASSERT_EQ(RecoverDatabasesIfUnclean(be_), 0);
  EXPECT_FALSE(test::FileExists(marker));
  EXPECT_EQ(Events().find("not shut down in order"), std::string::npos);
  AddUsers(2);
  be_->ops.close(be_);
  EXPECT_TRUE(test::FileExists(marker));
  // A second close without a new start-up writes nothing.
  unlink(marker.c_str());
  be_->ops.close(be_);
  EXPECT_FALSE(test::FileExists(marker));

  // No marker: recovery runs first, also over leftovers of an interrupted
  // recovery.
  mkdir(dir_.File("recover.tmp").c_str(), 0700);
  test::WriteFile(dir_.File("recover.tmp/dn2id.dbb"), "half-written");
  unlink(dir_.File("dn2id.dbb").c_str());
  ASSERT_EQ(RecoverDatabasesIfUnclean(be_), 0);
  EXPECT_NE(Events().find("not shut down in order"), std::string::npos);
  EXPECT_NE(IdOf(Dn(1)), NOID);
  EXPECT_FALSE(test::FileExists(dir_.File("recover.tmp")));
  be_->ops.close(be_);
  EXPECT_TRUE(test::FileExists(marker));
}

TEST_F(Recovery, DamagedMapFileIsReportedWithRecoveryAdvice) {
  AddUsers(150);  // enough for leaf pages below the root
  const std::string dn2id = dir_.File("dn2id.dbb");
  const int64_t size = ClosedFileSize(dn2id);
  // The leaf pages below the root become garbage. (A damaged root fails
  // the open itself, where the library leaks; a zeroed leaf makes its
  // search loop.)
  for (off_t page = 2; page * 4096 < size; ++page) Overwrite(dn2id, page * 4096, 4096, '\x5a');
  EXPECT_NE(Add(Dn(200), {{"objectclass", "kryCertificate"}}), 0);
  std::string ev = Events();
  EXPECT_NE(ev.find("dn2id.dbb"), std::string::npos) << ev;
  EXPECT_NE(ev.find("krycertd -r"), std::string::npos) << ev;
  // And recovery mends it.
  be_->ops.close(be_);
  ASSERT_EQ(RecoverDatabases(be_), 0);
  EXPECT_EQ(Add(Dn(200), {{"objectclass", "kryCertificate"}}), 0);
  EXPECT_NE(IdOf(Dn(149)), NOID);
}

}  // namespace
}  // namespace kry

namespace kry {
namespace {

// Lists written in one piece by the rebuild read back exactly like lists
// grown one ascending insert at a time, across the record and header limits.
TEST(BulkIdLists, ReadBackLikeInsertedLists) {
  test::TestBackend tb;
  Backend* be = tb.be();
  tb.li()->nextId = 6000;
  const std::vector<uint32_t> sizes = {1, 2, 1022, 1023, 2045, 4088, 4089, 5000};
  IdListCollector bulk;
  {
    DbHandle grown(be, "grown", DB_CREATE);
    ASSERT_TRUE(grown);
    for (uint32_t n : sizes) {
      const std::string key = "=K" + std::to_string(n);
      for (EntryID id = 1; id <= n; ++id) {
        ASSERT_EQ(idl_insert(be, grown.get(), key, id * 3), 0);
        bulk.Insert(ldbm_file_path(be, "bulk.dbb"), key, id * 3);
      }
    }
  }
  ldbm_cache_close_all(be);
  ASSERT_EQ(bulk.Flush(6000, 0), 0);
  DbHandle grown(be, "grown", DB_CREATE), written(be, "bulk", DB_CREATE);
  for (uint32_t n : sizes) {
    const std::string key = "=K" + std::to_string(n);
    IDListPtr a = idl_fetch(be, grown.get(), key), b = idl_fetch(be, written.get(), key);
    ASSERT_TRUE(a && b) << n;
    EXPECT_EQ(a->words, b->words) << n;
    for (EntryID first : {EntryID(3), EntryID(1023 * 3), EntryID(2045 * 3)}) {
      IDListPtr ra = idl_fetch_one(be, grown.get(), idl_continuation_key(key, first));
      IDListPtr rb = idl_fetch_one(be, written.get(), idl_continuation_key(key, first));
      EXPECT_EQ(ra == nullptr, rb == nullptr) << n << " " << first;
      if (ra && rb) {
        EXPECT_EQ(ra->words, rb->words) << n << " " << first;
      }
    }
  }
  // An insert into a written list goes on as into a grown one.
  ASSERT_EQ(idl_insert(be, grown.get(), "=K1022", 99999), 0);
  ASSERT_EQ(idl_insert(be, written.get(), "=K1022", 99999), 0);
  EXPECT_EQ(idl_fetch(be, grown.get(), "=K1022")->words, idl_fetch(be, written.get(), "=K1022")->words);
}

}  // namespace
}  // namespace kry
