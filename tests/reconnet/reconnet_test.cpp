// The parts of reconciliation in the server that stand without a directory:
// the hash-query client against a scripted HTTP peer, the fetch's batches
// and its memory of refused keys, the peer table and the listener's
// admission.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>

#include "recon/net/digest_memory.h"
#include "recon/net/fetch.h"
#include "recon/net/hashquery_client.h"
#include "recon/net/listener.h"
#include "recon/net/peer_stats.h"
#include "recon/net/peers.h"
#include "recon/net/socket.h"

namespace kry {
namespace recon_net {
namespace {

std::string U32(uint32_t v) {
  std::string s;
  for (int shift = 24; shift >= 0; shift -= 8) s.push_back(static_cast<char>((v >> shift) & 0xFF));
  return s;
}

// A one-packet "key" (new-format user ID packet): enough for a digest.
std::string FakeKey(int i) {
  const std::string body = "key number " + std::to_string(i);
  return std::string("\xCD", 1) + static_cast<char>(body.size()) + body;
}

krypgp::SksDigest DigestOf(const std::string& key) {
  krypgp::SksDigest d{};
  EXPECT_EQ(krypgp::ComputeSksDigest(reinterpret_cast<const uint8_t*>(key.data()), key.size(), &d), 0);
  return d;
}

TEST(HashqueryAnswer, ParsesKeysAndRefusesMalformedAnswers) {
  std::vector<std::string> keys;
  std::string error;
  const std::string two = U32(2) + U32(3) + "abc" + U32(1) + "d";
  ASSERT_TRUE(ParseHashqueryAnswer(two + "\r\n", 2, &keys, &error)) << error;
  EXPECT_EQ(keys, (std::vector<std::string>{"abc", "d"}));
  EXPECT_TRUE(ParseHashqueryAnswer(two, 2, &keys, &error));
  EXPECT_FALSE(ParseHashqueryAnswer(two, 1, &keys, &error));  // more keys than asked for
  EXPECT_FALSE(ParseHashqueryAnswer(two + "junk", 2, &keys, &error));
  EXPECT_FALSE(ParseHashqueryAnswer(U32(2) + U32(3) + "abc" + U32(100) + "d", 2, &keys, &error));
  EXPECT_FALSE(ParseHashqueryAnswer(U32(1) + U32(0), 2, &keys, &error));
  EXPECT_FALSE(ParseHashqueryAnswer("\0\0", 2, &keys, &error));
  EXPECT_TRUE(keys.empty());

  int status = 0;
  std::string body;
  EXPECT_TRUE(SplitHttpResponse("HTTP/1.1 200 OK\r\nContent-length: 4\r\n\r\nabcd", &status, &body, &error));
  EXPECT_EQ(status, 200);
  EXPECT_EQ(body, "abcd");
  EXPECT_FALSE(SplitHttpResponse("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabcd", &status, &body, &error));
  EXPECT_FALSE(SplitHttpResponse("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nabcd", &status, &body,
                                 &error));
  EXPECT_FALSE(SplitHttpResponse("HTTP/1.1 200 OK\r\n", &status, &body, &error));
}

// An HTTP peer answering hash queries from `keys` (by digest), putting the
// `extra` key nobody asked for in the room a digest it lacks leaves; it
// records each request's digest count.
class HashqueryPeer {
 public:
  explicit HashqueryPeer(std::vector<std::string> keys, std::string extra = std::string())
      : extra_(std::move(extra)) {
    for (const std::string& k : keys) byDigest_[DigestOf(k)] = k;
    Socket s(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof at;
    EXPECT_EQ(::bind(s.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ::listen(s.get(), 8);
    getsockname(s.get(), reinterpret_cast<sockaddr*>(&at), &len);
    port = ntohs(at.sin_port);
    listen_ = std::move(s);
    thread_ = std::thread([this] { Serve(); });
  }
  ~HashqueryPeer() {
    ::shutdown(listen_.get(), SHUT_RDWR);
    thread_.join();
  }
  int port = 0;
  std::vector<size_t> batches;

 private:
  void Serve() {
    for (;;) {
      Socket c(::accept(listen_.get(), nullptr, nullptr));
      if (!c) return;
      std::string in;
      char buf[4096];
      size_t need = std::string::npos;
      while (need == std::string::npos || in.size() < need) {
        const ssize_t n = ::recv(c.get(), buf, sizeof buf, 0);
        if (n <= 0) break;
        in.append(buf, static_cast<size_t>(n));
        const size_t end = in.find("\r\n\r\n");
        const size_t cl = in.find("Content-Length: ");
        if (end != std::string::npos && cl != std::string::npos) need = end + 4 + std::stoul(in.substr(cl + 16));
      }
      const std::string body = in.substr(in.find("\r\n\r\n") + 4);
      const size_t count = body.size() / 20;
      batches.push_back(count);
      std::string answer, keys;
      uint32_t found = 0;
      for (size_t i = 0; i < count; ++i) {
        krypgp::SksDigest d;
        std::copy(body.begin() + 4 + static_cast<long>(i) * 20 + 4, body.begin() + 4 + static_cast<long>(i) * 20 + 20,
                  d.begin());
        auto k = byDigest_.find(d);
        if (k == byDigest_.end()) continue;
        keys += U32(static_cast<uint32_t>(k->second.size())) + k->second;
        ++found;
      }
      if (!extra_.empty() && found < count) {
        keys += U32(static_cast<uint32_t>(extra_.size())) + extra_;
        ++found;
      }
      answer = U32(found) + keys + "\r\n";
      const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: pgp/keys\r\nContent-Length: " +
                               std::to_string(answer.size()) + "\r\n\r\n";
      SendAll(c.get(), head.data(), head.size());
      SendAll(c.get(), answer.data(), answer.size());
    }
  }

  std::map<krypgp::SksDigest, std::string> byDigest_;
  std::string extra_;
  Socket listen_;
  std::thread thread_;
};

TEST(FetchMissing, FetchesInBatchesSubmitsOnlyWhatWasAskedAndSkipsKeysAlreadyJudged) {
  std::vector<std::string> held;
  std::vector<krypgp::SksDigest> lack;
  for (int i = 0; i < 250; ++i) {
    held.push_back(FakeKey(i));
    lack.push_back(DigestOf(held.back()));
  }
  const std::string refusedKey = held[7];
  lack.push_back(DigestOf(FakeKey(999)));  // the peer does not have it after all
  // The extra key would fit the filter, but it was never asked for.
  HashqueryPeer peer(held, FakeKey(5000));
  DigestMemory memory(1000);
  std::vector<std::string> submitted;
  const KeySubmitter submit = [&](const std::string& key) {
    submitted.push_back(key);
    return key == refusedKey ? SubmitOutcome::kRefused : SubmitOutcome::kStored;
  };
  std::atomic<bool> stop{false};
  FetchCounts counts;
  std::string error;
  ASSERT_TRUE(FetchMissing("127.0.0.1", peer.port, lack, HashqueryLimits(), &memory, submit, stop, &counts, &error))
      << error;
  EXPECT_EQ(peer.batches, (std::vector<size_t>{100, 100, 51}));
  EXPECT_EQ(submitted.size(), 250u);
  EXPECT_EQ(counts.stored, 249u);
  EXPECT_EQ(counts.refused, 2u);  // the refused key, and the extra never submitted

  // Next round: only the digest the peer did not answer is asked again.
  submitted.clear();
  ASSERT_TRUE(FetchMissing("127.0.0.1", peer.port, lack, HashqueryLimits(), &memory, submit, stop, &counts, &error));
  EXPECT_EQ(peer.batches.back(), 1u);
  EXPECT_TRUE(submitted.empty());

  // A peer that is not there is a failure with a reason.
  const int deadPort = peer.port;
  HashqueryLimits quick;
  quick.timeoutMs = 2000;
  DigestMemory fresh(10);
  EXPECT_FALSE(FetchMissing("127.0.0.1", deadPort == 1 ? 2 : 1, lack, quick, &fresh, submit, stop, &counts, &error));
  EXPECT_FALSE(error.empty());
}

TEST(DigestMemory, ForgetsTheOldestBeyondItsCapacity) {
  DigestMemory m(2);
  const krypgp::SksDigest a = DigestOf(FakeKey(1)), b = DigestOf(FakeKey(2)), c = DigestOf(FakeKey(3));
  m.Remember(a);
  m.Remember(b);
  m.Remember(a);  // a is now the most recent
  m.Remember(c);
  EXPECT_TRUE(m.Contains(a));
  EXPECT_FALSE(m.Contains(b));
  EXPECT_TRUE(m.Contains(c));
  EXPECT_EQ(m.Size(), 2u);
}

TEST(PeerTable, AllowsPartnersAndWholeAddressPatternsOnly) {
  Partner p;
  p.host = "peer";
  p.addresses = {"127.0.0.2"};
  PeerTable t({p}, {"10.1.2.3", "192.168.*"});
  EXPECT_TRUE(t.Allowed("127.0.0.2"));
  EXPECT_TRUE(t.Allowed("10.1.2.3"));
  EXPECT_TRUE(t.Allowed("192.168.7.7"));
  EXPECT_FALSE(t.Allowed("10.1.2.30"));
  EXPECT_FALSE(t.Allowed("110.1.2.3"));
  EXPECT_FALSE(t.Allowed("127.0.0.1"));
  EXPECT_FALSE(t.Allowed(""));
  ASSERT_NE(t.PartnerAt("127.0.0.2"), nullptr);
  EXPECT_EQ(t.PartnerAt("127.0.0.3"), nullptr);
}

// True when the peer closed `fd` without sending anything, within 5 s.
bool ClosedByPeer(int fd) {
  SetIoTimeout(fd, 5000);
  char c;
  return ::recv(fd, &c, 1, 0) == 0;
}

TEST(ReconListener, RefusesStrangersAndSecondSessionsAndStopCutsSessionsShort) {
  ResetPeerStats();
  Partner p;
  p.host = "local";
  p.addresses = {"127.0.0.1"};
  PeerTable allowed({p}, {});
  PeerTable nobody({}, {});
  std::atomic<int> sessions{0};
  std::atomic<bool> ended{false};
  ReconListener listener;
  // Each session waits for its peer to say something (which it never does).
  ASSERT_EQ(listener.Start(0, &allowed, 4, [&](int fd, const std::string&) {
    ++sessions;
    char c;
    while (::recv(fd, &c, 1, 0) > 0) {
    }
    ended = true;
  }), 0);
  std::string error;
  Socket first = ConnectTo("127.0.0.1", listener.port(), 2000, &error);
  ASSERT_TRUE(first) << error;
  for (int i = 0; i < 100 && sessions == 0; ++i) usleep(20000);
  ASSERT_EQ(sessions.load(), 1);
  Socket second = ConnectTo("127.0.0.1", listener.port(), 2000, &error);
  EXPECT_TRUE(ClosedByPeer(second.get()));
  EXPECT_EQ(TotalsSnapshot().refusedBusy, 1u);
  listener.Stop();  // must not wait for the silent peer
  EXPECT_TRUE(ended.load());

  ReconListener closed;
  ASSERT_EQ(closed.Start(0, &nobody, 4, [&](int, const std::string&) { ++sessions; }), 0);
  Socket stranger = ConnectTo("127.0.0.1", closed.port(), 2000, &error);
  EXPECT_TRUE(ClosedByPeer(stranger.get()));
  EXPECT_EQ(TotalsSnapshot().refusedNotAllowed, 1u);
  EXPECT_EQ(sessions.load(), 1);
}

}  // namespace
}  // namespace recon_net
}  // namespace kry
