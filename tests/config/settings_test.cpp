// The settings file: read rules, write-back that keeps foreign lines, and
// the start-up conversion of the port texts.
#include <gtest/gtest.h>
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "config/settings.h"
#include "runtime/globals.h"

namespace kry::test {
namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/krysettings-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/settings";
    setenv("KRYCERTD_SETTINGS", path_.c_str(), 1);
    ClearRegistrySettings(&rec_);
  }
  void TearDown() override {
    unsetenv("KRYCERTD_SETTINGS");
    std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }
  void Write(const std::string& text) { std::ofstream(path_, std::ios::trunc) << text; }
  std::string Contents() {
    std::ifstream in(path_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  int FilesInDir() {
    int n = 0;
    DIR* d = opendir(dir_.c_str());
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
  }

  std::string dir_, path_;
  RegistrySettings rec_;
};

TEST_F(SettingsTest, ReadsValuesByTheirRules) {
  Write("# machine settings\nConfigFile=/opt/krycertd/etc/krycertd.cfg\nPort=389x\nSecurePort=x389\n"
        "CommandPort=4000\nCommandTimeout=20\nPortDisabled=1\nDefaultPort=389\nRefreshTime=abc\n"
        "InstalledVersion=" + std::string(100, 'v') + "\nColour=blue\n");
  ASSERT_EQ(ReadRegistrySettings(&rec_), 1);
  EXPECT_STREQ(rec_.ConfigFile, "/opt/krycertd/etc/krycertd.cfg");
  EXPECT_STREQ(rec_.Port, "389x");
  EXPECT_EQ(rec_.PortDisabled, 1u);
  EXPECT_EQ(rec_.DefaultPort, 389u);
  EXPECT_EQ(rec_.RefreshTime, 0u);          // not a number: left unchanged
  EXPECT_STREQ(rec_.InstalledVersion, "");  // does not fit: missing

  Globals g;
  ApplyRegistrySettings(rec_, &g);
  EXPECT_EQ(g.configFile, "/opt/krycertd/etc/krycertd.cfg");
  EXPECT_EQ(g.Port, 389);
  EXPECT_EQ(g.SecurePort, 0);
  EXPECT_EQ(g.CommandPort, 4000);
  EXPECT_EQ(g.CommandTimeout, 20);
}

TEST_F(SettingsTest, PortsOutsideTheirRangeCountAsNone) {
  Write("Port=-389\nSecurePort=70000\nCommandPort= +4000\nCommandTimeout=65536\n");
  ASSERT_EQ(ReadRegistrySettings(&rec_), 1);
  Globals g;
  ApplyRegistrySettings(rec_, &g);
  EXPECT_EQ(g.Port, 0);
  EXPECT_EQ(g.SecurePort, 0);
  EXPECT_EQ(g.CommandPort, 4000);
  EXPECT_EQ(g.CommandTimeout, 0);  // kept in 16 bits
}

TEST_F(SettingsTest, TextFieldsAreFilledOnlyWhenEmpty) {
  Write("Port=1389\nAutoRefresh=7\n");
  std::strcpy(rec_.Port, "2389");
  rec_.AutoRefresh = 1;
  ASSERT_EQ(ReadRegistrySettings(&rec_), 1);
  EXPECT_STREQ(rec_.Port, "2389");
  EXPECT_EQ(rec_.AutoRefresh, 7u);
}

TEST_F(SettingsTest, MissingFile) {
  EXPECT_EQ(ReadRegistrySettings(&rec_), 0);
  Globals g;
  ApplyRegistrySettings(rec_, &g);
  EXPECT_EQ(g.Port, 0);  // no settings: the built-in 389 becomes 0
  setenv("KRYCERTD_SETTINGS", (dir_ + "/no/such/dir/settings").c_str(), 1);
  EXPECT_EQ(WriteRegistrySettings(rec_), 0);
}

TEST_F(SettingsTest, WriteBackKeepsForeignLinesAndReplacesAtomically) {
  Write("# written by the installer\nColour=blue\nPort=389\nPort=390\nNoSignatureCheck=1\nnot a setting\n");
  ASSERT_EQ(ReadRegistrySettings(&rec_), 1);
  Globals g;
  g.configFile = "krycertd.cfg";
  g.Port = 1389;
  g.SecurePort = 0;
  g.CommandPort = 4000;
  g.CommandTimeout = 10;
  RefreshRegistrySettings(g, &rec_);
  ASSERT_EQ(WriteRegistrySettings(rec_), 1);
  std::string text = Contents();
  EXPECT_NE(text.find("# written by the installer\nColour=blue\nPort=1389\nNoSignatureCheck=1\nnot a setting\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("Port=390"), std::string::npos);
  EXPECT_NE(text.find("ConfigFile=krycertd.cfg\n"), std::string::npos);
  EXPECT_NE(text.find("SecurePort=0\n"), std::string::npos);
  EXPECT_NE(text.find("CommandTimeout=10\n"), std::string::npos);
  EXPECT_EQ(FilesInDir(), 1);  // no temporary file left behind

  RegistrySettings again;
  ClearRegistrySettings(&again);
  ASSERT_EQ(ReadRegistrySettings(&again), 1);
  EXPECT_EQ(std::memcmp(&again, &rec_, sizeof again), 0);
}

TEST_F(SettingsTest, RefreshLeavesATooLongPathAlone) {
  std::strcpy(rec_.ConfigFile, "old.cfg");
  Globals g;
  g.configFile = std::string(300, 'p');
  RefreshRegistrySettings(g, &rec_);
  EXPECT_STREQ(rec_.ConfigFile, "old.cfg");
  EXPECT_STREQ(rec_.Port, "389");
}

// A console restarts the server on the ports recorded here; a port the
// listener does not serve must not be asked for again.
TEST_F(SettingsTest, RefreshMarksPortsThatAreNotServed) {
  Globals g;
  g.Port = 1389;
  g.SecurePort = 636;
  g.SecureMode = SECURE_DISABLED;
  rec_.PortDisabled = 1;
  RefreshRegistrySettings(g, &rec_);
  EXPECT_EQ(rec_.PortDisabled, 0u);
  EXPECT_EQ(rec_.SecurePortDisabled, 1u);
  g.Port = 0;
  g.SecureMode = SECURE_OPTIONAL;
  RefreshRegistrySettings(g, &rec_);
  EXPECT_EQ(rec_.PortDisabled, 1u);
  EXPECT_EQ(rec_.SecurePortDisabled, 0u);
  g.SecurePort = 0;
  RefreshRegistrySettings(g, &rec_);
  EXPECT_EQ(rec_.SecurePortDisabled, 1u);
}

}  // namespace
}  // namespace kry::test
