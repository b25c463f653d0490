// Two krycertd servers reconciling over the real ports: a server that lacks
// 2,000 keys and holds 2,000 the other lacks converges both ways; peers that
// are not allowed, that send garbage or that stall lose only their own
// session.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "reconnet/recon_support.h"

namespace krytest {
namespace {

constexpr long kEachSide = 2000;

TEST(ReconBetweenServers, TwoThousandKeysEachWayConvergeAndBadPeersLoseOnlyTheirSession) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  const std::vector<TestKey> onlyA = GeneratedKeys(0, kEachSide), onlyB = GeneratedKeys(kEachSide, kEachSide);
  const int aHttp = FreePort(), aRecon = FreePort(), bHttp = FreePort(), bRecon = FreePort();
  // B lets A in as its partner and 127.0.0.3 by pattern; only A gossips.
  ReconServer b(bHttp, bRecon, "ReconPartner localhost " + std::to_string(aRecon) + " " + std::to_string(aHttp) +
                                   "\nReconInterval 86400\nReconAllow 127.0.0.3\n");
  ASSERT_TRUE(b.server.ok()) << b.server.tree().Output();
  ASSERT_EQ(SubmitKeys(bHttp, onlyB), 200);
  ReconServer a(aHttp, aRecon, "");
  ASSERT_TRUE(a.server.ok()) << a.server.tree().Output();
  const auto began = std::chrono::steady_clock::now();
  ASSERT_EQ(SubmitKeys(aHttp, onlyA), 200);
  printf("loaded %ld keys into A in %.1f s\n", kEachSide,
         std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
  // A gossips only once its keys are in, so that each round counts.
  const int aMetrics = FreePort();
  ASSERT_TRUE(a.Reconfigure("ReconPartner 127.0.0.1 " + std::to_string(bRecon) + " " + std::to_string(bHttp) +
                            "\nReconInterval 3\nMetricsPort " + std::to_string(aMetrics) + "\n"))
      << a.server.tree().Output();

  // The bad peers first, so that the exchange after them shows B unharmed.
  const int stranger = ConnectFrom("127.0.0.5", bRecon);
  char c;
  EXPECT_EQ(recv(stranger, &c, 1, 0), 0) << "a peer that is not allowed is closed at once";
  close(stranger);
  const int stalling = ConnectFrom("127.0.0.3", bRecon);  // says nothing, holds its session
  const int garbage = ConnectFrom("127.0.0.1", bRecon);
  const std::string oversized("\xFF\xFF\xFF\xF0\x0A", 5);  // a message of almost 4 GiB announced
  ASSERT_EQ(send(garbage, oversized.data(), oversized.size(), MSG_NOSIGNAL), 5);
  timeval tv{30, 0};
  setsockopt(garbage, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char buffer[4096];
  while (recv(garbage, buffer, sizeof buffer, 0) > 0) {
  }
  close(garbage);

  const auto converging = std::chrono::steady_clock::now();
  const std::string bPeer = "127.0.0.1:" + std::to_string(bRecon);
  EXPECT_TRUE(WaitUntil(240, [&] {
    return HeldByDigest(aHttp, onlyB) == onlyB.size() && HeldByDigest(bHttp, onlyA) == onlyA.size();
  }));
  const std::string aStats = StatsJson(aHttp), bStats = StatsJson(bHttp);
  printf("converged in %.1f s\nA: %s\nB: %s\n",
         std::chrono::duration<double>(std::chrono::steady_clock::now() - converging).count(), aStats.c_str(),
         bStats.c_str());
  EXPECT_LE(PeerStat(aStats, bPeer, "out", "rounds"), 3u);
  EXPECT_EQ(PeerStat(aStats, bPeer, "out", "keysRecovered"), static_cast<uint64_t>(kEachSide));
  EXPECT_EQ(PeerStat(bStats, "127.0.0.1", "in", "keysRecovered"), static_cast<uint64_t>(kEachSide));
  EXPECT_NE(bStats.find("\"refusedNotAllowed\":1"), std::string::npos);
  EXPECT_GE(PeerStat(bStats, "127.0.0.1", "in", "failures"), 1u) << "the oversized message";
  EXPECT_NE(RunShell("curl -s http://127.0.0.1:" + std::to_string(aHttp) + "/pks/stats").output.find("Reconciliation"),
            std::string::npos);
  TempDir scrape;
  RunShell("curl -s -o " + ShellQuote(scrape.File("metrics")) + " http://127.0.0.1:" + std::to_string(aMetrics) +
           "/metrics");
  EXPECT_NE(ReadFile(scrape.File("metrics"))
                .find("krycertd_recon_keys_recovered_total{peer=\"" + bPeer + "\",direction=\"out\"} 2000"),
            std::string::npos);
  if (RunShell("command -v promtool").exitCode == 0) {
    const RunResult check = RunShell("promtool check metrics < " + ShellQuote(scrape.File("metrics")) + " 2>&1");
    EXPECT_EQ(check.exitCode, 0) << check.output;
  }
  close(stalling);
}

}  // namespace
}  // namespace krytest
