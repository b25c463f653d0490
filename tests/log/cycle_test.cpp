// Access-log cycling: the schedule, the countdown, dated copy names, the
// copy-and-truncate with its skips, and the pruning of old copies.
#include "log/cycle.h"

#include <gtest/gtest.h>


#include "log/accesslog.h"
#include "log_fixture.h"

namespace kry::test {
namespace {

struct tm At(int wday, int hour, int minute) {
  struct tm t {};
  t.tm_wday = wday;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = 42;  // ignored
  return t;
}

long Remaining(int wday, int hour, int minute, int day, int cycleMinutes) {
  CycleContext c;
  GetSecondsTilNextCycle(&c, At(wday, hour, minute), day, cycleMinutes);
  return c.remaining;
}

TEST(CycleSchedule, DailyAndWeekly) {
  EXPECT_EQ(Remaining(2, 22, 0, CYCLE_DAILY, 1439), 7140);
  EXPECT_EQ(Remaining(2, 23, 59, CYCLE_DAILY, 1439), 60 + 1439 * 60);  // tomorrow, not now
  EXPECT_EQ(Remaining(2, 0, 0, CYCLE_DAILY, 0), 86400);
  // Wednesday 02:00, asked on Monday 10:00: 14 h + 1 day + 2 h.
  EXPECT_EQ(Remaining(1, 10, 0, 3, 120), 144000);
  // On the cycle day before the time: later today; at or after it: next week.
  EXPECT_EQ(Remaining(3, 1, 0, 3, 120), 3600);
  EXPECT_EQ(Remaining(3, 2, 0, 3, 120), 7 * 86400);
  EXPECT_EQ(Remaining(3, 2, 1, 3, 120), 7 * 86400 - 60);
  // A cycle day earlier in the week: Monday 02:00 asked on Wednesday 10:00.
  EXPECT_EQ(Remaining(3, 10, 0, 1, 120), 4 * 86400 + 16 * 3600);
  // Saturday 23:59 asked on Sunday 00:00.
  EXPECT_EQ(Remaining(0, 0, 0, 6, 1439), 6 * 86400 + 1439 * 60);
}

TEST(CycledFileName, DateGoesBeforeTheExtensionOfTheFileName) {
  struct tm t {};
  t.tm_year = 100;
  t.tm_mon = 8;
  t.tm_mday = 12;
  std::string name;
  ASSERT_EQ(GetCycledFileName("/var/log/access.log", t, &name), 0);
  EXPECT_EQ(name, "/var/log/access.20000912.log");
  ASSERT_EQ(GetCycledFileName("access", t, &name), 0);
  EXPECT_EQ(name, "access.20000912");
  ASSERT_EQ(GetCycledFileName("a.b.log", t, &name), 0);
  EXPECT_EQ(name, "a.b.20000912.log");
  // A dot in a directory name is not an extension.
  ASSERT_EQ(GetCycledFileName("/srv/log.d/access", t, &name), 0);
  EXPECT_EQ(name, "/srv/log.d/access.20000912");
}

class Cycling : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    g_->CycleLogDay = CYCLE_DAILY;
    g_->CycleLogTime = 0;
  }
  void Line(const std::string& text) { ASSERT_EQ(LogAccessToFile(text.data(), text.size()), 0); }
  int Cycle(int year, int month, int day) { return CycleLog(&ctx_, LocalTimeOf(year, month, day, 0, 1)); }

  CycleContext ctx_;
};

TEST_F(Cycling, CountdownByElapsedTime) {
  CycleContext c;
  c.remaining = 100;
  c.last = 1000;
  EXPECT_FALSE(IsCycleLogTime(&c, 1060));
  EXPECT_EQ(c.remaining, 40);
  EXPECT_FALSE(IsCycleLogTime(&c, 1100));
  EXPECT_TRUE(IsCycleLogTime(&c, 1101));
  EXPECT_EQ(c.last, 1101);
  g_->CycleLogDay = CYCLE_NEVER;
  c.remaining = 0;
  EXPECT_FALSE(IsCycleLogTime(&c, 999999));
  EXPECT_EQ(c.last, 1101);
}

TEST_F(Cycling, CopiesTruncatesAndLogsOnInTheLiveFile) {
  Line("one\n");
  Line("two\n");
  ASSERT_EQ(Cycle(2000, 9, 12), 0);
  EXPECT_EQ(ReadAll(Path("access.20000912.log")), "one\ntwo\n");
  EXPECT_EQ(ReadAll(Path("access.log")), "");
  Line("three\n");
  EXPECT_EQ(ReadAll(Path("access.log")), "three\n");
  // The next run is scheduled from the cycle's time: tomorrow at 00:00.
  EXPECT_EQ(ctx_.remaining, 86400 - 60);

  // A second cycle the same day leaves everything as it was.
  ASSERT_EQ(Cycle(2000, 9, 12), 0);
  EXPECT_EQ(CountEvents("Cycling of log files skipped.  Today's cycled log file already exists."), 1);
  EXPECT_EQ(ReadAll(Path("access.log")), "three\n");
  EXPECT_EQ(ReadAll(Path("access.20000912.log")), "one\ntwo\n");
}

TEST_F(Cycling, NothingLoggedSkipsButReschedules) {
  WriteAll(Path("access.log"), "from an earlier run\n");
  ctx_.remaining = 0;
  ASSERT_EQ(Cycle(2000, 9, 12), 0);
  EXPECT_EQ(CountEvents("At log cycle time, nothing had been logged to the access log.  Log cycling was skipped."), 1);
  EXPECT_EQ(Files(), std::vector<std::string>{"access.log"});
  EXPECT_EQ(ctx_.remaining, 86400 - 60);
}

TEST_F(Cycling, KeepZeroEmptiesWithoutCopy) {
  g_->CycleLogKeep = 0;
  WriteAll(Path("access.20000901.log"), "old\n");
  Line("one\n");
  ASSERT_EQ(Cycle(2000, 9, 12), 0);
  EXPECT_EQ(Files(), std::vector<std::string>{"access.log"});
  EXPECT_EQ(ReadAll(Path("access.log")), "");
}

TEST_F(Cycling, KeepsOnlyTheNewestCopiesOfThisLog) {
  g_->CycleLogKeep = 2;
  for (const char* n : {"access.20000901.log", "access.20000902.log", "access.20000903.log", "access.bak.log",
                        "old-access.20000101.log", "access.20000101.log.gz", "other.20000101.log"})
    WriteAll(Path(n), "x\n");
  Line("one\n");
  ASSERT_EQ(Cycle(2000, 9, 4), 0);
  EXPECT_EQ(Files(), (std::vector<std::string>{"access.20000101.log.gz", "access.20000903.log", "access.20000904.log",
                                               "access.bak.log", "access.log", "old-access.20000101.log",
                                               "other.20000101.log"}));
}

TEST_F(Cycling, ExtensionlessLogAndNeverSchedule) {
  g_->AccessLogFile = Path("access");
  g_->CycleLogKeep = 1;
  WriteAll(Path("access.20000101"), "x\n");
  Line("one\n");
  ASSERT_EQ(Cycle(2000, 9, 12), 0);
  EXPECT_EQ(Files(), (std::vector<std::string>{"access", "access.20000912"}));
  Line("two\n");
  g_->CycleLogDay = CYCLE_NEVER;
  ASSERT_EQ(Cycle(2000, 9, 13), 0);
  EXPECT_EQ(ReadAll(Path("access")), "two\n");
}

TEST_F(Cycling, FailedCopyLeavesTheLogAsItWas) {
  // A log name of 250 characters is fine; its dated copy's is too long.
  const std::string name = std::string(246, 'a') + ".log";
  g_->AccessLogFile = Path(name);
  Line("one\n");
  EXPECT_EQ(Cycle(2000, 9, 12), 1);
  EXPECT_EQ(CountEvents("Invalid filename (" + Path(std::string(246, 'a') + ".20000912.log") +
                        ") for access log cycle file.  Error 36 (File name too long)"),
            1);
  EXPECT_EQ(ReadAll(Path(name)), "one\n");
  Line("two\n");
  EXPECT_EQ(ReadAll(Path(name)), "one\ntwo\n");
}

}  // namespace
}  // namespace kry::test
