// The command pass and the configuration check.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/config.h"
#include "config_test_util.h"

namespace kry::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class ReadCommandTest : public ConfigFixture {
 protected:
  void SetUp() override {
    ConfigFixture::SetUp();
    globals_->CommandPort = 0;
    globals_->PublicKeyRing = "../etc/KRYcertd-pubring.pkr";
    globals_->PrivateKeyRing = "../etc/KRYcertd-secring.skr";
  }
};

TEST_F(ReadCommandTest, TakesOnlyItsKeywords) {
  ASSERT_EQ(Command("Port 0\nCommandPort 4001\nSecureMode Optional\nPublicKeyRing ..\\etc\\pub.pkr\n"
                    "ServerSecureKeyID 0x0123456789ABCDEF\nAllow keyid 0x1111111111111111 command\nAllow ip * all\n"
                    "Allow keyid 0x22222222 add\nBogus line\n"),
            0)
      << Logged();
  EXPECT_EQ(globals_->CommandPort, 4001);
  EXPECT_EQ(globals_->SecureMode, SECURE_OPTIONAL);
  EXPECT_EQ(globals_->PublicKeyRing, "../etc/pub.pkr");
  EXPECT_EQ(globals_->ServerSecureKeyID, (std::vector<uint8_t>{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}));
  EXPECT_EQ(globals_->allowCommand, (KeyIDList{"1111111111111111"}));
  EXPECT_TRUE(globals_->allowAdd.empty());
  EXPECT_TRUE(globals_->accessList.empty());
  EXPECT_EQ(globals_->Port, 389);
}

TEST_F(ReadCommandTest, RequiredSettings) {
  EXPECT_EQ(Command("SizeLimit 1\n"), 1);  // no command port
  EXPECT_EQ(Command("SizeLimit 1\n", 4002), 0);
  EXPECT_EQ(globals_->CommandPort, 4002);
  globals_->PrivateKeyRing.clear();
  EXPECT_EQ(Command("CommandPort 4001\n"), 1);
  EXPECT_EQ(Command("CommandPort 4001\nPrivateKeyRing sec.skr\n"), 0);
}

TEST_F(ReadCommandTest, Messages) {
  const struct {
    const char* line;
    const char* message;
  } cases[] = {
      {"CommandPort 65535", "CommandPort number of '65535' is invalid.\n  Valid Port values: 1 - 65534.\n"},
      {"CommandPort", "Missing port number in \"CommandPort <Number>\" line\n"},
      {"PublicKeyRing", "Missing Filename in \"PublicKeyRing <Filename>\" line\n"},
      {"PrivateKeyRing a b", "Missing Filename in \"PrivateKeyRing <Filename>\" line\n"},
      {"ServerSecureKeyID", "Missing Key ID in \"ServerSecureKeyID <KeyID>\" line\n"},
      {"ServerSecureKeyID 0xXXXXXXXX", "Invalid KeyID (0xXXXXXXXX) found in ServerSecureKeyID\n"},
      {"SecureMode sometimes",
       "SecureMode of 'sometimes' is invalid.\n  Valid SecureModes: 'Required', 'Optional', 'Disabled'.\n"},
      {"Allow keyid 0x1234 command", "Invalid KeyID (0x1234) found in Allow\n"},
      {"Allow keyid 0x11111111 command", "Allow keyid 0x11111111 command: a console key must be named by its full 16-digit key ID"},
      {"Allow ip 10.*", "Invalid syntax on \"Allow <type> <pattern> <access level>\" line.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    logged_.clear();
    EXPECT_EQ(Command(std::string("CommandPort 4001\n") + c.line + "\n"), 1);
    EXPECT_THAT(Logged(), HasSubstr(At(2, c.message)));
  }
}

class CheckConfigTest : public ConfigFixture {};

TEST_F(CheckConfigTest, ChangesNoRunningSetting) {
  ASSERT_EQ(Check("SizeLimit 7\nPort 1389\nCommandPort 4001\nAllow ip 10.* read\nAllow keyid 0x11111111 add\n"
                  "LogLevel error\nReplica ldap://h\nRepLogFile r.log\nReadOnly on\nLookupHostname Off\n"
                  "ServerSecureKeyID 0x12345678\nSecureMode required\nDirectory ../data\nCacheEntries 200\n"
                  "DBCacheSize 110000\nMode 0644\nIndex kryUserID eq,sub\n"),
            0)
      << Logged();
  const Globals& g = *globals_;
  EXPECT_EQ(g.SizeLimit, 500);
  EXPECT_EQ(g.Port, 389);
  EXPECT_EQ(g.CommandPort, 4000);
  EXPECT_TRUE(g.accessList.empty());
  EXPECT_TRUE(g.allowAdd.empty());
  EXPECT_TRUE(g.ServerSecureKeyID.empty());
  EXPECT_EQ(g.SecureMode, SECURE_DISABLED);
  EXPECT_TRUE(g.LookupHostname);
  EXPECT_TRUE(backend_->replicas.empty());
  EXPECT_EQ(backend_->readOnly, 0);
  // The scratch backend gets the database settings.
  EXPECT_EQ(backend_directory(backend_), "../data");
}

TEST_F(CheckConfigTest, Messages) {
  const struct {
    const char* line;
    const char* message;
  } cases[] = {
      {"CommandPort 0", "Port number of '0' is invalid.\n  Valid CommandPort values: 1 - 65534.\n"},
      {"LookupHostname", "Missing On|Off in \"LookupHostname <On|Off>\" line\n"},
      {"LookupHostname maybe", "Invalid permission in \"LookupHostname <On|Off>\" line\n"},
      {"Allow keyid 0x1234 command", "Invalid KeyID (0x1234) found in Allow\n"},
      {"Allow keyid 0x11111111 command", "Allow keyid 0x11111111 command: a console key must be named by its full 16-digit key ID"},
      {"Allow ip 10.* write", "Allow Access Level of 'write' is invalid."},
      {"Allow host h command", "Invalid syntax on \"Allow <type> <pattern> <access level>\" line.\n"},
      {"Mode", "Missing Mode in \"Mode <Mode>\" line.\n"},
      {"Mode rw", "Invalid Mode argument in \"Mode <Mode>\" line.\n"},
      {"Index", "Missing Attribute in \"Index <Attribute> [pres,eq,approx,sub]\" line.\n"},
      {"Index a b c", "Too many parameters in \"Index <Attribute> [pres,eq,approx,sub]\" line.\n"},
      {"CacheEntries", "Missing Number in \"CacheEntries <Number>\" line.\n"},
      {"CacheEntries abc", "CacheEntries should be an integer. Currently it is abc.\n"},
      {"DBCacheSize", "Missing Size in \"DBCacheSize <Size>\" line.\n"},
      {"DBCacheSize 1e6", "DBCacheSize should be an integer. Currently it is 1e6.\n"},
      {"CacheMemory", "Missing Size in \"CacheMemory <MiB>\" line.\n"},
      {"CacheMemory 1G", "CacheMemory should be an integer. Currently it is 1G.\n"},
      {"CacheMemory 0", "CacheMemory should be between 1 and 1048576 (MiB). Currently it is 0.\n"},
      {"DBCacheTotal", "Missing Size in \"DBCacheTotal <MiB>\" line.\n"},
      {"DBCacheTotal -5", "DBCacheTotal should be an integer. Currently it is -5.\n"},
      {"DBCacheTotal 1048577", "DBCacheTotal should be between 1 and 1048576 (MiB). Currently it is 1048577.\n"},
      {"Directory nowhere", "Directory 'nowhere' does not exist.\n"},
      {"Frobnicate 1", "Unknown configuration value (Frobnicate).\n"},
      {"Port 389 # comment", "Missing port number in \"Port <Number>\" line\n"},
      {"SecureMode never",
       "SecureMode of 'never' is invalid.\n  Valid SecureModes: 'Required', 'Optional', 'Disabled'.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    logged_.clear();
    EXPECT_EQ(Check(std::string(c.line) + "\n"), 1);
    EXPECT_THAT(Logged(), HasSubstr(At(1, c.message)));
  }
  EXPECT_EQ(Check("Mode 0x1ff\nMode -12\n"), 0);
}

TEST_F(CheckConfigTest, RangeWarningsDoNotEndTheCheck) {
  EXPECT_EQ(Check("CacheEntries 5\nDBCacheSize 5000\n"), 0);
  std::string log = Logged();
  EXPECT_THAT(log, HasSubstr(At(1, "CacheEntries should be between 10 and 1000. Currently it is 5.\n")));
  EXPECT_THAT(log, HasSubstr(At(2, "DBCacheSize should be larger. Currently it is 5000.\n")));
  bool warned = false;
  for (const Event& e : Events())
    if (e.message.find("CacheEntries should be between") != std::string::npos) warned = e.kind == "warning";
  EXPECT_TRUE(warned);
  // The lines after a warning are still checked.
  EXPECT_EQ(Check("CacheEntries 5000\nPort 0\n"), 1);
}

TEST_F(CheckConfigTest, PortsMustDiffer) {
  const char* unique = "The regular port, secure port, and command port must have unique values.";
  EXPECT_EQ(Check("Port 4001\nCommandPort 4001\n"), 1);
  EXPECT_THAT(Logged(), HasSubstr(unique));
  logged_.clear();
  EXPECT_EQ(Check("SecurePort 389\n"), 0);  // secure side disabled
  EXPECT_EQ(Check("SecurePort 389\nSecureMode optional\n"), 1);
  EXPECT_EQ(Check("SecurePort 4001\nCommandPort 4001\nSecureMode Required\n"), 1);
  EXPECT_EQ(Check("CommandPort 4001\nSecureMode Required\n"), 0);
  // The checks after reading of the main pass are not run.
  EXPECT_EQ(Check("TrimSigs yes\n"), 0);
  EXPECT_THAT(Logged(), Not(HasSubstr("TrimSigs was enabled")));
}

TEST_F(CheckConfigTest, MissingFile) {
  EXPECT_EQ(CheckConfig("absent.cfg", backend_), 1);
  EXPECT_THAT(Logged(), HasSubstr("Could not open configuration file (absent.cfg): "));
}

}  // namespace
}  // namespace kry::test
