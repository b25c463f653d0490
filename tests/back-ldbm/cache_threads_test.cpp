// The entry cache and the handle cache under many threads.
// Meant to run under ThreadSanitizer as well (label "threads").
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "back-ldbm/cache.h"
#include "back-ldbm/dbcache.h"
#include "back-ldbm/dn2id.h"
#include "back-ldbm/id2children.h"
#include "back-ldbm/id2entry.h"
#include "back-ldbm/idlist.h"
#include "back-ldbm/nextid.h"
#include "ldbm_test_util.h"

namespace kry {
namespace {

constexpr int kThreads = 8;

std::string DnOf(EntryID id) { return "cn=entry" + std::to_string(id) + ",o=threads"; }

TEST(CacheThreads, LookupsAddsReleasesAndRemoves) {
  EntryCache cache;
  cache.maxsize = 32;
  constexpr EntryID kIds = 200;
  std::atomic<int> wrongEntries{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t * 7919 + 1);
      for (int i = 0; i < 20000; ++i) {
        EntryID id = 1 + rng() % kIds;
        int op = rng() % 10;
        if (op < 5) {
          Entry* e = (op & 1) ? cache_lookup_id(&cache, id) : cache_lookup_dn(&cache, DnOf(id));
          if (e) {
            if (e->id != id || e->dn != DnOf(id)) ++wrongEntries;
            cache_release_entry(&cache, e);
          }
        } else if (op < 8) {
          Entry* e = new Entry;
          e->id = id;
          e->dn = DnOf(id);
          attr_merge(e, "cn", "x");
          int rc = cache_add_entry_lock(&cache, e, (op == 7) ? ENTRY_STATE_CREATING : ENTRY_STATE_READY);
          if (rc != 0) {
            delete e;
            continue;
          }
          if (op == 7) cache_set_entry_state(&cache, e, ENTRY_STATE_READY);
          cache_release_entry(&cache, e);
        } else {
          Entry* e = cache_lookup_id(&cache, id);
          if (!e) continue;
          cache_remove_entry(&cache, e);  // another thread may have won: -1
          cache_release_entry(&cache, e);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrongEntries.load(), 0);
  int n = 0;
  {
    SpinningGuard g(cache.lock);
    for (Entry* e = cache.lruHead; e; e = e->lruNext) {
      ++n;
      EXPECT_EQ(e->refcnt, 0);
    }
    EXPECT_EQ(n, cache.cursize);
    EXPECT_EQ(cache.dnTree.size(), static_cast<size_t>(n));
    EXPECT_EQ(cache.idTree.size(), static_cast<size_t>(n));
    EXPECT_EQ(cache.idIndex.size(), static_cast<size_t>(n));
    EXPECT_EQ(cache.dnIndex.size(), static_cast<size_t>(n));
  }
  EXPECT_LE(n, cache.maxsize);
}

TEST(CacheThreads, BackendReadsAndWritesConcurrently) {
  test::TestBackend tb;
  tb.li()->cache.maxsize = 20;
  constexpr EntryID kPreloaded = 300;
  for (EntryID id = 1; id <= kPreloaded; ++id) {
    Entry* e = new Entry;
    e->id = id;
    e->dn = DnOf(id);
    attr_merge(e, "objectclass", "thing");
    ASSERT_EQ(dn2id_add(tb.be(), e->dn, id), 0);
    bool cached = false;
    ASSERT_EQ(id2entry_add(tb.be(), e, &cached), 0);
    ASSERT_TRUE(cached);
    cache_return_entry(tb.be(), e);
  }
  test::WriteFile(tb.dir().File("NEXTID"), std::to_string(kPreloaded + 1) + "\n");
  std::atomic<int> misses{0}, writeFailures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t + 99);
      for (int i = 0; i < 1500; ++i) {
        EntryID id = 1 + rng() % kPreloaded;
        if (t % 4 == 3) {
          // Writers: new entries under a shared parent.
          EntryID nid = next_id(tb.be());
          Entry* e = new Entry;
          e->id = nid;
          e->dn = DnOf(nid);
          attr_merge(e, "objectclass", "thing");
          EntryPtr parent(new Entry);
          parent->id = 1;
          if (dn2id_add(tb.be(), e->dn, nid) != 0 || id2children_add(tb.be(), parent.get(), e) != 0)
            ++writeFailures;
          bool cached = false;
          if (id2entry_add(tb.be(), e, &cached) != 0) ++writeFailures;
          if (cached)
            cache_return_entry(tb.be(), e);
          else
            delete e;
          continue;
        }
        Entry* e = (i & 1) ? id2entry(tb.be(), id) : entry_by_dn(tb.be(), DnOf(id));
        if (!e || e->id != id) {
          ++misses;
        }
        if (e) cache_return_entry(tb.be(), e);
        if (i % 200 == 0) ldbm_cache_sync_all(tb.be());
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(misses.load(), 0);
  EXPECT_EQ(writeFailures.load(), 0);
  // Every child link made concurrently is there exactly once.
  DbHandle db(tb.be(), "id2children", DB_RDONLY);
  IDListPtr kids = idl_fetch(tb.be(), db.get(), id2children_key(1));
  ASSERT_TRUE(kids);
  EXPECT_FALSE(kids->is_allids());
  EXPECT_EQ(kids->nids(), 2u * 1500u);  // two writer threads (t = 3, 7)
  EXPECT_EQ(next_id_peek(tb.be()), kPreloaded + 1 + 2 * 1500);
}

// Readers of ID lists while one writer grows each past its record splits:
// the writer adds ascending IDs, so every consistent read is 1..n for some
// n that never shrinks; a header read beside half-written records is not.
TEST(CacheThreads, IdListReadsDuringSplitsSeeWholeLists) {
  test::TestBackend tb;
  DbHandle db(tb.be(), "growing", DB_CREATE);
  ASSERT_TRUE(db);
  constexpr int kKeys = 8;
  constexpr EntryID kLast = 3 * 1022 + 1;  // three splits a key
  std::atomic<int> writing{0};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      int key = -1;
      uint32_t seen = 0;
      for (int now; (now = writing.load()) < kKeys;) {
        if (now != key) key = now, seen = 0;
        IDListPtr l = idl_fetch(tb.be(), db.get(), "=k" + std::to_string(key));
        if (!l) continue;
        const uint32_t n = l->nids();
        bool whole = !l->is_allids() && n >= seen;
        for (uint32_t i = 0; whole && i < n; ++i) whole = l->id(i) == i + 1;
        if (!whole) ++torn;
        seen = n;
      }
    });
  }
  bool stored = true;
  for (int k = 0; k < kKeys && stored; writing = ++k) {
    for (EntryID id = 1; id <= kLast && stored; ++id)
      stored = idl_insert(tb.be(), db.get(), "=k" + std::to_string(k), id) == 0;
  }
  writing = kKeys;
  for (auto& th : readers) th.join();
  ASSERT_TRUE(stored);
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(idl_fetch(tb.be(), db.get(), "=k0")->nids(), kLast);
}

TEST(CacheThreads, HandleCacheEvictionUnderLoad) {
  test::TestBackend tb;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t);
      for (int i = 0; i < 400; ++i) {
        std::string name = "f" + std::to_string(rng() % 24);  // more files than slots
        DbHandle db(tb.be(), name, DB_CREATE);
        if (!db) {
          ++failures;
          continue;
        }
        std::string key = "k" + std::to_string(t);
        uint32_t v = static_cast<uint32_t>(i);
        if (ldbm_cache_store(db.get(), TextKey(key), Datum{&v, 4}, 0) != 0) ++failures;
        if (!ldbm_cache_fetch(db.get(), TextKey(key))) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  cache_check_refcounts(tb.be());
  backend_sync_all(tb.list());
}

}  // namespace
}  // namespace kry
