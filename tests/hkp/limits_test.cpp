// Rate limits per client address on the HKP and LDAP ports of the real
// server, clients told apart by their loopback source address, and the
// operator's view (Prometheus metrics, /pks/stats, /pks/health).
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "certadd/certadd_support.h"
#include "support/corpus_ids.h"
#include "support/harness.h"

namespace krytest {
namespace {

std::string ReadToEnd(int fd, int timeoutMs) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) return out;
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

// One HTTP GET from `source`; the whole answer (headers and body).
std::string HttpFrom(const std::string& source, int port, const std::string& path) {
  const int fd = ConnectFrom(source, port);
  if (fd < 0) return std::string();
  const std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  std::string answer;
  if (write(fd, req.data(), req.size()) == static_cast<ssize_t>(req.size())) answer = ReadToEnd(fd, 10000);
  close(fd);
  return answer;
}

int Status(const std::string& answer) { return answer.size() > 12 ? std::atoi(answer.c_str() + 9) : 0; }

// One LDAP search from `source`; the result code, -1 when none came.
int LdapSearchFrom(const std::string& source, int port, const std::string& filterValue) {
  const int fd = ConnectFrom(source, port);
  if (fd < 0) return -1;
  const std::string req = SearchEqualityRequest(1, kActiveOU, 2, "kryKeyID", filterValue, {"kryCertID"});
  int code = -1;
  if (write(fd, req.data(), req.size()) == static_cast<ssize_t>(req.size())) {
    auto readExact = [fd](void* data, size_t n) {
      size_t got = 0;
      while (got < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) return false;
        const ssize_t r = read(fd, static_cast<char*>(data) + got, n - got);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
      }
      return true;
    };
    std::string msg;
    unsigned tag = 0;
    while (ReadBerMessage(readExact, &msg)) {
      const int rc = ResultCode(msg, &tag);
      if (tag == 0x65) {
        code = rc;
        break;
      }
    }
  }
  close(fd);
  return code;
}

// 50 requests paced over one second; how many `accepted` said yes to.
template <typename F>
int PacedFifty(F request) {
  int yes = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 50; ++i) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(20 * i));
    yes += request() ? 1 : 0;
  }
  return yes;
}

class Limits : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (CorpusDir().empty()) return;
    hkpPort_ = FreePort();
    metricsPort_ = FreePort();
    server_ = new KeyServer("PublicKeyRing " + Corpus("server-pubring.pkr") + "\nHKPPort " + std::to_string(hkpPort_) +
                            "\nMetricsPort " + std::to_string(metricsPort_) +
                            "\nHKPMaxConnectionsPerAddress 1000\n"
                            "RateLimit hkp read 10 10\nRateLimit ldap read 10 10\nRateLimitTable 1024\n"
                            "");
    for (int i = 0; i < 100 && server_->ok(); ++i) {
      if (Status(HttpFrom("127.0.0.1", hkpPort_, "/pks/health")) != 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
    ASSERT_TRUE(server_ && server_->ok()) << (server_ ? server_->tree().Output() : "");
  }
  static KeyServer* server_;
  static int hkpPort_, metricsPort_;
};
KeyServer* Limits::server_ = nullptr;
int Limits::hkpPort_ = 0;
int Limits::metricsPort_ = 0;

TEST_F(Limits, HkpFloodFromOneAddressIsRefusedWhileOthersAreServed) {
  const std::string lookup = "/pks/lookup?op=get&options=mr&search=0x" + corpus::KeyId("rsa");
  std::string refusal;
  const int flooder = PacedFifty([&] {
    const std::string a = HttpFrom("127.0.0.21", hkpPort_, lookup);
    if (Status(a) == 429) refusal = a;
    return Status(a) == 404 || Status(a) == 200;
  });
  // A burst of 10 and 10 a second: about 20 of 50 in one second.
  EXPECT_GE(flooder, 10);
  EXPECT_LE(flooder, 25);
  EXPECT_NE(refusal.find("Retry-After: 1"), std::string::npos) << refusal;
  EXPECT_NE(refusal.find("Too many requests"), std::string::npos) << refusal;
  // Another address right after is served in full, and so is 127.0.0.1,
  // granted "all" by the server's configuration, however fast it asks.
  for (int i = 0; i < 10; ++i) EXPECT_NE(Status(HttpFrom("127.0.0.22", hkpPort_, lookup)), 429) << i;
  for (int i = 0; i < 50; ++i) EXPECT_NE(Status(HttpFrom("127.0.0.1", hkpPort_, lookup)), 429) << i;
}

TEST_F(Limits, LdapFloodFromOneAddressGetsBusy) {
  int busy = 0;
  const int served = PacedFifty([&] {
    const int rc = LdapSearchFrom("127.0.0.23", server_->tree().port, corpus::ShortId("rsa"));
    busy += rc == 51 ? 1 : 0;
    return rc == 0;
  });
  EXPECT_GE(served, 10);
  EXPECT_LE(served, 25);
  EXPECT_EQ(served + busy, 50);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(LdapSearchFrom("127.0.0.24", server_->tree().port, corpus::ShortId("rsa")), 0);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(LdapSearchFrom("127.0.0.1", server_->tree().port, corpus::ShortId("rsa")), 0);
}

}  // namespace
}  // namespace krytest
