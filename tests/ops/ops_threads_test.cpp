// The backend operations from several threads at once: changes of one
// entry must not overwrite each other, and an entry is created once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "back-ldbm/ops.h"
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

}  // namespace
}  // namespace test
}  // namespace kry
