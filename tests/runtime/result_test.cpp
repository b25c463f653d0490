// Results and search entries as a client receives them, over a socket pair.
#include "ldap/result.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "back-ldbm/backend.h"
#include "ldap/ber.h"
#include "ldap/entry.h"
#include "ldap/operation.h"
#include "runtime/connection.h"
#include "runtime/globals.h"

namespace kry {
namespace {

class Results : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(InitGlobals(&g_globals), 0);
    ASSERT_NE(backend_new("ldbm", g_globals->backends), nullptr);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    sockbuf_reset(&conn_.c_sb, sv[0]);
    peer_ = sv[1];
    conn_.c_addr = "127.0.0.1";
    conn_.c_connid = 42;
    op_.o_connid = 42;
    op_.o_msgid = 5;
    op_.o_tag = 0x63;
  }
  void TearDown() override {
    close(conn_.c_sb.sd.load());
    close(peer_);
    ReleaseGlobals(&g_globals);
  }
  // What the client has been sent; empty when nothing came within 5 s.
  std::string Receive() {
    pollfd p{peer_, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return std::string();
    char buf[65536];
    ssize_t n = read(peer_, buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }

  Connection conn_;
  Operation op_;
  int peer_ = -1;
};

TEST_F(Results, ResultEncoding) {
  op_.o_tag = 0x4A;
  send_ldap_result(&conn_, &op_, LDAP_INSUFFICIENT_ACCESS, nullptr, nullptr);
  std::string m = Receive();
  BerBufferPtr ber = ber_init(m.data(), m.size());
  int id = 0, code = 0;
  ber_tag_t tag = 0;
  std::string matched, text;
  ASSERT_NE(ber_scanf(ber.get(), "{it{eaa}}", &id, &tag, &code, &matched, &text), -1);
  EXPECT_EQ(id, 5);
  EXPECT_EQ(tag, 0x6Bu);
  EXPECT_EQ(code, 50);
  EXPECT_EQ(text, "You do not have authority to perform this action.");

  op_.o_tag = 0x6E;
  send_ldap_result(&conn_, &op_, LDAP_NO_SUCH_OBJECT, nullptr, "");
  m = Receive();
  ber = ber_init(m.data(), m.size());
  ASSERT_NE(ber_scanf(ber.get(), "{it{eaa}}", &id, &tag, &code, &matched, &text), -1);
  EXPECT_EQ(tag, 0x6Fu);
  EXPECT_EQ(code, 32);
  EXPECT_EQ(text, "");
}

TEST_F(Results, VersionThirtyFramingAddsASequence) {
  conn_.c_version = 30;
  op_.o_tag = 0x60;
  send_ldap_result(&conn_, &op_, LDAP_SUCCESS, nullptr, nullptr);
  std::string m = Receive();
  BerBufferPtr ber = ber_init(m.data(), m.size());
  int id = 0, code = -1;
  ber_tag_t tag = 0;
  std::string matched, text;
  ASSERT_NE(ber_scanf(ber.get(), "{it{{eaa}}}", &id, &tag, &code, &matched, &text), -1);
  EXPECT_EQ(tag, 0x61u);
  EXPECT_EQ(code, 0);
  // Without DER the constructed lengths are always four octets long.
  EXPECT_EQ(static_cast<uint8_t>(m[1]), 0x84);
}

TEST_F(Results, ResponseForAReusedSlotIsDropped) {
  op_.o_connid = 41;
  send_ldap_result(&conn_, &op_, LDAP_SUCCESS, nullptr, nullptr);
  op_.o_connid = 42;
  send_ldap_result(&conn_, &op_, LDAP_PROTOCOL_ERROR, nullptr, nullptr);
  std::string m = Receive();
  BerBufferPtr ber = ber_init(m.data(), m.size());
  int id = 0, code = -1;
  ber_tag_t tag = 0;
  std::string matched, text;
  ASSERT_NE(ber_scanf(ber.get(), "{it{eaa}}", &id, &tag, &code, &matched, &text), -1);
  EXPECT_EQ(code, 2);  // the first response never went out
}

TEST_F(Results, SearchEntryWithRequestedAttributes) {
  Entry e;
  e.dn = "CN=TEST,O=KRY KEYSPACE,C=US";
  attr_merge(&e, "cn", "test");
  attr_merge(&e, "objectclass", std::vector<std::string>{"top", "person"});
  std::vector<std::string> wanted = {"OBJECTCLASS"};
  ASSERT_EQ(send_search_entry(g_globals->backends.front().get(), &conn_, &op_, &e, &wanted, nullptr, 0), 0);
  ASSERT_EQ(FlushHeldOutput(&conn_), 0);
  std::string m = Receive();
  BerBufferPtr ber = ber_init(m.data(), m.size());
  int id = 0;
  ber_tag_t tag = 0;
  std::string dn, type;
  std::vector<BerValue> values;
  ASSERT_NE(ber_scanf(ber.get(), "{it{a{{a[V]}}}}", &id, &tag, &dn, &type, &values), -1);
  EXPECT_EQ(tag, 100u);
  EXPECT_EQ(dn, e.dn);
  EXPECT_EQ(type, "objectclass");
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[1].bv_val, "person");
  EXPECT_EQ(g_globals->entriesSent, 1u);

  // Types only; a short answer's entries go out in one write with its
  // result, in order.
  ASSERT_EQ(send_search_entry(g_globals->backends.front().get(), &conn_, &op_, &e, nullptr, nullptr, 1), 0);
  send_search_result(&conn_, &op_, LDAP_SUCCESS, nullptr, nullptr, 1);
  m = Receive();
  ber = ber_init(m.data(), m.size());
  std::string t1, t2;
  std::vector<BerValue> v1, v2;
  ASSERT_NE(ber_scanf(ber.get(), "{it{a{{a[V]}{a[V]}}}}", &id, &tag, &dn, &t1, &v1, &t2, &v2), -1);
  EXPECT_EQ(t1, "cn");
  EXPECT_TRUE(v1.empty());
  EXPECT_TRUE(v2.empty());
  int code = -1;
  std::string matched, text;
  ASSERT_NE(ber_scanf(ber.get(), "{it{eaa}}", &id, &tag, &code, &matched, &text), -1);
  EXPECT_EQ(tag, 0x65u);
  EXPECT_EQ(code, LDAP_SUCCESS);
}

TEST_F(Results, SearchEntryRefusedWithoutBackend) {
  Entry e;
  e.dn = "CN=X";
  EXPECT_EQ(send_search_entry(nullptr, &conn_, &op_, &e, nullptr, nullptr, 0), 1);
}

}  // namespace
}  // namespace kry
