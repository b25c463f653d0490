#include "runtime/options.h"

#include <gtest/gtest.h>

namespace kry {
namespace {

OptionsResult Parse(std::vector<std::string> args, Options* o) {
  args.insert(args.begin(), "krycertd");
  return ParseOptions(args, "krycertd", o);
}

TEST(Options, FlagsAndArguments) {
  Options o;
  ASSERT_EQ(Parse({"-g", "-s", "-a", "-f", "my.cfg", "-p1389", "-t", "1636", "-b", "4001", "-k", "30"}, &o),
            OptionsResult::kOk);
  EXPECT_TRUE(o.foreground);
  EXPECT_TRUE(o.startServer);
  EXPECT_TRUE(o.noSignatureCheck);
  EXPECT_EQ(o.configFile, "my.cfg");
  EXPECT_EQ(o.port, 1389);
  EXPECT_EQ(o.securePort, 1636);
  EXPECT_EQ(o.commandPort, 4001);
  EXPECT_EQ(o.commandTimeout, 30);
}

TEST(Options, BulkLoadTakesEveryPathAfterItsOptions) {
  Options o;
  ASSERT_EQ(Parse({"-g", "-l", "a.pgp", "-f", "x.cfg", "dumps", "b.pgp"}, &o), OptionsResult::kOk);
  EXPECT_EQ(o.loadPaths, (std::vector<std::string>{"a.pgp", "dumps", "b.pgp"}));
  EXPECT_EQ(o.configFile, "x.cfg");
  Options plain;
  EXPECT_EQ(Parse({"-g", "stray"}, &plain), OptionsResult::kExit1);  // paths only with -l
}

TEST(Options, GroupedFlags) {
  Options o;
  ASSERT_EQ(Parse({"-gcn"}, &o), OptionsResult::kOk);
  EXPECT_TRUE(o.foreground);
  EXPECT_TRUE(o.checkOnly);
  EXPECT_TRUE(o.createDatabases);
}

TEST(Options, PortsDisableWithZeroOrMinusOne) {
  Options o;
  ASSERT_EQ(Parse({"-p", "0", "-t", "-1"}, &o), OptionsResult::kOk);
  EXPECT_EQ(o.port, -1);
  EXPECT_EQ(o.securePort, -1);
  Options o2;
  ASSERT_EQ(Parse({"-p", "  +65534"}, &o2), OptionsResult::kOk);
  EXPECT_EQ(o2.port, 65534);
}

TEST(Options, InvalidNumbersExitWithOne) {
  for (const char* bad : {"65535", "12a", "", "-2", "1 2"}) {
    Options o;
    EXPECT_EQ(Parse({"-p", bad}, &o), OptionsResult::kExit1) << bad;
  }
  for (const char* bad : {"0", "65535", "12a"}) {
    Options o;
    EXPECT_EQ(Parse({"-b", bad}, &o), OptionsResult::kExit1) << bad;
  }
  Options k;
  EXPECT_EQ(Parse({"-k", "0"}, &k), OptionsResult::kOk);
  EXPECT_EQ(k.commandTimeout, 0);
  for (const char* bad : {"65535", "x", "-5"}) {
    Options o;
    EXPECT_EQ(Parse({"-k", bad}, &o), OptionsResult::kExit1) << bad;
  }
}

TEST(Options, DebugLevel) {
  Options o;
  ASSERT_EQ(Parse({"-d", "0"}, &o), OptionsResult::kOk);
  EXPECT_TRUE(o.debugGiven);
  EXPECT_EQ(o.debugLevel, 0x08000000u);
  Options o2;
  ASSERT_EQ(Parse({"-d", "4097"}, &o2), OptionsResult::kOk);
  EXPECT_EQ(o2.debugLevel, 4097u);
  Options o3;
  EXPECT_EQ(Parse({"-d", "?"}, &o3), OptionsResult::kExit1);
}

TEST(Options, UsageErrors) {
  Options o;
  EXPECT_EQ(Parse({"-x"}, &o), OptionsResult::kExit1);
  EXPECT_EQ(Parse({"-g", "extra"}, &o), OptionsResult::kExit1);
  EXPECT_EQ(Parse({"-f"}, &o), OptionsResult::kExit1);
  EXPECT_EQ(Parse({"-h"}, &o), OptionsResult::kExit1);
}

TEST(Options, ForegroundScanAndProgramName) {
  EXPECT_TRUE(HasForegroundFlag({"krycertd", "-s", "-g"}));
  EXPECT_TRUE(HasForegroundFlag({"krycertd", "-sg"}));
  EXPECT_FALSE(HasForegroundFlag({"krycertd", "-f", "-g"}));  // -g is -f's argument
  EXPECT_FALSE(HasForegroundFlag({"krycertd", "-s"}));
  EXPECT_EQ(ProgramName("/opt/krycertd/bin/krycertd"), "krycertd");
  EXPECT_EQ(ProgramName("krycertd"), "krycertd");
}

}  // namespace
}  // namespace kry
