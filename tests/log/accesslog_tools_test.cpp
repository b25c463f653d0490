// The access log of the real server, driven by OpenLDAP's clients over
// LDAP version 2: the line of every request kind, the category mask words,
// file errors, and a cycle across midnight on the server's test clock.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/harness.h"
#include "tests/support/corpus_files.h"
#include "tests/support/corpus_ids.h"

namespace krytest {
namespace {

const std::string kActive = "OU=ACTIVE,O=KRY KEYSPACE,C=US";
const std::string kWhen = "2000-09-12 10:00:00";  // the test clock, UTC
const char kClock[] = "968752800\n";

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// One server per suite with its access log in log/ and its clock in a file.
class AccessLogServer : public ::testing::Test {
 protected:
  static void Boot(const std::string& extra) {
    tree_ = new ServerTree();
    clock_ = tree_->log + "/clock";
    WriteFile(clock_, kClock);
    tree_->WriteConfig("Allow ip 127.0.0.1 all\nLookupHostname off\n" + extra);
    ASSERT_TRUE(tree_->CreateDatabases());
    ASSERT_TRUE(tree_->Start({}, {"TZ=UTC", "KRYCERTD_CLOCK_FILE=" + clock_})) << tree_->Output();
    read_ = 0;
    lastConn_ = -1;
  }
  static void TearDownTestSuite() {
    if (tree_) {
      EXPECT_EQ(tree_->Stop(SIGTERM), 0) << tree_->Output();
    }
    delete tree_;
    tree_ = nullptr;
  }

  static std::string LogPath() { return tree_->log + "/access.log"; }
  static RunResult Tool(const std::string& tool, const std::vector<std::string>& args,
                        const std::string& ldif = std::string()) {
    return RunLdapTool(tree_->port, tool, args, ldif, tree_->log + "/input.ldif");
  }
  // The access-log text written since the last call.
  static std::string NewText() {
    std::string all = ReadFile(LogPath());
    std::string fresh = read_ <= all.size() ? all.substr(read_) : all;
    read_ = all.size();
    return fresh;
  }
  // Checks the new lines against `expected`, where "#" stands for the
  // connection number: one number for all of them, above any seen before.
  // Unbind gets no response, so its line may still be on its way when the
  // client has exited: wait (a bounded time) for as many lines as expected.
  static void ExpectLines(const std::string& expected) {
    const auto lines = std::count(expected.begin(), expected.end(), '\n');
    for (int i = 0; i < 100; ++i) {
      const std::string all = ReadFile(LogPath());
      if (all.size() >= read_ && std::count(all.begin() + static_cast<long>(read_), all.end(), '\n') >= lines) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const std::string got = NewText();
    size_t blank = got.find(' ');
    ASSERT_NE(blank, std::string::npos) << "no line: " << got;
    const std::string conn = got.substr(blank + 1, got.find(' ', blank + 1) - blank - 1);
    EXPECT_GT(std::stoi(conn), lastConn_) << got;
    lastConn_ = std::stoi(conn);
    std::string want;
    for (char c : expected) want += c == '#' ? conn : std::string(1, c);
    EXPECT_EQ(got, want);
  }
  // "<code> # <time> <result> 127.0.0.1 - <detail>\n"
  static std::string L(const std::string& code, int result, const std::string& detail) {
    return code + " # " + kWhen + " " + std::to_string(result) + " 127.0.0.1 - " + detail + "\n";
  }

  static ServerTree* tree_;
  static std::string clock_;
  static size_t read_;
  static int lastConn_;
};
ServerTree* AccessLogServer::tree_ = nullptr;
std::string AccessLogServer::clock_;
size_t AccessLogServer::read_ = 0;
int AccessLogServer::lastConn_ = -1;

class AllCategories : public AccessLogServer {
 protected:
  static void SetUpTestSuite() { Boot("AccessLogFile ../log/access.log\nAccessLogDetails all\n"); }
};

TEST_F(AllCategories, SearchBindAndUnbind) {
  RunResult r = Tool("ldapsearch", {"-b", kActive, "-s", "base", "(objectclass=*)", "ou"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  ExpectLines(L("BND", 0, "-") + L("SRC", 0, "1 -") + L("UBD", 0, "-"));
  r = Tool("ldapsearch", {"-b", kActive, "-s", "one", "(cn=nobody)"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  ExpectLines(L("BND", 0, "-") + L("SRC", 0, "0 -") + L("UBD", 0, "-"));
  r = Tool("ldapsearch", {"-b", "OU=MISSING," + kActive, "(objectclass=*)"});
  EXPECT_EQ(r.exitCode, 32) << r.output;
  ExpectLines(L("BND", 0, "-") + L("SRC", 32, "0 -") + L("UBD", 0, "-"));
}

TEST_F(AllCategories, PlainUpdatesShowTheirDN) {
  const std::string dn = "cn=Bob Example," + kActive;
  RunResult r = Tool("ldapadd", {}, "dn: " + dn + "\nobjectclass: person\ncn: Bob Example\nsn: Example\n"
                                    "userpassword: secret\n");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  ExpectLines(L("BND", 0, "-") + L("DAP", 0, "ADD \"" + dn + "\"") + L("UBD", 0, "-"));

  r = Tool("ldapmodify", {}, "dn: " + dn + "\nchangetype: modify\nreplace: sn\nsn: Changed\n-\n");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  ExpectLines(L("BND", 0, "-") + L("DAP", 0, "MOD \"" + dn + "\"") + L("UBD", 0, "-"));

  r = Tool("ldapcompare", {dn, "sn:Changed"});
  EXPECT_EQ(r.exitCode, 6) << r.output;
  ExpectLines(L("BND", 0, "-") + L("DAP", 6, "CMP \"" + dn + "\"") + L("UBD", 0, "-"));

  // A bind shows the DN it binds as, also when the password is wrong.
  r = Tool("ldapsearch", {"-D", dn, "-w", "secret", "-b", dn, "-s", "base", "(objectclass=*)", "cn"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  ExpectLines(L("BND", 0, "\"" + dn + "\"") + L("SRC", 0, "1 -") + L("UBD", 0, "-"));
  r = Tool("ldapsearch", {"-D", dn, "-w", "wrong", "-b", dn, "(objectclass=*)"});
  EXPECT_EQ(r.exitCode, 49) << r.output;
  ExpectLines(L("BND", 49, "\"" + dn + "\"") + L("UBD", 0, "-"));

  const std::string renamed = "cn=Say \\\"Hi\\\"," + kActive;
  r = Tool("ldapmodrdn", {dn, "cn=Say \\\"Hi\\\""});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  ExpectLines(L("BND", 0, "-") + L("DAP", 0, "MDN \"" + dn + "\"") + L("UBD", 0, "-"));

  // Quotes and backslashes of the DN are escaped inside the quoted field.
  r = Tool("ldapdelete", {renamed});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  ExpectLines(L("BND", 0, "-") + L("DAP", 0, "DLT \"cn=Say \\\\\\\"Hi\\\\\\\"," + kActive + "\"") + L("UBD", 0, "-"));
  r = Tool("ldapdelete", {renamed});
  EXPECT_EQ(r.exitCode, 32) << r.output;
  ExpectLines(L("BND", 0, "-") + L("DAP", 32, "DLT \"cn=Say \\\\\\\"Hi\\\\\\\"," + kActive + "\"") + L("UBD", 0, "-"));
}

TEST_F(AllCategories, KeySubmissionLines) {
  // A refused block has no certificate ID yet; a stored key names its
  // certificate, also when it is refused as unchanged.
  RunResult r = Tool("ldapadd", {}, "dn: kryCertID=virtual," + kActive + "\nkryKey: abc\n");
  EXPECT_EQ(r.exitCode, 21) << r.output;
  ExpectLines(L("BND", 0, "-") + L("ADD", 21, "- -") + L("UBD", 0, "-"));
  const std::string corpus = CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "corpus not available";
  const std::string ldif = "dn: kryCertID=virtual," + kActive + "\nkryKey:< file://" + corpus::Path("rsa.asc") + "\n";
  r = Tool("ldapadd", {}, ldif);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  ExpectLines(L("BND", 0, "-") + L("ADD", 0, "0x" + corpus::KeyId("rsa") + " -") + L("UBD", 0, "-"));
  r = Tool("ldapadd", {}, ldif);
  EXPECT_EQ(r.exitCode, 68) << r.output;
  ExpectLines(L("BND", 0, "-") + L("ADD", 68, "0x" + corpus::KeyId("rsa") + " -") + L("UBD", 0, "-"));
}

TEST_F(AllCategories, RequestsWithoutResponse) {
  Client c;
  ASSERT_TRUE(c.Connect(tree_->port));
  // Abandon of message 3, an extended request, then unbind.
  ASSERT_TRUE(c.Send(std::string("\x30\x06\x02\x01\x05\x50\x01\x03", 8)));
  ASSERT_TRUE(c.Send(std::string("\x30\x05\x02\x01\x06\x77\x00", 7)));
  ASSERT_TRUE(c.Send(std::string("\x30\x05\x02\x01\x07\x42\x00", 7)));
  EXPECT_TRUE(c.WaitClosed());
  ExpectLines(L("ABN", 0, "-") + L("DAP", 2, "UNK -") + L("UBD", 0, "-"));
}

class DefaultMask : public AccessLogServer {
 protected:
  static void SetUpTestSuite() { Boot("AccessLogFile ../log/access.log\n"); }
};

TEST_F(DefaultMask, SearchesButNoBindsOrPlainUpdates) {
  RunResult r = Tool("ldapsearch", {"-b", kActive, "-s", "base", "(objectclass=*)"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  ExpectLines(L("SRC", 0, "1 -"));
  r = Tool("ldapcompare", {kActive, "ou:active"});
  EXPECT_EQ(r.exitCode, 6) << r.output;
  EXPECT_EQ(NewText(), "");
}

class SingleWords : public AccessLogServer {
 protected:
  static void SetUpTestSuite() { Boot("AccessLogFile ../log/access.log\nAccessLogDetails bind ldap\n"); }
};

TEST_F(SingleWords, OnlyTheNamedCategories) {
  RunResult r = Tool("ldapsearch", {"-b", kActive, "-s", "base", "(objectclass=*)"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  ExpectLines(L("BND", 0, "-"));
  r = Tool("ldapcompare", {kActive, "ou:other"});
  EXPECT_EQ(r.exitCode, 5) << r.output;
  ExpectLines(L("BND", 0, "-") + L("DAP", 5, "CMP \"" + kActive + "\""));
}

class NoneWord : public AccessLogServer {
 protected:
  static void SetUpTestSuite() { Boot("AccessLogFile ../log/access.log\nAccessLogDetails none\n"); }
};

TEST_F(NoneWord, NothingIsWritten) {
  RunResult r = Tool("ldapsearch", {"-b", kActive, "-s", "base", "(objectclass=*)"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_FALSE(FileExists(LogPath()));
}

class UnwritableLog : public AccessLogServer {
 protected:
  static void SetUpTestSuite() { Boot("AccessLogFile /dev/full\n"); }
};

TEST_F(UnwritableLog, ReportedOnceAndServingGoesOn) {
  for (int i = 0; i < 3; ++i) {
    RunResult r = Tool("ldapsearch", {"-b", kActive, "-s", "base", "(objectclass=*)", "ou"});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("ou: ACTIVE"), std::string::npos) << r.output;
  }
  const std::string warning = "Writing to access log file (/dev/full) failed with error: 28 (No space left on device).";
  ASSERT_TRUE(tree_->WaitForEvent(warning, 2000)) << tree_->Events();
  const std::string events = tree_->Events();
  EXPECT_EQ(events.find(warning), events.rfind(warning)) << events;
  EXPECT_TRUE(tree_->Running());
}

class Cycle : public AccessLogServer {
 protected:
  static void SetUpTestSuite() {
    Boot("AccessLogFile ../log/access.log\nCycleLogDay daily\nCycleLogTime 00:00\nCycleLogKeep 2\n");
  }
};

TEST_F(Cycle, MidnightMovesTheLinesToADatedCopy) {
  for (const char* day : {"09", "10", "11"}) WriteFile(tree_->log + "/access.200009" + day + ".log", "old\n");
  RunResult r = Tool("ldapsearch", {"-b", kActive, "-s", "base", "(objectclass=*)"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = Tool("ldapsearch", {"-b", kActive, "-s", "one", "(objectclass=*)"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const std::string before = ReadFile(LogPath());
  ASSERT_NE(before.find(" 1 -\n"), std::string::npos) << before;

  // 30 seconds past midnight: the next connection wakes the listener, which
  // cycles before it serves the request.
  WriteFile(clock_, "968803230\n");
  r = Tool("ldapsearch", {"-b", kActive, "-s", "base", "(objectclass=*)"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(ReadFile(tree_->log + "/access.20000913.log"), before);
  read_ = 0;
  std::string live = NewText();
  EXPECT_EQ(live.substr(live.find(' ', 4)), " 2000-09-13 00:00:30 0 127.0.0.1 - 1 -\n") << live;
  EXPECT_FALSE(FileExists(tree_->log + "/access.20000910.log"));
  EXPECT_FALSE(FileExists(tree_->log + "/access.20000909.log"));
  EXPECT_TRUE(FileExists(tree_->log + "/access.20000911.log"));
}

}  // namespace
}  // namespace krytest
