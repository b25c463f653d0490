// Reconciliation against a real SKS peer on loopback, started from a dump of
// corpus keys: SKS holds keys 0-259 of bulk-rsa, we hold 40-299, so each side
// lacks exactly 40 keys, more than one node's samples resolve.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/pgp/armor.h"
#include "platform/pgp/packet.h"
#include "recon/session.h"
#include "tests/support/corpus_files.h"
#include "tests/support/harness.h"

using namespace recon;

namespace {

struct Key {
  krypgp::Bytes bytes;
  Digest digest;
};

// The keys of an armoured corpus file, each with its digest.
std::vector<Key> LoadKeys(const std::string& name) {
  std::string text = corpus::Text(name);
  std::vector<krypgp::ArmorBlock> blocks;
  std::vector<krypgp::Packet> packets;
  std::vector<Key> keys;
  if (krypgp::DearmorAll((const uint8_t*)text.data(), text.size(), &blocks) != 0) {
    ADD_FAILURE() << "cannot read " << name;
    return keys;
  }
  for (const auto& b : blocks) {
    packets.clear();
    EXPECT_EQ(krypgp::ParsePackets(b.data.data(), b.data.size(), &packets), 0);
    for (const auto& p : packets) {
      if (p.tag == krypgp::kTagPublicKey) keys.emplace_back();
      if (!keys.empty()) krypgp::WritePacket(p, &keys.back().bytes);
    }
  }
  for (auto& k : keys) {
    EXPECT_EQ(krypgp::ComputeSksDigest(k.bytes.data(), k.bytes.size(), &k.digest), 0);
  }
  return keys;
}

bool HaveSks() { return krytest::RunShell("command -v sks >/dev/null 2>&1").exitCode == 0; }

// A private SKS instance; stopped with the object.
class SksPeer {
 public:
  SksPeer(const std::vector<Key>& keys, const std::string& members) {
    std::string dump = dir_.File("dump");
    krytest::RunShell("mkdir -p " + krytest::ShellQuote(dump));
    std::string all;
    for (const auto& k : keys) all.append(k.bytes.begin(), k.bytes.end());
    krytest::WriteFile(dump + "/keys.pgp", all);
    reconPort = krytest::FreePort();
    int hkp = krytest::FreePort();
    std::string script = std::string(std::getenv("KRY_SOURCE_DIR")) + "/tests/support/sks/run-sks.sh";
    auto r = krytest::RunShell("MEMBERS=" + krytest::ShellQuote(members) + " GOSSIP_MIN=1 " +
                               krytest::ShellQuote(script) + " " + dir_.File("sks") + " " +
                               std::to_string(hkp) + " " + std::to_string(reconPort) + " " + dump +
                               " 2>&1");
    up = r.exitCode == 0;
    EXPECT_TRUE(up) << r.output;
  }
  ~SksPeer() {
    for (const char* f : {"sks/recon.pid", "sks/db.pid"}) {
      std::string pid = krytest::ReadFile(dir_.File(f));
      if (atoi(pid.c_str()) > 0) kill(atoi(pid.c_str()), SIGTERM);
    }
  }
  // Waits up to 10 s for SKS to log that it recovered `n` hashes from us
  // for the `times`th time.
  bool Recovered(size_t n, int times) const {
    const std::string line = std::to_string(n) + " hashes recovered";
    for (int i = 0; i < 100; ++i) {
      std::string log = krytest::ReadFile(dir_.File("sks/var/log/sks/recon.log"));
      int seen = 0;
      for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++seen;
      if (seen >= times) return true;
      usleep(100000);
    }
    return false;
  }
  int reconPort = 0;
  bool up = false;

 private:
  krytest::TempDir dir_;
};

std::vector<Digest> Digests(const std::vector<Key>& keys, size_t from, size_t to) {
  std::vector<Digest> out;
  for (size_t i = from; i < to; ++i) out.push_back(keys[i].digest);
  std::sort(out.begin(), out.end());
  return out;
}

int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons((uint16_t)port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (sockaddr*)&a, sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int Listen(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons((uint16_t)port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, (sockaddr*)&a, sizeof a) != 0 || listen(fd, 4) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

// Both roles against one SKS: we connect to it first (it drives), then it
// gossips to us within its one-minute interval (we drive).
TEST(ReconInterop, BothRolesAgainstSks) {
  if (!HaveSks()) GTEST_SKIP() << "sks is not installed; the SKS interoperability test needs it";
  auto keys = LoadKeys("bulk-rsa.asc");
  ASSERT_EQ(keys.size(), 300u);
  int ourPort = krytest::FreePort();
  int listener = Listen(ourPort);
  ASSERT_GE(listener, 0);
  SksPeer sks({keys.begin(), keys.begin() + 260}, "127.0.0.1 " + std::to_string(ourPort));
  ASSERT_TRUE(sks.up);
  ReconSet ours;
  ours.InsertMany(Digests(keys, 40, 300));
  const std::vector<Digest> expected = Digests(keys, 0, 40);

  int fd = Connect(sks.reconPort);
  ASSERT_GE(fd, 0);
  SessionResult r;
  int st = RunReconSession(fd, true, ours, ReconParams(), 1, SessionLimits(), &r);
  close(fd);
  ASSERT_EQ(st, kReconOk) << r.failure;
  EXPECT_EQ(r.weLack, expected);
  EXPECT_EQ(r.peerVersion, "1.1.6");
  EXPECT_TRUE(sks.Recovered(40, 1)) << "sks did not learn the 40 keys only we hold";
  std::printf("as initiator: %zu lacking, %llu bytes in, %llu out\n", r.weLack.size(),
              (unsigned long long)r.bytesIn, (unsigned long long)r.bytesOut);

  pollfd p{listener, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 150000), 1) << "sks did not gossip to us";
  fd = accept(listener, nullptr, nullptr);
  close(listener);
  ASSERT_GE(fd, 0);
  st = RunReconSession(fd, false, ours, ReconParams(), 1, SessionLimits(), &r);
  close(fd);
  ASSERT_EQ(st, kReconOk) << r.failure;
  EXPECT_EQ(r.weLack, expected);
  EXPECT_TRUE(sks.Recovered(40, 2)) << "sks did not learn the 40 keys only we hold";
  std::printf("as responder: %zu lacking, %llu bytes in, %llu out\n", r.weLack.size(),
              (unsigned long long)r.bytesIn, (unsigned long long)r.bytesOut);
}
