// The Web Key Directory on the real server's HKP port: URLs computed by
// GnuPG's gpg-wks-client, fetched with curl in both layouts, the answers
// imported with gpg.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "certadd/certadd_support.h"
#include "support/corpus_ids.h"
#include "support/harness.h"

namespace krytest {
namespace {

struct Http {
  int status = 0;
  std::string body, headers;
};

Http Curl(int port, const std::string& path, const std::string& args = std::string()) {
  TempDir tmp;
  const std::string body = tmp.File("body"), headers = tmp.File("headers");
  RunResult r = RunShell("curl -s --max-time 20 -o " + ShellQuote(body) + " -D " + ShellQuote(headers) +
                         " -w '%{http_code}' " + args + " " + ShellQuote("http://127.0.0.1:" + std::to_string(port) + path));
  return Http{std::atoi(r.output.c_str()), ReadFile(body), ReadFile(headers)};
}

std::string WksClient() {
  return access("/usr/lib/gnupg/gpg-wks-client", X_OK) == 0 ? "/usr/lib/gnupg/gpg-wks-client" : "gpg-wks-client";
}

// gpg-wks-client's advanced URL for `address`, without scheme and host.
std::string AdvancedPath(const std::string& address) {
  RunResult r = RunShell(WksClient() + " --print-wkd-url " + ShellQuote(address) + " 2>&1");
  const size_t at = r.output.find("/.well-known/");
  if (r.exitCode != 0 || at == std::string::npos) return std::string();
  return r.output.substr(at, r.output.find('\n', at) - at);
}

// The direct path: the hash from --print-wkd-hash, the local part as typed.
std::string DirectPath(const std::string& address) {
  RunResult r = RunShell(WksClient() + " --print-wkd-hash " + ShellQuote(address) + " 2>&1");
  if (r.exitCode != 0 || r.output.size() < 32) return std::string();
  return "/.well-known/openpgpkey/hu/" + r.output.substr(0, 32) + "?l=" + address.substr(0, address.find('@'));
}

class Wkd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (CorpusDir().empty()) return;
    port_ = FreePort();
    server_ = new KeyServer("PublicKeyRing " + Corpus("server-pubring.pkr") + "\nHKPPort " + std::to_string(port_) +
                            "\nWKDDomain example.com\nWKDDomain Example.ORG\nAccessLogFile ../log/access.log\n"
                            "AccessLogDetails all\nAcceptModernKeys yes\nAllow keyid 0x" + corpus::KeyId("trusted-signer") + " delete\n");
    if (!server_->ok()) return;
    for (const char* key : {"multi-uid", "photo-id", "revoked", "dsa-elg"})
      EXPECT_EQ(server_->AddFile(Corpus(std::string(key) + ".asc")).exitCode, 0) << key;
    EXPECT_EQ(server_->AddFile(std::string(std::getenv("KRY_SOURCE_DIR")) + "/tests/data/v6/v6-sample-uid.asc")
                  .exitCode,
              0);
    RunResult r = server_->AddLdif("dn: kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US\nkryRequest:< file://" +
                                   Corpus("disable-dsa-by-trusted.req") + "\n");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    for (int i = 0; i < 100 && Curl(port_, "/").status == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
    ASSERT_TRUE(server_ && server_->ok()) << (server_ ? server_->tree().Output() : "");
  }

  // The uid lines GnuPG lists after importing `body`.
  static std::vector<std::string> ImportedUserIDs(const std::string& body, const std::string& fingerprint,
                                                  std::vector<std::string>* attributes = nullptr) {
    Gpg gpg;
    EXPECT_TRUE(gpg.Import(body));
    std::vector<std::string> uids;
    for (const std::string& line : gpg.Listing(fingerprint)) {
      if (line.rfind("uid:", 0) == 0) uids.push_back(Columns(line)[9]);
      if (line.rfind("uat:", 0) == 0 && attributes) attributes->push_back(line);
    }
    return uids;
  }

  static int port_;
  static KeyServer* server_;
};
int Wkd::port_ = 0;
KeyServer* Wkd::server_ = nullptr;

TEST_F(Wkd, EachAddressOfAKeyGetsItsOwnUserIDOnly) {
  const std::string fpr = corpus::Fingerprint("multi-uid");
  // Advanced layout, as gpg-wks-client prints it (lower-cased address).
  const std::string advanced = AdvancedPath("erin-c@example.org");
  ASSERT_FALSE(advanced.empty());
  Http h = Curl(port_, advanced);
  ASSERT_EQ(h.status, 200) << h.body;
  EXPECT_NE(h.headers.find("Content-Type: application/octet-stream"), std::string::npos) << h.headers;
  EXPECT_EQ(ImportedUserIDs(h.body, fpr), std::vector<std::string>{"Erin Multi <erin-c@example.org>"});

  // Direct layout: the domain comes from the Host header, and the local
  // part and the domain may be written in any case.
  const std::string direct = DirectPath("Erin-Work-C@example.com");
  ASSERT_FALSE(direct.empty());
  h = Curl(port_, direct, "-H 'Host: EXAMPLE.com:443'");
  ASSERT_EQ(h.status, 200) << h.body;
  EXPECT_EQ(ImportedUserIDs(h.body, fpr), std::vector<std::string>{"Erin Multi (work) <erin-work-c@example.com>"});

  // HEAD: the headers of the GET, no body (curl writes the headers of a
  // HEAD where the body would go).
  h = Curl(port_, advanced, "-I");
  EXPECT_EQ(h.status, 200);
  EXPECT_EQ(h.body, h.headers);
  EXPECT_NE(h.headers.find("Content-Type: application/octet-stream"), std::string::npos) << h.headers;
}

TEST_F(Wkd, PhotoIDsAreLeftOut) {
  std::vector<std::string> attributes;
  Http h = Curl(port_, AdvancedPath("photo-c@example.org"));
  ASSERT_EQ(h.status, 200);
  EXPECT_EQ(ImportedUserIDs(h.body, corpus::Fingerprint("photo-id"), &attributes).size(), 1u);
  EXPECT_TRUE(attributes.empty());
}

TEST_F(Wkd, UnknownRevokedAndDisabledAddressesAreNotFound) {
  // Revoked and disabled keys are stored, but not served; nor are version 6
  // keys, which GnuPG 2.2 cannot read.
  EXPECT_EQ(Curl(port_, AdvancedPath("v6-sample@example.org")).status, 404);
  ASSERT_EQ(Curl(port_, "/pks/lookup?op=index&options=mr&search=revoked-c@example.org").status, 200);
  EXPECT_EQ(Curl(port_, AdvancedPath("revoked-c@example.org")).status, 404);
  EXPECT_EQ(Curl(port_, AdvancedPath("bob-c@example.org")).status, 404);
  // A domain that is not configured, in either layout.
  EXPECT_EQ(Curl(port_, AdvancedPath("erin.smith-c@example.net")).status, 404);
  EXPECT_EQ(Curl(port_, DirectPath("erin-c@example.org"), "-H 'Host: example.net'").status, 404);
  // An address that only contains a stored one, and an "l" that does not
  // hash to the path's hash.
  EXPECT_EQ(Curl(port_, AdvancedPath("rin-c@example.org")).status, 404);
  std::string path = AdvancedPath("erin-c@example.org");
  EXPECT_EQ(Curl(port_, path.substr(0, path.find("?l=")) + "?l=erin-d").status, 404);
  // Without "l" the hash alone finds the key.
  EXPECT_EQ(Curl(port_, path.substr(0, path.find("?l="))).status, 200);
  EXPECT_EQ(Curl(port_, path, "-X POST").status, 405);
}

TEST_F(Wkd, PolicyFileInBothLayoutsAndEveryRequestLogged) {
  auto hkpLines = [] {
    const std::string log = ReadFile(server_->tree().log + "/access.log");
    size_t n = 0;
    for (size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1)
      n += log.compare(end - 4, 4, " HKP") == 0;
    return n;
  };
  const size_t before = hkpLines();
  Http h = Curl(port_, "/.well-known/openpgpkey/example.org/policy");
  EXPECT_EQ(h.status, 200);
  EXPECT_NE(h.headers.find("Content-Type: text/plain"), std::string::npos) << h.headers;
  EXPECT_EQ(h.body.rfind("#", 0), 0u) << h.body;
  EXPECT_EQ(Curl(port_, "/.well-known/openpgpkey/policy", "-H 'Host: example.com'").body, h.body);
  EXPECT_EQ(Curl(port_, "/.well-known/openpgpkey/policy", "-H 'Host: example.net'").status, 404);
  EXPECT_EQ(Curl(port_, AdvancedPath("erin-c@example.org")).status, 200);
  EXPECT_EQ(hkpLines(), before + 4);
}

}  // namespace
}  // namespace krytest
