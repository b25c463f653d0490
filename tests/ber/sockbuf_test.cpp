// Message framing over a socket: ber_get_next and ber_flush.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ldap/ber.h"
#include "ldap/sockbuf.h"
#include "log/eventlog.h"
#include "util/alloc.h"

namespace kry {
namespace {

using Bytes = std::vector<uint8_t>;

class Framing : public ::testing::Test {
 protected:
  void SetUp() override {
    savedTimeout_ = g_berSocketTimeoutMs.load();
    savedMax_ = g_berMaxMessageSize.load();
    g_berSocketTimeoutMs = 2000;  // a failing test must not hang for 300 s
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    sockbuf_reset(&server_, fds[0]);
    sockbuf_reset(&client_, fds[1]);
    server_.options = SOCKBUF_OPTION_NO_READ_AHEAD;
  }
  void TearDown() override {
    CloseServer();
    CloseClient();
    g_berSocketTimeoutMs = savedTimeout_;
    g_berMaxMessageSize = savedMax_;
  }
  void CloseClient() {
    int fd = client_.sd.exchange(-1);
    if (fd >= 0) close(fd);
  }
  void CloseServer() {
    int fd = server_.sd.exchange(-1);
    if (fd >= 0) close(fd);
  }
  void Write(const Bytes& bytes) {
    ASSERT_EQ(write(client_.sd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Sends an encoded buffer from the client end.
  void Send(BerBuffer* ber) { ASSERT_EQ(ber_flush(&client_, ber, 0), 0); }
  ber_tag_t Receive(BerBuffer* ber) {
    ber_len_t len = 0;
    return ber_get_next(&server_, &len, ber);
  }

  Sockbuf server_, client_;
  int savedTimeout_ = 0;
  uint32_t savedMax_ = 0;
};

TEST_F(Framing, WholeMessageAndLeftoverReadAhead) {
  Write({0x30, 0x05, 0x02, 0x01, 0x07, 0x42, 0x00, 0x30, 0x03, 0x02, 0x01, 0x08});
  BerBuffer ber(0);
  ber_len_t len = 0;
  EXPECT_EQ(ber_get_next(&server_, &len, &ber), 0x30u);
  EXPECT_EQ(len, 5u);
  EXPECT_EQ(ber.pendingTag, 0x30u);
  EXPECT_EQ(ber.capacity(), 5u);  // allocated once, at the announced size
  int msgid = 0;
  ASSERT_NE(ber_scanf(&ber, "i", &msgid), -1);
  EXPECT_EQ(msgid, 7);
  EXPECT_EQ(ber_peek_header(&ber, &len), 0x42u);

  // Without the no-read-ahead option the stream may hold the next message.
  server_.options = 0;
  BerBuffer next(0);
  EXPECT_EQ(Receive(&next), 0x30u);
  ASSERT_NE(ber_scanf(&next, "i", &msgid), -1);
  EXPECT_EQ(msgid, 8);
}

TEST_F(Framing, MessagesBackToBackWithReadAhead) {
  server_.options = 0;
  Bytes stream;
  for (int i = 0; i < 50; ++i) {
    BerBuffer ber(BER_OPTION_DER);
    ASSERT_NE(ber_printf(&ber, "{it{s}}", i, 0x4A, std::string(i * 37, 'k').c_str()), -1);
    stream.insert(stream.end(), ber.buffer(), ber.buffer() + ber.current);
  }
  std::thread writer([&] { Write(stream); });
  for (int i = 0; i < 50; ++i) {
    BerBuffer ber(0);
    ASSERT_EQ(Receive(&ber), 0x30u) << i;
    int msgid = -1;
    std::string text;
    ASSERT_NE(ber_scanf(&ber, "i{a}", &msgid, &text), -1);
    EXPECT_EQ(msgid, i);
    EXPECT_EQ(text.size(), static_cast<size_t>(i * 37));
  }
  writer.join();
}

TEST_F(Framing, SplitAcrossManyReads) {
  BerBuffer out(BER_OPTION_DER);
  ASSERT_NE(ber_printf(&out, "{it{iso}}", 3, 0x60, 2, "cn=Manager, o=KRY", "secret", 6), -1);
  Bytes bytes(out.buffer(), out.buffer() + out.current);
  std::thread writer([&] {
    for (uint8_t b : bytes) {
      ASSERT_EQ(write(client_.sd, &b, 1), 1);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  BerBuffer in(0);
  EXPECT_EQ(Receive(&in), 0x30u);
  writer.join();
  int msgid = 0, version = 0;
  ber_tag_t method = 0;
  std::string dn;
  BerValue cred;
  ASSERT_NE(ber_scanf(&in, "i{iato}", &msgid, &version, &dn, &method, &cred), -1);
  EXPECT_EQ(msgid, 3);
  EXPECT_EQ(version, 2);
  EXPECT_EQ(dn, "cn=Manager, o=KRY");
  EXPECT_EQ(method, 0x04u);
  EXPECT_EQ(cred.bv_val, "secret");
}

TEST_F(Framing, MultiOctetTagFromStream) {
  Write({0x1F, 0x20, 0x01, 0xAA});
  BerBuffer ber(0);
  EXPECT_EQ(Receive(&ber), 0x1F20u);
  Write({0x1F, 0x81, 0x82, 0x83, 0x04, 0x01, 0x00});
  BerBuffer bad(0);
  EXPECT_EQ(Receive(&bad), LBER_DEFAULT);
}

TEST_F(Framing, BadLengths) {
  Write({0x30, 0x85, 0x00, 0x00, 0x00, 0x00, 0x05});
  BerBuffer five(0);
  EXPECT_EQ(Receive(&five), LBER_DEFAULT);
  EXPECT_EQ(five.buffer(), nullptr);
}

TEST_F(Framing, ZeroLengthFails) {
  Write({0x30, 0x00});
  BerBuffer ber(0);
  EXPECT_EQ(Receive(&ber), LBER_DEFAULT);
  Write({0x30, 0x80});
  BerBuffer ber2(0);
  EXPECT_EQ(Receive(&ber2), LBER_DEFAULT);
}

TEST_F(Framing, OversizedLengthRefusedBeforeAllocation) {
  char path[] = "/tmp/ber-events-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  setenv("KRYCERTD_EVENTLOG", path, 1);
  ErrorLogInit("krycertd-test", 0, 389, 0);

  int64_t blocksBefore = ch_live_blocks();
  Write({0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF});
  BerBuffer ber(0);
  ber_len_t len = 0;
  EXPECT_EQ(ber_get_next(&server_, &len, &ber), LBER_DEFAULT);
  EXPECT_EQ(len, 0xFFFFFFFFu);
  EXPECT_EQ(ber.buffer(), nullptr);
  EXPECT_EQ(ber.capacity(), 0u);
  EXPECT_LE(ch_live_blocks(), blocksBefore + 1);  // at most the read-ahead buffer

  // The limit is configurable and inclusive.
  g_berMaxMessageSize = 8;
  Write({0x30, 0x08, 0x04, 0x06, 'a', 'b', 'c', 'd', 'e', 'f'});
  BerBuffer atLimit(0);
  EXPECT_EQ(Receive(&atLimit), 0x30u);
  Write({0x30, 0x09});
  BerBuffer over(0);
  EXPECT_EQ(Receive(&over), LBER_DEFAULT);

  ErrorLogClose();
  std::vector<EventRecord> events;
  ASSERT_TRUE(ReadEventsNewestFirst(0, &events));
  unsetenv("KRYCERTD_EVENTLOG");
  unlink(path);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, "warning");
  EXPECT_EQ(events[0].message, "Message of 9 bytes exceeds the maximum message size (8); closing connection.");
  EXPECT_EQ(events[1].message,
            "Message of 4294967295 bytes exceeds the maximum message size (16777216); closing connection.");
}

TEST_F(Framing, TruncatedThenClosed) {
  Write({0x30, 0x0A, 0x02, 0x01});
  CloseClient();
  BerBuffer ber(0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Receive(&ber), LBER_DEFAULT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_EQ(ber.transferPosition, 2u);  // what was read stays

  // Closed in the middle of the header.
  BerBuffer header(0);
  EXPECT_EQ(Receive(&header), LBER_DEFAULT);
}

TEST_F(Framing, SilentPeerTimesOut) {
  g_berSocketTimeoutMs = 80;
  BerBuffer ber(0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Receive(&ber), LBER_DEFAULT);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(70));
  EXPECT_LT(took, std::chrono::milliseconds(1500));
  uint8_t byte;
  EXPECT_EQ(sockbuf_read(&server_, &byte, 1), kKRYNetError_ReceiveTimeout);
}

TEST_F(Framing, PeerNotReadingTimesOutThenResumes) {
  g_berSocketTimeoutMs = 100;
  // Far more than the socket buffers hold.
  std::string big(8 * 1024 * 1024, 'p');
  BerBuffer out(BER_OPTION_DER);
  ASSERT_NE(ber_printf(&out, "{io}", 9, big.data(), static_cast<int>(big.size())), -1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ber_flush(&server_, &out, 0), kKRYNetError_ReceiveTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  size_t sentSoFar = out.transferPosition;
  EXPECT_GT(sentSoFar, 0u);
  EXPECT_LT(sentSoFar, out.current);

  // A reader appears; a second flush resumes where the first stopped.
  g_berSocketTimeoutMs = 2000;
  client_.options = 0;
  BerBuffer in(0);
  g_berMaxMessageSize = 16u * 1024 * 1024;
  std::thread reader([&] {
    ber_len_t len = 0;
    EXPECT_EQ(ber_get_next(&client_, &len, &in), 0x30u);
  });
  EXPECT_EQ(ber_flush(&server_, &out, 0), 0);
  reader.join();
  int msgid = 0;
  BerValue value;
  ASSERT_NE(ber_scanf(&in, "io", &msgid, &value), -1);
  EXPECT_EQ(msgid, 9);
  EXPECT_EQ(value.bv_val, big);
}

TEST_F(Framing, FlushToClosedPeerFailsWithoutSignal) {
  CloseClient();
  BerBuffer* out = ber_alloc(BER_OPTION_DER);
  ASSERT_NE(out, nullptr);
  ASSERT_NE(ber_printf(out, "{i}", 1), -1);
  EXPECT_EQ(ber_flush(&server_, out, 1), -1);  // EPIPE, not SIGPIPE; not released on failure
  ber_release(out, 1);

  BerBuffer* ok = ber_alloc(0);
  ASSERT_NE(ber_printf(ok, "{i}", 1), -1);
  EXPECT_EQ(ber_flush(&client_, ok, 1), -1);  // closed descriptor
  ber_release(ok, 1);
}

TEST_F(Framing, ReleasedAfterCompleteSendWhenAsked) {
  int64_t before = ch_live_blocks();
  BerBuffer* out = ber_alloc(BER_OPTION_DER);
  ASSERT_NE(ber_printf(out, "{is}", 1, "x"), -1);
  EXPECT_EQ(ber_flush(&client_, out, 1), 0);
  EXPECT_EQ(ch_live_blocks(), before);
  BerBuffer in(0);
  EXPECT_EQ(Receive(&in), 0x30u);
}

// A transport that hands out bytes it holds without the socket ever
// becoming readable, as TLS does with decrypted data held back.
class HeldBytesTransport : public SockbufTransport {
 public:
  explicit HeldBytesTransport(Bytes bytes) : bytes_(std::move(bytes)) {}
  long Receive(Sockbuf*, void* data, size_t length) override {
    if (pos_ >= bytes_.size()) return 0;
    size_t n = std::min(length, bytes_.size() - pos_);
    std::memcpy(data, bytes_.data() + pos_, n);
    pos_ += n;
    return static_cast<long>(n);
  }
  long Send(Sockbuf* sb, const void* data, size_t length) override {
    sent_ += length;
    return KRYSend(sb->sd, data, length, kKRYSocketNoWait);
  }
  size_t Pending(Sockbuf*) override { return bytes_.size() - pos_; }
  size_t sent_ = 0;

 private:
  Bytes bytes_;
  size_t pos_ = 0;
};

TEST_F(Framing, TransportWithHeldBytesSkipsTheWait) {
  g_berSocketTimeoutMs = 5000;
  HeldBytesTransport transport({0x30, 0x03, 0x02, 0x01, 0x2A});
  server_.transport = &transport;
  BerBuffer in(0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Receive(&in), 0x30u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));

  BerBuffer out(BER_OPTION_DER);
  ASSERT_NE(ber_printf(&out, "{i}", 5), -1);
  EXPECT_EQ(ber_flush(&server_, &out, 0), 0);
  EXPECT_EQ(transport.sent_, 5u);

  // A new connection in the slot starts clean.
  sockbuf_reset(&server_, server_.sd);
  EXPECT_EQ(server_.transport, nullptr);
}

// The server's request and response formats, through the socket and back.
TEST_F(Framing, ServerFormatRoundTrips) {
  server_.options = 0;
  auto roundTrip = [&](BerBuffer* out, BerBuffer* in) {
    Send(out);
    ASSERT_EQ(Receive(in), 0x30u);
  };

  {  // bind "{iato}"
    BerBuffer out(0), in(0);
    ASSERT_NE(ber_printf(&out, "{it{isto}}", 1, 0x60, 2, "cn=admin", 0x80, "pw", 2), -1);
    roundTrip(&out, &in);
    int msgid, version;
    std::string dn;
    ber_tag_t method;
    BerValue cred;
    ASSERT_NE(ber_scanf(&in, "i{iato}", &msgid, &version, &dn, &method, &cred), -1);
    EXPECT_EQ(version, 2);
    EXPECT_EQ(dn, "cn=admin");
    EXPECT_EQ(method, 0x80u);
    EXPECT_EQ(cred.bv_val, "pw");
  }
  {  // compare "{a{ao}}"
    BerBuffer out(0), in(0);
    ASSERT_NE(ber_printf(&out, "{it{s{so}}}", 2, 0x6E, "o=KRY", "cn", "x\0y", 3), -1);
    roundTrip(&out, &in);
    int msgid;
    std::string dn, type;
    BerValue value;
    ASSERT_NE(ber_scanf(&in, "i{a{ao}}", &msgid, &dn, &type, &value), -1);
    EXPECT_EQ(value.bv_val, std::string("x\0y", 3));
  }
  {  // search "{aiiiib" + filter + "{v}}"
    std::vector<std::string> attrs = {"pgpkey", "pgpuserid"};
    BerBuffer out(0), in(0);
    ASSERT_NE(ber_printf(&out, "{it{seeiibts{v}}}", 3, 0x63, "OU=ACTIVE,O=KRY KEYSPACE,C=US", 2, 0, 500, 300, 0, 0x87,
                         "objectclass", &attrs),
              -1);
    roundTrip(&out, &in);
    int msgid, scope, deref, size, time, attrsonly;
    std::string base;
    std::vector<std::string> got;
    ASSERT_NE(ber_scanf(&in, "i{aiiiib", &msgid, &base, &scope, &deref, &size, &time, &attrsonly), -1);
    ASSERT_NE(ber_scanf(&in, "x"), -1);
    ASSERT_NE(ber_scanf(&in, "{v}}", &got), -1);
    EXPECT_EQ(base, "OU=ACTIVE,O=KRY KEYSPACE,C=US");
    EXPECT_EQ(scope, 2);
    EXPECT_EQ(size, 500);
    EXPECT_EQ(got, attrs);
  }
  {  // add "{a" + "{a{V}}" per attribute, modify "{a" + "{i{a[V]}}" per change
    std::vector<BerValue> values = {BerValue(std::string("v1")), BerValue(std::string("v2"))};
    BerBuffer out(0), in(0);
    ASSERT_NE(ber_printf(&out, "{it{s{{i{s[V]}}{i{s[V]}}}}}", 4, 0x66, "cn=x", 0, "mail", &values, 2, "cn",
                         static_cast<const std::vector<BerValue>*>(nullptr)),
              -1);
    roundTrip(&out, &in);
    int msgid;
    std::string dn;
    ASSERT_NE(ber_scanf(&in, "i{a", &msgid, &dn), -1);
    ber_len_t len;
    size_t last;
    std::vector<int> ops;
    std::vector<size_t> counts;
    for (ber_tag_t t = ber_first_item(&in, &len, &last); t != LBER_DEFAULT; t = ber_next_item(&in, &len, last)) {
      int op;
      std::string type;
      std::vector<BerValue> vals = {BerValue(std::string("stale"))};
      ASSERT_NE(ber_scanf(&in, "{i{a[V]}}", &op, &type, &vals), -1);
      ops.push_back(op);
      counts.push_back(vals.size());
    }
    EXPECT_EQ(ops, (std::vector<int>{0, 2}));
    EXPECT_EQ(counts, (std::vector<size_t>{2, 0}));
  }
  {  // result "{it{ess}}" and the 3.0 form "{it{{ess}}}"
    BerBuffer out(BER_OPTION_DER), in(0);
    ASSERT_NE(ber_printf(&out, "{it{ess}}", 5, 0x65, 32, "o=KRY", "No such object"), -1);
    roundTrip(&out, &in);
    int msgid, err;
    ber_tag_t tag;
    std::string matched, text;
    ASSERT_NE(ber_scanf(&in, "it{eaa}", &msgid, &tag, &err, &matched, &text), -1);
    EXPECT_EQ(tag, 0x65u);
    EXPECT_EQ(err, 32);
    EXPECT_EQ(text, "No such object");

    BerBuffer out30(0), in30(0);
    ASSERT_NE(ber_printf(&out30, "{it{{ess}}}", 6, 0x61, 0, "", ""), -1);
    roundTrip(&out30, &in30);
    ASSERT_NE(ber_scanf(&in30, "it{{eaa}}", &msgid, &tag, &err, &matched, &text), -1);
    EXPECT_EQ(msgid, 6);
    EXPECT_EQ(tag, 0x61u);
  }
  {  // search entry "{it{s{" + "{s[" "o" "]}" per attribute + "}}}"
    BerBuffer out(BER_OPTION_DER), in(0);
    ASSERT_NE(ber_printf(&out, "{it{s{", 7, 0x64, "cn=e"), -1);
    for (const char* type : {"cn", "sn"}) {
      ASSERT_NE(ber_printf(&out, "{s[", type), -1);
      ASSERT_NE(ber_printf(&out, "o", "val", 3), -1);
      ASSERT_NE(ber_printf(&out, "o", "v2", 2), -1);
      ASSERT_NE(ber_printf(&out, "]}"), -1);
    }
    ASSERT_NE(ber_printf(&out, "}}}"), -1);
    roundTrip(&out, &in);
    int msgid;
    ber_tag_t tag;
    std::string dn;
    ASSERT_NE(ber_scanf(&in, "it{a", &msgid, &tag, &dn), -1);  // the attribute list is read by ber_first_item
    std::vector<std::string> types;
    ber_len_t len;
    size_t last;
    for (ber_tag_t t = ber_first_item(&in, &len, &last); t != LBER_DEFAULT; t = ber_next_item(&in, &len, last)) {
      std::string type;
      std::vector<std::string> vals;
      ASSERT_NE(ber_scanf(&in, "{a{v}}", &type, &vals), -1);
      EXPECT_EQ(vals, (std::vector<std::string>{"val", "v2"}));
      types.push_back(type);
    }
    EXPECT_EQ(types, (std::vector<std::string>{"cn", "sn"}));
  }
}

// A client announcing a long message must not get memory for bytes it has
// not sent; the area grows as they arrive and still holds a long message
// whole.
TEST_F(Framing, AnnouncedLengthCostsMemoryOnlyAsBytesArrive) {
  Bytes claim = {0x30, 0x84, 0x00, 0xF0, 0x00, 0x00};  // 15 MiB announced
  claim.resize(claim.size() + 100, 0x04);
  Write(claim);
  CloseClient();
  BerBuffer ber(0);
  EXPECT_EQ(Receive(&ber), LBER_DEFAULT);
  EXPECT_LE(ber.capacity(), 64u * 1024);
  EXPECT_EQ(ber.transferPosition, 100u);
}

TEST_F(Framing, LongMessageArrivesWholeThroughAGrowingArea) {
  const size_t n = 300 * 1024 + 7;
  Bytes m = {0x30, 0x83, static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
  for (size_t i = 0; i < n; ++i) m.push_back(static_cast<uint8_t>(i * 31 + 7));
  std::thread writer([&] {
    size_t off = 0;
    while (off < m.size()) {
      ssize_t w = write(client_.sd, m.data() + off, std::min<size_t>(m.size() - off, 10000));
      if (w <= 0) return;
      off += static_cast<size_t>(w);
    }
  });
  BerBuffer ber(0);
  ber_len_t len = 0;
  EXPECT_EQ(ber_get_next(&server_, &len, &ber), 0x30u);
  writer.join();
  ASSERT_EQ(len, n);
  ASSERT_EQ(ber.capacity(), n);
  EXPECT_TRUE(std::equal(m.begin() + 5, m.end(), ber.buffer()));
}

// Every wait is shorter than the time-out, but the message as a whole is
// not: the read must end at the message's deadline, not when the client
// stops.
TEST_F(Framing, TrickleCannotOutlastTheMessageDeadline) {
  g_berSocketTimeoutMs = 300;
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    Bytes header = {0x30, 0x64};  // 100 bytes announced
    if (write(client_.sd, header.data(), header.size()) != 2) return;
    for (int i = 0; i < 40 && !stop; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      uint8_t b = 0x04;
      if (write(client_.sd, &b, 1) != 1) return;
    }
  });
  BerBuffer ber(0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Receive(&ber), LBER_DEFAULT);
  auto took = std::chrono::steady_clock::now() - start;
  stop = true;
  writer.join();
  EXPECT_GE(took, std::chrono::milliseconds(250));
  EXPECT_LT(took, std::chrono::milliseconds(1200));
}

}  // namespace
}  // namespace kry
