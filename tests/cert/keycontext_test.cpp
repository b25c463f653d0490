// The per-thread key-library context pool: reuse, the copies each block
// holds, release at shutdown, and its use by connection threads.
#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "cert/keysets.h"
#include "cert/policy_init.h"
#include "cert_test_util.h"
#include "ldap/dispatch.h"
#include "runtime/daemon.h"
#include "runtime/keycontext.h"

namespace kry {
namespace test {
namespace {

class KeyContextTest : public CertTest {
 protected:
  void TearDown() override {
    FreeKRYSDKCtxPool();
    ReleasePolicy();
    CertTest::TearDown();
  }
  // Policy sets and keyrings in the main context, as start-up builds them.
  void LoadPolicy() {
    g_policy.signers = Import(CorpusText("trusted-signer.asc"));
    g_policy.addSigners = Import(CorpusText("second-signer.asc"));
    sets_.clear();  // owned by g_policy now
    g_globals->PublicKeyRing = pgptest::Corpus("server-pubring.pkr");
    g_globals->PrivateKeyRing = pgptest::Corpus("server-secring.skr");
    ASSERT_EQ(GetKeySetFromKeyRings(ctx_, g_globals->PublicKeyRing, g_globals->PrivateKeyRing, &g_policy.keyrings),
              0);
  }
  static std::vector<uint8_t> Bytes(const std::string& hex) {
    std::vector<uint8_t> b;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) b.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return b;
  }
  static int Count(KRYKeySetRef set) {
    int n = -1;
    if (set) KRYCountKeys(set, &n);
    return n;
  }
  // Runs a connection thread on one end of a socket pair whose other end
  // is closed at once, as by a client that connects and leaves.
  void OneConnection(Connection* conn) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ::close(sv[1]);
    sockbuf_reset(&conn->c_sb, sv[0]);
    conn->c_connid = ++connid_;
    g_globals->iActiveThreads++;
    connection_activity(conn);
    EXPECT_EQ(conn->c_sb.sd.load(), -1);
    EXPECT_TRUE(conn->c_keyContext.Empty());
  }
  uint32_t connid_ = 100;
};

TEST_F(KeyContextTest, BlocksAreReusedLastInFirstOutAndFreedAtTheEnd) {
  const size_t created = KRYSDKCtxCreated();
  KeyContextBlock a, b, c;
  ASSERT_EQ(GetKRYSDKCtx({}, &a), 0);
  ASSERT_FALSE(a.Empty());
  EXPECT_EQ(KRYSDKCtxCreated(), created + 1);
  KRYContextRef first = a.context;
  EXPECT_EQ(ReleaseKRYSDKCtx(&a), 0);
  EXPECT_TRUE(a.Empty());
  EXPECT_EQ(KRYSDKCtxPoolSize(), 1u);

  ASSERT_EQ(GetKRYSDKCtx({}, &b), 0);
  EXPECT_EQ(b.context, first);
  EXPECT_EQ(KRYSDKCtxCreated(), created + 1);
  ASSERT_EQ(GetKRYSDKCtx({}, &c), 0);  // the pool is empty again
  EXPECT_NE(c.context, first);
  EXPECT_EQ(KRYSDKCtxCreated(), created + 2);
  ReleaseKRYSDKCtx(&b);
  ReleaseKRYSDKCtx(&c);
  EXPECT_EQ(KRYSDKCtxPoolSize(), 2u);
  KeyContextBlock d;
  ASSERT_EQ(GetKRYSDKCtx({}, &d), 0);
  EXPECT_NE(d.context, first);  // the last one given back comes out first
  ReleaseKRYSDKCtx(&d);
  KeyContextBlock empty;
  ReleaseKRYSDKCtx(&empty);  // nothing to keep
  EXPECT_EQ(KRYSDKCtxPoolSize(), 2u);

  FreeKRYSDKCtxPool();
  EXPECT_EQ(KRYSDKCtxPoolSize(), 0u);
}

TEST_F(KeyContextTest, BlocksHoldTheirOwnCopiesOfThePresentSets) {
  LoadPolicy();
  g_globals->SecureMode = SECURE_OPTIONAL;
  KeyContextBlock b;
  ASSERT_EQ(GetKRYSDKCtx(Bytes(corpus::KeyId("server")), &b), 0);
  EXPECT_EQ(Count(b.keySet1), 1);
  EXPECT_EQ(Count(b.keySet2), 1);
  EXPECT_EQ(b.keySet3, nullptr);  // no delete signers configured
  EXPECT_EQ(Count(b.serverKeySet), Count(g_policy.keyrings));
  ASSERT_NE(b.serverKey, nullptr);
  EXPECT_EQ(KeyIDText(b.serverKey), corpus::KeyId("server"));
  KRYBoolean secret = 0;
  EXPECT_EQ(KRYGetKeyBoolean(b.serverKey, kKRYKeyProperty_IsSecret, &secret), 0);
  EXPECT_TRUE(secret);
  // The copies live in the block's context, usable after the originals go.
  ReleasePolicy();
  KRYKeyRef k = nullptr;
  EXPECT_EQ(KeySet2Key(b.keySet1, &k), 0);
  EXPECT_EQ(KeyIDText(k), corpus::KeyId("trusted-signer"));
  ReleaseKRYSDKCtx(&b);
}

TEST_F(KeyContextTest, ServerKeyOnlyWithTLSAndWhenFound) {
  LoadPolicy();
  KeyContextBlock b;
  g_globals->SecureMode = SECURE_DISABLED;
  ASSERT_EQ(GetKRYSDKCtx(Bytes(corpus::KeyId("server")), &b), 0);
  EXPECT_EQ(b.serverKeySet, nullptr);
  EXPECT_EQ(b.serverKey, nullptr);
  EXPECT_EQ(Count(b.keySet1), 1);
  ReleaseKRYSDKCtx(&b);
  FreeKRYSDKCtxPool();

  g_globals->SecureMode = SECURE_REQUIRED;
  Events();
  ASSERT_EQ(GetKRYSDKCtx(Bytes("0123456789ABCDEF"), &b), 1);
  EXPECT_NE(Events().find("Cannot find server's TLS key in keyring."), std::string::npos);
  EXPECT_NE(b.serverKeySet, nullptr);  // what was made stays filled in
  EXPECT_EQ(b.serverKey, nullptr);
  // The incomplete block is not kept: the next connection tries again.
  const size_t created = KRYSDKCtxCreated();
  ReleaseKRYSDKCtx(&b);
  EXPECT_EQ(KRYSDKCtxPoolSize(), 0u);
  ASSERT_EQ(GetKRYSDKCtx(Bytes(corpus::KeyId("server")), &b), 0);
  EXPECT_EQ(KRYSDKCtxCreated(), created + 1);
  EXPECT_NE(b.serverKey, nullptr);
  ReleaseKRYSDKCtx(&b);
  EXPECT_EQ(KRYSDKCtxPoolSize(), 1u);
}

TEST_F(KeyContextTest, ConnectionsOneAfterTheOtherShareOneBlock) {
  const size_t created = KRYSDKCtxCreated();
  Connection conn;
  OneConnection(&conn);
  OneConnection(&conn);
  OneConnection(&conn);
  EXPECT_EQ(KRYSDKCtxCreated(), created + 1);
  EXPECT_EQ(KRYSDKCtxPoolSize(), 1u);
}

TEST_F(KeyContextTest, AForcedCloseDoesNotLoseTheBlock) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  Connection conn;
  sockbuf_reset(&conn.c_sb, sv[0]);
  conn.c_connid = 55;
  g_globals->iActiveThreads++;
  const size_t created = KRYSDKCtxCreated();
  std::thread t([&] { connection_activity(&conn); });
  for (int i = 0; i < 500 && KRYSDKCtxCreated() == created; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(KRYSDKCtxCreated(), created + 1);
  {
    MutexGuard lock(g_globals->connectionTableLock);
    CloseConnectionLocked(&conn, 55, -2);
  }
  t.join();
  ::close(sv[1]);
  EXPECT_EQ(KRYSDKCtxPoolSize(), 1u);
  EXPECT_TRUE(conn.c_keyContext.Empty());
}

TEST_F(KeyContextTest, ThreadsTakingAndGivingBackNeverShareABlock) {
  LoadPolicy();
  constexpr int kThreads = 4, kRounds = 25;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        KeyContextBlock b;
        if (GetKRYSDKCtx({}, &b) != 0) ++failures;
        KRYKeyRef k = nullptr;
        // Work in the block's context, as a request would.
        if (KeySet2Key(b.keySet1, &k) != 0 || !k) ++failures;
        ReleaseKRYSDKCtx(&b);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_LE(KRYSDKCtxPoolSize(), static_cast<size_t>(kThreads));
  EXPECT_GE(KRYSDKCtxPoolSize(), 1u);
}

}  // namespace
}  // namespace test
}  // namespace kry
