// The network library over loopback TCP.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/net/krynet.h"

namespace {

bool IsCloseOnExec(int fd) { return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

// A listening socket on 127.0.0.1 with a system-chosen port.
struct Listener {
  KRYSocketRef socket = kKRYInvalidSocket;
  uint16_t port = 0;  // network order
  Listener() {
    socket = KRYOpenSocket(2, 1, 6);
    int one = 1;
    EXPECT_EQ(KRYSetSocketOptions(socket, 0xFFFF, 4, &one, 4), 0);
    KRYSocketAddress address;
    address.address = KRYHostToNetLong(kKRYInternetAddressLoopback);
    EXPECT_EQ(KRYBindSocket(socket, &address, sizeof address), 0);
    EXPECT_EQ(KRYListen(socket, 5), 0);
    sockaddr_storage bound;
    socklen_t len = sizeof bound;
    getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &len);
    port = reinterpret_cast<sockaddr_in*>(&bound)->sin_port;
  }
  ~Listener() { KRYCloseSocket(socket); }
  KRYSocketRef Connect() {
    KRYSocketRef s = KRYOpenSocket(2, 1, 6);
    KRYSocketAddress address;
    address.port = port;
    address.address = KRYHostToNetLong(kKRYInternetAddressLoopback);
    EXPECT_EQ(KRYConnect(s, &address, sizeof address), 0);
    return s;
  }
};

TEST(KryNet, ConnectAcceptSendReceiveClose) {
  ASSERT_EQ(KRYsdkNetworkLibInit(0), 0);
  ASSERT_EQ(KRYSocketsInit(), 0);
  Listener listener;
  ASSERT_GE(listener.socket, 0);
  EXPECT_TRUE(IsCloseOnExec(listener.socket));
  KRYSocketRef client = listener.Connect();
  KRYSocketAddress peer;
  int size = sizeof peer;
  KRYSocketRef server = KRYAccept(listener.socket, &peer, &size);
  ASSERT_GE(server, 0);
  EXPECT_TRUE(IsCloseOnExec(server));
  EXPECT_EQ(size, 16);
  EXPECT_EQ(KRYInternetAddressToDottedString(peer.address), "127.0.0.1");

  EXPECT_EQ(KRYSend(client, "0", 1, 0), 1);
  char c = 0;
  EXPECT_EQ(KRYReceive(server, &c, 1, kKRYSocketPeek), 1);
  EXPECT_EQ(KRYReceive(server, &c, 1, 0), 1);
  EXPECT_EQ(c, '0');

  EXPECT_EQ(KRYShutdownSocket(client, kKRYShutdownBoth), 0);
  EXPECT_EQ(KRYCloseSocket(client), 0);
  EXPECT_EQ(KRYReceive(server, &c, 1, 0), 0);  // peer closed
  // Sending into a closed connection fails with EPIPE (or a reset) and the
  // process lives on.
  long rc = 0;
  for (int i = 0; i < 20 && rc >= 0; ++i) rc = KRYSend(server, "xxxxxxxx", 8, 0);
  EXPECT_EQ(rc, -1);
  int error = KRYGetLastSocketsError();
  EXPECT_TRUE(error == EPIPE || error == ECONNRESET) << error;
  EXPECT_EQ(KRYCloseSocket(server), 0);
  EXPECT_EQ(KRYCloseSocket(server), -1);
  EXPECT_EQ(KRYGetLastSocketsError(), EBADF);
  KRYSocketsCleanup();
  KRYsdkNetworkLibCleanup();
}

TEST(KryNet, RefusedConnectAndBadArguments) {
  KRYSocketRef s = KRYOpenSocket(2, 1, 6);
  KRYSocketAddress address;
  address.port = KRYHostToNetShort(1);  // nothing listens on port 1
  address.address = KRYHostToNetLong(kKRYInternetAddressLoopback);
  EXPECT_EQ(KRYConnect(s, &address, sizeof address), -1);
  EXPECT_EQ(KRYGetLastSocketsError(), ECONNREFUSED);
  KRYCloseSocket(s);

  EXPECT_EQ(KRYOpenSocket(10, 1, 6), kKRYInvalidSocket);
  EXPECT_EQ(KRYGetLastSocketsError(), EINVAL);
  s = KRYOpenSocket(2, 1, 6);
  int one = 1;
  EXPECT_EQ(KRYSetSocketOptions(s, 0xFFFF, 0x1234, &one, 4), -1);
  EXPECT_EQ(KRYGetLastSocketsError(), ENOPROTOOPT);
  EXPECT_EQ(KRYSetSocketOptions(s, kKRYTcpLevel, kKRYTcpNoDelay, &one, 4), 0);
  EXPECT_EQ(KRYBindSocket(s, &address, 8), -1);
  KRYCloseSocket(s);
}

TEST(KryNet, SocketSetOperations) {
  SocketSetPtr set(KRYNewSocketSet(77));
  ASSERT_TRUE(set);
  EXPECT_EQ(set->extra, 77u);
  KRYAddToSocketSet(set.get(), 5, kKRYSocketSetRead);
  KRYAddToSocketSet(set.get(), 5, kKRYSocketSetRead);
  EXPECT_EQ(set->read.count, 1u);
  EXPECT_EQ(KRYTestSocketSet(set.get(), 5), 1);
  KRYAddToSocketSet(set.get(), 5, kKRYSocketSetWrite);
  EXPECT_EQ(KRYTestSocketSet(set.get(), 5), 2);  // writable wins
  EXPECT_EQ(KRYTestSocketSet(set.get(), 6), 0);
  for (int fd = 100; fd < 200; ++fd) KRYAddToSocketSet(set.get(), fd, kKRYSocketSetRead);
  EXPECT_EQ(set->read.count, 64u);
  EXPECT_EQ(KRYTestSocketSet(set.get(), 163), 0);
  KRYAddToSocketSet(set.get(), -1, kKRYSocketSetWrite);
  EXPECT_EQ(set->write.count, 1u);
  KRYClearSocketSet(set.get());
  EXPECT_EQ(set->read.count + set->write.count, 0u);
}

TEST(KryNet, SelectOutcomes) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  SocketSet set;
  KRYAddToSocketSet(&set, fds[0], kKRYSocketSetRead);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KRYSelect(&set, 50), 0);  // time-out
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));

  // Ready: only the ready sockets stay in the set.
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  KRYClearSocketSet(&set);
  KRYAddToSocketSet(&set, fds[0], kKRYSocketSetRead);
  KRYAddToSocketSet(&set, fds[1], kKRYSocketSetRead | kKRYSocketSetWrite);
  EXPECT_EQ(KRYSelect(&set, 1000), 2);
  EXPECT_EQ(KRYTestSocketSet(&set, fds[0]), 1);
  EXPECT_EQ(KRYTestSocketSet(&set, fds[1]), 2);
  EXPECT_EQ(set.read.count, 1u);

  // End of stream counts as readable.
  close(fds[1]);
  char buf[4];
  ASSERT_EQ(read(fds[0], buf, sizeof buf), 1);
  KRYClearSocketSet(&set);
  KRYAddToSocketSet(&set, fds[0], kKRYSocketSetRead);
  EXPECT_EQ(KRYSelect(&set, 1000), 1);

  // A descriptor that is not open is an error.
  close(fds[0]);
  EXPECT_EQ(KRYSelect(&set, 1000), -1);
  EXPECT_EQ(KRYGetLastSocketsError(), EBADF);
}

TEST(KryNet, ErrorTexts) {
  char buf[200];
  EXPECT_EQ(KRYGetSocketsErrorString(kKRYNetError_ReceiveTimeout, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "Socket operation timed out");
  EXPECT_EQ(KRYGetSocketsErrorString(ECONNREFUSED, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, strerror(ECONNREFUSED));
  EXPECT_EQ(KRYGetSocketsErrorString(-4242, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "Unknown error (-4242)");
  char small[5];
  EXPECT_EQ(KRYGetSocketsErrorString(kKRYNetError_HostNotFound, small, sizeof small), -11998);
  EXPECT_STREQ(small, "Host");
  // The last error is per thread.
  KRYSetLastSocketsError(EPIPE);
  int other = 0;
  std::thread([&] { other = KRYGetLastSocketsError(); }).join();
  EXPECT_EQ(other, 0);
  EXPECT_EQ(KRYGetLastSocketsError(), EPIPE);
}

TEST(KryNet, NamesAndByteOrder) {
  char name[256];
  EXPECT_EQ(KRYGetHostName(name, sizeof name), 0);
  EXPECT_GT(strlen(name), 0u);
  char tiny[1];
  EXPECT_EQ(KRYGetHostName(tiny, sizeof tiny), -1);
  EXPECT_EQ(KRYGetLastSocketsError(), ENAMETOOLONG);

  KRYHostEntry host;
  ASSERT_EQ(KRYGetHostByName("localhost", &host), 0);
  bool loopback = false;
  for (uint32_t a : host.addresses) loopback = loopback || KRYNetToHostLong(a) == kKRYInternetAddressLoopback;
  EXPECT_TRUE(loopback);
  EXPECT_EQ(KRYGetHostByName("no-such-host.invalid", &host), -1);
  int error = KRYGetLastSocketsError();
  EXPECT_TRUE(error == kKRYNetError_HostNotFound || error == kKRYNetError_TryAgain) << error;

  uint32_t address = KRYHostToNetLong(kKRYInternetAddressLoopback);
  KRYHostEntry reverse;
  EXPECT_EQ(KRYGetHostByAddress(&address, 4, 2, &reverse), 0);
  EXPECT_FALSE(reverse.name.empty());
  EXPECT_EQ(KRYGetHostByAddress(&address, 16, 2, &reverse), -1);

  EXPECT_EQ(KRYInternetAddressToDottedString(KRYHostToNetLong(0xC0A80A01)), "192.168.10.1");
  EXPECT_EQ(KRYNetToHostShort(KRYHostToNetShort(389)), 389);
  const uint8_t* bytes = nullptr;
  uint32_t n = KRYHostToNetLong(0x01020304);
  bytes = reinterpret_cast<const uint8_t*>(&n);
  EXPECT_EQ(bytes[0], 1);
  EXPECT_EQ(bytes[3], 4);
}

}  // namespace
