// Keys by digest against a private SKS keyserver holding the same keys: the
// digest each certificate carries is the one SKS names the key by, op=hget
// serves every key by it, and /pks/hashquery answers a batch as SKS does.
// Malformed hash queries are refused without harm.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "certadd/certadd_support.h"
#include "platform/pgp/armor.h"
#include "platform/pgp/sksdigest.h"
#include "support/corpus_ids.h"
#include "support/harness.h"

namespace krytest {
namespace {

struct Http {
  int status = 0;
  std::string body, headers;
};

// curl with `args`; the body goes through a file so binary answers survive.
Http Curl(const std::string& url, const std::string& args = std::string()) {
  TempDir tmp;
  RunResult r = RunShell("curl -s --max-time 60 -o " + ShellQuote(tmp.File("body")) + " -D " +
                         ShellQuote(tmp.File("headers")) + " -w '%{http_code}' " + args + " " + ShellQuote(url));
  return Http{std::atoi(r.output.c_str()), ReadFile(tmp.File("body")), ReadFile(tmp.File("headers"))};
}

Http HashQuery(int port, const std::string& body) {
  TempDir tmp;
  WriteFile(tmp.File("q"), body);
  return Curl("http://127.0.0.1:" + std::to_string(port) + "/pks/hashquery",
              "-H 'Content-Type: sks/hashquery' --data-binary @" + ShellQuote(tmp.File("q")));
}

void PutU32(std::string* out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out->push_back(static_cast<char>(v >> s));
}

uint32_t U32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
  return v;
}

std::string QueryBody(const std::vector<std::string>& hexDigests) {
  std::string body;
  PutU32(&body, static_cast<uint32_t>(hexDigests.size()));
  for (const std::string& hex : hexDigests) {
    krypgp::SksDigest d;
    EXPECT_TRUE(krypgp::ParseSksDigestHex(hex, &d));
    PutU32(&body, 16);
    body.append(d.begin(), d.end());
  }
  return body;
}

// The digests of the keys of a hash-query answer; a malformed answer fails.
std::multiset<std::string> AnswerDigests(const std::string& answer) {
  std::multiset<std::string> out;
  if (answer.size() < 6 || answer.compare(answer.size() - 2, 2, "\r\n") != 0) {
    ADD_FAILURE() << "answer of " << answer.size() << " bytes does not end in CRLF";
    return out;
  }
  size_t at = 4;
  for (uint32_t n = U32(answer, 0); n > 0; --n) {
    if (at + 4 > answer.size() - 2 || at + 4 + U32(answer, at) > answer.size() - 2) {
      ADD_FAILURE() << "answer cut short";
      return out;
    }
    const uint32_t len = U32(answer, at);
    krypgp::SksDigest d;
    EXPECT_EQ(krypgp::ComputeSksDigest(reinterpret_cast<const uint8_t*>(answer.data()) + at + 4, len, &d), 0);
    out.insert(krypgp::SksDigestHex(d));
    at += 4 + len;
  }
  EXPECT_EQ(at, answer.size() - 2) << "bytes after the last key";
  return out;
}

// The first `most` armoured blocks of a corpus file, and their binary
// concatenation.
std::vector<std::string> Blocks(const std::string& file, std::string* binary, size_t most) {
  std::vector<std::string> out;
  const std::string text = ReadFile(Corpus(file));
  std::vector<krypgp::ArmorBlock> blocks;
  EXPECT_EQ(krypgp::DearmorAll(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &blocks), 0) << file;
  size_t from = 0;
  for (const krypgp::ArmorBlock& b : blocks) {
    if (out.size() == most) break;
    out.push_back(text.substr(text.find("-----BEGIN", from), b.endOffset - text.find("-----BEGIN", from)));
    from = b.endOffset;
    binary->append(b.data.begin(), b.data.end());
  }
  return out;
}

const char* const kFiles[] = {"bulk-rsa.asc", "bulk-dsa.asc", "bulk-ed25519.asc", "rsa.asc", "dsa-elg.asc",
                              "ed25519.asc",  "multi-uid.asc", "photo-id.asc",   "revoked.asc"};
// Enough of the 1000 Ed25519 keys to cover its patterns; loading them all
// would only slow the test.
constexpr size_t kKeysPerFile = 300;

class SksDigests : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (CorpusDir().empty() || RunShell("command -v sks").exitCode != 0) return;
    dump_ = new TempDir;
    sksDir_ = new TempDir;
    std::string ldif;
    for (const char* f : kFiles) {
      std::string binary;
      std::vector<std::string> blocks = Blocks(f, &binary, kKeysPerFile);
      for (const std::string& b : blocks)
        ldif += "dn: kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US\nkryKey:< file://" +
                WriteKey(b, ++keys_) + "\n\n";
      WriteFile(dump_->File(std::string(f) + ".pgp"), binary);
    }
    sksPort_ = FreePort();
    const std::string script = std::string(std::getenv("KRY_SOURCE_DIR")) + "/tests/support/sks/run-sks.sh";
    RunResult r = RunShell("NORECON=1 " + ShellQuote(script) + " " + ShellQuote(sksDir_->path() + "/sks") + " " +
                           std::to_string(sksPort_) + " " + std::to_string(FreePort()) + " " +
                           ShellQuote(dump_->path()) + " 2>&1");
    if (r.exitCode != 0) {
      setupError_ = new std::string("sks did not start: " + r.output);
      return;
    }
    hkpPort_ = FreePort();
    server_ = new KeyServer("HKPPort " + std::to_string(hkpPort_) + "\nAcceptModernKeys yes\nSizeLimit 5000\n");
    if (server_->ok()) RunLdapTool(server_->tree().port, "ldapadd", {"-c"}, ldif, dump_->File("keys.ldif"));
  }
  static void TearDownTestSuite() {
    if (sksDir_) {
      const std::string pid = ReadFile(sksDir_->path() + "/sks/db.pid");
      if (std::atoi(pid.c_str()) > 0) kill(std::atoi(pid.c_str()), SIGTERM);
    }
    delete server_;
    delete sksDir_;
    delete dump_;
    delete setupError_;
    server_ = nullptr;
  }
  static std::string WriteKey(const std::string& block, int n) {
    const std::string file = dump_->File("k" + std::to_string(n) + ".asc");
    WriteFile(file, block);
    return file;
  }
  void SetUp() override {
    if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
    if (RunShell("command -v sks").exitCode != 0) GTEST_SKIP() << "sks is not installed (Debian package sks)";
    ASSERT_EQ(setupError_, nullptr) << *setupError_;
    ASSERT_TRUE(server_ && server_->ok());
  }
  // kryCertID -> kryKeyDigest of every stored certificate.
  std::map<std::string, std::string> StoredDigests() {
    std::map<std::string, std::string> out;
    for (const LdifEntry& e : server_->Search("OU=ACTIVE,O=KRY KEYSPACE,C=US", "(objectclass=kryCertificate)",
                                              {"kryKeyDigest"}))
      out[e.dn] = e.First("krykeydigest");
    return out;
  }
  std::string Url(int port, const std::string& query) {
    return "http://127.0.0.1:" + std::to_string(port) + "/pks/lookup?" + query;
  }

  static TempDir* dump_;
  static TempDir* sksDir_;
  static KeyServer* server_;
  static std::string* setupError_;
  static int keys_, sksPort_, hkpPort_;
};

TempDir* SksDigests::dump_ = nullptr;
TempDir* SksDigests::sksDir_ = nullptr;
KeyServer* SksDigests::server_ = nullptr;
std::string* SksDigests::setupError_ = nullptr;
int SksDigests::keys_ = 0;
int SksDigests::sksPort_ = 0;
int SksDigests::hkpPort_ = 0;

TEST_F(SksDigests, EveryKeyIsNamedAndServedByTheDigestSksUses) {
  const std::map<std::string, std::string> stored = StoredDigests();
  ASSERT_EQ(static_cast<int>(stored.size()), keys_);
  std::vector<std::string> all;
  for (const auto& [dn, digest] : stored) {
    ASSERT_EQ(digest.size(), 32u) << dn;
    all.push_back(digest);
  }
  // Batches of 100, as peers ask: both servers answer with every key, and
  // the keys' digests are the ones asked for.
  for (size_t from = 0; from < all.size(); from += 100) {
    const std::vector<std::string> batch(all.begin() + from, all.begin() + std::min(all.size(), from + 100));
    const std::multiset<std::string> wanted(batch.begin(), batch.end());
    const Http sks = HashQuery(sksPort_, QueryBody(batch));
    const Http ours = HashQuery(hkpPort_, QueryBody(batch));
    ASSERT_EQ(sks.status, 200);
    ASSERT_EQ(ours.status, 200);
    EXPECT_EQ(AnswerDigests(sks.body), wanted) << "SKS names these keys otherwise";
    EXPECT_EQ(AnswerDigests(ours.body), wanted);
    EXPECT_NE(ours.headers.find("Content-Type: pgp/keys"), std::string::npos) << ours.headers;
  }
  // op=hget, one connection for them all.
  TempDir tmp;
  std::string config;
  for (const std::string& d : all)
    config += "url = \"" + Url(hkpPort_, "op=hget&options=mr&search=" + d) + "\"\noutput = \"/dev/null\"\n";
  WriteFile(tmp.File("urls"), config);
  RunResult r = RunShell("curl -s -w '%{http_code}\\n' -K " + ShellQuote(tmp.File("urls")));
  EXPECT_EQ(r.output, [&] {
    std::string ok;
    for (size_t i = 0; i < all.size(); ++i) ok += "200\n";
    return ok;
  }());

  // hash=on pages show it as SKS does.
  const std::string id = corpus::KeyId("multi-uid");
  std::string hex;
  for (const auto& [dn, digest] : stored)
    if (dn.find(id) != std::string::npos) hex = digest;
  ASSERT_EQ(hex.size(), 32u);
  const std::string line = "Hash=<a href=/pks/lookup?op=hget&amp;search=" + hex + ">" + hex + "</a>";
  for (const char* op : {"index", "vindex"}) {
    EXPECT_NE(Curl(Url(hkpPort_, std::string("op=") + op + "&hash=on&search=0x" + id)).body.find(line),
              std::string::npos)
        << op;
    EXPECT_NE(Curl(Url(sksPort_, std::string("op=") + op + "&hash=on&search=0x" + id)).body.find(line),
              std::string::npos)
        << "SKS " << op;
  }
  // Neither shows it in the machine-readable index, nor without hash=on.
  EXPECT_EQ(Curl(Url(hkpPort_, "op=index&hash=on&options=mr&search=0x" + id)).body.find(hex), std::string::npos);
  EXPECT_EQ(Curl(Url(hkpPort_, "op=index&search=0x" + id)).body.find("Hash="), std::string::npos);

  const Http got = Curl(Url(hkpPort_, "op=hget&options=mr&search=" + hex));
  EXPECT_EQ(got.status, 200);
  krypgp::ArmorBlock block;
  krypgp::SksDigest d{};
  ASSERT_EQ(krypgp::DearmorOne(reinterpret_cast<const uint8_t*>(got.body.data()), got.body.size(), 0, &block), 0);
  ASSERT_EQ(krypgp::ComputeSksDigest(block.data.data(), block.data.size(), &d), 0);
  EXPECT_EQ(krypgp::SksDigestHex(d), hex);
}

// A server of its own, without SKS.
class HashQueries : public ::testing::Test {
 protected:
  void SetUp() override {
    if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
    hkpPort_ = FreePort();
    const std::string trusted = "0x" + corpus::KeyId("trusted-signer");
    server_ = std::make_unique<KeyServer>("HKPPort " + std::to_string(hkpPort_) + "\nPublicKeyRing " +
                                          Corpus("server-pubring.pkr") + "\nAllow keyid " + trusted + " delete\n");
    ASSERT_TRUE(server_->ok());
    ASSERT_EQ(server_->AddFile(Corpus("rsa.asc")).exitCode, 0);
  }
  std::string Url(int port, const std::string& query) {
    return "http://127.0.0.1:" + std::to_string(port) + "/pks/lookup?" + query;
  }
  // The kryKeyDigest of corpus key `name` as stored; "" when none.
  std::string Digest(const std::string& name) {
    const std::vector<LdifEntry> found = server_->Search(
        "kryCertID=" + corpus::KeyId(name) + ",OU=ACTIVE,O=KRY KEYSPACE,C=US", "(objectclass=kryCertificate)",
        {"kryKeyDigest"});
    return found.size() == 1 ? found[0].First("krykeydigest") : std::string();
  }
  int HGet(const std::string& hex) { return Curl(Url(hkpPort_, "op=hget&options=mr&search=" + hex)).status; }

  std::unique_ptr<KeyServer> server_;
  int hkpPort_ = 0;
};

TEST_F(HashQueries, AMergeThatChangesTheKeyChangesItsDigestAndADeleteRemovesIt) {
  const std::string before = Digest("rsa");
  ASSERT_EQ(before.size(), 32u);
  EXPECT_EQ(HGet(before), 200);
  const std::string certified = CertifiedByTrusted("rsa", "rsa.asc");
  ASSERT_FALSE(certified.empty());
  ASSERT_EQ(server_->AddBlock(certified).exitCode, 0);
  const std::string after = Digest("rsa");
  ASSERT_EQ(after.size(), 32u);
  EXPECT_NE(after, before);
  EXPECT_EQ(HGet(before), 404);
  EXPECT_EQ(HGet(after), 200);
  EXPECT_EQ(HashQuery(hkpPort_, QueryBody({before, after})).body.substr(0, 4), std::string("\0\0\0\1", 4));

  const RunResult r = server_->AddLdif("dn: kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US\nkryRequest:< file://" +
                                       Corpus("delete-rsa-by-trusted.req") + "\n");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(HGet(after), 404);
}

TEST_F(HashQueries, MalformedRequestsAreRefused) {
  EXPECT_EQ(Curl(Url(hkpPort_, "op=hget&search=0123")).status, 400);
  EXPECT_EQ(Curl(Url(hkpPort_, "op=hget&search=0x0123456789ABCDEF0123456789ABCDEF")).status, 400);
  EXPECT_EQ(Curl(Url(hkpPort_, "op=hget&search=0123456789abcdef0123456789abcdeg")).status, 400);
  EXPECT_EQ(Curl(Url(hkpPort_, "op=hget&search=0123456789abcdef0123456789abcdef")).status, 404);

  const std::string one = QueryBody({std::string(32, '0')});
  std::string lying = one;
  lying[3] = 2;  // claims two digests
  std::string shortLength = one;
  shortLength[7] = 15;
  std::string tooMany;
  PutU32(&tooMany, 1001);
  for (int i = 0; i < 1001; ++i) tooMany += one.substr(4);
  for (const std::string& bad : {std::string(), std::string("\0\0", 2), lying, shortLength, one + "x"})
    EXPECT_EQ(HashQuery(hkpPort_, bad).status, 400) << bad.size();
  EXPECT_EQ(HashQuery(hkpPort_, tooMany).status, 413);
  std::string countOnly;
  PutU32(&countOnly, 0x7fffffff);
  EXPECT_EQ(HashQuery(hkpPort_, countOnly).status, 400);
  EXPECT_EQ(Curl("http://127.0.0.1:" + std::to_string(hkpPort_) + "/pks/hashquery").status, 405);

  // Nothing held: an empty answer. And the server is still serving.
  const Http none = HashQuery(hkpPort_, one);
  EXPECT_EQ(none.status, 200);
  EXPECT_EQ(none.body, std::string("\0\0\0\0\r\n", 6));
  EXPECT_EQ(Curl(Url(hkpPort_, "op=index&search=0x" + corpus::KeyId("rsa"))).status, 200);
}

}  // namespace
}  // namespace krytest
