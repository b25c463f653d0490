// The HKP request arguments, the form body, the search built for a query
// and the machine-readable index, without a server.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>

#include "hkp/fingerprints.h"
#include "hkp/format.h"
#include "hkp/idle_spin.h"
#include "hkp/lookup.h"
#include "hkp/query.h"
#include "hkp/status.h"
#include "hkp/submit.h"
#include "hkp/wkdname.h"
#include "ldap/ber.h"
#include "ldap/filter.h"
#include "runtime/globals.h"
#include "tests/support/corpus_files.h"

namespace kry {
namespace {

// Parses a lookup from name/value pairs.
bool Parse(const std::map<std::string, std::string>& args, HkpQuery* q, std::string* error = nullptr) {
  std::string ignored;
  return ParseHkpLookup(
      [&](const char* name) -> const char* {
        auto it = args.find(name);
        return it == args.end() ? nullptr : it->second.c_str();
      },
      q, error ? error : &ignored);
}

TEST(HkpLookupArguments, SearchKinds) {
  HkpQuery q;
  ASSERT_TRUE(Parse({{"op", "get"}, {"search", "0x83984697"}}, &q));
  EXPECT_EQ(q.kind, HkpSearchKind::kShortKeyID);
  EXPECT_EQ(q.search, "83984697");
  ASSERT_TRUE(Parse({{"op", "GET"}, {"search", "0X9b17f4ff83984697"}}, &q));
  EXPECT_EQ(q.kind, HkpSearchKind::kLongKeyID);
  EXPECT_EQ(q.search, "9B17F4FF83984697");
  const std::string fpr = "D8FFF68421F9F5D298BA67BE9B17F4FF83984697";
  ASSERT_TRUE(Parse({{"op", "index"}, {"search", "0x" + fpr}}, &q));
  EXPECT_EQ(q.kind, HkpSearchKind::kFingerprint);
  EXPECT_EQ(q.op, HkpOp::kIndex);
  ASSERT_TRUE(Parse({{"op", "vindex"}, {"search", fpr}}, &q));
  EXPECT_EQ(q.kind, HkpSearchKind::kFingerprint);
  EXPECT_EQ(q.op, HkpOp::kVIndex);
  // Bare short hex is a text search: it may be part of a name.
  ASSERT_TRUE(Parse({{"op", "index"}, {"search", "deadbeef"}, {"options", "nm,mr"}, {"exact", "on"}}, &q));
  EXPECT_EQ(q.kind, HkpSearchKind::kText);
  EXPECT_EQ(q.search, "deadbeef");
  EXPECT_TRUE(q.machineReadable);
  EXPECT_TRUE(q.exact);
  ASSERT_TRUE(Parse({{"op", "index"}, {"search", "alice@example.org"}, {"options", "nm"}, {"exact", "off"}}, &q));
  EXPECT_FALSE(q.machineReadable);
  EXPECT_FALSE(q.exact);
}

TEST(HkpLookupArguments, MalformedRequestsAreRefused) {
  HkpQuery q;
  std::string error;
  EXPECT_FALSE(Parse({{"search", "0x83984697"}}, &q, &error));
  EXPECT_NE(error.find("op"), std::string::npos);
  EXPECT_FALSE(Parse({{"op", "stats"}, {"search", "x"}}, &q));
  EXPECT_FALSE(Parse({{"op", "get"}}, &q));
  EXPECT_FALSE(Parse({{"op", "get"}, {"search", ""}}, &q));
  EXPECT_FALSE(Parse({{"op", "get"}, {"search", "0x8398469G"}}, &q));
  EXPECT_FALSE(Parse({{"op", "get"}, {"search", "0x"}}, &q));
  EXPECT_FALSE(Parse({{"op", "get"}, {"search", "0x123456789"}}, &q));   // 9 digits
  EXPECT_FALSE(Parse({{"op", "get"}, {"search", "0x" + std::string(32, 'A')}}, &q));  // v3 fingerprint
  EXPECT_FALSE(Parse({{"op", "get"}, {"search", std::string(kMaxHkpSearchText + 1, 'a')}}, &q));
  EXPECT_TRUE(Parse({{"op", "get"}, {"search", std::string(kMaxHkpSearchText, 'a')}}, &q));
  EXPECT_FALSE(Parse({{"op", "index"}, {"search", "a\r\nb"}}, &q));
}

TEST(HkpForm, FieldsAreDecoded) {
  std::string v;
  ASSERT_TRUE(FormField("a=1&keytext=-----BEGIN+PGP%0AmQ%2B%2F%3D%3D&b=", "keytext", &v));
  EXPECT_EQ(v, "-----BEGIN PGP\nmQ+/==");
  ASSERT_TRUE(FormField("keytext=", "keytext", &v));
  EXPECT_EQ(v, "");
  ASSERT_TRUE(FormField("x=1&b", "b", &v));
  EXPECT_EQ(v, "");
  EXPECT_FALSE(FormField("key=1&text=2", "keytext", &v));
  EXPECT_FALSE(FormField("", "keytext", &v));
  // Truncated or non-hex escapes are malformed, never read past the end.
  EXPECT_FALSE(FormField("keytext=abc%4", "keytext", &v));
  EXPECT_FALSE(FormField("keytext=abc%", "keytext", &v));
  EXPECT_FALSE(FormField("keytext=%zz", "keytext", &v));
  ASSERT_TRUE(FormDecode("%00%ff", &v));
  EXPECT_EQ(v, std::string("\0\xff", 2));
}

// The filter text of the search built for a query.
std::string FilterOf(const HkpQuery& q) {
  const std::string op = HkpSearchRequest(q);
  BerBufferPtr ber = ber_init(op.data(), op.size());
  std::string base;
  int scope = 0, deref = 0, size = 0, time = 0, attrsonly = 0;
  EXPECT_NE(ber_scanf(ber.get(), "{aiiiib", &base, &scope, &deref, &size, &time, &attrsonly), -1);
  EXPECT_EQ(base, "OU=ACTIVE,O=KRY KEYSPACE,C=US");
  EXPECT_EQ(scope, 2);
  FilterPtr f;
  std::string text;
  EXPECT_EQ(get_filter(nullptr, ber.get(), &f, &text), 0);
  std::vector<std::string> attrs;
  EXPECT_NE(ber_scanf(ber.get(), "{v}}", &attrs), -1);
  EXPECT_FALSE(attrs.empty());
  return text;
}

TEST(HkpSearch, QueriesBecomeActiveSubtreeSearchesWithoutDisabledKeys) {
  HkpQuery q;
  q.kind = HkpSearchKind::kShortKeyID;
  q.search = "83984697";
  EXPECT_EQ(FilterOf(q), "(&(krykeyid=83984697)(!(krydisabled=1)))");
  q.kind = HkpSearchKind::kFingerprint;
  q.search = "D8FFF68421F9F5D298BA67BE9B17F4FF83984697";
  EXPECT_EQ(FilterOf(q), "(&(|(krycertid=9B17F4FF83984697)(krysubkeyid=9B17F4FF83984697))(!(krydisabled=1)))");
  // A v6 key ID is the first 16 digits of its fingerprint.
  q.search = "CB186C4F0609A697E4D52DFA6C722B0C1F1E27C18A56708F6525EC27BAD9ACC9";
  EXPECT_EQ(FilterOf(q), "(&(|(krycertid=CB186C4F0609A697)(krysubkeyid=CB186C4F0609A697))(!(krydisabled=1)))");
  q.kind = HkpSearchKind::kText;
  q.search = "Alice";
  EXPECT_EQ(FilterOf(q), "(&(kryuserid=*ALICE*)(!(krydisabled=1)))");
  q.exact = true;
  EXPECT_EQ(FilterOf(q), "(&(kryuserid=ALICE)(!(krydisabled=1)))");
}

TEST(HkpIndex, MachineReadableLines) {
  HkpKey k;
  k.certID = "9B17F4FF83984697";
  k.algorithm = 1;
  k.bits = 2048;
  k.created = 1577836800;  // 2020-01-01
  k.expires = 1609459200;  // 2021-01-01
  k.revoked = true;
  k.userIDs.push_back({"Smith: John <j%s@example.org>\x01", {}});
  HkpKey plain;
  plain.certID = "0123456789ABCDEF";
  plain.userIDs.push_back({"Plain", {}});
  const std::string out = HkpMachineIndex({k, plain}, 1700000000);
  EXPECT_EQ(out,
            "info:1:2\n"
            "pub:9B17F4FF83984697:1:2048:1577836800:1609459200:re\n"
            "uid:Smith%3A John <j%25s@example.org>%01:1577836800:1609459200:re\n"
            "pub:0123456789ABCDEF:::::\n"
            "uid:Plain:::\n");
  // Not yet expired: no 'e'.
  EXPECT_NE(HkpMachineIndex({k}, 1600000000).find(":r\n"), std::string::npos);
}

// A fingerprint is served for an entry only under the key digest it was
// read with: a merge rewrites the digest, and the old answer is then gone.
TEST(HkpIndex, FingerprintCacheAnswersOnlyForTheSameDigestAndStaysBounded) {
  FingerprintCache cache(32);
  std::string fpr;
  cache.Put(7, "D1", "F1");
  ASSERT_TRUE(cache.Find(7, "D1", &fpr));
  EXPECT_EQ(fpr, "F1");
  EXPECT_FALSE(cache.Find(7, "D2", &fpr));
  EXPECT_FALSE(cache.Find(8, "D1", &fpr));
  cache.Put(7, "D2", "F2");
  EXPECT_FALSE(cache.Find(7, "D1", &fpr));
  ASSERT_TRUE(cache.Find(7, "D2", &fpr));
  EXPECT_EQ(fpr, "F2");
  for (EntryID id = 100; id < 1100; ++id) cache.Put(id, "D", "F" + std::to_string(id));
  EXPECT_LE(cache.Size(), 32u);
  ASSERT_TRUE(cache.Find(1099, "D", &fpr));
  EXPECT_EQ(fpr, "F1099");
}

TEST(HkpIndex, AttributeValues) {
  EXPECT_EQ(HkpParseGeneralizedTime("19700101000000Z"), 0);
  EXPECT_EQ(HkpParseGeneralizedTime("20200101000000Z"), 1577836800);
  EXPECT_EQ(HkpParseGeneralizedTime("2020010100000Z"), 0);
  EXPECT_EQ(HkpParseGeneralizedTime("20201301000000Z"), 0);
  EXPECT_EQ(HkpParseGeneralizedTime("2020010100000xZ"), 0);
  EXPECT_EQ(HkpAlgorithmNumber("DSS/DH"), 17);
  EXPECT_EQ(HkpAlgorithmNumber("rsa"), 1);
  EXPECT_EQ(HkpAlgorithmNumber("EdDSA"), 22);
  EXPECT_EQ(HkpAlgorithmNumber("other"), 0);
  EXPECT_EQ(HtmlEscape("<a href=\"x\">&</a>"), "&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt;");
}

TEST(WkdNames, PathsAndAddresses) {
  const std::vector<std::string> domains = {"example.org"};
  const std::string hash = WkdHash("Joe.Doe");
  // The draft's example: the hash of "joe.doe".
  EXPECT_EQ(hash, "iy9q119eutrkn8s1mk4r39qejnbu3n5q");
  WkdRequest r = ParseWkdPath("/.well-known/openpgpkey/hu/" + hash, "Example.ORG.:8080", domains);
  EXPECT_EQ(r.target, WkdTarget::kKey);
  EXPECT_EQ(r.domain, "example.org");
  EXPECT_EQ(r.hash, hash);
  EXPECT_EQ(ParseWkdPath("/.well-known/openpgpkey/EXAMPLE.org/policy", "", domains).target, WkdTarget::kPolicy);
  EXPECT_EQ(ParseWkdPath("/.well-known/openpgpkey/example.net/policy", "", domains).target, WkdTarget::kNone);
  EXPECT_EQ(ParseWkdPath("/.well-known/openpgpkey/hu/" + hash, "[::1]:80", domains).target, WkdTarget::kNone);
  EXPECT_EQ(ParseWkdPath("/.well-known/openpgpkey/example.org/hu/" + hash + "x", "", domains).target,
            WkdTarget::kNone);
  EXPECT_EQ(ParseWkdPath("/.well-known/openpgpkey/example.org/hu/" + hash.substr(1) + "0", "", domains).target,
            WkdTarget::kNone);

  EXPECT_TRUE(WkdUserIDMatches("joe.doe@Example.org", "example.org", hash));
  EXPECT_TRUE(WkdUserIDMatches("Joe Doe (home) <JOE.DOE@example.org>", "example.org", hash));
  EXPECT_FALSE(WkdUserIDMatches("Joe Doe joe.doe@example.org", "example.org", hash));
  EXPECT_FALSE(WkdUserIDMatches("<joe.doe@example.org.evil>", "example.org", hash));
  EXPECT_FALSE(WkdUserIDMatches("<xjoe.doe@example.org>", "example.org", hash));
  EXPECT_FALSE(WkdUserIDMatches("<joe.doe@example.org> <other@example.org>", "example.org", hash));
}

TEST(HkpAdd, ResultCodesBecomeStatuses) {
  EXPECT_EQ(HkpAddStatus(0), 200);
  EXPECT_EQ(HkpAddStatus(68), 200);  // unchanged
  EXPECT_EQ(HkpAddStatus(49), 202);  // awaiting approval
  EXPECT_EQ(HkpAddStatus(50), 403);
  EXPECT_EQ(HkpAddStatus(8), 403);
  EXPECT_EQ(HkpAddStatus(53), 403);
  EXPECT_EQ(HkpAddStatus(90), 500);
  // Refusals of the key itself are never server errors.
  for (int code : {1, 2, 19, 21, 64, 65}) EXPECT_EQ(HkpAddStatus(code), 422) << code;
}

// Without a directory, or while stopping, the health check says 503 and
// the statistics hold no key counts rather than made-up ones.
TEST(HkpStatus, HealthIsUnavailableWithoutADirectoryOrWhileStopping) {
  Globals* saved = g_globals;
  g_globals = nullptr;
  EXPECT_EQ(HealthAnswer().status, 503);
  EXPECT_NE(StatsAnswer(true).body.find("\"keys\":{\"active\":-1,\"pending\":-1}"), std::string::npos);
  dird_shutdown = 1;
  const HkpAnswer stopping = HealthAnswer();
  dird_shutdown = 0;
  g_globals = saved;
  EXPECT_EQ(stopping.status, 503);
  EXPECT_EQ(stopping.body, "The server is stopping.\n");
}

// The wait for a sole client's next request sees a request that arrives
// while it watches, and does not watch at all beside other connections.
TEST(HkpIdleSpin, WatchesOnlyTheSoleConnection) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  std::atomic<int> open{1};
  EXPECT_FALSE(SpinForNextRequest(sv[0], open, 100));  // nothing came
  std::thread client([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(write(sv[1], "G", 1), 1);
  });
  EXPECT_TRUE(SpinForNextRequest(sv[0], open, 10 * 1000 * 1000));
  client.join();
  open = 2;  // the byte is there, but the processor is the others'
  EXPECT_FALSE(SpinForNextRequest(sv[0], open, 1000));
  open = 0;
  EXPECT_FALSE(SpinForNextRequest(sv[0], open, 1000));
  open = 1;
  EXPECT_FALSE(SpinForNextRequest(-1, open, 1000));
  close(sv[1]);  // a peer's close ends the wait too
  char byte;
  EXPECT_EQ(read(sv[0], &byte, 1), 1);
  EXPECT_TRUE(SpinForNextRequest(sv[0], open, 10 * 1000 * 1000));
  close(sv[0]);
}

// Only a connection that stays open is watched for a next request.
TEST(HkpIdleSpin, KeepAliveFollowsTheVersionAndTheConnectionHeader) {
  EXPECT_TRUE(AsksKeepAlive("HTTP/1.1", nullptr));
  EXPECT_TRUE(AsksKeepAlive("HTTP/1.1", "Keep-Alive"));
  EXPECT_FALSE(AsksKeepAlive("HTTP/1.1", "Close"));
  EXPECT_FALSE(AsksKeepAlive("HTTP/1.1", "TE, close"));
  EXPECT_FALSE(AsksKeepAlive("HTTP/1.0", nullptr));
  EXPECT_TRUE(AsksKeepAlive("HTTP/1.0", "keep-alive"));
  EXPECT_FALSE(AsksKeepAlive(nullptr, nullptr));
}

}  // namespace
}  // namespace kry

namespace kry {
namespace {

// A submission of several keys is split without a signature check: each
// block is checked by its own add, and checking here too doubled the cost
// of every /pks/add.
TEST(HkpSubmitSplit, SplitsWithoutCheckingSignaturesThatTheAddsCheck) {
  if (corpus::Dir().empty()) GTEST_SKIP() << "no corpus";
  ASSERT_EQ(KRYsdkInit(0), 0);
  KRYContextRef context = nullptr;
  ASSERT_EQ(KRYNewContext(kKRYsdkAPIVersion, &context), 0);
  const uint64_t before = KRYSignatureChecksMade();
  const std::vector<std::string> blocks = SplitKeyBlocks(context, corpus::Text("two-keys.asc"));
  EXPECT_EQ(blocks.size(), 2u);
  EXPECT_EQ(KRYSignatureChecksMade(), before);
  for (const std::string& block : blocks) {
    KRYImportOptions in{block.data(), block.size(), nullptr};
    KRYKeySetRef set = nullptr;
    const uint64_t start = KRYSignatureChecksMade();
    ASSERT_EQ(KRYImportKeySet(context, &in, &set), 0);
    EXPECT_GT(KRYSignatureChecksMade(), start);  // the add's import checks them
    KRYFreeKeySet(set);
  }
  KRYFreeContext(context);
  KRYsdkCleanup();
}

}  // namespace
}  // namespace kry
