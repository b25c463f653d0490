// The server as an operator meets it through real clients: the two
// server-made entries, a restart that keeps every key with database files
// that db5.3_verify finds clean, a stop and start from krycertctl, and a
// TLS client knocking on the plain port.
#include <signal.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>

#include "interop_support.h"

namespace krytest {
namespace {

const char* const kKeys[] = {"rsa", "dsa-elg", "multi-uid"};

class ServerInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
    server_.reset(new KeyServer(""));
    ASSERT_TRUE(server_->ok()) << server_->tree().Output();
  }
  RunResult Tool(const std::string& tool, const std::vector<std::string>& args, int port = 0) {
    return RunLdapTool(port ? port : server_->tree().port, tool, args);
  }
  void AddKeys() {
    for (const char* name : kKeys) ASSERT_EQ(server_->AddFile(Corpus(std::string(name) + ".asc")).exitCode, 0) << name;
  }
  std::map<std::string, std::string> Blocks() {
    std::map<std::string, std::string> out;
    for (const char* name : kKeys) {
      std::vector<std::string> b = server_->KeyBlocks(ShortIDOf(name));
      out[name] = b.size() == 1 ? b[0] : std::string();
    }
    return out;
  }
  // db5.3_verify on every database file, each on its own (skipped where the
  // Berkeley DB utilities are missing).
  void ExpectCleanDatabaseFiles() {
    if (RunShell("command -v db5.3_verify >/dev/null").exitCode != 0) return;
    RunResult v = RunShell("cd " + ShellQuote(server_->tree().data) +
                           " && n=0 && for f in *.dbb; do db5.3_verify -q \"$f\" 2>&1 || echo \"$f failed\";"
                           " n=$((n+1)); done; echo \"$n files\"");
    EXPECT_EQ(v.exitCode, 0) << v.output;
    EXPECT_EQ(v.output.find("failed"), std::string::npos) << v.output;
    EXPECT_GE(std::atoi(v.output.c_str()), 3) << v.output;
  }
  std::unique_ptr<KeyServer> server_;
};

TEST_F(ServerInterop, ServerInformationAndMonitorEntries) {
  // The whole entry comes whatever attributes were asked for.
  RunResult r = Tool("ldapsearch", {"-LLL", "-s", "base", "-b", "cn=kryserverinfo", "(objectclass=*)", "version"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  std::vector<LdifEntry> entries = ParseLdif(r.output);
  ASSERT_EQ(entries.size(), 1u) << r.output;
  const LdifEntry& e = entries[0];
  EXPECT_EQ(e.First("version"), "2.5.1");
  EXPECT_EQ(e.First("software"), "KRY Certificate Server (NT)");
  EXPECT_EQ(e.First("basekeyspacedn"), kActiveOU);
  EXPECT_EQ(e.First("basependingdn"), kPendingOU);

  // The monitor ignores its filter; only this client is connected.
  AddKeys();
  r = Tool("ldapsearch", {"-LLL", "-s", "base", "-b", "cn=Monitor", "(objectclass=nothing)"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  entries = ParseLdif(r.output);
  ASSERT_EQ(entries.size(), 1u) << r.output;
  const LdifEntry& m = entries[0];
  EXPECT_EQ(m.First("version"), "KRY Certificate Server (NT) 2.5.1");
  EXPECT_EQ(m.First("currentconnections"), "1");
  ASSERT_EQ(m.Values("connection").size(), 1u);
  EXPECT_EQ(m.First("connection").rfind("0 : ", 0), 0u) << m.First("connection");
  EXPECT_TRUE(Has(m.First("connection"), ": NULLDN :")) << m.First("connection");
  EXPECT_EQ(m.First("dtablesize"), "4096");
  EXPECT_EQ(m.First("nbackends"), "1");
  // Three adds and the searches of AddKeys came before this one.
  EXPECT_GE(std::stol(m.First("totalconnections")), 4L);
  EXPECT_GE(std::stol(m.First("opscompleted")), 8L);
  EXPECT_GE(m.First("currenttime"), m.First("starttime"));
  EXPECT_EQ(m.First("starttime").size(), 15u);
}

TEST_F(ServerInterop, RestartKeepsEveryKeyAndLeavesCleanFiles) {
  AddKeys();
  const std::map<std::string, std::string> before = Blocks();
  ASSERT_EQ(server_->Stop(), 0);
  ExpectCleanDatabaseFiles();
  ASSERT_TRUE(server_->tree().Start()) << server_->tree().Output();
  EXPECT_EQ(Blocks(), before);
  for (const char* name : kKeys)
    EXPECT_EQ(ImportedFingerprints(before.at(name)), std::vector<std::string>{FingerprintOf(name)}) << name;
  // The restarted server goes on handing out entry IDs after the old ones.
  ASSERT_EQ(server_->AddFile(Corpus("signed-by-trusted.asc")).exitCode, 0);
  EXPECT_EQ(server_->KeyBlocks(ShortIDOf("signed-user")).size(), 1u);
  EXPECT_EQ(Blocks(), before);
}

TEST_F(ServerInterop, ConsoleStopAndStartKeepTheData) {
  AddKeys();
  const std::map<std::string, std::string> before = Blocks();
  const ServerTree& tree = server_->tree();
  RunResult r = Ctl(tree, "stop");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = Ctl(tree, "--json status");
  EXPECT_TRUE(Has(r.output, "\"running\":false")) << r.output;
  r = Tool("ldapsearch", {"-LLL", "-b", kActiveOU, "(kryKeyID=*)", "kryKeyID"});
  EXPECT_EQ(r.exitCode, 255) << r.output;
  // The process lives on with its databases closed: a backup taken now is
  // whole.
  ExpectCleanDatabaseFiles();

  r = Ctl(tree, "start --keep-ports");
  ASSERT_EQ(r.exitCode, 0) << r.output << tree.Events();
  r = Ctl(tree, "--json status");
  EXPECT_TRUE(Has(r.output, "\"running\":true")) << r.output;
  EXPECT_EQ(Blocks(), before);
  ASSERT_EQ(server_->AddFile(Corpus("signed-by-trusted.asc")).exitCode, 0);
  r = Ctl(tree, "--json stats");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "\"current_connections\":0")) << r.output;

  // Stopped once more, the process still ends cleanly on a signal.
  ASSERT_EQ(Ctl(tree, "stop").exitCode, 0);
  EXPECT_EQ(server_->Stop(), 0);
}

TEST_F(ServerInterop, TlsClientOnThePlainPortIsTurnedAwayAlone) {
  if (RunShell("command -v openssl >/dev/null").exitCode != 0) GTEST_SKIP() << "openssl missing";
  AddKeys();
  // A handshake sent to the plain port is no LDAP message: that connection
  // fails, the server and its other clients go on.
  RunResult r = RunShell("timeout 20 openssl s_client -connect 127.0.0.1:" + std::to_string(server_->tree().port) +
                         " </dev/null 2>&1");
  EXPECT_NE(r.exitCode, 0) << r.output;
  EXPECT_FALSE(Has(r.output, "BEGIN CERTIFICATE")) << r.output;
  EXPECT_TRUE(server_->tree().Running());
  for (const char* name : kKeys)
    EXPECT_EQ(ImportedFingerprints(server_->KeyBlocks(ShortIDOf(name)).at(0)),
              std::vector<std::string>{FingerprintOf(name)})
        << name;
}

}  // namespace
}  // namespace krytest
