// The HKP listener of the real server, driven by GnuPG's own keyserver
// commands (through dirmngr) and by curl and raw sockets for every status
// code and for malformed, oversized, truncated and crowded requests.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "certadd/certadd_support.h"
#include "support/harness.h"

namespace krytest {
namespace {

struct Http {
  int status = 0;  // 0: no answer
  std::string body;
  std::string contentType;
};

// curl against the HKP port; `args` are extra curl arguments, `path` starts
// with "/".
Http Curl(int port, const std::string& path, const std::string& args = std::string()) {
  TempDir tmp;
  const std::string body = tmp.File("body"), headers = tmp.File("headers");
  RunResult r = RunShell("curl -s --max-time 20 -o " + ShellQuote(body) + " -D " + ShellQuote(headers) +
                         " -w '%{http_code}' " + args + " " + ShellQuote("http://127.0.0.1:" + std::to_string(port) + path));
  Http h;
  h.status = std::atoi(r.output.c_str());
  h.body = ReadFile(body);
  const std::string head = ReadFile(headers);
  const size_t at = head.find("Content-Type: ");
  if (at != std::string::npos) h.contentType = head.substr(at + 14, head.find('\r', at) - at - 14);
  return h;
}

Http Lookup(int port, const std::string& query) { return Curl(port, "/pks/lookup?" + query); }

Http Submit(int port, const std::string& file) {
  return Curl(port, "/pks/add", "--data-urlencode keytext@" + ShellQuote(file));
}

// Everything a raw connection receives until the peer closes it (or the
// time-out passes).
std::string ReadAll(int fd, int timeoutMs) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    if (left <= 0) return out;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, left) != 1) return out;
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

// The HKP port opens just after the LDAP port the harness waits for.
bool WaitForHkp(int port) {
  for (int i = 0; i < 100; ++i) {
    Client c;
    if (c.Connect(port, 100)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// GnuPG in a private home whose dirmngr uses the server as its keyserver;
// the dirmngr it starts is ended with it.
class KeyserverGpg {
 public:
  explicit KeyserverGpg(int port) {
    WriteFile(gpg_.home() + "/dirmngr.conf", "keyserver hkp://127.0.0.1:" + std::to_string(port) + "\n");
  }
  ~KeyserverGpg() { RunShell("gpgconf --homedir " + ShellQuote(gpg_.home()) + " --kill dirmngr 2>&1"); }
  RunResult Run(const std::string& args) { return gpg_.Run(args); }
  Gpg& gpg() { return gpg_; }

 private:
  Gpg gpg_;
};

std::string Keyring() { return "PublicKeyRing " + Corpus("server-pubring.pkr") + "\n"; }

// One server for the suite: open access for 127.0.0.1, trusted-signer may
// delete and disable, request bodies capped at 64 KiB, every access-log
// category on.
class Hkp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (CorpusDir().empty()) return;
    hkpPort_ = FreePort();
    server_ = new KeyServer(Keyring() + "HKPPort " + std::to_string(hkpPort_) +
                            "\nMaxMessageSize 65536\nAccessLogFile ../log/access.log\nAccessLogDetails all\n"
                            "Allow keyid 0x" + CertIDOf("trusted-signer") + " delete\nAcceptModernKeys yes\n");
    if (server_->ok()) {
      EXPECT_TRUE(WaitForHkp(hkpPort_));
    }
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
    ASSERT_TRUE(server_ && server_->ok()) << (server_ ? server_->tree().Output() : "");
  }
  static int port() { return hkpPort_; }
  static KeyServer& server() { return *server_; }

  static KeyServer* server_;
  static int hkpPort_;
};
KeyServer* Hkp::server_ = nullptr;
int Hkp::hkpPort_ = 0;

TEST_F(Hkp, GnuPGSendsReceivesSearchesAndRefreshes) {
  const std::string fpr = FingerprintOf("rsa");
  {
    KeyserverGpg sender(port());
    ASSERT_TRUE(sender.gpg().Import(ReadFile(Corpus("rsa.asc"))));
    RunResult r = sender.Run("--send-keys " + fpr);
    ASSERT_EQ(r.exitCode, 0) << r.output;
  }
  // Stored as any LDAP add stores it.
  std::vector<LdifEntry> stored = server().Search(kActiveOU, "(kryKeyID=" + ShortIDOf("rsa") + ")", {"kryCertID"});
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].First("krycertid"), CertIDOf("rsa"));

  for (const std::string& id : {"0x" + CertIDOf("rsa"), fpr}) {
    KeyserverGpg receiver(port());
    RunResult r = receiver.Run("--recv-keys " + id);
    ASSERT_EQ(r.exitCode, 0) << id << ": " << r.output;
    r = receiver.Run("--with-colons --list-keys " + fpr);
    EXPECT_NE(r.output.find("fpr:::::::::" + fpr), std::string::npos) << r.output;
  }
  {
    KeyserverGpg searcher(port());
    RunResult r = searcher.Run("--with-colons --search-keys alice-c@example.org");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("pub:" + CertIDOf("rsa")), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("alice-c@example.org"), std::string::npos) << r.output;
  }

  // A certification that arrives through LDAP reaches the key's holders on
  // their next refresh.
  KeyserverGpg holder(port());
  ASSERT_TRUE(holder.gpg().Import(ReadFile(Corpus("signed-by-trusted.asc"))));
  RunResult r = holder.Run("--send-keys " + FingerprintOf("signed-user"));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = server().AddFile(Corpus("signed-by-both.asc"));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  // GnuPG keeps only self-signatures from keyservers unless told otherwise.
  r = holder.Run("--keyserver-options no-self-sigs-only,no-import-clean --refresh-keys " + FingerprintOf("signed-user"));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  bool secondSigner = false;
  for (const std::string& line : holder.gpg().Listing(FingerprintOf("signed-user")))
    secondSigner = secondSigner || (line.rfind("sig:", 0) == 0 && Columns(line)[4] == CertIDOf("second-signer"));
  EXPECT_TRUE(secondSigner) << "refresh did not bring the new certification: " << r.output;
}

TEST_F(Hkp, LookupAnswers) {
  ASSERT_EQ(Submit(port(), Corpus("multi-uid.asc")).status, 200);
  const std::string shortID = ShortIDOf("multi-uid");

  Http h = Lookup(port(), "op=get&options=mr&search=0x" + shortID);
  EXPECT_EQ(h.status, 200);
  EXPECT_EQ(h.contentType, "application/pgp-keys");
  // One block, although each of the three user IDs matched.
  EXPECT_EQ(h.body.find("-----BEGIN PGP PUBLIC KEY BLOCK-----"), 0u) << h.body;
  EXPECT_EQ(h.body.find("-----BEGIN", 10), std::string::npos);

  h = Lookup(port(), "op=get&search=0x" + CertIDOf("multi-uid"));
  EXPECT_EQ(h.status, 200);
  EXPECT_NE(h.contentType.find("text/html"), std::string::npos);
  EXPECT_NE(h.body.find("<pre>"), std::string::npos);

  h = Lookup(port(), "op=index&options=mr&search=0x" + FingerprintOf("multi-uid"));
  ASSERT_EQ(h.status, 200);
  EXPECT_EQ(h.body.rfind("info:1:1\npub:" + CertIDOf("multi-uid") + ":1:", 0), 0u) << h.body;
  size_t uids = 0;
  for (size_t at = h.body.find("\nuid:"); at != std::string::npos; at = h.body.find("\nuid:", at + 1)) ++uids;
  EXPECT_EQ(uids, 3u) << h.body;

  h = Lookup(port(), "op=vindex&search=0x" + shortID);
  EXPECT_EQ(h.status, 200);
  EXPECT_NE(h.body.find("sig  " + CertIDOf("multi-uid")), std::string::npos) << h.body;

  // A fingerprint whose last 16 digits name a stored key but whose other
  // digits differ names no key.
  std::string other = FingerprintOf("multi-uid");
  other[0] = other[0] == 'A' ? 'B' : 'A';
  EXPECT_EQ(Lookup(port(), "op=get&options=mr&search=0x" + other).status, 404);
  EXPECT_EQ(Lookup(port(), "op=get&options=mr&search=0x00000001").status, 404);
  EXPECT_EQ(Lookup(port(), "op=index&options=mr&search=nobody.here").status, 404);
}

// The RFC 9580 sample v6 certificate with a certified user ID: stored and
// found over LDAP by key ID and fingerprint; over HKP only a lookup by its
// full fingerprint returns it, since GnuPG 2.2 fails on any answer that
// holds a v6 key.
TEST_F(Hkp, V6KeysAreFoundOverLdapButServedOnlyByTheirFingerprint) {
  const std::string fpr = "CB186C4F0609A697E4D52DFA6C722B0C1F1E27C18A56708F6525EC27BAD9ACC9";
  const std::string certID = fpr.substr(0, 16), shortID = fpr.substr(8, 8);
  RunResult r = server().AddFile(std::string(std::getenv("KRY_SOURCE_DIR")) + "/tests/data/v6/v6-sample-uid.asc");
  ASSERT_EQ(r.exitCode, 0) << r.output << server().tree().Events();
  const std::vector<std::string> attrs = {"kryCertID", "kryKeyType", "kryKeySize", "kryKeyFingerprint"};
  for (const std::string& filter : {"(kryKeyID=" + shortID + ")", "(kryCertID=" + certID + ")",
                                    "(kryKeyFingerprint=" + fpr + ")"}) {
    std::vector<LdifEntry> found = server().Search(kActiveOU, filter, attrs);
    ASSERT_EQ(found.size(), 1u) << filter;
    EXPECT_EQ(found[0].First("krycertid"), certID);
    EXPECT_EQ(found[0].First("krykeytype"), "Ed25519");
    EXPECT_EQ(found[0].First("krykeysize"), "00255");
    EXPECT_EQ(found[0].First("krykeyfingerprint"), fpr);
  }
  ASSERT_EQ(server().KeyBlocks(shortID).size(), 1u);

  Http h = Lookup(port(), "op=get&options=mr&search=0x" + fpr);
  EXPECT_EQ(h.status, 200);
  EXPECT_EQ(h.body.find("-----BEGIN PGP PUBLIC KEY BLOCK-----"), 0u) << h.body;
  const std::vector<std::string> leftOut = {
      "op=get&options=mr&search=0x" + certID,  "op=get&options=mr&search=0x" + shortID,
      "op=get&options=mr&search=v6-sample@example.org", "op=index&options=mr&search=0x" + fpr,
      "op=index&options=mr&search=v6-sample",  "op=vindex&search=0x" + shortID};
  for (const std::string& q : leftOut)
    EXPECT_EQ(Lookup(port(), q).status, 404) << q;
  // The key's neighbours in an answer are still served.
  ASSERT_EQ(Submit(port(), Corpus("rsa.asc")).status, 200);
  h = Lookup(port(), "op=index&options=mr&search=example");
  EXPECT_EQ(h.status, 200);
  EXPECT_EQ(h.body.find(certID), std::string::npos) << h.body;
}

TEST_F(Hkp, MalformedRequestsGetClientErrors) {
  EXPECT_EQ(Lookup(port(), "op=destroy&search=0x83984697").status, 400);
  EXPECT_EQ(Lookup(port(), "search=0x83984697").status, 400);
  EXPECT_EQ(Lookup(port(), "op=get").status, 400);
  EXPECT_EQ(Lookup(port(), "op=get&search=0x8398469Z").status, 400);
  EXPECT_EQ(Lookup(port(), "op=get&search=0x839846970").status, 400);
  EXPECT_EQ(Lookup(port(), "op=get&search=%00%01").status, 400);  // the NUL ends the text: empty
  EXPECT_EQ(Lookup(port(), "op=index&search=" + std::string(300, 'a')).status, 400);
  EXPECT_EQ(Curl(port(), "/pks/lookup?op=get&search=0x83984697", "-X POST").status, 405);
  EXPECT_EQ(Curl(port(), "/pks/add").status, 405);
  EXPECT_EQ(Curl(port(), "/pks/other").status, 404);
  EXPECT_EQ(Curl(port(), "/pks/add", "--data 'other=1'").status, 400);
  EXPECT_EQ(Curl(port(), "/pks/add", "--data 'keytext=%0A%20'").status, 400);
  EXPECT_EQ(Curl(port(), "/pks/add", "--data 'keytext=%ZZ'").status, 400);

  // Not a key: refused by the add pipeline with its own text, not a server
  // error.
  Http h = Curl(port(), "/pks/add", "--data 'keytext=hello'");
  EXPECT_EQ(h.status, 422) << h.body;
  EXPECT_FALSE(h.body.empty());

  // Bodies over MaxMessageSize: announced, and sent without a length.
  TempDir tmp;
  WriteFile(tmp.File("big"), "keytext=" + std::string(70000, 'A'));
  EXPECT_EQ(Curl(port(), "/pks/add", "--data-binary @" + ShellQuote(tmp.File("big"))).status, 413);
  EXPECT_EQ(Curl(port(), "/pks/add",
                 "-H 'Transfer-Encoding: chunked' --data-binary @" + ShellQuote(tmp.File("big")))
                .status,
            413);

  // A body cut short: the connection ends without a success, and the
  // server goes on serving.
  Client c;
  ASSERT_TRUE(c.Connect(port()));
  ASSERT_TRUE(c.Send("POST /pks/add HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                     "Content-Length: 5000\r\n\r\nkeytext=-----BEGIN"));
  shutdown(c.fd(), SHUT_WR);
  const std::string answer = ReadAll(c.fd(), 10000);
  EXPECT_EQ(answer.find("HTTP/1.1 2"), std::string::npos) << answer;
  c.Close();
  // Garbage instead of HTTP.
  ASSERT_TRUE(c.Connect(port()));
  ASSERT_TRUE(c.Send(std::string("\x30\x84\xff\xff\xff\xff\x02\x01\x01\r\n\r\n", 13)));
  EXPECT_EQ(ReadAll(c.fd(), 10000).find("HTTP/1.1 2"), std::string::npos);
  c.Close();
  EXPECT_EQ(Lookup(port(), "op=get&search=0x00000002").status, 404);
}

TEST_F(Hkp, SeveralKeysInOneSubmissionAreEachStored) {
  Http h = Submit(port(), Corpus("two-keys.asc"));
  EXPECT_EQ(h.status, 200) << h.body;
  // One line per key, each with the pipeline's result.
  EXPECT_EQ(std::count(h.body.begin(), h.body.end(), '\n'), 2) << h.body;
  // Sent again: both unchanged, still a success.
  h = Submit(port(), Corpus("two-keys.asc"));
  EXPECT_EQ(h.status, 200) << h.body;
  EXPECT_NE(h.body.find("Certificate has not changed."), std::string::npos) << h.body;
}

TEST_F(Hkp, DisabledKeysAreNotServed) {
  ASSERT_EQ(Submit(port(), Corpus("dsa-elg.asc")).status, 200);
  ASSERT_EQ(Lookup(port(), "op=get&options=mr&search=0x" + ShortIDOf("dsa-elg")).status, 200);
  RunResult r = server().AddLdif("dn: kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US\nkryRequest:< file://" +
                                 Corpus("disable-dsa-by-trusted.req") + "\n");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Lookup(port(), "op=get&options=mr&search=0x" + ShortIDOf("dsa-elg")).status, 404);
  EXPECT_EQ(Lookup(port(), "op=index&options=mr&search=0x" + CertIDOf("dsa-elg")).status, 404);
  // The add pipeline's refusal of a disabled certificate reaches the client.
  Http h = Submit(port(), Corpus("dsa-elg.asc"));
  EXPECT_EQ(h.status, 422);
  EXPECT_NE(h.body.find("Certificate is disabled."), std::string::npos) << h.body;
}

TEST_F(Hkp, EveryRequestIsLogged) {
  ASSERT_EQ(Lookup(port(), "op=get&search=0x" + ShortIDOf("rsa")).status >= 200, true);
  ASSERT_EQ(Lookup(port(), "op=bad&search=x").status, 400);
  ASSERT_TRUE(server().tree().WaitForEvent("HKP GET /pks/lookup from 127.0.0.1: 400.", 5000))
      << server().tree().Events();
  const std::string log = ReadFile(server().tree().log + "/access.log");
  EXPECT_NE(log.find("SRC "), std::string::npos) << log;
  EXPECT_NE(log.find(" 127.0.0.1 "), std::string::npos) << log;
  // The malformed lookup: a search answered with protocolError.
  EXPECT_NE(log.find(" 2 127.0.0.1 "), std::string::npos) << log;
  size_t lines = 0, hkp = 0;
  for (size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1) {
    ++lines;
    hkp += log.compare(end - 4, 4, " HKP") == 0;
  }
  EXPECT_GE(hkp, 2u);
  EXPECT_GT(lines, 0u);
}

TEST_F(Hkp, CrowdsAreBoundedAndLdapKeepsServing) {
  ASSERT_EQ(Submit(port(), Corpus("rsa.asc")).status, 200);
  // 200 idle connections: the first 100 take every slot, the rest are
  // closed at once.
  std::vector<std::unique_ptr<Client>> idle;
  for (int i = 0; i < 200; ++i) {
    auto c = std::make_unique<Client>();
    ASSERT_TRUE(c->Connect(port())) << i;
    idle.push_back(std::move(c));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Lookup(port(), "op=get&search=0x" + ShortIDOf("rsa")).status, 0);
  int exitCode = -1;
  server().Search(kActiveOU, "(kryKeyID=" + ShortIDOf("rsa") + ")", {"kryCertID"}, &exitCode);
  EXPECT_EQ(exitCode, 0);
  idle.clear();

  // 200 requests at once: every one is answered or turned away, at least
  // as many answered as there are slots.
  std::vector<std::unique_ptr<Client>> crowd;
  const std::string request = "GET /pks/lookup?op=get&options=mr&search=0x" + ShortIDOf("rsa") +
                              " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  for (int i = 0; i < 200; ++i) {
    auto c = std::make_unique<Client>();
    ASSERT_TRUE(c->Connect(port())) << i;
    c->Send(request);
    crowd.push_back(std::move(c));
  }
  int ok = 0;
  for (auto& c : crowd) {
    const std::string answer = ReadAll(c->fd(), 20000);
    if (answer.rfind("HTTP/1.1 200", 0) == 0) ++ok;
    else EXPECT_TRUE(answer.empty()) << answer.substr(0, 80);
  }
  EXPECT_GE(ok, 100);
  crowd.clear();
  EXPECT_EQ(Lookup(port(), "op=get&search=0x" + ShortIDOf("rsa")).status, 200);
}

// Keys that fail policy wait under PENDING and are not served.
TEST(HkpPolicy, PendingKeysAreAcceptedButNotServed) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  const int hkp = FreePort();
  KeyServer server(Keyring() + "HKPPort " + std::to_string(hkp) + "\nMustSigID 0x" + CertIDOf("trusted-signer") + "\n");
  ASSERT_TRUE(server.ok()) << server.tree().Output();
  ASSERT_TRUE(WaitForHkp(hkp));
  Http h = Submit(hkp, Corpus("rsa.asc"));
  EXPECT_EQ(h.status, 202);
  EXPECT_NE(h.body.find("awaiting approval"), std::string::npos) << h.body;
  EXPECT_EQ(server.Search(kPendingOU, "(kryKeyID=" + ShortIDOf("rsa") + ")", {"kryCertID"}).size(), 1u);
  EXPECT_EQ(Lookup(hkp, "op=get&options=mr&search=0x" + ShortIDOf("rsa")).status, 404);
  EXPECT_EQ(Submit(hkp, Corpus("signed-by-trusted.asc")).status, 200);
  EXPECT_EQ(Lookup(hkp, "op=get&options=mr&search=0x" + ShortIDOf("signed-user")).status, 200);
}

// Allow rules and DefaultAccess decide for HKP clients by address.
TEST(HkpAccess, RulesApplyByAddress) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  const int hkp = FreePort();
  ServerTree tree;
  tree.WriteConfig(Keyring() + "HKPPort " + std::to_string(hkp) + "\nDefaultAccess none\nAllow ip 10.* all\n");
  ASSERT_TRUE(tree.CreateDatabases());
  ASSERT_TRUE(tree.Start()) << tree.Output();
  ASSERT_TRUE(WaitForHkp(hkp));
  EXPECT_EQ(Lookup(hkp, "op=get&search=0x" + ShortIDOf("rsa")).status, 403);
  EXPECT_EQ(Submit(hkp, Corpus("rsa.asc")).status, 403);
  // Reading allowed, adding not.
  tree.WriteConfig(Keyring() + "HKPPort " + std::to_string(hkp) + "\nDefaultAccess none\nAllow ip 127.0.0.* read\n");
  ASSERT_EQ(tree.Stop(SIGTERM), 0);
  ASSERT_TRUE(tree.Start()) << tree.Output();
  ASSERT_TRUE(WaitForHkp(hkp));
  EXPECT_EQ(Lookup(hkp, "op=get&search=0x" + ShortIDOf("rsa")).status, 404);
  Http h = Submit(hkp, Corpus("rsa.asc"));
  EXPECT_EQ(h.status, 403);
  EXPECT_NE(h.body.find("50"), std::string::npos) << h.body;
  EXPECT_EQ(tree.Stop(SIGTERM), 0) << tree.Output();
}

// The HKP port is served exactly while the directory server runs.
TEST(HkpLifecycle, FollowsTheConsolesStopAndStart) {
  const int hkp = FreePort();
  ServerTree tree;
  tree.WriteConfig("Allow ip 127.0.0.1 all\nHKPPort " + std::to_string(hkp) + "\n");
  ASSERT_TRUE(tree.CreateDatabases());
  ASSERT_TRUE(tree.Start()) << tree.Output();
  ASSERT_TRUE(WaitForHkp(hkp));
  const char* dir = std::getenv("KRY_BINARY_DIR");
  const std::string ctl = "KRYCERTD_SETTINGS=" + ShellQuote(tree.settings) + " timeout 60 " +
                          ShellQuote(std::string(dir ? dir : ".") + "/tools/krycertctl/krycertctl") +
                          " --command-port " + std::to_string(tree.commandPort) + " ";
  RunResult r = RunShell(ctl + "stop 2>&1");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  Client gone;
  EXPECT_FALSE(gone.Connect(hkp, 500));
  r = RunShell(ctl + "start 2>&1");
  ASSERT_EQ(r.exitCode, 0) << r.output << tree.Events();
  ASSERT_TRUE(WaitForHkp(hkp)) << tree.Events();
  EXPECT_EQ(Lookup(hkp, "op=get&search=0x01234567").status, 404);
  EXPECT_EQ(tree.Stop(SIGTERM), 0) << tree.Output();
  EXPECT_FALSE(gone.Connect(hkp, 500));
}

// A client that stops in the middle of its request loses its connection
// after the idle time-out and holds no slot.
TEST(HkpLimits, SilentClientsAreCutOff) {
  const int hkp = FreePort();
  ServerTree tree;
  tree.WriteConfig("Allow ip 127.0.0.1 all\nHKPPort " + std::to_string(hkp) + "\nHKPMaxConnections 1\n");
  ASSERT_TRUE(tree.CreateDatabases());
  ASSERT_TRUE(tree.Start({}, {"KRYCERTD_IO_TIMEOUT_MS=1000"})) << tree.Output();
  ASSERT_TRUE(WaitForHkp(hkp));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the probe's slot is given back
  Client slow;
  ASSERT_TRUE(slow.Connect(hkp));
  ASSERT_TRUE(slow.Send("GET /pks/lookup?op=get&search=0x01234567 HTTP/1.1\r\nHo"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(slow.WaitClosed(10000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // The one slot is free again (once the server has let go of it).
  int status = 0;
  for (int i = 0; i < 20 && status == 0; ++i) {
    status = Lookup(hkp, "op=get&search=0x01234567").status;
    if (status == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(status, 404);
  EXPECT_EQ(tree.Stop(SIGTERM), 0) << tree.Output();
}

}  // namespace
}  // namespace krytest
