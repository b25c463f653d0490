#include "util/ratelimit.h"

#include <gtest/gtest.h>

#include <string>

namespace kry {
namespace {

std::string Loopback(unsigned n) {
  return "127." + std::to_string((n >> 16) & 255) + "." + std::to_string((n >> 8) & 255) + "." +
         std::to_string(n & 255);
}

TEST(RateTable, BurstThenRefillAtRateWithRetryAfter) {
  RateTable t(64);
  const RateSpec rate{10, 3};
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(t.Take("127.0.0.1", kRateHkpRead, rate, 100.0));
  double retry = 0;
  EXPECT_FALSE(t.Take("127.0.0.1", kRateHkpRead, rate, 100.0, &retry));
  EXPECT_NEAR(retry, 0.1, 1e-9);
  // Other buckets of the same address and other addresses are untouched.
  EXPECT_TRUE(t.Take("127.0.0.1", kRateHkpWrite, rate, 100.0));
  EXPECT_TRUE(t.Take("127.0.0.1", kRateLdapRead, rate, 100.0));
  EXPECT_TRUE(t.Take("127.0.0.2", kRateHkpRead, rate, 100.0));
  EXPECT_TRUE(t.Take("127.0.0.1", kRateHkpRead, rate, 100.15));
  EXPECT_FALSE(t.Take("127.0.0.1", kRateHkpRead, rate, 100.15));
  // A long pause refills to the burst, not beyond.
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(t.Take("127.0.0.1", kRateHkpRead, rate, 1000.0));
  EXPECT_FALSE(t.Take("127.0.0.1", kRateHkpRead, rate, 1000.0));
  // No limit configured: always granted.
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(t.Take("127.0.0.1", kRateLdapWrite, RateSpec{}, 1000.0));
}

TEST(RateTable, FiftyPerSecondAgainstTenKeepsToTheRate) {
  RateTable t(64);
  const RateSpec rate{10, 10};
  int granted = 0;
  for (int i = 0; i < 500; ++i) granted += t.Take("127.0.0.9", kRateLdapRead, rate, i / 50.0) ? 1 : 0;
  // Ten seconds at 10 a second after a burst of 10.
  EXPECT_GE(granted, 105);
  EXPECT_LE(granted, 111);
}

bool ExemptNine(const std::string& a) { return a == "127.0.0.9"; }

TEST(RateTable, ExemptAddressIsNeverRefused) {
  RateTable t(64, &ExemptNine);
  const RateSpec rate{1, 1};
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(t.Take("127.0.0.9", kRateHkpWrite, rate, 5.0));
  EXPECT_TRUE(t.Take("127.0.0.8", kRateHkpWrite, rate, 5.0));
  EXPECT_FALSE(t.Take("127.0.0.8", kRateHkpWrite, rate, 5.0));
}

TEST(RateTable, HundredThousandAddressesStayWithinTheBoundAndEvictTheOldest) {
  RateTable t(65536);
  const RateSpec rate{1, 1};
  for (unsigned n = 1; n <= 100000; ++n) {
    ASSERT_TRUE(t.Take(Loopback(n), kRateHkpRead, rate, 1.0));
    if (n % 10000 == 0) {
      ASSERT_LE(t.Size(), t.MaxEntries());
    }
  }
  EXPECT_EQ(t.Size(), 65536u);
  // The latest address is still known (its bucket is empty); the first was
  // evicted and starts again with a full bucket.
  EXPECT_FALSE(t.Take(Loopback(100000), kRateHkpRead, rate, 1.0));
  EXPECT_TRUE(t.Take(Loopback(1), kRateHkpRead, rate, 1.0));
  EXPECT_LE(t.Size(), t.MaxEntries());
}

}  // namespace
}  // namespace kry
