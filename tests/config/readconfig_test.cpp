// The main configuration pass: keyword checks, their exact messages, what is
// stored, and the checks after reading.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "cert/access.h"
#include "config/config.h"
#include "config_test_util.h"

namespace kry::test {
namespace {

using ::testing::HasSubstr;

class ReadConfigTest : public ConfigFixture {};

struct LineCase {
  const char* line;
  const char* message;  // after "<path>(1): "
};

TEST_F(ReadConfigTest, RejectedLinesGiveTheirMessage) {
  const LineCase cases[] = {
      {"Port 389 # regular port", "Missing port number in \"Port <Number>\" line\n"},
      {"Port 65535", "Port number of '65535' is invalid.\n  Valid Port values: 1 - 65534.\n"},
      {"Port 0", "Port number of '0' is invalid.\n  Valid Port values: 1 - 65534.\n"},
      {"SecurePort 99999999999999", "Port number of '99999999999999' is invalid.\n  Valid SecurePort values: 1 - 65534.\n"},
      {"SizeLimit -1", "Invalid Limit in \"SizeLimit <Limit>\" line\n"},
      {"TimeLimit", "Missing Limit in \"TimeLimit <Limit>\" line\n"},
      {"CycleLogTime 24:00", "Time of '24:00' is invalid.\n  Valid format: HH:MM where HH is the hour in 24-hour time.\n"},
      {"CycleLogTime 12:60", "Time of '12:60' is invalid.\n  Valid format: HH:MM where HH is the hour in 24-hour time.\n"},
      {"CycleLogTime 09:5", "Time of '09:5' is invalid.\n  Valid format: HH:MM where HH is the hour in 24-hour time.\n"},
      {"CycleLogTime 123:00", "Time of '123:00' is invalid.\n  Valid format: HH:MM where HH is the hour in 24-hour time.\n"},
      {"CycleLogTime :30", "Time of ':30' is invalid.\n  Valid format: HH:MM where HH is the hour in 24-hour time.\n"},
      {"CycleLogKeep 100",
       "History of '100' is invalid.\n  Valid values: 0 - 99 where 0 means do not keep any log file copies.\n"},
      {"CycleLogKeep", "Missing NumberToKeep in \"CycleLogHistory <NumberToKeep>\" line\n"},
      {"CycleLogDay Tue",
       "CycleLogDay of 'Tue' is invalid.\n  Valid values: Sun, Mon, Tues, Weds, Thurs, Fri, Sat, Daily, Never.\n"},
      {"Directory nowhere", "Directory 'nowhere' does not exist.\n"},
      {"Directory", "Missing Path in \"Directory <Path>\" line.\n"},
      {"ReadOnly maybe", "Invalid permission in \"ReadOnly <On|Off>\" line\n"},
      {"LogLevel loud", "LogLevel of 'loud' is invalid.\n  Valid LogLevels: 'error', 'warning', 'info', 'verbose'.\n"},
      {"Replica", "Missing Host in \"Replica <Host[:Port]>\" line\n"},
      {"Replica ftp://host", "Invalid Protocol in \"Replica <Host[:Port]>\" line\n"},
      {"Replica host:38x", "Invalid Port Number in \"Replica <Host[:Port]>\" line\n"},
      {"Replica :389", "Missing Host in \"Replica <Host[:Port]>\" line\n"},
      {"TrimPhotoIDs perhaps", "Invalid value (perhaps) found on \"TrimPhotoIDs <Yes|No>\" line\n"},
      {"MustSigID", "Missing KeyIDs in \"MustSigID <KeyIDs> ...\" line\n"},
      {"AllowSigID 0x1234", "Invalid KeyID (0x1234) found in AllowSigID\n"},
      {"Allow keyid 0xABCDEF", "Invalid syntax on \"Allow <type> <pattern> <access level>\" line.\n"},
      {"Allow host localhost command", "Invalid syntax on \"Allow <type> <pattern> <access level>\" line.\n"},
      {"Allow dns x all", "Allow Type of 'dns' is invalid.\n  Valid Types: 'ip', 'host', 'keyid'.\n"},
      {"Allow keyid 0x12345678 read",
       "Allow Access Level of 'read' is invalid.\n  Valid Levels: 'add', 'GroupUpdate', 'delete', 'command'.\n"},
      {"Allow ip 10.* write",
       "Allow Access Level of 'write' is invalid.\n  Valid Levels: 'none', 'compare', 'search', 'read', 'add', "
       "'delete', 'all'.\n"},
      {"Allow ip \"\" all", "Missing arguments in \"Allow <Type> <Pattern> <Level>\" line.\n"},
      {"MustSignAdds", "Missing Yes|No in \"MustSignAdds <Yes|No>\" line.\n"},
      {"AcceptModernKeys", "Missing Yes|No in \"AcceptModernKeys <Yes|No>\" line\n"},
      {"AcceptModernKeys always", "Invalid value (always) found on \"AcceptModernKeys <Yes|No>\" line\n"},
      {"AccessLogDetails search bogus", "Invalid value (bogus) found on \"AccessLogDetails <type> ...\" line.\n"},
      {"AccessLogFile", "Missing Filename in \"AccessLogFile <Filename> ...\" line.\n"},
      {"PolicyFailures later", "Invalid value (later) found on \"PolicyFailures <Pending|Error>\" line.\n"},
      {"DefaultAccess write",
       "Default Access level of 'write' is invalid.\n  Valid levels: 'none', 'compare', 'search', 'read', 'add', "
       "'delete', 'all'.\n"},
      {"IdleSyncTimeout 1s", "Invalid Seconds in \"IdleSyncTimeout <Seconds>\" line\n"},
      {"CommandTimeout 70000", "Invalid Seconds in \"CommandTimeout <Seconds>\" line\n"},
      {"CommandTimeout 65536", "Invalid Seconds in \"CommandTimeout <Seconds>\" line\n"},
      {"repdCommandPort 0", "Port number of '0' is invalid.\n  Valid CommandPort values: 1 - 65534.\n"},
      {"LookupHostname", "Invalid value specified for LookupHostname.\n"},
      {"ReplicationSecureKeyID 12345678", "Invalid KeyID (12345678) found in ReplicationSecureKeyID\n"},
      {"MaxMessageSize", "Missing Size in \"MaxMessageSize <Bytes>\" line\n"},
      {"MaxMessageSize 1023", "Invalid Size in \"MaxMessageSize <Bytes>\" line\n"},
      {"MaxMessageSize 64k", "Invalid Size in \"MaxMessageSize <Bytes>\" line\n"},
      {"HKPPort 65535", "Invalid port number in \"HKPPort <Number>\" line (0 for none, 1 - 65534)\n"},
      {"HKPPort", "Missing port number in \"HKPPort <Number>\" line\n"},
      {"HKPMaxConnections 0", "Invalid Number in \"HKPMaxConnections <Number>\" line (1 - 1000)\n"},
      {"HKPMaxConnections 1001", "Invalid Number in \"HKPMaxConnections <Number>\" line (1 - 1000)\n"},
      {"HKPMaxConnectionsPerAddress 0",
       "Invalid Number in \"HKPMaxConnectionsPerAddress <Number>\" line (1 - 1000)\n"},
      {"HKPMaxBodyBytes 1023", "Invalid Size in \"HKPMaxBodyBytes <Bytes>\" line (at least 1024)\n"},
      {"HKPRequestTimeout 3601", "Invalid Seconds in \"HKPRequestTimeout <Seconds>\" line (1 - 3600)\n"},
      {"MaxConnections 65536", "Invalid Number in \"MaxConnections <Number>\" line (1 - 65535)\n"},
      {"MaxConnectionsPerAddress", "Missing Number in \"MaxConnectionsPerAddress <Number>\" line\n"},
      {"WKDDomain", "Missing Domain in \"WKDDomain <Domain>\" line\n"},
      {"WKDDomain a.org b.org", "Missing Domain in \"WKDDomain <Domain>\" line\n"},
      {"WKDDomain ../etc", "Invalid Domain in \"WKDDomain <Domain>\" line\n"},
      {"WKDDomain mail@example.org", "Invalid Domain in \"WKDDomain <Domain>\" line\n"},
      {"MaxKeyLength 1023", "Invalid Number in \"MaxKeyLength <Number>\" line (1024 - 268435456)\n"},
      {"MaxSignaturesPerUserID", "Missing Number in \"MaxSignaturesPerUserID <Number>\" line\n"},
      {"ServeSignatures some", "Invalid value in \"ServeSignatures <all|self>\" line\n"},
      {"BlockListFile", "Missing File in \"BlockListFile <File>\" line\n"},
      {"RateLimit hkp read 10", "Missing arguments in \"RateLimit ldap|hkp read|write <PerSecond> <Burst>\" line\n"},
      {"RateLimit http read 10 10", "Invalid \"RateLimit ldap|hkp read|write <PerSecond> <Burst>\" line\n"},
      {"RateLimit ldap search 10 10", "Invalid \"RateLimit ldap|hkp read|write <PerSecond> <Burst>\" line\n"},
      {"RateLimit ldap read 0 10", "Invalid \"RateLimit ldap|hkp read|write <PerSecond> <Burst>\" line\n"},
      {"RateLimit ldap read 5 -1", "Invalid \"RateLimit ldap|hkp read|write <PerSecond> <Burst>\" line\n"},
      {"RateLimitTable 1023", "Invalid Number in \"RateLimitTable <Number>\" line (1024 - 16777216)\n"},
      {"MetricsPort 65535", "Invalid port number in \"MetricsPort <Number>\" line (0 for none, 1 - 65534)\n"},
      {"MetricsAddress localhost", "Invalid Address in \"MetricsAddress <IPv4 address>\" line\n"},
      {"ReconPort 65535", "Invalid port number in \"ReconPort <Number>\" line (0 for none, 1 - 65534)\n"},
      {"ReconPartner peer.example 11370",
       "Missing arguments in \"ReconPartner <Host> <ReconPort> <HTTPPort>\" line\n"},
      {"ReconPartner peer/x 11370 11371", "Invalid Host in \"ReconPartner <Host> <ReconPort> <HTTPPort>\" line\n"},
      {"ReconPartner peer.example 11370 0",
       "Invalid port number in \"ReconPartner <Host> <ReconPort> <HTTPPort>\" line\n"},
      {"ReconAllow", "Invalid Pattern in \"ReconAllow <Pattern>\" line\n"},
      {"ReconAllow 10.0.0.[1-3]", "Invalid Pattern in \"ReconAllow <Pattern>\" line\n"},
      {"ReconInterval 0", "Invalid Seconds in \"ReconInterval <Seconds>\" line (1 - 86400)\n"},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.line);
    logged_.clear();
    EXPECT_EQ(Read(std::string(c.line) + "\n"), 1);
    EXPECT_THAT(Logged(), HasSubstr(At(1, c.message)));
  }
}

TEST_F(ReadConfigTest, AcceptedValuesAreStored) {
  ASSERT_EQ(Read("Port 65534\nSizeLimit 0\nCycleLogTime 9:05\nCycleLogKeep 99\nCycleLogDay TUES\n"
                 "AccessLogFile access.log 0644\nPolicyFailures Error\nDefaultAccess SelfRead\n"
                 "LookupHostname off\nMustSignAdds YES\nAcceptModernKeys yes\nMaxMessageSize 1024\nReadOnly on\nLogLevel verbose\n"
                 "HKPPort 11371\nHKPMaxConnections 1000\n"
                 "HKPMaxConnectionsPerAddress 7\nHKPMaxBodyBytes 2048\nHKPRequestTimeout 5\n"
                 "MaxConnections 65535\nMaxConnectionsPerAddress 3\n"
                 "RateLimit HKP Write 2 5\nRateLimit ldap read 100 200\nRateLimitTable 4096\n"
                 "MetricsPort 9464\nMetricsAddress 0.0.0.0\n"
                 "HKPPort 11371\nHKPMaxConnections 1000\nWKDDomain Example.ORG\nWKDDomain example.com\n"
                 "CommandTimeout 65535\nIdleSyncTimeout 3\nRandSeedFile ..\\etc\\seed.bin\n"
                 "MaxKeyLength 2048\nMaxPacketLength 100\nMaxSigPacketLength 200\nMaxSignatures 30\n"
                 "MaxSignaturesPerUserID 3\nServeSignatures Self\n"
                 "ReconPort 11370\nReconPartner peer.example 11370 11371\nReconPartner 10.1.2.3 1 2\n"
                 "ReconAllow 10.0.*\nReconInterval 5\n"),
            0)
      << Logged();
  const Globals& g = *globals_;
  EXPECT_EQ(g.Port, 65534);
  EXPECT_EQ(g.SizeLimit, 0);
  EXPECT_EQ(g.CycleLogTime, 545);
  EXPECT_EQ(g.CycleLogKeep, 99);
  EXPECT_EQ(g.CycleLogDay, 2);
  EXPECT_EQ(g.AccessLogFile, "access.log");
  EXPECT_EQ(g.AccessLogMode, 420);
  EXPECT_EQ(g.PolicyFailures, POLICY_ERROR);
  EXPECT_EQ(g.DefaultAccess, ACL_SELF | ACL_READ);
  EXPECT_FALSE(g.LookupHostname);
  EXPECT_TRUE(g.MustSignAdds);
  EXPECT_TRUE(g.AcceptModernKeys);
  EXPECT_EQ(g.MaxMessageSize, 1024u);
  EXPECT_EQ(g.HKPPort, 11371);
  EXPECT_EQ(g.HKPMaxConnections, 1000);
  EXPECT_EQ(g.HKPMaxConnectionsPerAddress, 7);
  EXPECT_EQ(g.HKPMaxBodyBytes, 2048u);
  EXPECT_EQ(g.HKPRequestTimeout, 5);
  EXPECT_EQ(g.MaxConnections, 65535);
  EXPECT_EQ(g.MaxConnectionsPerAddress, 3);
  EXPECT_EQ(g.WKDDomains, (std::vector<std::string>{"example.org", "example.com"}));
  EXPECT_EQ(g.rateLimits[kRateHkpWrite].perSecond, 2);
  EXPECT_EQ(g.rateLimits[kRateHkpWrite].burst, 5);
  EXPECT_EQ(g.rateLimits[kRateLdapRead].burst, 200);
  EXPECT_FALSE(g.rateLimits[kRateHkpRead].On());
  EXPECT_FALSE(g.rateLimits[kRateLdapWrite].On());
  EXPECT_EQ(g.RateLimitTable, 4096);
  EXPECT_EQ(g.MetricsPort, 9464);
  EXPECT_EQ(g.MetricsAddress, "0.0.0.0");
  EXPECT_EQ(backend_->readOnly, 1);
  EXPECT_EQ(g.CommandTimeout, 65535);
  EXPECT_EQ(g.IdleSyncTimeout, 3);
  EXPECT_EQ(g.RandSeedFile, "../etc/seed.bin");
  EXPECT_EQ(std::vector<uint64_t>({g.MaxKeyLength, g.MaxPacketLength, g.MaxSigPacketLength}),
            std::vector<uint64_t>({2048, 100, 200}));
  EXPECT_EQ(g.MaxSignatures, 30);
  EXPECT_EQ(g.MaxSignaturesPerUserID, 3);
  EXPECT_TRUE(g.ServeOwnSignaturesOnly);
  EXPECT_EQ(g.ReconPort, 11370);
  ASSERT_EQ(g.ReconPartners.size(), 2u);
  EXPECT_EQ(g.ReconPartners[1].host, "10.1.2.3");
  EXPECT_EQ(g.ReconPartners[0].httpPort, 11371);
  EXPECT_EQ(g.ReconAllow, std::vector<std::string>{"10.0.*"});
  EXPECT_EQ(g.ReconInterval, 5);
  EXPECT_EQ(backend_directory(backend_), "../data");  // the default, checked to exist
}

TEST_F(ReadConfigTest, CycleTimeAcceptsMidnightHour) {
  ASSERT_EQ(Read("CycleLogTime 00:30\n"), 0);
  EXPECT_EQ(globals_->CycleLogTime, 30);
  ASSERT_EQ(Read("CycleLogTime 23:59\n"), 0);
  EXPECT_EQ(globals_->CycleLogTime, 1439);
}

TEST_F(ReadConfigTest, AccessLogDetailsWords) {
  ASSERT_EQ(Read("AccessLogDetails bind none search\n"), 0);
  EXPECT_EQ(globals_->AccessLogDetails, 0u);
  ASSERT_EQ(Read("AccessLogDetails search add\n"), 0);
  EXPECT_EQ(globals_->AccessLogDetails, 0x50u);
  ASSERT_EQ(Read("AccessLogDetails ldap all bogus\n"), 0);  // "all" ends the scan
  EXPECT_EQ(globals_->AccessLogDetails, 0xFFFFFFFFu);
}

TEST_F(ReadConfigTest, AccessLogModeForms) {
  ASSERT_EQ(Read("AccessLogFile a.log 0x1ff\n"), 0);
  EXPECT_EQ(globals_->AccessLogMode, 0777);
  ASSERT_EQ(Read("AccessLogFile a.log 384\n"), 0);
  EXPECT_EQ(globals_->AccessLogMode, 0600);
  // Zero, negative and out-of-range modes leave the mode alone.
  for (const char* m : {"0", "-1", "0x7fffffff", "rw"}) {
    globals_->AccessLogMode = 0666;
    ASSERT_EQ(Read(std::string("AccessLogFile a.log ") + m + "\n"), 0) << m;
    EXPECT_EQ(globals_->AccessLogMode, 0666) << m;
  }
}

TEST_F(ReadConfigTest, SignatureGroupsAndLimit) {
  ASSERT_EQ(Read("MustSigID 0x12345678 0x1234567890ABCDEF\nMustSigID 0xAAAAAAAA\nAllowSigID 0xBBBBBBBB\n"), 0);
  ASSERT_EQ(globals_->MustSigID.size(), 2u);
  EXPECT_EQ(globals_->MustSigID[0], (KeyIDList{"1234567890ABCDEF", "12345678"}));
  EXPECT_EQ(globals_->MustSigID[1], (KeyIDList{"AAAAAAAA"}));
  ASSERT_EQ(globals_->AllowSigID.size(), 1u);

  globals_->MustSigID.clear();
  std::string text;
  for (int i = 0; i < 101; ++i) text += "MustSigID 0x12345678\n";
  EXPECT_EQ(Read(text), 1);
  EXPECT_THAT(Logged(), HasSubstr(At(101, "Total number of KeyIDs exceeds limit with \"MustSigID <KeyIDs> ...\" line\n")));
  EXPECT_EQ(globals_->MustSigID.size(), 100u);
}

TEST_F(ReadConfigTest, KeyIdAllowLines) {
  ASSERT_EQ(Read("Allow keyid 0x11111111 add\nAllow KEYID 0x22222222 Add\nAllow keyid self delete\n"
                 "Allow keyid 0x3333333333333333 GroupUpdate\nAllow keyid 0x44444444 command\n"),
            0);
  EXPECT_EQ(globals_->allowAdd, (KeyIDList{"22222222", "11111111"}));
  EXPECT_TRUE(globals_->selfDeleteAllowed);
  EXPECT_TRUE(globals_->allowDelete.empty());
  EXPECT_EQ(globals_->allowGroupUpdate, (KeyIDList{"3333333333333333"}));
  EXPECT_TRUE(globals_->allowCommand.empty());  // the command pass takes those

  logged_.clear();
  EXPECT_EQ(Read("Allow keyid self add\n"), 1);
  std::string log = Logged();
  size_t first = log.find(At(1, "Key ID 'self' must begin with \"0x\".\n"));
  size_t second = log.find(At(1, "Invalid KeyID (self) found in Allow\n"));
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(second, std::string::npos);
  EXPECT_LT(first, second);

  EXPECT_EQ(Read("Allow keyid 0x123456789 add\n"), 1);
  EXPECT_THAT(Logged(), HasSubstr(At(1, "Key ID '0x123456789' is invalid (must be either 32 or 64 bits long)\n")));
}

TEST_F(ReadConfigTest, RepeatedKeywords) {
  ASSERT_EQ(Read("SizeLimit 5\nsizelimit 6\nSIZELIMIT 7\nAllow ip 10.* read\nAllow host *.example.com search\n"
                 "Replica ldap://a.example.com:389\nReplica b.example.com LDAPS://c:\nRepLogFile rep.log\n"),
            0)
      << Logged();
  EXPECT_EQ(globals_->SizeLimit, 7);
  ASSERT_EQ(globals_->accessList.size(), 2u);
  EXPECT_EQ(globals_->accessList[1]->type, ACCESS_HOST);
  EXPECT_EQ(backend_->replicas,
            (std::vector<std::string>{"ldap://a.example.com:389", "b.example.com", "LDAPS://c:"}));
}

TEST_F(ReadConfigTest, FirstBadLineEndsReading) {
  EXPECT_EQ(Read("SizeLimit 5\nPort x\nSizeLimit 6\n"), 1);
  EXPECT_EQ(globals_->SizeLimit, 5);
  EXPECT_THAT(Logged(), HasSubstr(At(2, "Port number of 'x' is invalid.")));
}

TEST_F(ReadConfigTest, UnknownKeywordGoesToBackend) {
  ASSERT_EQ(Read("CacheEntries 100\nIndex kryUserID eq\n"), 0) << Logged();
  EXPECT_EQ(Read("NoSuchKeyword 1\n"), 2);
  EXPECT_THAT(Logged(), HasSubstr(At(1, "Unknown configuration value (NoSuchKeyword).\n")));
}

TEST_F(ReadConfigTest, ChecksAfterReading) {
  EXPECT_EQ(Read("TrimSigs yes\n"), 1);
  EXPECT_THAT(Logged(), HasSubstr(cfg_ + ": TrimSigs was enabled but no AllowSigID or MustSigID Key IDs were specified.\n"));
  ASSERT_EQ(Read("TrimSigs yes\nAllowSigID 0x12345678\n"), 0);

  EXPECT_EQ(Read("RepLogFile rep.log\n"), 1);
  EXPECT_THAT(Logged(), HasSubstr(cfg_ + ": To perform replication, both RepLogFile and Replica must be specified.\n"));
  globals_->RepLogFile.clear();
  EXPECT_EQ(Read("Replica ldap://h\n"), 1);
  globals_->RepLogFile.clear();
  backend_->replicas.clear();

  EXPECT_EQ(Read("SizeLimit 1\n\n", -1), 1);
  EXPECT_THAT(Logged(), HasSubstr(At(2, "You must enable either the regular port or the secure port.\n")));
  EXPECT_EQ(globals_->Port, 0);

  ASSERT_EQ(std::system("rm -rf ../data"), 0);
  EXPECT_EQ(Read("SizeLimit 1\n"), 1);
  EXPECT_THAT(Logged(), HasSubstr(At(1, "Directory '../data' does not exist.\n")));
}

TEST_F(ReadConfigTest, PortOverridesAndSecureMode) {
  globals_->SecureMode = SECURE_OPTIONAL;
  EXPECT_EQ(Read("SecurePort 389\n"), 1);
  EXPECT_THAT(Logged(), HasSubstr("The regular port and the secure port cannot be the same value.\r\n"));

  ASSERT_EQ(Read("Port 1389\n", -1, 1636, 30), 0);
  EXPECT_EQ(globals_->Port, 0);
  EXPECT_EQ(globals_->SecurePort, 1636);
  EXPECT_EQ(globals_->CommandTimeout, 30);

  EXPECT_EQ(Read("Port 1389\n", -1, -1), 1);  // both disabled
  EXPECT_EQ(globals_->SecureMode, SECURE_DISABLED);
  ASSERT_EQ(Read("Port 1389\n", 2389), 0);
  EXPECT_EQ(globals_->Port, 2389);
}

TEST_F(ReadConfigTest, DirectoryPathsAreNormalised) {
  ASSERT_EQ(Read("Directory ..\\data\n"), 0) << Logged();
  EXPECT_EQ(backend_directory(backend_), "../data");
  // A plain file is not a directory.
  WriteFile("x", "plain");
  EXPECT_EQ(Read("Directory plain\n"), 1);
}

TEST_F(ReadConfigTest, LineReaderAndTokenizer) {
  // Pieces of 511 bytes: the tail of a long line is read as a line of its own.
  std::string longLine = "#" + std::string(510, 'x') + "SizeLimit 12\nPort 0\n";
  EXPECT_EQ(Read(longLine), 1);
  EXPECT_EQ(globals_->SizeLimit, 12);
  EXPECT_THAT(Logged(), HasSubstr(At(3, "Port number of '0' is invalid.")));

  ASSERT_EQ(Read("RandSeedFile ab\"c d\"e\n"), 0);
  EXPECT_EQ(globals_->RandSeedFile, "abc de");
  ASSERT_EQ(Read("RandSeedFile \"a b\n"), 0);  // an open quote runs to the end
  EXPECT_EQ(globals_->RandSeedFile, "a b");
  ASSERT_EQ(Read("  \t# comment\n\t\n   SizeLimit 9\r\nPort 1389\r\n"), 0);
  EXPECT_EQ(globals_->SizeLimit, 9);
  EXPECT_EQ(globals_->Port, 1389);

  // 101 tokens in one piece: the 101st is dropped with a warning.
  std::string many = "AccessLogDetails";
  for (int i = 0; i < 99; ++i) many += " add";
  ASSERT_EQ(Read(many + " bogus\n"), 0);
  EXPECT_THAT(Logged(), HasSubstr(At(1, "Too many tokens found.  Only first 100 tokens will be used.\r\n")));
  EXPECT_EQ(globals_->AccessLogDetails, 0x10u);
}

TEST_F(ReadConfigTest, HostileInputIsRefusedCleanly) {
  EXPECT_EQ(Read(std::string("Port 38\0\0 9\n", 12)), 1);
  EXPECT_EQ(Read("\"\"\"\"\"\"\n"), 2);  // one empty token: an unknown keyword
  EXPECT_EQ(Read(std::string(5000, '"') + "\n"), 2);
  EXPECT_EQ(Read(std::string(100000, ' ') + "SizeLimit 3\n"), 0);
  EXPECT_EQ(Read("SizeLimit 99999999999999999999999\n"), 0);
  EXPECT_EQ(globals_->SizeLimit, INT32_MAX);
}

TEST_F(ReadConfigTest, MissingFile) {
  Backend* be = nullptr;
  EXPECT_EQ(ReadConfig("no-such.cfg", &be, nullptr, 0, 0, 0), 1);
  EXPECT_EQ(be, backend_);
  EXPECT_THAT(Logged(), HasSubstr("Could not open configuration file (no-such.cfg): No such file or directory\n"));
  // A directory is not a configuration file, even though it opens.
  EXPECT_EQ(ReadConfig("../data", &be, nullptr, 0, 0, 0), 1);
  EXPECT_THAT(Logged(), HasSubstr("Could not open configuration file (../data): Is a directory\n"));
}

TEST(ConfigValues, ReplicaAddresses) {
  int proto = 9;
  EXPECT_EQ(ParseReplicaAddress("host", &proto), 0);
  EXPECT_EQ(proto, -1);
  EXPECT_EQ(ParseReplicaAddress("https://h:443", &proto), 0);
  EXPECT_EQ(proto, 1);
  EXPECT_EQ(ParseReplicaAddress("ldap://h", &proto), 0);
  EXPECT_EQ(proto, 2);
  EXPECT_EQ(ParseReplicaAddress("h:", &proto), 0);
  EXPECT_EQ(ParseReplicaAddress(nullptr, &proto), 1);
  EXPECT_EQ(ParseReplicaAddress("://h", &proto), 1);
  EXPECT_EQ(ParseReplicaAddress("ldap://", &proto), 1);
  EXPECT_EQ(ParseReplicaAddress("gopher://h", &proto), 2);
  EXPECT_EQ(ParseReplicaAddress("h:1:2", &proto), 3);
}

TEST(ConfigValues, KeyIdBytes) {
  std::vector<uint8_t> b;
  ASSERT_TRUE(ParseConfigKeyIDBytes("0x1234abCD", &b));
  EXPECT_EQ(b, (std::vector<uint8_t>{0x12, 0x34, 0xAB, 0xCD}));
  ASSERT_TRUE(ParseConfigKeyIDBytes("0x0102030405060708", &b));
  EXPECT_EQ(b.size(), 8u);
  EXPECT_FALSE(ParseConfigKeyIDBytes("0x1234567G", &b));
  EXPECT_FALSE(ParseConfigKeyIDBytes("0x123456", &b));
  EXPECT_TRUE(IsNumeric(""));
  EXPECT_FALSE(IsNumeric("+1"));
}

}  // namespace
}  // namespace kry::test
