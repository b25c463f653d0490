#include "util/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

namespace kry {
namespace {

TEST(Threads, AutoResetEventWakesOneWaiterPerSet) {
  AutoResetEvent ev;
  std::atomic<int> woken{0};
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; ++i)
    ts.emplace_back([&] {
      ev.Wait();
      ++woken;
    });
  // Each set releases exactly one waiter (sets made while nobody waits
  // collapse into one, so wait for each release before the next set).
  for (int i = 1; i <= 4; ++i) {
    ev.Set();
    while (woken.load() < i) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(woken.load(), i);
  }
  for (auto& t : ts) t.join();
  // A set with no waiter is kept for the next wait, once.
  ev.Set();
  EXPECT_TRUE(ev.WaitFor(10));
  EXPECT_FALSE(ev.WaitFor(10));
}

TEST(Threads, ManualResetEventReleasesEveryone) {
  ManualResetEvent ev;
  std::atomic<int> woken{0};
  std::vector<std::thread> ts;
  for (int i = 0; i < 3; ++i)
    ts.emplace_back([&] {
      ev.Wait();
      ++woken;
    });
  ev.Set();
  for (auto& t : ts) t.join();
  EXPECT_EQ(woken.load(), 3);
  EXPECT_TRUE(ev.IsSet());
  ev.Reset();
  EXPECT_FALSE(ev.WaitFor(5));
}

TEST(Threads, SemaphoreHonoursItsMaximum) {
  Semaphore s(0, 1);
  EXPECT_TRUE(s.Release());
  EXPECT_FALSE(s.Release());
  EXPECT_TRUE(s.AcquireFor(10));
  EXPECT_FALSE(s.AcquireFor(10));
}

TEST(Threads, ConditionHandsOffUnderTheMutex) {
  Mutex m;
  Condition c;
  int value = 0;
  std::thread producer([&] {
    for (int i = 1; i <= 100; ++i) {
      {
        MutexGuard g(m);
        value = i;
      }
      c.Signal();
    }
  });
  {
    MutexLock l(m);
    while (value < 100) c.Wait(l);
  }
  producer.join();
  EXPECT_EQ(value, 100);
}

TEST(Threads, ThreadIdsAreDistinctAndStable) {
  std::set<uint32_t> ids;
  Mutex m;
  std::vector<std::thread> ts;
  for (int i = 0; i < 8; ++i)
    ts.emplace_back([&] {
      uint32_t a = CurrentThreadId(), b = CurrentThreadId();
      EXPECT_EQ(a, b);
      MutexGuard g(m);
      ids.insert(a);
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(ids.size(), 8u);
}

}  // namespace
}  // namespace kry
