// The HKP listener of the real server, driven by GnuPG's own keyserver
// commands (through dirmngr) and by curl and raw sockets for every status
// code and for malformed, oversized, truncated and crowded requests.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "certadd/certadd_support.h"
#include "support/corpus_ids.h"
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
                            "\nHKPMaxConnectionsPerAddress 1000\nMaxMessageSize 65536\nAccessLogFile ../log/access.log\nAccessLogDetails all\n"
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
    // The index names the key by its fingerprint, so GnuPG shows that.
    EXPECT_NE(r.output.find("pub:" + corpus::Fingerprint("rsa")), std::string::npos) << r.output;
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

  // The index names each key by its full fingerprint, whatever the search
  // named it by.
  for (const std::string& search : {"0x" + FingerprintOf("multi-uid"), "0x" + shortID}) {
    h = Lookup(port(), "op=index&options=mr&search=" + search);
    ASSERT_EQ(h.status, 200);
    EXPECT_EQ(h.body.rfind("info:1:1\npub:" + corpus::Fingerprint("multi-uid") + ":1:", 0), 0u) << h.body;
    size_t uids = 0;
    for (size_t at = h.body.find("\nuid:"); at != std::string::npos; at = h.body.find("\nuid:", at + 1)) ++uids;
    EXPECT_EQ(uids, 3u) << h.body;
  }

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

// A new key with several photo IDs keeps the newest one in what HKP serves
// (the complete block; the basic block never carries user attributes).
TEST_F(Hkp, NewKeyWithThreePhotoIDsIsServedWithTheNewest) {
  ASSERT_EQ(Submit(port(), Corpus("photo-id-three.asc")).status, 200);
  Gpg original, served;
  ASSERT_TRUE(original.Import(ReadFile(Corpus("photo-id-three.asc"))));
  std::string newest;
  for (const std::string& l : original.Listing(CertIDOf("photo-id")))
    if (Columns(l)[0] == "uat" && Columns(l)[5] > newest) newest = Columns(l)[5];
  Http h = Lookup(port(), "op=get&options=mr&search=0x" + FingerprintOf("photo-id"));
  ASSERT_EQ(h.status, 200);
  ASSERT_TRUE(served.Import(h.body));
  std::vector<std::string> photos;
  for (const std::string& l : served.Listing(CertIDOf("photo-id")))
    if (Columns(l)[0] == "uat") photos.push_back(Columns(l)[5]);
  EXPECT_EQ(photos, std::vector<std::string>{newest});
}

TEST_F(Hkp, MalformedRequestsGetClientErrors) {
  EXPECT_EQ(Lookup(port(), "op=destroy&search=0x83984697").status, 400);
  EXPECT_EQ(Lookup(port(), "search=0x83984697").status, 400);
  EXPECT_EQ(Lookup(port(), "op=get").status, 400);
  EXPECT_EQ(Lookup(port(), "op=get&search=0x8398469Z").status, 400);
  EXPECT_EQ(Lookup(port(), "op=get&search=0x839846970").status, 400);
  EXPECT_EQ(Lookup(port(), "op=get&search=%00%01").status, 400);  // the NUL ends the text: empty
  EXPECT_EQ(Lookup(port(), "op=index&search=" + std::string(300, 'a')).status, 400);
  // Headers far beyond a key client's still fit a connection's memory.
  EXPECT_EQ(Curl(port(), "/pks/lookup?op=get&search=0x00000002", "-H 'Cookie: " + std::string(6000, 'c') + "'").status,
            404);
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

TEST_F(Hkp, ConflictingLengthsAndDamagedKeysAreRefusedAsSuch) {
  // Two Content-Length headers that disagree: refused before any body.
  Client c;
  ASSERT_TRUE(c.Connect(port()));
  ASSERT_TRUE(c.Send("POST /pks/add HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                     "Content-Length: 12\r\nContent-Length: 4\r\n\r\nkeytext=abcd"));
  EXPECT_EQ(ReadAll(c.fd(), 10000).rfind("HTTP/1.1 400", 0), 0u);
  c.Close();

  // A user ID changed after its self-signature was made: the refusal's
  // line carries the refusal's text, not the text of a stored key.
  TempDir tmp;
  Gpg gpg;
  ASSERT_EQ(gpg.Run("-o " + ShellQuote(tmp.File("key.bin")) + " --dearmor " + ShellQuote(Corpus("expired.asc"))).exitCode, 0);
  std::string packets = ReadFile(tmp.File("key.bin"));
  const size_t at = packets.find("Expired Key");
  ASSERT_NE(at, std::string::npos);
  packets[at] = 'D';
  WriteFile(tmp.File("damaged"), packets);
  Http h = Submit(port(), tmp.File("damaged"));
  EXPECT_EQ(h.status, 422) << h.body;
  EXPECT_EQ(h.body.find("Stored."), std::string::npos) << h.body;
  EXPECT_NE(h.body.find(": 21 "), std::string::npos) << h.body;
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

// The index follows a certificate through a merge: the key's revocation
// shows at once, under the same fingerprint (read again after the merge
// changed the stored block, not taken from before it).
TEST_F(Hkp, IndexFollowsAMergedKey) {
  ASSERT_EQ(Submit(port(), Corpus("revoked-before.asc")).status, 200);
  const std::string query = "op=index&options=mr&search=0x" + corpus::ShortId("revoked");
  const std::string pub = "pub:" + corpus::Fingerprint("revoked") + ":";
  Http h = Lookup(port(), query);
  ASSERT_EQ(h.status, 200);
  ASSERT_NE(h.body.find(pub), std::string::npos) << h.body;
  EXPECT_EQ(h.body.find(":r\n"), std::string::npos) << h.body;
  EXPECT_EQ(Lookup(port(), query).body, h.body);  // answered again, from the cache
  ASSERT_EQ(Submit(port(), Corpus("revoked.asc")).status, 200);
  h = Lookup(port(), query);
  ASSERT_EQ(h.status, 200);
  EXPECT_NE(h.body.find(pub), std::string::npos) << h.body;
  EXPECT_NE(h.body.find(":r\n"), std::string::npos) << h.body;
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

// A counter's value in a scrape of the metrics port; -1 when absent.
long Counter(int metricsPort, const std::string& name) {
  const std::string scrape = Curl(metricsPort, "/metrics").body;
  const size_t at = scrape.find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::atol(scrape.c_str() + at + name.size() + 2);
}

// The client's host name is looked up only for a host rule (no log is
// configured here), then once for all its connections; the rule decides.
TEST(HkpAccess, HostNamesAreLookedUpOnlyForHostRulesAndOncePerAddress) {
  const int hkp = FreePort(), metrics = FreePort();
  const std::string ports = "HKPPort " + std::to_string(hkp) + "\nMetricsPort " + std::to_string(metrics) + "\n";
  ServerTree tree;
  tree.WriteConfig(ports + "Allow ip 127.0.0.1 all\n");
  ASSERT_TRUE(tree.CreateDatabases());
  ASSERT_TRUE(tree.Start()) << tree.Output();
  ASSERT_TRUE(WaitForHkp(hkp));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Lookup(hkp, "op=get&search=0x01234567").status, 404);
  EXPECT_EQ(Counter(metrics, "krycertd_hkp_name_lookups_total"), 0);
  ASSERT_EQ(tree.Stop(SIGTERM), 0);

  if (RunShell("getent hosts 127.0.0.1 | grep -qw localhost").exitCode != 0) GTEST_SKIP() << "127.0.0.1 has no name";
  for (const char* host : {"localhost", "elsewhere.invalid"}) {
    tree.WriteConfig(ports + "DefaultAccess none\nAllow host " + host + " read\n");
    ASSERT_TRUE(tree.Start()) << tree.Output();
    ASSERT_TRUE(WaitForHkp(hkp));
    const int expected = std::string(host) == "localhost" ? 404 : 403;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Lookup(hkp, "op=get&search=0x01234567").status, expected) << host;
    EXPECT_EQ(Counter(metrics, "krycertd_hkp_name_lookups_total"), 1) << host;
    ASSERT_EQ(tree.Stop(SIGTERM), 0);
  }
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

namespace krytest {
namespace {

// A server whose HKP port has small limits for the slow-client tests.
class HkpCrowd : public ::testing::Test {
 protected:
  void StartWith(const std::string& limits) {
    hkp_ = FreePort();
    tree_.WriteConfig("Allow ip 127.0.0.* all\nHKPPort " + std::to_string(hkp_) + "\n" + limits);
    ASSERT_TRUE(tree_.CreateDatabases());
    ASSERT_TRUE(tree_.Start()) << tree_.Output();
    ASSERT_TRUE(WaitForHkp(hkp_));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the probe's slot is given back
  }
  void TearDown() override {
    for (int fd : fds_) close(fd);
    if (tree_.Running()) {
      EXPECT_EQ(tree_.Stop(SIGTERM), 0) << tree_.Output();
    }
  }
  // True when the server has closed `fd` (end of stream, reset, or an
  // answer followed by the close).
  static bool Closed(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) != 1) return false;
    char buf[256];
    return recv(fd, buf, sizeof buf, MSG_DONTWAIT) <= 0 || ReadAll(fd, 200).empty();
  }

  ServerTree tree_;
  int hkp_ = 0;
  std::vector<int> fds_;
};

// Headers trickled a byte at a time: each connection loses its slot once
// its request has taken the request time-out, and one address holds no
// more than its share of the port meanwhile.
TEST_F(HkpCrowd, TrickledRequestsMeetTheirDeadlineAndOneAddressHoldsItsShare) {
  const int metrics = FreePort();
  StartWith("HKPMaxConnections 6\nHKPMaxConnectionsPerAddress 2\nHKPRequestTimeout 2\nMetricsPort " +
            std::to_string(metrics) + "\n");
  const std::string request = "GET /pks/lookup?op=get&search=0x01234567 HTTP/1.1\r\nHost: x\r\nX-Slow: " +
                              std::string(200, 'a');
  for (int i = 0; i < 10; ++i) {
    const int fd = ConnectFrom("127.0.0.2", hkp_);
    ASSERT_GE(fd, 0) << i;
    fds_.push_back(fd);
  }
  const auto start = std::chrono::steady_clock::now();
  std::vector<double> cutAfter(fds_.size(), -1);
  int heldAtFirst = -1;
  for (size_t tick = 0; tick < 32; ++tick) {  // 8 seconds, a byte every 250 ms
    for (size_t i = 0; i < fds_.size(); ++i) {
      if (cutAfter[i] >= 0) continue;
      if (Closed(fds_[i]) || send(fds_[i], &request[tick], 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1)
        cutAfter[i] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    if (tick == 4) {
      heldAtFirst = static_cast<int>(std::count(cutAfter.begin(), cutAfter.end(), -1.0));
      // Another client is served while the trickle goes on.
      EXPECT_EQ(Lookup(hkp_, "op=get&search=0x01234567").status, 404);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  double longest = 0;
  for (double t : cutAfter) longest = std::max(longest, t);
  std::printf("HKP trickle: %d of %zu connections from one address held after 1 s; the last was cut after %.1f s\n",
              heldAtFirst, fds_.size(), longest);
  EXPECT_LE(heldAtFirst, 2);
  // Every connection was cut while it was still sending: none outlived the
  // trickle (before, each byte restarted the 30-second idle time-out).
  EXPECT_EQ(std::count(cutAfter.begin(), cutAfter.end(), -1.0), 0);
  // The eight turned away at once are counted as refused.
  const std::string scrape = Curl(metrics, "/metrics").body;
  const std::string series = "\nkrycertd_connections_refused_total{protocol=\"hkp\"} ";
  const size_t at = scrape.find(series);
  ASSERT_NE(at, std::string::npos) << scrape;
  EXPECT_GE(std::atoi(scrape.c_str() + at + series.size()), 8) << scrape.substr(at, 80);
}

// Reads one HTTP answer with a Content-Length from a raw connection: its
// status, or 0 when none arrived whole.
int ReadAnswer(int fd) {
  std::string got;
  for (;;) {
    const size_t end = got.find("\r\n\r\n");
    const size_t len = got.find("Content-Length: ");
    if (end != std::string::npos && len != std::string::npos &&
        got.size() >= end + 4 + std::strtoul(got.c_str() + len + 16, nullptr, 10))
      return std::atoi(got.c_str() + 9);
    pollfd p{fd, POLLIN, 0};
    char buf[4096];
    if (poll(&p, 1, 10000) != 1) return 0;
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return 0;
    got.append(buf, static_cast<size_t>(n));
  }
}

// One connection serves request after request until its client says
// "Connection: close"; as many clients as the server has threads, each
// trickling its next request on a kept-alive connection, hold none of them.
TEST_F(HkpCrowd, KeptAliveConnectionsServeRequestsWhileOthersTrickle) {
  StartWith("");
  const std::string get = "GET /pks/lookup?op=get&search=0x01234567 HTTP/1.1\r\nHost: x\r\n";
  const int fd = ConnectFrom("127.0.0.1", hkp_);
  ASSERT_GE(fd, 0);
  fds_.push_back(fd);
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(send(fd, (get + "\r\n").data(), get.size() + 2, MSG_NOSIGNAL) > 0);
    EXPECT_EQ(ReadAnswer(fd), 404) << "request " << i << " on the kept-alive connection";
  }
  const std::string last = get + "Connection: close\r\n\r\n";
  ASSERT_TRUE(send(fd, last.data(), last.size(), MSG_NOSIGNAL) > 0);
  EXPECT_EQ(ReadAnswer(fd), 404);
  char byte;
  EXPECT_EQ(read(fd, &byte, 1), 0) << "not closed after Connection: close";

  const int tricklers = static_cast<int>(std::max(2u, std::thread::hardware_concurrency()));
  std::vector<int> slow;
  for (int i = 0; i < tricklers; ++i) {
    const int t = ConnectFrom("127.0.0." + std::to_string(10 + i), hkp_);
    ASSERT_GE(t, 0);
    fds_.push_back(t);
    slow.push_back(t);
    ASSERT_TRUE(send(t, (get + "\r\n").data(), get.size() + 2, MSG_NOSIGNAL) > 0);
    ASSERT_EQ(ReadAnswer(t), 404);
  }
  for (size_t at = 0; at < 6; ++at) {
    for (int t : slow) send(t, &get[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    EXPECT_EQ(Lookup(hkp_, "op=get&search=0x01234567").status, 404) << "while " << tricklers << " trickle";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// Uploads held open just short of their end: together they hold no more
// than the body budget, the rest are turned away with 503, and the memory
// goes back once they close.
TEST_F(HkpCrowd, UploadsShareOneBudgetAndGiveTheirMemoryBack) {
  StartWith("MaxMessageSize 4194304\nHKPMaxBodyBytes 16777216\nHKPMaxConnections 50\n"
            "HKPMaxConnectionsPerAddress 50\nHKPRequestTimeout 60\n");
  constexpr size_t kLength = 4000000, kSent = 3900000;
  const long before = ResidentKiB(tree_.pid());
  const std::string head = "POST /pks/add HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                           "Content-Length: " + std::to_string(kLength) + "\r\n\r\n";
  const std::string body = "keytext=" + std::string(kSent - 8, 'A');
  int busy = 0;
  for (int i = 0; i < 12; ++i) {
    const int fd = ConnectFrom("127.0.0.1", hkp_);
    ASSERT_GE(fd, 0);
    fds_.push_back(fd);
    timeval t{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
    send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    const std::string answer = ReadAll(fd, 100);
    if (answer.rfind("HTTP/1.1 503", 0) == 0) {
      ++busy;
      continue;
    }
    EXPECT_TRUE(answer.empty()) << answer.substr(0, 80);
    EXPECT_EQ(send(fd, body.data(), body.size(), MSG_NOSIGNAL), static_cast<ssize_t>(body.size())) << i;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long held = ResidentKiB(tree_.pid());
  for (int fd : fds_) close(fd);
  fds_.clear();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const long after = ResidentKiB(tree_.pid());
  std::printf("HKP uploads: 12 of %zu bytes held open, %d answered 503; server VmRSS %ld KiB before, %ld KiB "
              "while held, %ld KiB after they closed\n",
              kSent, busy, before, held, after);
  EXPECT_EQ(busy, 8);  // 16 MiB holds four bodies of 4 MB
  // A sanitizer's allocator keeps freed memory and shadows all of it.
#if !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(held - before, 24 * 1024);
  EXPECT_LT(after - before, 8 * 1024);
#endif
  EXPECT_EQ(Lookup(hkp_, "op=get&search=0x01234567").status, 404);
}

}  // namespace
}  // namespace krytest
