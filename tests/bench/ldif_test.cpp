// The load generator's LDIF reader and figures: what ldapsearch writes (folded lines,
// base64 values, comments) into entries, and entries into groups that one
// connection can add in order, whatever order the export listed them in.
#include <gtest/gtest.h>

#include "bench/ldload/ldif.h"
#include "bench/ldload/stats.h"

namespace krybench {
namespace {

TEST(BenchLdif, ReadsFoldedAndBase64Values) {
  const std::string text =
      "# extended LDIF\nversion: 1\n\n"
      "dn: KRYCERTID=0011223344556677,OU=ACTIVE,O=KRY KEYSPACE,C=US\n"
      "objectclass: kryCertificate\n"
      "kryKey:: LS0tLS1CRUdJTgpsaW5l\n"
      "description: a long\n  value\n"
      "\n\n"
      "dn:: a3J5VXNlcklEPUTDvHJlcg==\r\n"
      "cn:x\n";
  std::vector<LdifEntry> entries;
  size_t bad = 0;
  ASSERT_TRUE(ParseLdif(text, &entries, &bad));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].dn, "KRYCERTID=0011223344556677,OU=ACTIVE,O=KRY KEYSPACE,C=US");
  ASSERT_EQ(entries[0].values.size(), 3u);
  EXPECT_EQ(entries[0].values[1].second, "-----BEGIN\nline");
  EXPECT_EQ(entries[0].values[2].second, "a long value");
  EXPECT_EQ(entries[1].dn, "kryUserID=D\xc3\xbcrer");
  ASSERT_EQ(entries[1].values.size(), 1u);
  EXPECT_EQ(entries[1].values[0], std::make_pair(std::string("cn"), std::string("x")));
}

TEST(BenchLdif, RefusesWhatIsNotLdif) {
  std::vector<LdifEntry> entries;
  size_t bad = 0;
  EXPECT_FALSE(ParseLdif("dn: cn=a\nno colon here\n", &entries, &bad));
  EXPECT_EQ(bad, 2u);
  entries.clear();
  EXPECT_FALSE(ParseLdif("cn: first line is not a dn\n", &entries, &bad));
  EXPECT_EQ(bad, 1u);
  entries.clear();
  EXPECT_FALSE(ParseLdif("dn: cn=a\nkryKey:: not*base64!\n", &entries, &bad));
  EXPECT_EQ(bad, 2u);
}

std::vector<LdifEntry> Dns(const std::vector<std::string>& dns) {
  std::vector<LdifEntry> out;
  for (const std::string& dn : dns) out.push_back(LdifEntry{dn, {}});
  return out;
}

TEST(BenchLdif, GroupsPutParentsFirstWhateverTheInputOrder) {
  const std::string a = "KRYCERTID=AAAAAAAAAAAAAAAA,OU=ACTIVE,O=KRY KEYSPACE,C=US";
  const std::string b = "KRYCERTID=BBBBBBBBBBBBBBBB,OU=ACTIVE,O=KRY KEYSPACE,C=US";
  auto groups = GroupBySubtree(Dns({
      "kryUserID=Smith\\, John <j@example.org>," + a,  // child listed before its parent
      b,
      a,
      "kryUserID=second,krycertid=aaaaaaaaaaaaaaaa,ou=active,o=kry keyspace,c=us",
      "kryUserID=x," + b,
      "cn=elsewhere,OU=PENDING,O=KRY KEYSPACE,C=US",
  }));
  ASSERT_EQ(groups.size(), 3u);
  ASSERT_EQ(groups[0].size(), 3u);
  EXPECT_EQ(groups[0][0].dn, a);
  EXPECT_EQ(groups[0][1].dn, "kryUserID=Smith\\, John <j@example.org>," + a);
  ASSERT_EQ(groups[1].size(), 2u);
  EXPECT_EQ(groups[1][0].dn, b);
  EXPECT_EQ(groups[2].size(), 1u);
}

TEST(BenchLdif, AnEscapedCommaDoesNotEndAnRdn) {
  // "cn=a\,b" is one RDN: its parent is the suffix, not "b,...".
  auto groups = GroupBySubtree(Dns({"cn=a\\,b,o=x", "b,o=x", "o=x", "cn=\"q,r\",o=x"}));
  ASSERT_EQ(groups.size(), 1u);
  ASSERT_EQ(groups[0].size(), 4u);
  EXPECT_EQ(groups[0][0].dn, "o=x");
}

}  // namespace
}  // namespace krybench

namespace krybench {
namespace {

// Nearest-rank percentiles: p99 of 100 samples is the 99th smallest, and a
// single slow operation shows in max but not in p50.
TEST(BenchStats, PercentilesAreNearestRank) {
  std::vector<long> micros;
  for (long i = 100; i >= 1; --i) micros.push_back(i * 1000);
  RunFigures f;
  Percentiles(&micros, &f);
  EXPECT_DOUBLE_EQ(f.p50ms, 50);
  EXPECT_DOUBLE_EQ(f.p99ms, 99);
  EXPECT_DOUBLE_EQ(f.maxms, 100);
  std::vector<long> one{1500};
  RunFigures g;
  Percentiles(&one, &g);
  EXPECT_DOUBLE_EQ(g.p50ms, 1.5);
  EXPECT_DOUBLE_EQ(g.p99ms, 1.5);
  std::vector<long> none;
  RunFigures h;
  Percentiles(&none, &h);
  EXPECT_EQ(h.maxms, 0);
}

TEST(BenchStats, JsonLineCarriesRatesAndEscapesLabels) {
  RunFigures f;
  f.label = "W1 \"8\"\n";
  f.op = "keyid";
  f.connections = 8;
  f.seconds = 2;
  f.ops = 10;
  f.items = 4;
  f.errors = 1;
  const std::string j = JsonLine(f);
  EXPECT_EQ(j.find("{\"label\":\"W1 \\\"8\\\"\",\"op\":\"keyid\","), 0u) << j;
  EXPECT_NE(j.find("\"ops_per_s\":5.0,"), std::string::npos) << j;
  EXPECT_NE(j.find("\"items_per_s\":2.0,"), std::string::npos) << j;
  EXPECT_NE(j.find("\"errors\":1}"), std::string::npos) << j;
  EXPECT_NE(HumanLine(f).find("5.0 ops/s"), std::string::npos);
}

}  // namespace
}  // namespace krybench
