// The blocklist against the real server: krycertctl block purges a key with
// every entry it owns, the block survives a restart, a kill -9 in the middle
// of a purge and "BlockListFile", and a blocked key's submission is refused
// over LDAP (50) and HKP (410) until it is unblocked.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "certadd_support.h"
#include "support/corpus_ids.h"

namespace krytest {
namespace {

std::string CertDN(const std::string& name) { return "kryCertID=" + corpus::KeyId(name) + "," + kActiveOU; }

RunResult Ctl(ServerTree& tree, const std::string& args) {
  const char* dir = std::getenv("KRY_BINARY_DIR");
  return RunShell("KRYCERTD_SETTINGS=" + ShellQuote(tree.settings) + " timeout 120 " +
                  ShellQuote(std::string(dir ? dir : ".") + "/tools/krycertctl/krycertctl") + " --command-port " +
                  std::to_string(tree.commandPort) + " " + args + " 2>&1");
}

// Entries stored below (and at) the key's certificate entry.
size_t EntriesOf(KeyServer& server, const std::string& name) {
  return server.Search(CertDN(name), "(objectclass=*)", {"1.1"}).size();
}

int HkpSubmitStatus(int port, const std::string& file) {
  return std::atoi(RunShell("curl -s -o /dev/null --max-time 20 -w '%{http_code}' --data-urlencode keytext@" +
                            ShellQuote(file) + " http://127.0.0.1:" + std::to_string(port) + "/pks/add")
                       .output.c_str());
}

TEST(BlockList, BlockPurgesRestartKeepsItAndSubmissionsAreRefused) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  const int hkp = FreePort();
  TempDir logs;
  KeyServer server("HKPPort " + std::to_string(hkp) + "\nRepLogFile " + logs.File("replog") +
                   "\nReplica 127.0.0.2:3890\n");
  ASSERT_TRUE(server.ok()) << server.tree().Output();
  ASSERT_EQ(server.AddFile(Corpus("multi-uid.asc")).exitCode, 0);
  ASSERT_EQ(server.AddFile(Corpus("rsa.asc")).exitCode, 0);
  ASSERT_GT(EntriesOf(server, "multi-uid"), 2u);

  RunResult r = Ctl(server.tree(), "block " + corpus::Fingerprint("multi-uid") + " --reason 'asked to be forgotten'");
  ASSERT_EQ(r.exitCode, 0) << r.output << server.tree().Events();
  EXPECT_EQ(EntriesOf(server, "multi-uid"), 0u);
  EXPECT_EQ(server.KeyBlocks(corpus::ShortId("rsa")).size(), 1u);  // others stay
  EXPECT_NE(ReadFile(server.tree().data + "/blocklist").find(corpus::Fingerprint("multi-uid")), std::string::npos);
  EXPECT_NE(Ctl(server.tree(), "block 0x1234").exitCode, 0);
  // Replicas hear of it through the replication log.
  const std::string record = ReadFile(logs.File("replog"));
  std::string b64 = record.substr(record.find("kryRequest:: ") + 13);
  b64 = b64.substr(0, b64.find("\n\n"));
  for (size_t fold; (fold = b64.find("\n ")) != std::string::npos;) b64.erase(fold, 2);  // LDIF folding
  EXPECT_EQ(RunShell("echo " + b64 + " | base64 -d").output,
            "REQUEST: BLOCK\n\n" + corpus::Fingerprint("multi-uid") + "\n")
      << record;

  ASSERT_TRUE(server.Restart()) << server.tree().Output();
  r = server.AddFile(Corpus("multi-uid.asc"));
  EXPECT_EQ(r.exitCode, 50) << r.output;
  EXPECT_NE(r.output.find("This key is blocked on this server and cannot be stored."), std::string::npos) << r.output;
  EXPECT_EQ(HkpSubmitStatus(hkp, Corpus("multi-uid.asc")), 410);
  EXPECT_EQ(EntriesOf(server, "multi-uid"), 0u);

  r = Ctl(server.tree(), "unblock " + corpus::Fingerprint("multi-uid"));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(server.AddFile(Corpus("multi-uid.asc")).exitCode, 0);
  EXPECT_NE(Ctl(server.tree(), "unblock " + corpus::Fingerprint("multi-uid")).exitCode, 0);
}

// A key owning 5,000 entries (its certificate's children, added here as
// plain entries, as cheap as user-ID entries to store and to delete) is
// blocked and the server killed as the purge starts: the next start, with
// recovery, finishes the purge. A key named only by "BlockListFile" and
// stored before is purged at that start too.
TEST(BlockList, KillDuringPurgeIsFinishedAtTheNextStart) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  KeyServer server("SizeLimit 100000\n");
  ASSERT_TRUE(server.ok()) << server.tree().Output();
  ASSERT_EQ(server.AddFile(Corpus("multi-uid.asc")).exitCode, 0);
  ASSERT_EQ(server.AddFile(Corpus("rsa.asc")).exitCode, 0);
  std::string ldif;
  for (int i = 0; i < 5000; ++i)
    ldif += "dn: kryUserID=filler " + std::to_string(i) + "," + CertDN("multi-uid") +
            "\nobjectclass: kryUserID\nkryUserID: filler " + std::to_string(i) + "\n\n";
  RunResult r = server.AddLdif(ldif);
  ASSERT_EQ(r.exitCode, 0) << r.output.substr(0, 2000);
  ASSERT_GT(EntriesOf(server, "multi-uid"), 5000u);

  ServerTree& tree = server.tree();
  WriteFile(tree.etc + "/seed.txt", "# seeded\n" + corpus::Fingerprint("rsa") + "\n");
  tree.WriteConfig("Allow ip 127.0.0.1 all\nSizeLimit 100000\nBlockListFile " + tree.etc + "/seed.txt\n");
  const std::string fpr = corpus::Fingerprint("multi-uid");
  std::thread blocker([&] { Ctl(tree, "block " + fpr); });
  // The list is written before the purge starts: the kill follows at once.
  bool blocked = false;
  for (int i = 0; i < 200000 && !blocked; ++i) {
    blocked = ReadFile(tree.data + "/blocklist").find(fpr) != std::string::npos;
    if (!blocked) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  tree.Signal(SIGKILL);
  blocker.join();
  ASSERT_TRUE(blocked) << tree.Events();
  EXPECT_EQ(tree.Stop(SIGKILL), -1);

  // The start-up purge runs before the port opens, which may take longer
  // than the harness waits for a start on a busy machine.
  bool started = tree.Start();
  for (int i = 0; i < 1200 && !started && tree.Running(); ++i) {
    Client c;
    started = c.Connect(tree.port, 100);
    if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(started) << tree.Output();
  const bool finishedAtStart = tree.WaitForEvent("Blocked key 0x" + corpus::KeyId("multi-uid") + " purged.", 5000);
  std::printf("kill -9 landed %s the purge\n", finishedAtStart ? "during" : "after");
  EXPECT_EQ(EntriesOf(server, "multi-uid"), 0u);
  EXPECT_TRUE(server.KeyBlocks(corpus::ShortId("rsa")).empty());
  EXPECT_EQ(server.AddFile(Corpus("rsa.asc")).exitCode, 50);
  const std::string list = ReadFile(tree.data + "/blocklist");
  EXPECT_NE(list.find(fpr), std::string::npos);
  EXPECT_NE(list.find(corpus::Fingerprint("rsa")), std::string::npos);
  // Searches hide blocked keys: unblocked, nothing of the key is left.
  ASSERT_EQ(Ctl(tree, "unblock " + fpr).exitCode, 0);
  EXPECT_EQ(EntriesOf(server, "multi-uid"), 0u);
}

}  // namespace
}  // namespace krytest
