// A server-like setting for the backend operations and the request
// handlers: globals, one ldbm backend on fresh databases in a scratch
// directory, and a connection whose responses arrive on a socket pair.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "back-ldbm/backend.h"
#include "back-ldbm/cache.h"
#include "back-ldbm/dn2id.h"
#include "back-ldbm/ldbm.h"
#include "cert/access.h"
#include "ldap/ber.h"
#include "ldap/entry.h"
#include "ldap/operation.h"
#include "ldap/sockbuf.h"
#include "runtime/connection.h"
#include "runtime/globals.h"
#include "../back-ldbm/ldbm_test_util.h"

namespace kry {
namespace test {

inline constexpr const char kActive[] = "OU=ACTIVE,O=KRY KEYSPACE,C=US";
inline constexpr const char kPending[] = "OU=PENDING,O=KRY KEYSPACE,C=US";
inline constexpr const char kRoot[] = "O=KRY KEYSPACE,C=US";

struct Response {
  bool received = false;
  unsigned tag = 0;
  int msgid = -1;
  int code = -1;
  std::string matched, text;
  bool v30 = false;  // the result carried the extra SEQUENCE level
};

class OpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(InitGlobals(&g_globals), 0);
    be_ = backend_new("ldbm", g_globals->backends);
    ASSERT_NE(be_, nullptr);
    backend_set_directory(be_, dir_.path());
    ASSERT_GT(CreateDatabases(be_), 0);
    g_globals->DefaultAccess = ACL_ALL;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    sockbuf_reset(&conn_.c_sb, sv[0]);
    peer_ = sv[1];
    conn_.c_addr = "127.0.0.1";
    conn_.c_connid = 7;
    NewOp(0x66);
  }
  void TearDown() override {
    close(conn_.c_sb.sd.load());
    close(peer_);
    ReleaseGlobals(&g_globals);
  }

  // A fresh operation of the given request tag; `request`, when given, is
  // the encoded protocol operation the handler decodes.
  Operation* NewOp(unsigned tag, const std::string& request = std::string()) {
    op_ = std::make_unique<Operation>();
    op_->o_connid = conn_.c_connid;
    op_->o_msgid = ++msgid_;
    op_->o_tag = tag;
    op_->o_ber = ber_init(request.data(), request.size());
    return op_.get();
  }

  Response Receive() {
    Response r;
    std::string m;
    pollfd p{peer_, POLLIN, 0};
    while (poll(&p, 1, m.empty() ? 500 : 20) == 1) {
      char buf[65536];
      ssize_t n = read(peer_, buf, sizeof buf);
      if (n <= 0) break;
      m.append(buf, static_cast<size_t>(n));
    }
    if (m.empty()) return r;
    r.received = true;
    BerBufferPtr ber = ber_init(m.data(), m.size());
    ber_tag_t tag = 0;
    if (ber_scanf(ber.get(), "{it{eaa}}", &r.msgid, &tag, &r.code, &r.matched, &r.text) == -1) {
      ber = ber_init(m.data(), m.size());
      r.v30 = ber_scanf(ber.get(), "{it{{eaa}}}", &r.msgid, &tag, &r.code, &r.matched, &r.text) != -1;
    }
    r.tag = tag;
    return r;
  }
  int Code() { return Receive().code; }
  // Every byte the server sent until it falls silent (several responses).
  std::string ReadAll() {
    std::string m;
    pollfd p{peer_, POLLIN, 0};
    while (poll(&p, 1, m.empty() ? 500 : 10) == 1) {
      char buf[65536];
      ssize_t n = read(peer_, buf, sizeof buf);
      if (n <= 0) break;
      m.append(buf, static_cast<size_t>(n));
    }
    return m;
  }

  // Adds a plain entry through the backend; returns the LDAP code.
  int Add(const std::string& dn, std::vector<std::pair<std::string, std::string>> attrs, int merge = 0) {
    auto e = std::make_unique<Entry>();
    e->dn = dn;
    for (auto& a : attrs) attr_merge(e.get(), a.first, a.second);
    int replicated = 0, err = -1;
    std::string matched;
    be_->ops.add(be_, &conn_, op_.get(), e.release(), merge, nullptr, &replicated, &err, &matched);
    return err;
  }

  // The entry as the maps have it, with the entry cache emptied first
  // when `fromDisk` is set (no other Held may be alive then). Null when
  // absent.
  struct Held {
    Backend* be;
    Entry* e;
    ~Held() {
      if (e) cache_return_entry(be, e);
    }
    Entry* operator->() const { return e; }
    explicit operator bool() const { return e != nullptr; }
  };
  Held Lookup(const std::string& dn, bool fromDisk = false) {
    if (fromDisk) be_->ops.close(be_);
    return Held{be_, entry_by_dn(be_, dn)};
  }
  std::vector<std::string> Values(const std::string& dn, const std::string& type, bool fromDisk = false) {
    Held h = Lookup(dn, fromDisk);
    if (!h) return {"<no entry>"};
    const Attribute* a = attr_lookup(h.e, type);
    return a ? a->values : std::vector<std::string>{};
  }

  TempDir dir_;
  Backend* be_ = nullptr;
  Connection conn_;
  std::unique_ptr<Operation> op_;
  int peer_ = -1;
  int msgid_ = 0;
};

}  // namespace test
}  // namespace kry
