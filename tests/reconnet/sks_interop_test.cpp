// Reconciliation with a private SKS keyserver on loopback (Debian's sks,
// as a black box): 200 keys only in SKS and 200 only in krycertd converge
// both ways within three of krycertd's gossip rounds, and a key added later
// on either side arrives on the other. Skipped when sks is not installed.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>

#include "reconnet/recon_support.h"

namespace krytest {
namespace {

// A private SKS instance (db and recon processes), ended by their IDs.
class SksPeer {
 public:
  SksPeer(int http, int recon, const std::string& dumpDir, const std::string& members) {
    const char* source = std::getenv("KRY_SOURCE_DIR");
    const RunResult r = RunShell("MEMBERS=" + ShellQuote(members) + " GOSSIP_MIN=1 " +
                                 ShellQuote(std::string(source ? source : ".") + "/tests/support/sks/run-sks.sh") +
                                 " " + ShellQuote(dir_.File("sks")) + " " + std::to_string(http) + " " +
                                 std::to_string(recon) + " " + ShellQuote(dumpDir) + " 2>&1");
    output = r.output;
    ok = r.exitCode == 0;
  }
  ~SksPeer() {
    // SKS's side of the story when the exchange went wrong.
    if (::testing::Test::HasFailure())
      printf("%s\n", RunShell("tail -40 " + ShellQuote(dir_.File("sks/var/log/sks/recon.log"))).output.c_str());
    for (const char* name : {"recon.pid", "db.pid"}) {
      const long pid = std::atol(ReadFile(dir_.File("sks/") + name).c_str());
      if (pid > 0) kill(static_cast<pid_t>(pid), SIGTERM);
    }
    sleep(1);
  }
  bool ok = false;
  std::string output;

 private:
  TempDir dir_;
};

bool HaveSks() { return RunShell("command -v sks >/dev/null 2>&1").exitCode == 0; }

TEST(ReconWithSks, KeysConvergeBothWaysAndLaterKeysFollow) {
  if (!HaveSks()) GTEST_SKIP() << "sks is not installed (Debian package sks): interop with SKS not tested";
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  const std::vector<TestKey> onlySks = GeneratedKeys(10000, 200), onlyKry = GeneratedKeys(10200, 200);
  const std::vector<TestKey> later = GeneratedKeys(10400, 2);
  TempDir dump;
  std::string binary;
  for (const TestKey& k : onlySks) binary += k.binary;
  WriteFile(dump.File("0.pgp"), binary);

  const int sksHttp = FreePort(), sksRecon = FreePort(), kryHttp = FreePort(), kryRecon = FreePort();
  ReconServer kry(kryHttp, kryRecon, "");
  ASSERT_TRUE(kry.server.ok()) << kry.server.tree().Output();
  ASSERT_EQ(SubmitKeys(kryHttp, onlyKry), 200);
  // Gossip only once the keys are in, so that each round counts.
  ASSERT_TRUE(kry.Reconfigure("ReconPartner 127.0.0.1 " + std::to_string(sksRecon) + " " + std::to_string(sksHttp) +
                              "\nReconInterval 5\n"));
  SksPeer sks(sksHttp, sksRecon, dump.path(), "127.0.0.1 " + std::to_string(kryRecon));
  ASSERT_TRUE(sks.ok) << sks.output;
  ASSERT_EQ(HeldByDigest(sksHttp, onlySks), onlySks.size()) << "SKS serves its dump by digest";

  const std::string sksPeer = "127.0.0.1:" + std::to_string(sksRecon);
  EXPECT_TRUE(WaitUntil(120, [&] {
    return HeldByDigest(kryHttp, onlySks) == onlySks.size() && HeldByDigest(sksHttp, onlyKry) == onlyKry.size();
  }));
  std::string stats = StatsJson(kryHttp);
  printf("converged: %s\n", stats.c_str());
  EXPECT_LE(PeerStat(stats, sksPeer, "out", "rounds"), 3u);

  // One key added to each side afterwards.
  ASSERT_EQ(SubmitKeys(kryHttp, {later[0]}), 200);
  const RunResult added = RunShell("curl -s --max-time 20 -o /dev/null -w '%{http_code}' --data-urlencode keytext=" +
                                   ShellQuote(later[1].armored) + " http://127.0.0.1:" + std::to_string(sksHttp) +
                                   "/pks/add");
  EXPECT_EQ(added.output, "200");
  EXPECT_TRUE(WaitUntil(60, [&] {
    return HeldByDigest(sksHttp, {later[0]}) == 1 && HeldByDigest(kryHttp, {later[1]}) == 1;
  }));
  printf("later: %s\n", StatsJson(kryHttp).c_str());
}

}  // namespace
}  // namespace krytest
