// krycertrepl against real servers on loopback: a primary and two replicas
// kept equal while the replication process is killed and a replica is
// down; bad records; a truncated log; a half-written record; and a pair of
// servers that replicate to each other.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "cert/replog.h"
#include "certadd/certadd_support.h"
#include "support/harness.h"
#include "support/ldaps_tools.h"

namespace krytest {
namespace {

const char kVirtual[] = "kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US";

std::string Signers() {
  const std::string t = "0x" + CertIDOf("trusted-signer");
  return "PublicKeyRing " + Corpus("server-pubring.pkr") + "\nAllow keyid " + t + " add\nAllow keyid " + t +
         " delete\nAcceptModernKeys yes\nSizeLimit 0\n";  // the comparisons list every certificate
}

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A krycertrepl process run in a directory of its own with its own
// configuration and event file.
class Repl {
 public:
  Repl(const std::string& config, std::vector<std::string> args = {}) : args_(std::move(args)) {
    WriteFile(dir_.File("krycertd.cfg"), config);
  }
  ~Repl() { Kill(SIGTERM); }
  void Start() {
    pid_ = fork();
    if (pid_ == 0) {
      if (chdir(dir_.path().c_str()) != 0) _exit(127);
      setenv("KRYCERTD_EVENTLOG", events().c_str(), 1);
      const int out = open("out.txt", O_WRONLY | O_CREAT | O_APPEND, 0600);
      dup2(out, 1);
      dup2(out, 2);
      std::vector<char*> argv{const_cast<char*>(KRY_REPL_BIN)};
      for (std::string& a : args_) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(KRY_REPL_BIN, argv.data());
      _exit(127);
    }
  }
  // Sends `sig` and waits for the exit; the exit status or -1.
  int Kill(int sig) {
    if (pid_ <= 0) return -1;
    kill(pid_, sig);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string events() const { return dir_.File("events.log"); }
  std::string Events() const { return ReadFile(events()); }
  std::string Status(bool json) const {
    return RunShell("cd " + ShellQuote(dir_.path()) + " && " + KRY_REPL_BIN + " --status" + (json ? " --json" : "") +
                    " 2>&1")
        .output;
  }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  std::vector<std::string> args_;
  pid_t pid_ = -1;
};

size_t Count(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

template <typename F>
bool WaitFor(F done, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (done()) return true;
    Sleep(100);
  }
  return done();
}

std::string Sha256(const std::string& s) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_Digest(s.data(), s.size(), md, &len, EVP_sha256(), nullptr);
  std::string out;
  char hex[3];
  for (unsigned i = 0; i < len; ++i) {
    std::snprintf(hex, sizeof hex, "%02x", md[i]);
    out += hex;
  }
  return out;
}

// "OU certID sha256(block)" of every certificate, sorted.
std::set<std::string> Certificates(KeyServer& s) {
  std::set<std::string> out;
  for (const char* ou : {kActiveOU, kPendingOU})
    for (const LdifEntry& e : s.Search(ou, "(kryCertID=*)", {"kryCertID", "kryKey"}))
      for (const std::string& block : e.Values("krykey"))
        out.insert(std::string(ou).substr(0, 10) + " " + e.First("krycertid") + " " + Sha256(block));
  return out;
}

// The armoured blocks of a corpus file.
std::vector<std::string> Blocks(const std::string& file) {
  std::vector<std::string> out;
  const std::string text = ReadFile(Corpus(file));
  const std::string end = "-----END PGP PUBLIC KEY BLOCK-----\n";
  for (size_t p = text.find("-----BEGIN"); p != std::string::npos; p = text.find("-----BEGIN", p)) {
    const size_t e = text.find(end, p);
    if (e == std::string::npos) break;
    out.push_back(text.substr(p, e + end.size() - p));
    p = e;
  }
  return out;
}

std::string Base64(const std::string& in) {
  std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
  out.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                             reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size())));
  return out;
}

RunResult SendRequest(KeyServer& s, const std::string& requestFile) {
  return s.AddLdif(std::string("dn: ") + kVirtual + "\nkryRequest:: " + Base64(ReadFile(Corpus(requestFile))) + "\n");
}

class Repl3 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  }
};

// Submits `keys` through ldapadd (two clients) and HKP (two clients).
void Submit(KeyServer& primary, int hkpPort, const std::vector<std::string>& keys) {
  std::vector<std::thread> clients;
  for (int c = 0; c < 4; ++c)
    clients.emplace_back([&, c] {
      std::string ldif;
      for (size_t i = static_cast<size_t>(c); i < keys.size(); i += 4) {
        if (c < 2) {
          ldif += std::string("dn: ") + kVirtual + "\nkryKey:: " + Base64(keys[i]) + "\n\n";
          continue;
        }
        const std::string file = primary.tree().log + "/hkp-" + std::to_string(i) + ".asc";
        WriteFile(file, keys[i]);
        RunShell("curl -s -o /dev/null --data-urlencode keytext@" + ShellQuote(file) + " http://127.0.0.1:" +
                 std::to_string(hkpPort) + "/pks/add");
      }
      if (!ldif.empty())
        RunLdapTool(primary.tree().port, "ldapadd", {"-c"}, ldif, primary.tree().log + "/c" + std::to_string(c));
    });
  for (std::thread& t : clients) t.join();
}

TEST_F(Repl3, ReplicasEndEqualToThePrimaryThroughKillsAndAnOutage) {
  const char* env = std::getenv("KRY_REPL_KEYS");
  const size_t wanted = env ? static_cast<size_t>(std::atoi(env)) : 300;
  std::vector<std::string> keys;
  for (const char* f : {"bulk-ed25519.asc", "bulk-rsa.asc", "bulk-dsa.asc"})
    for (std::string& b : Blocks(f))
      if (keys.size() < wanted) keys.push_back(std::move(b));

  KeyServer b(Signers()), c(Signers());
  ASSERT_TRUE(b.ok() && c.ok());
  TempDir logDir;
  const std::string log = logDir.File("replog");
  const int hkp = FreePort();
  const std::string replicas =
      "Replica 127.0.0.2:" + std::to_string(b.tree().port) + "\nReplica 127.0.0.3:" + std::to_string(c.tree().port) +
      "\n";
  KeyServer a(Signers() + "HKPPort " + std::to_string(hkp) + "\nRepLogFile " + log + "\n" + replicas);
  ASSERT_TRUE(a.ok());
  Repl repl("RepLogFile " + log + "\n" + replicas + "repdCommandPort " + std::to_string(FreePort()) + "\n");
  repl.Start();

  ASSERT_EQ(a.AddFile(Corpus("rsa.asc")).exitCode, 0);
  ASSERT_EQ(a.AddFile(Corpus("dsa-elg.asc")).exitCode, 0);
  ASSERT_EQ(b.Stop(), 0);  // replica b is down while the keys arrive
  const auto downSince = std::chrono::steady_clock::now();
  std::thread killer([&] {
    for (int i = 0; i < 5; ++i) {
      Sleep(1500);
      repl.Kill(SIGKILL);
      repl.Start();
    }
  });
  Submit(a, hkp, keys);
  EXPECT_EQ(SendRequest(a, "delete-rsa-by-trusted.req").exitCode, 0);
  EXPECT_EQ(SendRequest(a, "disable-dsa-by-trusted.req").exitCode, 0);
  killer.join();
  std::this_thread::sleep_until(downSince + std::chrono::seconds(20));
  ASSERT_TRUE(b.tree().Start());

  const std::set<std::string> want = Certificates(a);
  EXPECT_GE(want.size(), keys.size());
  for (const std::string& line : want) EXPECT_EQ(line.find(CertIDOf("rsa")), std::string::npos);
  EXPECT_TRUE(WaitFor([&] { return Certificates(b) == want && Certificates(c) == want; }, 60))
      << repl.Status(false) << repl.Events();
  const std::string status = repl.Status(true);
  EXPECT_EQ(Count(status, "\"records_behind\":0,"), 2u) << status;
  EXPECT_EQ(Count(repl.Events(), "refused the record"), 0u) << repl.Events();
}

// The bad records of a hand-written log, an unreachable replica, a
// truncated log and a record cut in half.
TEST_F(Repl3, BadRecordsAreLoggedOnceAndSkipped) {
  KeyServer b(Signers());
  ASSERT_TRUE(b.ok());
  const std::string good = "127.0.0.1:" + std::to_string(b.tree().port);
  const std::string dead = "no-such-replica.invalid:389";
  const std::string heads = "replica: " + good + "\nreplica: " + dead + "\n";
  const std::string key = ReadFile(Corpus("rsa.asc"));
  TempDir logDir;
  const std::string log = logDir.File("replog");
  std::string text = heads + "time: 1\ndn " + kVirtual + "\nchangetype: add\nkryKey: x\n\n";      // garbled
  text += heads + "time: 2\nchangetype: add\nkryKey:: " + Base64(key) + "\n\n";                    // no dn
  text += heads + "time: 3\ndn: " + kVirtual + "\nchangetype: add\nkryOther: x\n\n";               // unknown
  text += heads + "time: 4\ndn: " + kVirtual + "\nchangetype: add\nkryKey:: " + Base64("junk") + "\n\n";  // refused
  text += kry::FormatRepLogRecord(heads, 5, "kryKey", key);
  WriteFile(log, text);
  const int port = FreePort();
  Repl repl("RepLogFile " + log + "\nReplica " + good + " " + dead + "\nrepdCommandPort " + std::to_string(port) + "\n");
  repl.Start();
  ASSERT_TRUE(WaitFor([&] { return b.KeyBlocks(ShortIDOf("rsa")).size() == 1; }, 10)) << repl.Events();
  ASSERT_TRUE(WaitFor([&] { return repl.Events().find("refused the record") != std::string::npos; }, 5));
  // Name resolution of the dead replica may take a while.
  ASSERT_TRUE(WaitFor([&] { return repl.Events().find("Replica " + dead + ": cannot resolve") != std::string::npos; }, 20))
      << repl.Events();
  std::string events = repl.Events();
  EXPECT_EQ(Count(events, "record garbled at position 0 "), 1u) << events;
  EXPECT_EQ(Count(events, "record without \"dn:\""), 1u) << events;
  EXPECT_EQ(Count(events, "record with an unknown attribute"), 1u) << events;
  EXPECT_EQ(Count(events, "Replica " + dead + ": cannot resolve"), 1u) << events;
  const std::string status = repl.Status(true);
  EXPECT_NE(status.find("\"replica\":\"" + good + "\",\"position\":" + std::to_string(text.size()) +
                        ",\"records_behind\":0"),
            std::string::npos)
      << status;
  EXPECT_NE(status.find("\"refused\":1"), std::string::npos) << status;
  EXPECT_NE(repl.Status(false).find("cannot resolve host"), std::string::npos);

  // A replaced log is read from its start; half a record waits for the rest.
  const std::string dsa = kry::FormatRepLogRecord("replica: " + good + "\n", 6, "kryKey", ReadFile(Corpus("dsa-elg.asc")));
  WriteFile(log + ".new", dsa.substr(0, dsa.size() / 2));
  ASSERT_EQ(rename((log + ".new").c_str(), log.c_str()), 0);
  ASSERT_TRUE(WaitFor([&] { return repl.Events().find("was truncated, replaced or rotated") != std::string::npos; }, 5))
      << repl.Events();
  Sleep(1500);
  EXPECT_TRUE(b.KeyBlocks(ShortIDOf("dsa-elg")).empty());
  {
    std::ofstream out(log, std::ios::app | std::ios::binary);
    out << dsa.substr(dsa.size() / 2);
  }
  EXPECT_TRUE(WaitFor([&] { return b.KeyBlocks(ShortIDOf("dsa-elg")).size() == 1; }, 5)) << repl.Events();

  // Rewritten in place (same inode, no shorter): told apart by its start.
  WriteFile(log, kry::FormatRepLogRecord("replica: " + good + "\n", 7, "kryKey", ReadFile(Corpus("ed25519.asc"))) + dsa);
  EXPECT_TRUE(WaitFor([&] { return b.KeyBlocks(ShortIDOf("ed25519")).size() == 1; }, 5)) << repl.Events();
  EXPECT_EQ(Count(repl.Events(), "was truncated, replaced or rotated"), 2u) << repl.Events();
  EXPECT_EQ(repl.Kill(SIGTERM), 0);
}

// Records appended after the last read of a log that is then rotated
// away are still sent, before the new log's.
TEST_F(Repl3, RotatedLogIsReadToItsEndFirst) {
  KeyServer b(Signers());
  ASSERT_TRUE(b.ok());
  const std::string good = "127.0.0.1:" + std::to_string(b.tree().port);
  const auto record = [&](const std::string& file) {
    return kry::FormatRepLogRecord("replica: " + good + "\n", 1, "kryKey", ReadFile(Corpus(file)));
  };
  TempDir dir;
  const std::string log = dir.File("replog");
  WriteFile(log, record("rsa.asc"));
  Repl repl("RepLogFile " + log + "\nReplica " + good + "\n");
  repl.Start();
  ASSERT_TRUE(WaitFor([&] { return b.KeyBlocks(ShortIDOf("rsa")).size() == 1; }, 10)) << repl.Events();
  ASSERT_EQ(b.Stop(), 0);
  WriteFile(log, record("rsa.asc") + record("dsa-elg.asc"));  // read, then held up by the replica
  ASSERT_TRUE(WaitFor([&] { return repl.Events().find("retrying the record") != std::string::npos; }, 10));
  WriteFile(log, record("rsa.asc") + record("dsa-elg.asc") + record("ed25519.asc"));
  ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
  WriteFile(log, record("ecdsa-p256.asc"));
  ASSERT_TRUE(b.tree().Start());
  EXPECT_TRUE(WaitFor([&] { return b.KeyBlocks(ShortIDOf("ecdsa-p256")).size() == 1; }, 20)) << repl.Events();
  EXPECT_EQ(b.KeyBlocks(ShortIDOf("dsa-elg")).size(), 1u);
  EXPECT_EQ(b.KeyBlocks(ShortIDOf("ed25519")).size(), 1u);
}

// A replicates to B and B to A, each replication process speaking from the
// address the other server lists: a delete on A reaches B and B does not log
// it again.
TEST_F(Repl3, TwoWayPairDoesNotBounceDeletes) {
  TempDir logs;
  // Each server takes the other's records as a client it trusts.
  const std::string peers = Signers() + "Allow ip 127.0.0.2 all\nAllow ip 127.0.0.3 all\n";
  KeyServer a(peers);
  ASSERT_TRUE(a.ok());
  const int portA = a.tree().port;
  KeyServer b(peers + "RepLogFile " + logs.File("b") + "\nReplica 127.0.0.2:" + std::to_string(portA) + "\n");
  ASSERT_TRUE(b.ok());
  const int portB = b.tree().port;
  a.tree().WriteConfig("Allow ip 127.0.0.1 all\n" + peers + "RepLogFile " + logs.File("a") +
                       "\nReplica 127.0.0.3:" + std::to_string(portB) + "\n");
  ASSERT_TRUE(a.Restart());
  Repl ra("RepLogFile " + logs.File("a") + "\nReplica 127.0.0.3:" + std::to_string(portB) + "\n",
          {"--source", "127.0.0.2"});
  Repl rb("RepLogFile " + logs.File("b") + "\nReplica 127.0.0.2:" + std::to_string(portA) + "\n",
          {"--source", "127.0.0.3"});
  ra.Start();
  rb.Start();
  ASSERT_EQ(a.AddFile(Corpus("rsa.asc")).exitCode, 0);
  ASSERT_TRUE(WaitFor([&] { return b.KeyBlocks(ShortIDOf("rsa")).size() == 1; }, 10)) << ra.Events();
  // B logs the add it took and sends it back; where A merges it into a
  // changed block, A logs and sends it once more. Adds have no loop check,
  // so a copy still on its way back after the delete would bring the key
  // back: let the add settle first.
  Sleep(3000);
  ASSERT_EQ(SendRequest(a, "delete-rsa-by-trusted.req").exitCode, 0);
  ASSERT_TRUE(WaitFor([&] { return b.KeyBlocks(ShortIDOf("rsa")).empty(); }, 10))
      << ra.Events() << ReadFile(logs.File("a")) << b.tree().Events();
  Sleep(2500);
  EXPECT_EQ(Count(ReadFile(logs.File("b")), "Request: delete"), 0u) << ReadFile(logs.File("b"));
  // Nothing goes on bouncing between the two.
  const size_t sizeA = ReadFile(logs.File("a")).size(), sizeB = ReadFile(logs.File("b")).size();
  Sleep(2500);
  EXPECT_EQ(ReadFile(logs.File("a")).size(), sizeA);
  EXPECT_EQ(ReadFile(logs.File("b")).size(), sizeB);
  EXPECT_NE(b.tree().Events().find("Single replication loop detected.IP (127.0.0.2)"), std::string::npos);
}

// An unsigned request block, authorised at the primary only by its client's
// TLS key, reaches a TLS replica that allows the key krycertrepl presents,
// and is refused (logged, skipped) over TLS without that key.
TEST_F(Repl3, TLSReplicaTakesAddsAuthorisedByTheClientKey) {
  const int securePort = FreePort();
  KeyServer b("PublicKeyRing " + Corpus("server-pubring.pkr") + "\nPrivateKeyRing " + Corpus("server-secring.skr") +
                  "\nServerSecureKeyID 0x" + CertIDOf("server") + "\nSecureMode Required\nMustSignAdds yes\n" +
                  "Allow keyid 0x" + CertIDOf("trusted-signer") + " add\n",
              {"-t", std::to_string(securePort)});
  ASSERT_TRUE(b.ok()) << b.tree().Output();
  TempDir dir;
  const ClientCert primary = MakeClientCert(Corpus("trusted-signer-secret.asc"), dir.path(), "primary");
  ASSERT_TRUE(primary.ok());
  const std::string name = "ldaps://127.0.0.1:" + std::to_string(securePort);
  const std::string log = dir.File("replog");
  WriteFile(log, kry::FormatRepLogRecord("replica: " + name + "\n", 1, "kryRequest",
                                         ReadFile(Corpus("add-unsigned-tls.req"))));
  {
    Repl anonymous("RepLogFile " + log + "\nReplica " + name + "\n");
    anonymous.Start();
    ASSERT_TRUE(WaitFor([&] { return anonymous.Events().find("refused the record at position 0") != std::string::npos; },
                        10))
        << anonymous.Events();
  }
  EXPECT_TRUE(b.KeyBlocks(ShortIDOf("rsa")).empty());
  // Its own state: the first process stored the refused record as done.
  Repl repl("RepLogFile " + log + "\nReplica " + name + "\n",
            {"--cert", primary.cert, "--key", primary.key, "--state-dir", dir.File("state")});
  repl.Start();
  EXPECT_TRUE(WaitFor([&] { return b.KeyBlocks(ShortIDOf("rsa")).size() == 1; }, 10)) << repl.Events();
}

}  // namespace
}  // namespace krytest
