// The backend operations from several threads at once: changes of one
// entry must not overwrite each other, and an entry is created once.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include <mutex>

#include "../support/corpus_ids.h"
#include "back-ldbm/dn2id.h"
#include "back-ldbm/ops.h"
#include "cert/keydigests.h"
#include "ops_fixture.h"

namespace kry {
namespace test {
namespace {

using Threads = OpsTest;

TEST_F(Threads, ConcurrentModifiesOfOneEntryAllLand) {
  const std::string dn = std::string("CN=shared,") + kActive;
  ASSERT_EQ(Add(dn, {{"cn", "shared"}}), 0);
  constexpr int kWriters = 4, kEach = 12;
  std::atomic<int> failures{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::vector<Modification> mods(1);
        mods[0].op = MOD_OP_ADD;
        mods[0].type = "description";
        mods[0].values = {"v" + std::to_string(t) + "-" + std::to_string(i)};
        int err = -1;
        std::string matched;
        if (modify_internal(be_, &conn_, op_.get(), dn, nullptr, mods, &err, &matched) != 0) ++failures;
      }
    });
  }
  // A reader walks the entry's values while it is being replaced.
  std::thread reader([&] {
    while (!done) {
      if (Entry* e = entry_by_dn(be_, dn)) {
        size_t n = 0;
        for (const auto& a : e->attrs)
          for (const auto& v : a.values) n += v.size();
        EXPECT_GT(n, 0u);
        cache_return_entry(be_, e);
      }
    }
  });
  for (auto& th : threads) th.join();
  done = true;
  reader.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(Values(dn, "description", true).size(), static_cast<size_t>(kWriters * kEach));
}

TEST_F(Threads, ConcurrentAddsOfOneDnCreateOneEntry) {
  constexpr int kAdders = 4;
  std::atomic<int> ok{0}, exists{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kAdders; ++t) {
    threads.emplace_back([&] {
      int rc = Add(std::string("CN=once,") + kActive, {{"cn", "once"}});
      if (rc == 0) ++ok;
      if (rc == 68) ++exists;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(ok.load(), 1);
  EXPECT_EQ(exists.load(), kAdders - 1);
}

// An add links its entry under the parent it found; a delete of that parent
// at the same moment must either see the child (and refuse) or remove the
// parent first (and the add then fails). Neither may leave a child under a
// deleted parent.
TEST_F(Threads, AddUnderAParentBeingDeletedLeavesNoOrphan) {
  constexpr int kRounds = 25, kChildren = 6;
  int orphans = 0;
  for (int round = 0; round < kRounds; ++round) {
    const std::string parent = "CN=p" + std::to_string(round) + "," + kActive;
    ASSERT_EQ(Add(parent, {{"cn", "p"}}), 0);
    std::atomic<bool> go{false};
    std::thread adder([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < kChildren; ++i) Add("CN=c" + std::to_string(i) + "," + parent, {{"cn", "c"}});
    });
    std::thread deleter([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < kChildren * 4 && dn2id(be_, parent) != NOID; ++i) {
        std::unique_ptr<Operation> op = std::make_unique<Operation>();
        op->o_connid = conn_.c_connid;
        op->o_tag = 0x4A;
        be_->ops.del(be_, &conn_, op.get(), parent);
        std::this_thread::yield();
      }
    });
    go = true;
    adder.join();
    deleter.join();
    Receive();  // the delete results
    if (dn2id(be_, parent) != NOID) continue;
    for (int i = 0; i < kChildren; ++i)
      if (dn2id(be_, "CN=c" + std::to_string(i) + "," + parent) != NOID) ++orphans;
  }
  EXPECT_EQ(orphans, 0);
}

// Merges from several threads that swap a certificate's block: the observer
// hears of them in the order they were stored, so its set ends as the
// directory's, while readers walk and look up digests meanwhile.
TEST_F(Threads, DigestObserverFollowsConcurrentMerges) {
  if (corpus::Dir().empty()) GTEST_SKIP() << "no corpus";
  const std::string dn = "kryCertID=" + corpus::KeyId("rsa") + "," + kActive;
  const std::string blocks[] = {ReadFile(corpus::Dir() + "/rsa.asc"), ReadFile(corpus::Dir() + "/dsa-elg.asc")};
  std::mutex m;
  std::set<std::string> heard;
  SetKeyDigestObserver([&](const krypgp::SksDigest& d, bool present) {
    std::lock_guard<std::mutex> lock(m);
    if (present) EXPECT_TRUE(heard.insert(krypgp::SksDigestHex(d)).second);
    else EXPECT_EQ(heard.erase(krypgp::SksDigestHex(d)), 1u);
  });
  std::atomic<bool> done{false};
  std::thread reader([&] {
    krypgp::SksDigest d{};
    std::string key;
    while (!done) {
      ForEachKeyDigest(be_, [&](const krypgp::SksDigest& seen) { d = seen; });
      FindServedKeyByDigest(be_, d, &key);
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t)
    writers.emplace_back([&, t] {
      Connection internal;
      internal.c_internal = true;
      for (int i = 0; i < 10; ++i) {
        auto e = std::make_unique<Entry>();
        e->dn = dn;
        attr_merge(e.get(), "objectclass", "kryCertificate");
        attr_merge(e.get(), "kryKey", blocks[(t + i) % 2]);
        int replicated = 1, err = -1;
        std::string matched;
        be_->ops.add(be_, &internal, nullptr, e.release(), 1, nullptr, &replicated, &err, &matched);
      }
    });
  for (std::thread& w : writers) w.join();
  done = true;
  reader.join();
  SetKeyDigestObserver(nullptr);
  std::set<std::string> stored;
  ForEachKeyDigest(be_, [&](const krypgp::SksDigest& d) { stored.insert(krypgp::SksDigestHex(d)); });
  EXPECT_EQ(heard, stored);
  EXPECT_EQ(stored.size(), 1u);
}

}  // namespace
}  // namespace test
}  // namespace kry
