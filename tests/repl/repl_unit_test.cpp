// The pieces of krycertrepl that decide what is sent and where it resumes:
// record boundaries and parsing, replica addresses, the stored position.
#include <gtest/gtest.h>

#include "cert/replog.h"
#include "repl/record.h"
#include "repl/replconfig.h"
#include "repl/statefile.h"
#include "support/harness.h"

namespace kryrepl {
namespace {

TEST(ReplRecord, OnlyCompleteRecordsAreFoundAndParsed) {
  const std::string value(300, '\x01');  // base64 and folded
  const std::string rec = kry::FormatRepLogRecord("replica: a:389\nreplica: B\n", 7, "kryKeyV2", value);
  for (size_t cut = 0; cut < rec.size(); ++cut) ASSERT_EQ(CompleteRecordLength(rec.substr(0, cut)), 0u) << cut;
  ASSERT_EQ(CompleteRecordLength(rec + rec), rec.size());
  LogRecord r;
  ASSERT_EQ(ParseRecord(rec, &r), ParseStatus::kOk);
  EXPECT_EQ(r.value, value);
  EXPECT_EQ(r.type, "kryKeyV2");
  EXPECT_EQ(r.time, 7);
  EXPECT_TRUE(RecordNamesReplica(r, "b"));
  EXPECT_FALSE(RecordNamesReplica(r, "a"));

  const std::string head = "replica: a\ntime: 1\n";
  EXPECT_EQ(ParseRecord(head + "changetype: add\nkryKey: k\n\n", &r), ParseStatus::kNoDN);
  EXPECT_EQ(ParseRecord(head + "dn: x\nchangetype: add\nkryOther: k\n\n", &r), ParseStatus::kUnknownAttribute);
  EXPECT_EQ(ParseRecord(head + "dn: x\nchangetype: delete\nkryKey: k\n\n", &r), ParseStatus::kGarbled);
  EXPECT_EQ(ParseRecord(head + "dn: x\nchangetype: add\nkryKey: k\nkryKey: l\n\n", &r), ParseStatus::kGarbled);
  EXPECT_EQ(ParseRecord(head + "dn: x\nchangetype: add\n\n", &r), ParseStatus::kGarbled);
}

TEST(ReplConfig, ReplicaAddresses) {
  ReplicaAddress a;
  ASSERT_TRUE(ParseReplica("ldaps://Host.example", &a));
  EXPECT_EQ(a.host, "Host.example");
  EXPECT_EQ(a.port, 636);
  EXPECT_TRUE(a.tls);
  ASSERT_TRUE(ParseReplica("[::1]:3890", &a));
  EXPECT_EQ(a.host, "::1");
  EXPECT_EQ(a.port, 3890);
  EXPECT_FALSE(a.tls);
  EXPECT_FALSE(ParseReplica("http://h", &a));
  EXPECT_FALSE(ParseReplica("h:12x", &a));
  EXPECT_FALSE(ParseReplica(":389", &a));

  krytest::TempDir dir;
  krytest::WriteFile(dir.File("c"), "# x\nREPLOGFILE ..\\log\\rep\nreplica a b\nReplica c\nrepdcommandport 99\n");
  ReplConfig c;
  std::string error;
  ASSERT_EQ(ReadReplConfig(dir.File("c"), &c, &error), 0) << error;
  EXPECT_EQ(c.repLogFile, "../log/rep");
  EXPECT_EQ(c.replicas, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(c.commandPort, 99);
  krytest::WriteFile(dir.File("c"), "repdCommandPort 65535\n");
  EXPECT_EQ(ReadReplConfig(dir.File("c"), &c, &error), 1);
}

TEST(ReplState, PositionSurvivesAndReplacesAtomically) {
  krytest::TempDir dir;
  const std::string path = StateFilePath(dir.path(), "ldaps://h:636");
  EXPECT_EQ(path, dir.path() + "/ldaps___h_636.pos");
  LogPosition p{5, 6, HashHex("x"), 1234}, q;
  EXPECT_FALSE(LoadPosition(path, &q));
  ASSERT_EQ(SavePosition(path, p), 0);
  p.offset = 99999999999ull;
  ASSERT_EQ(SavePosition(path, p), 0);
  ASSERT_TRUE(LoadPosition(path, &q));
  EXPECT_TRUE(q == p);
  krytest::WriteFile(path, "device 1\ninode");
  EXPECT_FALSE(LoadPosition(path, &q));
}

}  // namespace
}  // namespace kryrepl
