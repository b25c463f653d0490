// Rate limits per client address on the HKP and LDAP ports of the real
// server, clients told apart by their loopback source address, and the
// operator's view (Prometheus metrics, /pks/stats, /pks/health).
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
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
                            "\nHKPMaxConnectionsPerAddress 1000\nLookupHostname off\nRepLogFile ../log/replog.txt\nReplica 127.0.0.250:3999\n"
                            "RateLimit hkp read 10 10\nRateLimit ldap read 10 10\nRateLimitTable 1024\n"
                            "Allow keyid 0x" + corpus::KeyId("trusted-signer") + " delete\n");
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

// The value of one sample line ("name{labels} value") of a scrape; -1 when
// the line is missing.
double Sample(const std::string& scrape, const std::string& series) {
  const size_t at = scrape.find("\n" + series + " ");
  return at == std::string::npos ? -1 : std::atof(scrape.c_str() + at + series.size() + 2);
}

std::string Scrape(int port) {
  const std::string a = HttpFrom("127.0.0.1", port, "/metrics");
  const size_t body = a.find("\r\n\r\n");
  return body == std::string::npos ? std::string() : "\n" + a.substr(body + 4);
}

TEST_F(Limits, HealthAndStatsAnswerOnTheHkpPort) {
  const std::string health = HttpFrom("127.0.0.1", hkpPort_, "/pks/health");
  EXPECT_EQ(Status(health), 200) << health;
  ASSERT_EQ(server_->AddFile(Corpus("rsa.asc")).exitCode, 0);
  const std::string mr = HttpFrom("127.0.0.1", hkpPort_, "/pks/stats?options=mr");
  EXPECT_EQ(Status(mr), 200);
  EXPECT_NE(mr.find("application/json"), std::string::npos) << mr;
  EXPECT_NE(mr.find("\"software\":\"krycertd\""), std::string::npos) << mr;
  EXPECT_NE(mr.find("\"keys\":{\"active\":1,\"pending\":0}"), std::string::npos) << mr;
  EXPECT_NE(mr.find("\"hkp\":" + std::to_string(hkpPort_)), std::string::npos) << mr;
  const std::string html = HttpFrom("127.0.0.1", hkpPort_, "/pks/stats");
  EXPECT_NE(html.find("text/html"), std::string::npos) << html;
  EXPECT_NE(html.find("<td>Active keys</td><td>1</td>"), std::string::npos) << html;
}

TEST_F(Limits, MetricsPassPromtoolUnderLoadAndEveryCounterMoves) {
  const std::string before = Scrape(metricsPort_);
  ASSERT_NE(before.find("# TYPE krycertd_operations_total counter"), std::string::npos) << before;
  // Load from several addresses while the scrape is taken: lookups over
  // HKP (some refused), searches over LDAP, a submission over each.
  std::thread load([] {
    for (int i = 0; i < 40; ++i) {
      HttpFrom("127.0.0.31", hkpPort_, "/pks/lookup?op=get&search=0x" + corpus::KeyId("dsa-elg"));
      LdapSearchFrom("127.0.0.32", server_->tree().port, corpus::ShortId("dsa-elg"));
    }
  });
  ASSERT_EQ(server_->AddFile(Corpus("dsa-elg.asc")).exitCode, 0);
  server_->AddFile(Corpus("dsa-elg.asc"));  // nothing new: unchanged
  ASSERT_EQ(server_->AddFile(Corpus("signed-by-trusted.asc")).exitCode, 0);
  ASSERT_EQ(server_->AddFile(Corpus("signed-by-both.asc")).exitCode, 0);  // merged into the stored copy
  const std::string during = Scrape(metricsPort_);
  load.join();
  TempDir tmp;
  WriteFile(tmp.File("scrape.txt"), during.substr(1));
  const RunResult check = RunShell("promtool check metrics < " + ShellQuote(tmp.File("scrape.txt")) + " 2>&1");
  EXPECT_EQ(check.exitCode, 0) << check.output << during;

  const std::string after = Scrape(metricsPort_);
  const char* const moved[] = {
      "krycertd_operations_total{protocol=\"hkp\",kind=\"lookup\",result=\"not_found\"}",
      "krycertd_operations_total{protocol=\"hkp\",kind=\"lookup\",result=\"busy\"}",
      "krycertd_operations_total{protocol=\"ldap\",kind=\"search\",result=\"success\"}",
      "krycertd_operations_total{protocol=\"ldap\",kind=\"search\",result=\"busy\"}",
      "krycertd_operations_total{protocol=\"ldap\",kind=\"submit\",result=\"success\"}",
      "krycertd_request_duration_seconds_count{protocol=\"ldap\"}",
      "krycertd_request_duration_seconds_count{protocol=\"hkp\"}",
      "krycertd_connections_total{protocol=\"ldap\"}",
      "krycertd_connections_total{protocol=\"hkp\"}",
      "krycertd_submissions_total{outcome=\"stored\",reason=\"\"}",
      "krycertd_submissions_total{outcome=\"merged\",reason=\"\"}",
      "krycertd_submissions_total{outcome=\"unchanged\",reason=\"\"}",
      "krycertd_ratelimit_refused_total{protocol=\"hkp\",kind=\"read\"}",
      "krycertd_ratelimit_refused_total{protocol=\"ldap\",kind=\"read\"}",
      "krycertd_keys{state=\"active\"}",
      "krycertd_replication_log_records_total",
      "krycertd_entry_cache_lookups_total{result=\"hit\"}",
      "krycertd_entry_cache_lookups_total{result=\"miss\"}",
  };
  for (const char* series : moved) EXPECT_GT(Sample(after, series), std::max(0.0, Sample(before, series))) << series;
  EXPECT_EQ(Sample(after, "krycertd_keys{state=\"pending\"}"), 0);
  EXPECT_EQ(Sample(after, "krycertd_keys{state=\"disabled\"}"), 0);
  EXPECT_EQ(Sample(after, "krycertd_keys{state=\"blocked\"}"), 0);
  // A disabled certificate counts once, though its user-ID entries carry
  // the mark too.
  const RunResult r = server_->AddLdif("dn: kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US\nkryRequest:< file://" +
                                       Corpus("disable-dsa-by-trusted.req") + "\n");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Sample(Scrape(metricsPort_), "krycertd_keys{state=\"disabled\"}"), 1);
}

// 1,500 addresses against a table of 1,024: the oldest are forgotten and
// the table stays at its bound (100,000 are simulated in the unit test).
TEST_F(Limits, ManySourceAddressesKeepTheTableWithinItsBound) {
  const std::string lookup = "/pks/lookup?op=get&search=0x" + corpus::KeyId("rsa");
  for (int n = 0; n < 1500; ++n) {
    const std::string source = "127.1." + std::to_string(n / 250) + "." + std::to_string(1 + n % 250);
    ASSERT_NE(Status(HttpFrom(source, hkpPort_, lookup)), 0) << source;
  }
  EXPECT_EQ(Sample(Scrape(metricsPort_), "krycertd_ratelimit_table_entries"), 1024);
}

}  // namespace
}  // namespace krytest
