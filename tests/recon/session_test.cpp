// Two in-process sets reconciled over a socketpair, and peers that send
// what they should not.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "recon/session.h"
#include "recon/wire.h"
#include "tests/recon/recon_support.h"

using namespace recon;

namespace {

struct Pair {
  int fd[2] = {-1, -1};
  Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
  ~Pair() {
    for (int f : fd) {
      if (f >= 0) close(f);
    }
  }
};

struct Outcome {
  int initiatorStatus = -1, responderStatus = -1;
  SessionResult initiator, responder;
};

Outcome Reconcile(const ReconSet& initiatorSet, const ReconSet& responderSet,
                  const SessionLimits& lim = SessionLimits()) {
  Pair sp;
  Outcome o;
  ReconParams p;
  std::thread t([&] {
    o.initiatorStatus = RunReconSession(sp.fd[0], true, initiatorSet, p, 11371, lim, &o.initiator);
  });
  o.responderStatus = RunReconSession(sp.fd[1], false, responderSet, p, 11372, lim, &o.responder);
  t.join();
  return o;
}

// Runs a responder against bytes a test peer writes, with a short timeout.
SessionResult AgainstRawPeer(const std::string& bytes, int* status, bool closeAfter = true) {
  Pair sp;
  ReconSet set;
  set.InsertMany(recontest::RandomDigests(20, 9));
  SessionLimits lim;
  lim.ioTimeoutMs = 300;
  lim.maxMessage = 1 << 20;
  lim.maxElements = 1000;
  std::thread peer([&] {
    ssize_t n = write(sp.fd[0], bytes.data(), bytes.size());
    EXPECT_EQ(n, (ssize_t)bytes.size());
    if (closeAfter) shutdown(sp.fd[0], SHUT_WR);
  });
  SessionResult r;
  *status = RunReconSession(sp.fd[1], true, set, ReconParams(), 1, lim, &r);
  peer.join();
  return r;
}

std::string PeerConfig(int mbar = 5) {
  Message c;
  c.type = MsgType::kConfig;
  auto i32 = [](int v) { return std::string{0, 0, 0, (char)v}; };
  c.config = {{"bitquantum", i32(2)}, {"filters", "yminsky.dedup"}, {"http port", std::string{0, 0, 0x2c, 0x6b}},
              {"mbar", i32(mbar)}, {"version", "1.1.6"}};
  return EncodeMessage(c) + EncodeString("passed");
}

}  // namespace

TEST(ReconSession, ConvergesOnDifferencesOfEverySize) {
  auto pool = recontest::RandomDigests(3000, 42);
  // (common, only initiator, only responder): none, one, a few, more than
  // the samples resolve (forcing recursion), one side empty, large.
  const size_t cases[][3] = {{500, 0, 0}, {500, 1, 0}, {500, 0, 1}, {500, 3, 2},
                             {500, 40, 30}, {0, 0, 300}, {0, 300, 0}, {1000, 700, 300}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c[0]) + "/" + std::to_string(c[1]) + "/" + std::to_string(c[2]));
    ReconSet a, b;
    std::vector<Digest> common(pool.begin(), pool.begin() + c[0]);
    std::vector<Digest> onlyA(pool.begin() + 1000, pool.begin() + 1000 + c[1]);
    std::vector<Digest> onlyB(pool.begin() + 2000, pool.begin() + 2000 + c[2]);
    a.InsertMany(common);
    b.InsertMany(common);
    a.InsertMany(onlyA);
    b.InsertMany(onlyB);
    Outcome o = Reconcile(a, b);
    ASSERT_EQ(o.initiatorStatus, kReconOk) << o.initiator.failure;
    ASSERT_EQ(o.responderStatus, kReconOk) << o.responder.failure;
    ASSERT_EQ(o.initiator.weLack.size(), onlyB.size());
    ASSERT_EQ(o.responder.weLack.size(), onlyA.size());
    EXPECT_EQ(o.initiator.weLack, recontest::Sorted(onlyB));
    EXPECT_EQ(o.responder.weLack, recontest::Sorted(onlyA));
    EXPECT_EQ(o.initiator.peerHttpPort, 11372);
    EXPECT_EQ(o.responder.peerVersion, "1.1.6");
    EXPECT_EQ(o.initiator.bytesOut, o.responder.bytesIn);
  }
}

TEST(ReconSession, BadPeersEndOnlyTheirSession) {
  int st = 0;
  SessionResult r = AgainstRawPeer(PeerConfig(6), &st);
  EXPECT_EQ(st, kReconConfigMismatch);
  EXPECT_NE(r.failure.find("mbar"), std::string::npos) << r.failure;

  r = AgainstRawPeer(PeerConfig() + std::string{0x7f, 0, 0, 0, 0}, &st);
  EXPECT_EQ(st, kReconTooLarge) << r.failure;

  // A polynomial request with one sample too few.
  Message poly;
  poly.type = MsgType::kReconRqstPoly;
  poly.size = 3;
  poly.samples.assign(5, Zp::FromU64(1));
  r = AgainstRawPeer(PeerConfig() + EncodeMessage(poly), &st);
  EXPECT_EQ(st, kReconProtocolError);
  // A body cut short, and a prefix longer than its bytes say.
  const std::string cut = {0, 0, 0, 9, 2, 0, 0, 0, 1, 0, 0, 0, 0};
  r = AgainstRawPeer(PeerConfig() + cut, &st);
  EXPECT_EQ(st, kReconProtocolError) << r.failure;
  const std::string shortPrefix = {0, 0, 0, 14, 1, 0, 0, 0, 10, 0, 0, 0, 1, 0x40, 0, 0, 0, 0};
  r = AgainstRawPeer(PeerConfig() + shortPrefix, &st);
  EXPECT_EQ(st, kReconProtocolError) << r.failure;

  Message flood;
  flood.type = MsgType::kElements;
  flood.elements.assign(1001, Zp::FromU64(5));
  r = AgainstRawPeer(PeerConfig() + EncodeMessage(flood), &st);
  EXPECT_EQ(st, kReconTooMany) << r.failure;

  // Config, then silence with the connection open.
  r = AgainstRawPeer(PeerConfig(), &st, false);
  EXPECT_EQ(st, kReconTimeout) << r.failure;
  r = AgainstRawPeer(PeerConfig(), &st);
  EXPECT_EQ(st, kReconIoError) << r.failure;
}
