// Lines written by many connections while the log is cycled: none is lost,
// none is torn, and the copies plus the live file hold them all.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "ldap/operation.h"
#include "log/accesslog.h"
#include "log/cycle.h"
#include "log_fixture.h"
#include "runtime/connection.h"

namespace kry::test {
namespace {

constexpr int kConnections = 16;
constexpr int kRequests = 2000;
constexpr int kKeep = 99;
constexpr int kCycles = kKeep - 9;

class CycleWhileLogging : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    g_->CycleLogDay = CYCLE_DAILY;
    g_->CycleLogKeep = kKeep;
    g_->AccessLogDetails = 0xFFFFFFFFu;
  }
};

TEST_F(CycleWhileLogging, NoLineLostOrTorn) {
  std::atomic<int> running{kConnections};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int c = 0; c < kConnections; ++c) {
    threads.emplace_back([c, &running, &go] {
      while (!go.load()) std::this_thread::yield();
      Connection conn;
      conn.c_addr = "127.0.0.1";
      conn.c_connid = static_cast<uint32_t>(c + 1);
      for (int i = 0; i < kRequests; ++i) {
        Operation op;
        op.o_connid = conn.c_connid;
        op.o_time = 968752800;
        op.o_logDetail.dn = "CN=REQUEST " + std::to_string(i);
        std::memcpy(op.o_logDetail.code, "CMP", 3);
        // The entry count carries the request number for the check below.
        AddAccessLogEntry(&conn, &op, i % 2 ? kLogLdap : kLogSearch, &op.o_logDetail, i, 6);
      }
      --running;
    });
  }
  // One cycle per day, 2001-01-01 onwards, for as long as the connections
  // write, and one more once they are done; never more cycles than copies
  // are kept (on a slow machine the writers outlast them, and the oldest
  // copies would be removed, as they should be, taking their lines along).
  go = true;
  CycleContext ctx;
  int day = 1;
  for (; day < kCycles && running.load() > 0; ++day) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(CycleLog(&ctx, LocalTimeOf(2001, 1, day, 0, 0)), 0);
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(CycleLog(&ctx, LocalTimeOf(2001, 1, day, 0, 0)), 0);
  EXPECT_GT(day, 2) << "the connections were done before a second cycle";

  const std::regex search(R"(SRC (\d+) 2000-09-12 10:00:00 6 127\.0\.0\.1 - (\d+) -)");
  const std::regex ldap(R"re(DAP (\d+) 2000-09-12 10:00:00 6 127\.0\.0\.1 - CMP "CN=REQUEST (\d+)")re");
  std::set<std::pair<int, int>> seen;
  int files = 0;
  for (const std::string& name : Files()) {
    ++files;
    std::istringstream in(ReadAll(Path(name)));
    std::string line;
    while (std::getline(in, line)) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, search) || std::regex_match(line, m, ldap)) << name << ": " << line;
      EXPECT_TRUE(seen.emplace(std::stoi(m[1]), std::stoi(m[2])).second) << "twice: " << line;
    }
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kConnections * kRequests));
  EXPECT_GE(files, 2);
}

}  // namespace
}  // namespace kry::test
