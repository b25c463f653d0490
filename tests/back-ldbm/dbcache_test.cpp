// The record layer and the handle cache.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>

#include "back-ldbm/dbcache.h"
#include "ldbm_test_util.h"

namespace kry {
namespace {

using test::TestBackend;

std::string Name(int i) { return "file" + std::to_string(i); }

TEST(DbCache, SameFileTwiceSharesTheSlot) {
  TestBackend tb;
  DbCacheSlot* a = ldbm_cache_open(tb.be(), "dn2id", kLdbmSuffix, DB_CREATE);
  DbCacheSlot* b = ldbm_cache_open(tb.be(), "dn2id", kLdbmSuffix, DB_CREATE);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->refcnt, 2);
  EXPECT_EQ(a->name, tb.dir().File("dn2id.dbb"));
  EXPECT_EQ(a->maxids, 1022);
  EXPECT_EQ(a->maxindirect, 4);
  EXPECT_EQ(a->blksize, 4096);
  ldbm_cache_close(tb.be(), a);
  ldbm_cache_close(tb.be(), b);
  EXPECT_EQ(a->refcnt, 0);
  EXPECT_TRUE(a->in_use());  // stays open while idle
}

TEST(DbCache, SixteenthFileEvictsTheOldestIdleSlot) {
  TestBackend tb;
  DbCacheSlot* slots[kDbCacheSlots];
  for (int i = 0; i < kDbCacheSlots; ++i) {
    slots[i] = ldbm_cache_open(tb.be(), Name(i), kLdbmSuffix, DB_CREATE);
    ASSERT_NE(slots[i], nullptr);
    ldbm_cache_close(tb.be(), slots[i]);
  }
  slots[7]->lastref -= 100;
  slots[3]->lastref -= 50;
  DbCacheSlot* s = ldbm_cache_open(tb.be(), "newfile", kLdbmSuffix, DB_CREATE);
  ASSERT_EQ(s, slots[7]);
  EXPECT_EQ(s->name, tb.dir().File("newfile.dbb"));
  ldbm_cache_close(tb.be(), s);
  // On equal times the lower slot number wins (slot 3 is older than all
  // but the new one; set every time equal now).
  for (auto& sl : tb.li()->dbcache.slots) sl.lastref = 1000;
  DbCacheSlot* t = ldbm_cache_open(tb.be(), "another", kLdbmSuffix, DB_CREATE);
  EXPECT_EQ(t, &tb.li()->dbcache.slots[0]);
  ldbm_cache_close(tb.be(), t);
  // The evicted file is still there and reopens.
  DbCacheSlot* again = ldbm_cache_open(tb.be(), Name(0), kLdbmSuffix, DB_RDONLY);
  ASSERT_NE(again, nullptr);
  ldbm_cache_close(tb.be(), again);
}

TEST(DbCache, SixteenthOpenWaitsWhileAllAreInUse) {
  TestBackend tb;
  DbCacheSlot* slots[kDbCacheSlots];
  for (int i = 0; i < kDbCacheSlots; ++i) slots[i] = ldbm_cache_open(tb.be(), Name(i), kLdbmSuffix, DB_CREATE);
  std::atomic<bool> opened{false};
  DbCacheSlot* got = nullptr;
  std::thread waiter([&] {
    got = ldbm_cache_open(tb.be(), "late", kLdbmSuffix, DB_CREATE);
    opened = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(opened.load());
  ldbm_cache_close(tb.be(), slots[9]);
  ldbm_cache_close(tb.be(), slots[4]);
  waiter.join();
  EXPECT_TRUE(opened.load());
  // The lowest idle slot at wake-up: 4 when both were closed before the
  // waiter looked, 9 when it woke between the two closes.
  EXPECT_TRUE(got == slots[4] || got == slots[9]);
  ldbm_cache_close(tb.be(), got);
  for (int i = 0; i < kDbCacheSlots; ++i)
    if (i != 4 && i != 9) ldbm_cache_close(tb.be(), slots[i]);
}

TEST(DbCache, ReadOnlyOpenOfAMissingFileFails) {
  TestBackend tb;
  testing::internal::CaptureStderr();
  DbCacheSlot* s = ldbm_cache_open(tb.be(), "absent", kLdbmSuffix, DB_RDONLY);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(s, nullptr);
  EXPECT_FALSE(test::FileExists(tb.dir().File("absent.dbb")));
  EXPECT_NE(err.find("Could not open database.  Make sure owner or group has read and write access to all "
                     "database files."),
            std::string::npos);
  // The failed open left nothing behind; other files still open.
  DbCacheSlot* ok = ldbm_cache_open(tb.be(), "present", kLdbmSuffix, DB_CREATE);
  ASSERT_NE(ok, nullptr);
  ldbm_cache_close(tb.be(), ok);
}

TEST(DbCache, FileInALaterSlotIsFoundAfterAFreedSlot) {
  TestBackend tb;
  DbCacheSlot* a = ldbm_cache_open(tb.be(), "a", kLdbmSuffix, DB_CREATE);
  DbCacheSlot* b = ldbm_cache_open(tb.be(), "b", kLdbmSuffix, DB_CREATE);
  ldbm_cache_close_file(tb.be(), a);  // slot 0 free, "b" in slot 1
  EXPECT_FALSE(a->in_use());
  DbCacheSlot* b2 = ldbm_cache_open(tb.be(), "b", kLdbmSuffix, DB_CREATE);
  EXPECT_EQ(b2, b);  // never two handles on one file
  EXPECT_EQ(b->refcnt, 2);
  ldbm_cache_close(tb.be(), b);
  ldbm_cache_close(tb.be(), b2);
}

TEST(DbCache, FetchStoreDelete) {
  TestBackend tb;
  DbHandle db(tb.be(), "records", DB_CREATE);
  ASSERT_TRUE(db);
  std::string k = "key";
  DbValue none = ldbm_cache_fetch(db.get(), TextKey(k));
  EXPECT_FALSE(none);
  EXPECT_EQ(none.data(), nullptr);
  EXPECT_EQ(none.size(), 0u);
  EXPECT_EQ(ldbm_cache_store(db.get(), TextKey(k), Datum{"v1", 3}, 0), 0);
  EXPECT_EQ(ldbm_cache_store(db.get(), TextKey(k), Datum{"v2", 3}, DB_NOOVERWRITE), DB_KEYEXIST);
  DbValue v = ldbm_cache_fetch(db.get(), TextKey(k));
  ASSERT_TRUE(v);
  EXPECT_STREQ(static_cast<const char*>(v.data()), "v1");
  EXPECT_EQ(ldbm_cache_store(db.get(), TextKey(k), Datum{"v3", 3}, kLdbmStoreSync), 0);
  EXPECT_STREQ(static_cast<const char*>(ldbm_cache_fetch(db.get(), TextKey(k)).data()), "v3");
  EXPECT_EQ(ldbm_cache_delete(db.get(), TextKey(k)), 0);
  EXPECT_EQ(ldbm_cache_delete(db.get(), TextKey(k)), DB_NOTFOUND);
  EXPECT_FALSE(ldbm_cache_fetch(db.get(), TextKey(k)));
}

TEST(DbCache, SyncAllAndCloseAll) {
  TestBackend tb;
  {
    DbHandle a(tb.be(), "one", DB_CREATE);
    DbHandle b(tb.be(), "two", DB_CREATE);
    ldbm_cache_store(a.get(), TextKey("k"), Datum{"v", 2}, 0);
  }
  ldbm_cache_sync_all(tb.be());
  ldbm_cache_close_all(tb.be());
  for (auto& s : tb.li()->dbcache.slots) EXPECT_FALSE(s.in_use());
  DbHandle a(tb.be(), "one", DB_RDONLY);
  ASSERT_TRUE(a);
  EXPECT_TRUE(ldbm_cache_fetch(a.get(), TextKey("k")));
}

TEST(DbCache, CloseAllWaitsForUsers) {
  TestBackend tb;
  DbCacheSlot* s = ldbm_cache_open(tb.be(), "busy", kLdbmSuffix, DB_CREATE);
  std::atomic<bool> done{false};
  std::thread closer([&] {
    ldbm_cache_close_all(tb.be());
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(done.load());
  ldbm_cache_close(tb.be(), s);
  closer.join();
  EXPECT_FALSE(s->in_use());
}

// The backend's directory on a small tmpfs, unmounted at the end.
class SmallDisk {
 public:
  explicit SmallDisk(const std::string& dir) : dir_(dir) {
    mounted_ = geteuid() == 0 && mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=256k,mode=0700") == 0;
  }
  ~SmallDisk() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string dir_;
  bool mounted_ = false;
};

TEST(DbCache, StoresOnAFullDiskFailBeforeWritingAnything) {
  TestBackend tb;
  SmallDisk disk(tb.dir().path());
  if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
  DbCacheSlot* s = ldbm_cache_open(tb.be(), "fill", kLdbmSuffix, DB_CREATE);
  ASSERT_NE(s, nullptr);
  const std::string value(3000, 'v');
  int stored = 0, rc = 0;
  for (; stored < 1000; ++stored) {
    const std::string key = "key" + std::to_string(stored);
    if ((rc = ldbm_cache_store(s, TextKey(key), Datum{value.data(), 3000}, 0)) != 0) break;
  }
  EXPECT_EQ(rc, ENOSPC);
  EXPECT_TRUE(ldbm_out_of_space(tb.be()));
  // Every page the stored records need has its room: nothing fails later.
  EXPECT_EQ(ldbm_cache_sync_all(tb.be()), 0);
  ldbm_cache_close(tb.be(), s);
  // A file that cannot be created leaves nothing behind.
  EXPECT_EQ(ldbm_cache_open(tb.be(), "new", kLdbmSuffix, DB_CREATE), nullptr);
  EXPECT_FALSE(test::FileExists(tb.dir().File("__db.new.dbb")));
  ldbm_cache_close_all(tb.be());
  if (system("command -v db5.3_verify >/dev/null") == 0) {
    EXPECT_EQ(system(("db5.3_verify -q " + tb.dir().File("fill.dbb")).c_str()), 0);
  }
  s = ldbm_cache_open(tb.be(), "fill", kLdbmSuffix, DB_RDONLY);
  ASSERT_NE(s, nullptr);
  for (int i = 0; i < stored; ++i) EXPECT_TRUE(ldbm_cache_fetch(s, TextKey("key" + std::to_string(i)))) << i;
  ldbm_cache_close(tb.be(), s);
  ldbm_cache_close_all(tb.be());
}

TEST(DbCache, AnOpenThatHangsHoldsUpNoOtherFile) {
  TestBackend tb;
  // Berkeley DB's read of the first page of a FIFO waits until bytes come.
  const std::string fifo = tb.dir().File("stuck.dbb");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto stuck = std::async(std::launch::async, [&] { return ldbm_cache_open(tb.be(), "stuck", kLdbmSuffix, 0); });
  auto other = std::async(std::launch::async, [&] {
    DbCacheSlot* s = ldbm_cache_open(tb.be(), "other", kLdbmSuffix, DB_CREATE);
    if (s) ldbm_cache_close(tb.be(), s);
    return s != nullptr;
  });
  EXPECT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_NE(stuck.wait_for(std::chrono::seconds(0)), std::future_status::ready);  // still waiting
  // Feed the FIFO: the stuck open then fails on a page that is no database.
  int fd = open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  const std::string zeros(8192, '\0');
  EXPECT_EQ(write(fd, zeros.data(), zeros.size()), static_cast<ssize_t>(zeros.size()));
  close(fd);
  EXPECT_EQ(stuck.get(), nullptr);
  EXPECT_TRUE(other.get());
}

TEST(GetFileModeTest, Results) {
  TestBackend tb;
  std::string p = tb.dir().File("f");
  EXPECT_EQ(GetFileMode(p.c_str(), nullptr, nullptr, nullptr), 1);
  test::WriteFile(p, "12345");
  int mode = 0, owner = 0;
  int64_t size = 0;
  EXPECT_EQ(GetFileMode(p.c_str(), &mode, nullptr, &size), 0);
  EXPECT_EQ(size, 5);
  EXPECT_TRUE(S_ISREG(mode));
  size = 0;
  EXPECT_EQ(GetFileMode(p.c_str(), &mode, &owner, &size), 1);  // no owner from this source
  EXPECT_EQ(size, 5);
}

}  // namespace
}  // namespace kry
