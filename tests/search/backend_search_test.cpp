// The backend search through the request handler: candidates from the
// indexes, scope, limits, abandon, referrals, the server-made entries and
// the answers to malformed requests.
#include <gtest/gtest.h>

#include "back-ldbm/cache.h"
#include "back-ldbm/index.h"
#include "back-ldbm/ops.h"
#include "back-ldbm/search.h"
#include "ldap/dispatch.h"
#include "ldap/filter.h"
#include "ldap/filterentry.h"
#include "../ops/ops_fixture.h"
#include "search_test_util.h"

namespace kry {
namespace test {
namespace {

class SearchTest : public OpsTest {
 protected:
  void SetUp() override {
    OpsTest::SetUp();
    index_set_word_mode(false);
    for (int i = 0; i < 5; ++i) {
      std::string name = "User" + std::to_string(i) + " Example";
      ASSERT_EQ(Add("cn=" + name + "," + kActive,
                    {{"objectclass", "person"}, {"cn", name}, {"kryUserID", name + " <u" + std::to_string(i) + "@x>"}}),
                0);
    }
    ASSERT_EQ(Add("cn=Pending One," + std::string(kPending), {{"objectclass", "person"}, {"cn", "Pending One"}}), 0);
    Receive();  // nothing is sent by the backend add, but drain anyway
  }
  void TearDown() override {
    index_set_word_mode(false);
    OpsTest::TearDown();
  }
  SearchResponses Search(const std::string& base, int scope, const F& filter, const std::vector<std::string>& attrs = {},
                         int sizelimit = 0, int timelimit = 0) {
    NewOp(0x63, SearchOp(base, scope, filter, attrs, sizelimit, timelimit));
    op_->o_time = time(nullptr);
    do_search(&conn_, op_.get());
    return ParseResponses(ReadAll());
  }
  size_t Candidates(const F& f) {
    std::string bytes = EncodeFilter(f);
    BerBufferPtr b = ber_init(bytes.data(), bytes.size());
    FilterPtr filter;
    std::string s;
    EXPECT_EQ(get_filter(nullptr, b.get(), &filter, &s), 0);
    IDListPtr l = filter_candidates(be_, filter.get());
    if (!l) return 0;
    return l->is_allids() ? static_cast<size_t>(-1) : l->nids();
  }
};

constexpr size_t kAll = static_cast<size_t>(-1);

TEST_F(SearchTest, CandidatesComeFromTheIndexes) {
  EXPECT_EQ(Candidates(Eq("kryUserID", "user1 example <u1@x>")), 1u);
  EXPECT_EQ(Candidates(Eq("kryUserID", "nobody")), 0u);
  EXPECT_EQ(Candidates(Present("objectclass")), 10u);  // four base entries and six
  EXPECT_EQ(Candidates(Eq("cn", "x")), kAll);          // cn is not indexed
  EXPECT_EQ(Candidates(Ge("kryUserID", "a")), kAll);
  EXPECT_EQ(Candidates(Sub("kryUserID", {{0x80, "user2"}})), 1u);
  EXPECT_EQ(Candidates(Sub("kryUserID", {{0x81, "example"}})), 5u);
  EXPECT_EQ(Candidates(Sub("kryUserID", {{0x82, "@x>"}})), 5u);
  EXPECT_EQ(Candidates(Sub("kryUserID", {{0x80, "u"}})), kAll);  // too short for a key
  EXPECT_EQ(Candidates(Sub("kryUserID", {{0x81, "zzz"}})), 0u);
  EXPECT_EQ(Candidates(And({Sub("kryUserID", {{0x81, "example"}}), Eq("kryUserID", "user3 example <u3@x>")})), 1u);
  EXPECT_EQ(Candidates(And({Eq("kryUserID", "nobody"), Present("objectclass")})), 0u);
  EXPECT_EQ(Candidates(Or({Eq("kryUserID", "user1 example <u1@x>"), Eq("kryUserID", "user2 example <u2@x>")})),
            2u);
  EXPECT_EQ(Candidates(Or({Eq("kryUserID", "nobody"), Eq("kryUserID", "user2 example <u2@x>")})), 1u);
  // Index lists are supersets, so a NOT cannot take its inner list away.
  EXPECT_EQ(Candidates(Not(Eq("kryUserID", "user1 example <u1@x>"))), kAll);
}

TEST_F(SearchTest, NotFindsAnEntryWhoseIndexedValueChanged) {
  const std::string dn = "cn=User1 Example," + std::string(kActive);
  std::vector<Modification> mods(1);
  mods[0].op = MOD_OP_REPLACE;
  mods[0].type = "kryUserID";
  mods[0].values = {"Beta Two"};
  int err = -1;
  std::string matched;
  ASSERT_EQ(modify_internal(be_, &conn_, op_.get(), dn, nullptr, mods, &err, &matched), 0);
  // The old value's index record still names the entry.
  SearchResponses r = Search(kActive, 1, Not(Eq("kryUserID", "User1 Example <u1@x>")));
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.dns.size(), 5u);
  r = Search(kActive, 1, Not(Sub("kryUserID", {{0x81, "example"}})));
  EXPECT_EQ(r.dns, std::vector<std::string>{dn});
  r = Search(kActive, 1, Not(Not(Eq("kryUserID", "User1 Example <u1@x>"))));
  EXPECT_TRUE(r.dns.empty());
}

TEST_F(SearchTest, SubstringCandidatesStopEarlyButResultsStayExact) {
  for (int i = 0; i < 200; ++i) {
    std::string name = "Bulk" + std::to_string(i) + " Common";
    ASSERT_EQ(Add("cn=" + name + "," + kActive, {{"objectclass", "person"}, {"cn", name}, {"kryUserID", name}}), 0);
  }
  // "lk17 Common": two rare trigrams narrow the candidates to a few; the
  // common ones need not be read, and the filter test decides.
  size_t n = Candidates(Sub("kryUserID", {{0x81, "lk17 Common"}}));
  EXPECT_GE(n, 1u);
  EXPECT_LT(n, 20u);
  SearchResponses r = Search(kActive, 1, Sub("kryUserID", {{0x81, "lk17 Common"}}));
  EXPECT_EQ(r.dns, std::vector<std::string>{"cn=Bulk17 Common," + std::string(kActive)});
  r = Search(kActive, 1, Sub("kryUserID", {{0x80, "Bulk1"}, {0x82, "9 Common"}}));
  EXPECT_EQ(r.dns.size(), 11u);  // Bulk19 and Bulk109, 119, ..., 199
}

TEST_F(SearchTest, IndexedSearchesReadOnlyTheEntriesTheyReturn) {
  cache_release_all(backend_cache(be_));
  SearchResponses r = Search(kActive, 2, Eq("kryUserID", "User4 Example <u4@x>"));
  ASSERT_TRUE(r.done);
  EXPECT_EQ(r.code, 0);
  ASSERT_EQ(r.dns.size(), 1u);
  EXPECT_EQ(r.dns[0], "cn=User4 Example," + std::string(kActive));
  // The entry returned, and the search base (kept for the next search).
  EXPECT_EQ(cache_size(backend_cache(be_)), 2);
}

TEST_F(SearchTest, ScopesSelectBaseChildrenOrSubtree) {
  SearchResponses r = Search(kActive, 0, Present("objectclass"));
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.dns, std::vector<std::string>{kActive});
  r = Search(kActive, 1, Present("objectclass"));
  EXPECT_EQ(r.dns.size(), 5u);
  r = Search(kRoot, 1, Present("objectclass"));
  EXPECT_EQ(r.dns.size(), 2u);
  r = Search(kRoot, 2, Present("objectclass"));
  EXPECT_EQ(r.dns.size(), 9u);
  r = Search(kPending, 2, Present("cn"));
  EXPECT_EQ(r.dns.size(), 1u);
  // A sibling whose name ends like the base is not under it.
  ASSERT_EQ(Add("XOU=PENDING,O=KRY KEYSPACE,C=US", {{"objectclass", "organizationalunit"}, {"cn", "x"}}), 0);
  r = Search(kPending, 2, Present("cn"));
  EXPECT_EQ(r.dns.size(), 1u);
  r = Search("", 2, Eq("cn", "pending one"));
  EXPECT_EQ(r.dns.size(), 1u);
  // The base must pass the filter too.
  r = Search(kActive, 0, Present("kryUserID"));
  EXPECT_TRUE(r.dns.empty());
  EXPECT_EQ(r.code, 0);
  r = Search("cn=Missing," + std::string(kActive), 0, Present("objectclass"));
  EXPECT_EQ(r.code, 32);
  r = Search("cn=Missing," + std::string(kActive), 2, Present("objectclass"));
  EXPECT_EQ(r.code, 32);
}

TEST_F(SearchTest, SizeLimitsStopWithResult4AndItsText) {
  g_globals->SizeLimit = 3;
  SearchResponses r = Search(kActive, 1, Present("cn"));
  EXPECT_EQ(r.dns.size(), 3u);
  EXPECT_EQ(r.code, 4);
  EXPECT_EQ(r.text, "The number of certificates returned by this search exceeds the maximum set for this server.");
  r = Search(kActive, 1, Present("cn"), {}, 2);  // a smaller client limit applies
  EXPECT_EQ(r.dns.size(), 2u);
  EXPECT_EQ(r.code, 4);
  r = Search(kActive, 1, Present("cn"), {}, 10);  // a larger one does not
  EXPECT_EQ(r.dns.size(), 3u);
  g_globals->SizeLimit = 0;  // no limit at all
  r = Search(kActive, 1, Present("cn"), {}, 2);
  EXPECT_EQ(r.dns.size(), 5u);
  EXPECT_EQ(r.code, 0);
  g_globals->SizeLimit = 5;  // exactly as many as match
  r = Search(kActive, 1, Present("cn"));
  EXPECT_EQ(r.dns.size(), 5u);
  EXPECT_EQ(r.code, 0);
}

TEST_F(SearchTest, TimeLimitAndAbandon) {
  g_globals->TimeLimit = 1;
  NewOp(0x63, SearchOp(kActive, 1, Present("cn")));
  op_->o_time = time(nullptr) - 5;
  do_search(&conn_, op_.get());
  SearchResponses r = ParseResponses(ReadAll());
  EXPECT_TRUE(r.dns.empty());
  EXPECT_EQ(r.code, 3);

  NewOp(0x63, SearchOp(kActive, 1, Present("cn")));
  op_->o_time = time(nullptr);
  op_->o_abandon = true;
  do_search(&conn_, op_.get());
  r = ParseResponses(ReadAll());
  EXPECT_FALSE(r.done);
  EXPECT_TRUE(r.dns.empty());
}

TEST_F(SearchTest, ReferralEntriesAreCollectedNotSent) {
  ASSERT_EQ(Add("ref=elsewhere," + std::string(kActive),
                {{"objectclass", "referral"}, {"ref", "ldap://other.example/"}, {"ref", "ldap://third.example/"}}),
            0);
  SearchResponses r = Search(kActive, 2, Present("objectclass"));
  EXPECT_EQ(r.dns.size(), 6u);
  EXPECT_EQ(r.code, 9);
  EXPECT_EQ(r.text, "Referral:\nldap://other.example/\nldap://third.example/");
  // One level does not collect them.
  r = Search(kActive, 1, Eq("objectclass", "referral"));
  EXPECT_EQ(r.dns.size(), 1u);
  EXPECT_EQ(r.code, 0);
}

TEST_F(SearchTest, RequestedAttributesAndWordMode) {
  SearchResponses r = Search(kActive, 1, Eq("kryUserID", "User0 Example <u0@x>"), {"CN"});
  ASSERT_EQ(r.attrs.size(), 1u);
  ASSERT_EQ(r.attrs[0].size(), 1u);
  EXPECT_EQ(r.attrs[0][0].first, "cn");
  // Word keys are only written once word mode is on, so entries added after
  // the switch are found by word.
  const char* argv[] = {"description", "word"};
  ASSERT_EQ(index_configure(be_, "test.cfg", 1, 2, argv, 0), 0);
  EXPECT_TRUE(index_word_mode());
  ASSERT_EQ(Add("cn=Worded," + std::string(kActive),
                {{"objectclass", "person"}, {"cn", "Worded"}, {"description", "John Smith"}}),
            0);
  EXPECT_EQ(Candidates(Sub("description", {{0x80, "john"}})), 1u);
  EXPECT_EQ(Candidates(Sub("description", {{0x82, "smith"}})), 1u);
  EXPECT_EQ(Candidates(Sub("description", {{0x82, "john"}})), 0u);
  r = Search(kActive, 1, Sub("description", {{0x80, "john"}, {0x82, "smith"}}));
  EXPECT_EQ(r.dns.size(), 1u);
}

TEST_F(SearchTest, ApproximateCandidatesComeFromThePhoneticKeys) {
  const char* argv[] = {"sn", "approx"};
  ASSERT_EQ(index_configure(be_, "test.cfg", 1, 2, argv, 0), 0);
  ASSERT_EQ(Add("cn=JS," + std::string(kActive), {{"objectclass", "person"}, {"cn", "JS"}, {"sn", "John Smith"}}), 0);
  ASSERT_EQ(Add("cn=MM," + std::string(kActive), {{"objectclass", "person"}, {"cn", "MM"}, {"sn", "Mary Major"}}), 0);
  // One key per word: every word of the assertion narrows the candidates.
  EXPECT_EQ(Candidates(Approx("sn", "Jon Smyth")), 1u);
  EXPECT_EQ(Candidates(Approx("sn", "Smyth")), 1u);
  EXPECT_EQ(Candidates(Approx("sn", "Mary")), 1u);
  EXPECT_EQ(Candidates(Approx("sn", "Zebra")), 0u);
  EXPECT_EQ(Candidates(Approx("cn", "JS")), kAll);  // cn has no approximate index
  SearchResponses r = Search(kActive, 1, Approx("sn", "Jon Smyth"));
  ASSERT_EQ(r.dns.size(), 1u);
  EXPECT_EQ(r.code, 0);
}

TEST_F(SearchTest, FilterTestsAskForSearchAccess) {
  Entry e;
  e.dn = "cn=x";
  attr_merge(&e, "cn", "x");
  Filter present;
  present.choice = LDAP_FILTER_PRESENT;
  present.type = "cn";
  EXPECT_EQ(test_filter(be_, &conn_, op_.get(), &e, &present), 0);
  g_globals->DefaultAccess = ACL_COMPARE;
  EXPECT_EQ(test_filter(be_, &conn_, op_.get(), &e, &present), -2);
  EXPECT_EQ(test_filter(nullptr, &conn_, op_.get(), &e, &present), 0);  // no backend: no check
}

TEST_F(SearchTest, MalformedRequestsGetTheirResults) {
  SearchResponses r = Search(kActive, 3, Present("cn"));
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.text, "Unknown search scope");
  r = Search(kActive, -1, Present("cn"));
  EXPECT_EQ(r.code, 2);
  r = Search(kActive, 2, Ava(0xA9, "cn", "x"));
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.text, "Bad search filter");
  r = Search(kActive, 2, Sub("cn", {{0x80, ""}}));
  EXPECT_EQ(r.code, 21);
  EXPECT_EQ(r.text, "Bad search filter");
  // A request cut short anywhere gets result 2 and nothing else.
  std::string whole = SearchOp(kActive, 2, And({Eq("cn", "a"), Present("sn")}), {"cn"});
  // (A cut inside the attribute list reads as "all attributes".)
  const size_t attrStart = SearchOp(kActive, 2, And({Eq("cn", "a"), Present("sn")})).size() - 2;
  for (size_t n = 0; n < attrStart; ++n) {
    NewOp(0x63, whole.substr(0, n));
    op_->o_time = time(nullptr);
    do_search(&conn_, op_.get());
    SearchResponses cut = ParseResponses(ReadAll());
    EXPECT_TRUE(cut.dns.empty()) << n;
    EXPECT_EQ(cut.code, 2) << n;
  }
}

TEST_F(SearchTest, ServerMadeEntriesIgnoreFilterAndAttributes) {
  SearchResponses r = Search("cn=KRYSERVERINFO", 0, Eq("objectclass", "nothing"), {"version"});
  ASSERT_EQ(r.dns, std::vector<std::string>{"CN=KRYSERVERINFO"});
  EXPECT_EQ(r.code, 0);
  ASSERT_EQ(r.attrs[0].size(), 4u);
  EXPECT_EQ(r.attrs[0][0], (std::pair<std::string, std::vector<std::string>>{"version", {"2.5.1"}}));
  EXPECT_EQ(r.attrs[0][2].first, "basekeyspacedn");
  EXPECT_EQ(r.attrs[0][3].second, std::vector<std::string>{"OU=PENDING,O=KRY KEYSPACE,C=US"});
  r = Search("cn=Monitor", 0, Eq("objectclass", "nothing"));
  ASSERT_EQ(r.dns, std::vector<std::string>{"cn=monitor"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.attrs[0][0].second, std::vector<std::string>{"KRY Certificate Server (NT) 2.5.1"});
  EXPECT_EQ(r.attrs[0].back().first, "nbackends");
  EXPECT_EQ(r.attrs[0].back().second, std::vector<std::string>{"1"});
  // Other scopes go to the backend, which has no such entry.
  r = Search("cn=monitor", 1, Present("objectclass"));
  EXPECT_EQ(r.code, 32);
  // Under the default access the entry is refused.
  g_globals->DefaultAccess = ACL_COMPARE;
  r = Search("CN=KRYSERVERINFO", 0, Present("objectclass"));
  EXPECT_TRUE(r.dns.empty());
  EXPECT_EQ(r.code, 50);
}

}  // namespace
}  // namespace test
}  // namespace kry
