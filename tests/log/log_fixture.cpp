#include "log_fixture.h"

#include <ftw.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "log/accesslog.h"
#include "log/eventlog.h"
#include "log/logfile.h"

namespace kry::test {

void LogFixture::SetUp() {
  // Local time is UTC, so that dated names and schedules do not depend on
  // the machine's zone.
  setenv("TZ", "UTC", 1);
  tzset();
  char tmpl[] = "/tmp/kry_log_test.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir_ = tmpl;
  setenv("KRYCERTD_EVENTLOG", (dir_ + "-events").c_str(), 1);
  ErrorLogInit("krycertd", EVENTLOG_VERBOSE, 389, 0);
  ASSERT_EQ(InitGlobals(&g_globals), 0);
  g_ = g_globals;
  g_->AccessLogFile = Path("access.log");
}

void LogFixture::TearDown() {
  ReleaseGlobals(&g_globals);
  ErrorLogClose();
  std::remove((dir_ + "-events").c_str());
  nftw(
      dir_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return std::remove(p); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> LogFixture::Files() const {
  std::vector<std::string> names;
  ListDirectory(dir_, &names);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> LogFixture::Events() const {
  std::vector<EventRecord> records;
  ReadEventsNewestFirst(0, &records);
  std::vector<std::string> out;
  for (auto it = records.rbegin(); it != records.rend(); ++it) out.push_back(it->message);
  return out;
}

int LogFixture::CountEvents(const std::string& text) const {
  int n = 0;
  for (const std::string& m : Events())
    if (m.find(text) != std::string::npos) ++n;
  return n;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

time_t LocalTimeOf(int year, int month, int day, int hour, int minute) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_isdst = -1;
  return mktime(&t);
}

}  // namespace kry::test
