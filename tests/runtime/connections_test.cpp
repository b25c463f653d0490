// Connections against the real server: the table's limits, the orderly
// drain on SIGTERM, unbind, and malformed input that must end only the
// connection that sent it.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/harness.h"

namespace krytest {
namespace {

// One server for the whole suite: starting it is the slow part.
class Connections : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tree_ = new ServerTree();
    ASSERT_TRUE(tree_->CreateDatabases());
    ASSERT_TRUE(tree_->Start({}, {"KRYCERTD_IO_TIMEOUT_MS=1500"})) << tree_->Output();
  }
  static void TearDownTestSuite() {
    EXPECT_EQ(tree_->Stop(SIGTERM), 0) << tree_->Output();
    delete tree_;
    tree_ = nullptr;
  }

  // A bind on a fresh connection is answered: the server still serves.
  static void ExpectServing() {
    Client c;
    ASSERT_TRUE(c.Connect(tree_->port));
    ASSERT_TRUE(c.Send(BindRequest(1, "", "")));
    std::string msg;
    ASSERT_TRUE(c.ReadMessage(&msg));
    unsigned tag = 0;
    EXPECT_EQ(ResultCode(msg, &tag), 0);
    EXPECT_EQ(tag, 0x61u);
  }

  static ServerTree* tree_;
};

ServerTree* Connections::tree_ = nullptr;

TEST_F(Connections, AnonymousBindAndUnbind) {
  Client c;
  ASSERT_TRUE(c.Connect(tree_->port));
  ASSERT_TRUE(c.Send(BindRequest(7, "", "")));
  std::string msg;
  ASSERT_TRUE(c.ReadMessage(&msg));
  int msgid = 0;
  EXPECT_EQ(ResultCode(msg, nullptr, nullptr, &msgid), 0);
  EXPECT_EQ(msgid, 7);
  ASSERT_TRUE(c.Send(UnbindRequest(8)));
  EXPECT_TRUE(c.WaitClosed());
}

TEST_F(Connections, BindVersionThreeIsRefused) {
  Client c;
  ASSERT_TRUE(c.Connect(tree_->port));
  ASSERT_TRUE(c.Send(BindRequest(1, "cn=x", "pw", 3)));
  std::string msg, text;
  ASSERT_TRUE(c.ReadMessage(&msg));
  EXPECT_EQ(ResultCode(msg, nullptr, &text), 2);
  EXPECT_EQ(text, "version not supported");
  // The connection stays open.
  ASSERT_TRUE(c.Send(BindRequest(2, "", "")));
  ASSERT_TRUE(c.ReadMessage(&msg));
  EXPECT_EQ(ResultCode(msg), 0);
}

TEST_F(Connections, PrimitiveDeleteIsAnsweredWithDeleteResponse) {
  Client c;
  ASSERT_TRUE(c.Connect(tree_->port));
  ASSERT_TRUE(c.Send(DeleteRequest(3, "cn=nobody")));
  std::string msg;
  ASSERT_TRUE(c.ReadMessage(&msg));
  unsigned tag = 0;
  EXPECT_EQ(ResultCode(msg, &tag), 32);  // no such entry
  EXPECT_EQ(tag, 0x6Bu);
}

TEST_F(Connections, ExtendedRequestGetsNoResponseAndNextIsServed) {
  Client c;
  ASSERT_TRUE(c.Connect(tree_->port));
  // { 1, [APPLICATION 23] { [0] "1.2.3" } }
  std::string ext = std::string("\x30\x0c\x02\x01\x01\x77\x07\x80\x05", 9) + "1.2.3";
  ASSERT_TRUE(c.Send(ext));
  ASSERT_TRUE(c.Send(BindRequest(2, "", "")));
  std::string msg;
  ASSERT_TRUE(c.ReadMessage(&msg));
  int msgid = 0;
  EXPECT_EQ(ResultCode(msg, nullptr, nullptr, &msgid), 0);
  EXPECT_EQ(msgid, 2);  // the first response belongs to the bind
}

TEST_F(Connections, MalformedFramingEndsOnlyThatConnection) {
  const std::vector<std::string> bad = {
      std::string("\x30\x85\x01\x00\x00\x00\x00", 7),  // five length octets
      std::string("\x30\x00", 2),                      // zero length
      std::string("\x31\x03\x02\x01\x01", 5),          // outer tag is not a SEQUENCE
      std::string("\x30\x03\x04\x01\x41", 5),          // message ID is not an INTEGER
      std::string("\x30\x84\xff\xff\xff\xff", 6),      // 4 GiB announced
      std::string("\x30\x84\x01\x00\x00\x01", 6),      // above the maximum message size
  };
  for (const std::string& b : bad) {
    Client c;
    ASSERT_TRUE(c.Connect(tree_->port));
    ASSERT_TRUE(c.Send(b));
    EXPECT_TRUE(c.WaitClosed(3000)) << "input of " << b.size() << " bytes";
  }
  EXPECT_TRUE(tree_->WaitForEvent("exceeds the maximum message size", 2000)) << tree_->Events();
  ExpectServing();
}

TEST_F(Connections, TruncatedMessageThenCloseIsHarmless) {
  {
    Client c;
    ASSERT_TRUE(c.Connect(tree_->port));
    std::string bind = BindRequest(1, "", "");
    ASSERT_TRUE(c.Send(bind.substr(0, bind.size() - 3)));
  }
  ExpectServing();
}

TEST_F(Connections, SilentPeerTimesOut) {
  Client c;
  ASSERT_TRUE(c.Connect(tree_->port));
  std::string bind = BindRequest(1, "", "");
  ASSERT_TRUE(c.Send(bind.substr(0, 4)));
  // The server's socket wait (shortened for the test) ends the connection.
  EXPECT_TRUE(c.WaitClosed(6000));
  ExpectServing();
}

TEST_F(Connections, PeerThatStopsReadingDoesNotStallOthers) {
  Client c;
  ASSERT_TRUE(c.Connect(tree_->port));
  int small = 4096;
  setsockopt(c.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  // Many requests, none of the responses read: the server's send buffer
  // fills and its write waits.
  std::string many;
  for (int i = 0; i < 20000; ++i) many += BindRequest(i + 1, "", "");
  c.Send(many.substr(0, 200000));
  ExpectServing();
}

// A small table: one address holds no more than its share, and a full
// table makes room by closing the connection idle longest instead of
// leaving every newcomer queued behind idle clients.
TEST(ConnectionLimits, OneAddressHoldsItsShareAndAFullTableMakesRoom) {
  ServerTree tree;
  tree.WriteConfig("MaxConnections 8\nMaxConnectionsPerAddress 4\n");
  ASSERT_TRUE(tree.CreateDatabases());
  ASSERT_TRUE(tree.Start()) << tree.Output();
  std::vector<int> idle, busy;
  for (int i = 0; i < 20; ++i) idle.push_back(ConnectFrom("127.0.0.2", tree.port));
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  auto open = [](const std::vector<int>& fds) {
    int n = 0;
    for (int fd : fds) {
      pollfd p{fd, POLLIN, 0};
      char b;
      n += fd >= 0 && !(poll(&p, 1, 0) == 1 && recv(fd, &b, 1, MSG_DONTWAIT) <= 0);
    }
    return n;
  };
  const int held = open(idle);
  EXPECT_EQ(held, 4);
  EXPECT_TRUE(tree.WaitForEvent("Exceeded maximum number of connections from 127.0.0.2 (4).", 2000));

  // Another address fills the table with connections that have just been
  // used.
  for (int i = 0; i < 4; ++i) {
    const int fd = ConnectFrom("127.0.0.3", tree.port);
    ASSERT_GE(fd, 0);
    busy.push_back(fd);
    const std::string bind = BindRequest(1, "", "");
    ASSERT_EQ(send(fd, bind.data(), bind.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bind.size()));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // A newcomer is served: a silent connection from 127.0.0.2 made room.
  Client c;
  ASSERT_TRUE(c.Connect(tree.port));
  ASSERT_TRUE(c.Send(BindRequest(1, "", "")));
  std::string msg;
  EXPECT_TRUE(c.ReadMessage(&msg, 5000));
  EXPECT_EQ(ResultCode(msg), 0);
  EXPECT_EQ(open(idle), held - 1);
  EXPECT_EQ(open(busy), 4);
  std::printf("LDAP: 20 idle connections from one address, %d held; with the table of 8 full, %d of them left "
              "after a newcomer was served\n",
              held, open(idle));
  EXPECT_TRUE(tree.WaitForEvent("Connection table full; conn=", 2000)) << tree.Events();
  for (int fd : idle) close(fd);
  for (int fd : busy) close(fd);
  EXPECT_EQ(tree.Stop(SIGTERM), 0) << tree.Output();
}

// Each answer is an entry then the result: with the small result held back
// for the client's delayed acknowledgement, every search took about 40 ms.
TEST_F(Connections, SearchesOnOneConnectionAreAnsweredWithoutDelay) {
  Client c;
  ASSERT_TRUE(c.Connect(tree_->port));
  auto start = std::chrono::steady_clock::now();
  constexpr int kSearches = 20;
  for (int i = 1; i <= kSearches; ++i) {
    ASSERT_TRUE(c.Send(SearchRequest(i, "O=KRY KEYSPACE,C=US", 0)));
    std::string entry, done;
    ASSERT_TRUE(c.ReadMessage(&entry));
    ASSERT_TRUE(c.ReadMessage(&done));
    unsigned tag = 0;
    EXPECT_EQ(ResultCode(done, &tag), 0);
    EXPECT_EQ(tag, 0x65u);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kSearches * 20));
}

// Requests sent back to back in one write are each answered, in order.
TEST_F(Connections, PipelinedRequestsAreAllAnswered) {
  Client c;
  ASSERT_TRUE(c.Connect(tree_->port));
  std::string many;
  for (int i = 1; i <= 5; ++i) many += BindRequest(i, "", "");
  ASSERT_TRUE(c.Send(many));
  for (int i = 1; i <= 5; ++i) {
    std::string msg;
    ASSERT_TRUE(c.ReadMessage(&msg)) << i;
    int msgid = 0;
    EXPECT_EQ(ResultCode(msg, nullptr, nullptr, &msgid), 0);
    EXPECT_EQ(msgid, i);
  }
}

// A client that sends a byte now and then must not keep its connection
// past the message deadline (the time-out of 1.5 s here).
TEST_F(Connections, TrickledMessageIsCutOffAtItsDeadline) {
  Client c;
  ASSERT_TRUE(c.Connect(tree_->port));
  std::string bind = BindRequest(1, "", "");
  auto start = std::chrono::steady_clock::now();
  bool closed = false;
  for (size_t i = 0; i + 1 < bind.size() && !closed; ++i) {
    if (!c.Send(bind.substr(i, 1))) break;
    closed = c.WaitClosed(400);
  }
  if (!closed) closed = c.WaitClosed(3000);
  EXPECT_TRUE(closed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4000));
}

// Connects `n` sockets at once without blocking; the time until all are
// established, or a negative duration when one failed.
std::chrono::milliseconds ConnectBurst(int port, int n) {
  std::vector<int> fds;
  auto start = std::chrono::steady_clock::now();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = true;
  for (int i = 0; i < n; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    fds.push_back(fd);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) ok = false;
  }
  for (int fd : fds) {
    pollfd p{fd, POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    if (poll(&p, 1, 20000) != 1 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) ok = false;
  }
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  for (int fd : fds) close(fd);
  return ok ? took : std::chrono::milliseconds(-1);
}

// With a listen queue of a few places, the rest of a burst waits for SYN
// retries of a second and more.
TEST(ConnectionsBurst, NinetyClientsAtOnceConnectWithoutRetries) {
  ServerTree t;
  ASSERT_TRUE(t.CreateDatabases());
  ASSERT_TRUE(t.Start()) << t.Output();
  auto took = ConnectBurst(t.port, 90);
  EXPECT_GE(took.count(), 0);
  EXPECT_LT(took.count(), 900);
  EXPECT_EQ(t.Stop(SIGTERM), 0) << t.Output();
}

// A client that never reads its answers keeps an operation waiting in a
// send; shutdown gives such operations a bounded time, then shuts their
// connections down instead of waiting out the socket time-out (300 s).
TEST(ConnectionsDrain, StopIsBoundedWhenAClientDoesNotRead) {
  ServerTree t;
  ASSERT_TRUE(t.CreateDatabases());
  ASSERT_TRUE(t.Start()) << t.Output();
  Client c;
  ASSERT_TRUE(c.Connect(t.port));
  int small = 4096;
  setsockopt(c.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  // Requests until the server neither takes them nor logs anything for a
  // second: its connection thread is then stuck writing answers that
  // nobody reads (a server that is merely slow keeps logging).
  std::string chunk;
  for (int i = 1; i <= 1000; ++i) chunk += SearchRequest(i, "O=KRY KEYSPACE,C=US", 0);
  size_t off = 0, eventsSize = 0;
  auto lastProgress = std::chrono::steady_clock::now(), lastEvent = lastProgress;
  auto until = lastProgress + std::chrono::seconds(60);
  bool stuck = false;
  while (!stuck && std::chrono::steady_clock::now() < until) {
    ssize_t n = send(c.fd(), chunk.data() + off, chunk.size() - off, MSG_DONTWAIT | MSG_NOSIGNAL);
    auto now = std::chrono::steady_clock::now();
    if (n > 0) {
      off = (off + static_cast<size_t>(n)) % chunk.size();
      lastProgress = now;
      continue;
    }
    usleep(50000);
    std::string events = t.Events();
    if (events.size() != eventsSize) {
      eventsSize = events.size();
      lastEvent = now;
    }
    stuck = now - lastProgress > std::chrono::seconds(1) && now - lastEvent > std::chrono::seconds(1) &&
            events.find(" op=200 SRCH ") != std::string::npos;
  }
  ASSERT_TRUE(stuck);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(t.Stop(SIGTERM, 40), 0) << t.Output();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(ConnectionsDrain, SigtermWithOpenConnectionsExitsZero) {
  ServerTree t;
  ASSERT_TRUE(t.CreateDatabases());
  ASSERT_TRUE(t.Start()) << t.Output();
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 10; ++i) {
    auto c = std::make_unique<Client>();
    ASSERT_TRUE(c->Connect(t.port));
    ASSERT_TRUE(c->Send(BindRequest(1, "", "")));
    std::string msg;
    ASSERT_TRUE(c->ReadMessage(&msg));
    clients.push_back(std::move(c));
  }
  EXPECT_EQ(t.Stop(SIGTERM, 20), 0) << t.Output();
  for (auto& c : clients) EXPECT_TRUE(c->WaitClosed(1000));
}

}  // namespace
}  // namespace krytest

namespace krytest {
namespace {

TEST(ConnectionsIdle, DatabasesAreFlushedAfterIdleSyncTimeout) {
  ServerTree t;
  t.WriteConfig("IdleSyncTimeout 1\n");
  ASSERT_TRUE(t.CreateDatabases());
  ASSERT_TRUE(t.Start()) << t.Output();
  // Start() itself connected once; no operation runs, so the listener
  // flushes about a second after that connection.
  EXPECT_TRUE(t.WaitForEvent("Commiting database cache data to disk.", 5000)) << t.Events();
  EXPECT_EQ(t.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace krytest
