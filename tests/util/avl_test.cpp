#include "util/avl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace kry {
namespace {

int IntCmp(const int& a, const int& b) { return a < b ? -1 : a > b ? 1 : 0; }

std::vector<int> InOrder(AvlTree<int>& t) {
  std::vector<int> out;
  t.Apply([&](int& v) {
    out.push_back(v);
    return 0;
  });
  return out;
}

TEST(AvlTree, RandomInsertsAndDeletesMatchASetAndStayBalanced) {
  AvlTree<int> t(IntCmp);
  std::set<int> ref;
  std::mt19937 rng(7);
  for (int i = 0; i < 20000; ++i) {
    int v = static_cast<int>(rng() % 5000);
    if (rng() % 3 == 0) {
      EXPECT_EQ(t.Delete(v), ref.erase(v) == 1);
    } else {
      int rc = t.Insert(v);
      EXPECT_EQ(rc == 0, ref.insert(v).second);
    }
  }
  EXPECT_EQ(t.size(), ref.size());
  EXPECT_EQ(InOrder(t), std::vector<int>(ref.begin(), ref.end()));
  // An AVL tree of n nodes is at most about 1.44 log2(n) + 2 high.
  EXPECT_LE(t.height(), 1.45 * std::log2(static_cast<double>(t.size()) + 2) + 2);
}

TEST(AvlTree, SortedInsertsStayLogarithmic) {
  AvlTree<int> t(IntCmp);
  for (int i = 0; i < 1 << 16; ++i) ASSERT_EQ(t.Insert(i), 0);
  EXPECT_LE(t.height(), 18);
  for (int i = 0; i < 1 << 16; i += 2) ASSERT_TRUE(t.Delete(i));
  EXPECT_EQ(t.size(), static_cast<size_t>(1 << 15));
  EXPECT_LE(t.height(), 17);
  EXPECT_EQ(t.Find(2), nullptr);
  ASSERT_NE(t.Find(3), nullptr);
}

struct Item {
  std::string key;
  int count;
};

TEST(AvlTree, DuplicateHandlerMergesOrRefuses) {
  AvlTree<Item> t([](const Item& a, const Item& b) { return a.key.compare(b.key); });
  ASSERT_EQ(t.Insert({"a", 1}), 0);
  auto merge = [](Item& existing, const Item& incoming) {
    existing.count += incoming.count;
    return 0;
  };
  EXPECT_EQ(t.Insert({"a", 2}, merge), 0);
  EXPECT_EQ(t.size(), 1u);
  EXPECT_EQ(t.Find({"a", 0})->count, 3);
  EXPECT_EQ(t.Insert({"a", 5}), -1);  // the default refuses
  EXPECT_EQ(t.Find({"a", 0})->count, 3);
  auto refuseWith = [](Item&, const Item&) { return 42; };
  EXPECT_EQ(t.Insert({"a", 1}, refuseWith), 42);
}

TEST(AvlTree, FindIfApplyStopAndClearWithFunction) {
  AvlTree<int> t(IntCmp);
  for (int v : {5, 3, 8, 1, 4, 9}) t.Insert(v);
  int* even = t.FindIf([](const int& v) { return v % 2 == 0; });
  ASSERT_NE(even, nullptr);
  EXPECT_EQ(*even, 4);  // the first in order
  int seen = 0;
  EXPECT_EQ(t.Apply([&](int& v) {
    ++seen;
    return v == 4 ? 7 : 0;
  }),
            7);
  EXPECT_EQ(seen, 3);  // 1, 3, 4
  int sum = 0;
  t.Clear([&](int& v) { sum += v; });
  EXPECT_EQ(sum, 30);
  EXPECT_TRUE(t.empty());
  int out = 0;
  EXPECT_FALSE(t.Delete(5, &out));
}

}  // namespace
}  // namespace kry
