// Smoke tests of the benchmark tools: a small gen-keys data set must import
// into GnuPG without an error and with every signature good, and ldload must
// submit it to the real server and find every key again by key ID and by a
// word of its user IDs, with the figures it prints adding up; hkpload must
// do the same over the server's HKP port.
#include <gtest/gtest.h>

#include <unistd.h>

#include <regex>
#include <sstream>

#include "support/harness.h"

using namespace krytest;

namespace {

long Field(const std::string& json, const std::string& name) {
  std::smatch m;
  if (!std::regex_search(json, m, std::regex("\"" + name + "\":([0-9.]+)"))) return -1;
  return std::stol(m[1]);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  for (std::string l; std::getline(ss, l);) out.push_back(l);
  return out;
}

class BenchTools : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    keys_ = dir_->File("keys.asc");
    // 1024-bit material keeps the pool quick; 30 keys cover both kinds,
    // one to three user IDs and six certifications.
    made_ = RunShell(std::string(KRY_GEN_KEYS) + " --count 30 --bits 1024 --pool 2 --out " + ShellQuote(keys_) +
                     " 2>&1");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static TempDir* dir_;
  static std::string keys_;
  static RunResult made_;
};
TempDir* BenchTools::dir_ = nullptr;
std::string BenchTools::keys_;
RunResult BenchTools::made_;

TEST_F(BenchTools, GeneratedKeysImportIntoGnuPGWithEverySignatureGood) {
  ASSERT_EQ(made_.exitCode, 0) << made_.output;
  EXPECT_EQ(Lines(ReadFile(keys_ + ".keyids")).size(), 30u);
  EXPECT_EQ(Lines(ReadFile(keys_ + ".words")).size(), 30u);
  TempDir home;
  const std::string gpg = "gpg --homedir " + ShellQuote(home.path()) + " --batch --no-tty ";
  RunResult imported = RunShell(gpg + "--import " + ShellQuote(keys_) + " 2>&1");
  EXPECT_EQ(imported.exitCode, 0) << imported.output;
  EXPECT_NE(imported.output.find("imported: 30"), std::string::npos) << imported.output;
  EXPECT_EQ(imported.output.find("rror"), std::string::npos) << imported.output;
  RunResult checked = RunShell(gpg + "--check-sigs --with-colons 2>/dev/null");
  int good = 0, other = 0;
  for (const std::string& l : Lines(checked.output))
    if (l.rfind("sig:", 0) == 0) (l.compare(4, 1, "!") == 0 ? good : other)++;
  // 60 user IDs (1 to 3 each), 30 subkey bindings, 6 certifications.
  EXPECT_EQ(good, 96) << checked.output;
  EXPECT_EQ(other, 0) << checked.output;
  RunShell("gpgconf --homedir " + ShellQuote(home.path()) + " --kill all >/dev/null 2>&1");
}

TEST_F(BenchTools, LdloadSubmitsAndFindsEveryKeyOnTheServer) {
  ASSERT_EQ(made_.exitCode, 0) << made_.output;
  ServerTree tree;
  tree.WriteConfig("Allow ip 127.0.0.1 all\n");
  ASSERT_TRUE(tree.CreateDatabases());
  ASSERT_TRUE(tree.Start()) << tree.Output();
  const std::string base = std::string(KRY_LDLOAD) + " --port " + std::to_string(tree.port) + " ";

  RunResult add = RunShell(base + "--label add --mix add --connections 4 --keys " + ShellQuote(keys_));
  ASSERT_EQ(add.exitCode, 0) << add.output;
  const std::vector<std::string> lines = Lines(add.output);
  ASSERT_EQ(lines.size(), 2u) << add.output;
  EXPECT_EQ(Field(lines[0], "items"), 30) << lines[0];
  EXPECT_EQ(Field(lines[0], "ops"), 30) << lines[0];
  EXPECT_EQ(Field(lines[0], "errors"), 0) << lines[0];
  EXPECT_NE(lines[1].find("add: add, 4 connections"), std::string::npos) << lines[1];

  RunResult ids = RunShell(base + "--mix keyid --count 200 --connections 8 --keyids " + ShellQuote(keys_ + ".keyids"));
  ASSERT_EQ(ids.exitCode, 0) << ids.output;
  EXPECT_EQ(Field(ids.output, "ops"), 200) << ids.output;
  EXPECT_EQ(Field(ids.output, "errors"), 0) << ids.output;
  // A key-only search returns each certificate once.
  EXPECT_EQ(Field(ids.output, "entries"), 200) << ids.output;

  RunResult words = RunShell(base + "--mix uid:1,keyid:1 --count 100 --connections 2 --words " +
                             ShellQuote(keys_ + ".words") + " --keyids " + ShellQuote(keys_ + ".keyids"));
  EXPECT_EQ(Field(words.output, "ops"), 100) << words.output;
  EXPECT_EQ(Field(words.output, "errors"), 0) << words.output;

  // A key-ID search for every entry returns one a user ID; a size limit of
  // one asks for a single entry, and the search cut short is no error.
  const std::string uidEntries = "--mix keyid --count 60 --attr kryKeyID --keyids " + ShellQuote(keys_ + ".keyids");
  RunResult all = RunShell(base + uidEntries);
  EXPECT_GT(Field(all.output, "entries"), 60) << all.output;
  RunResult one = RunShell(base + uidEntries + " --size-limit 1");
  EXPECT_EQ(Field(one.output, "entries"), 60) << one.output;
  EXPECT_EQ(Field(one.output, "errors"), 0) << one.output;

  // A key ID nobody has counts as an error, and the first ones are named.
  const std::string missing = dir_->File("missing.keyids");
  WriteFile(missing, "01234567\n");
  RunResult miss = RunShell(base + "--mix keyid --count 3 --keyids " + ShellQuote(missing) + " 2>&1");
  EXPECT_NE(miss.output.find("(kryKeyID=01234567): no entry"), std::string::npos) << miss.output;
  EXPECT_NE(miss.output.find("\"errors\":3"), std::string::npos) << miss.output;
}

TEST_F(BenchTools, HkploadSubmitsGetsAndIndexesOverHkp) {
  ASSERT_EQ(made_.exitCode, 0) << made_.output;
  ServerTree tree;
  const int hkp = FreePort();
  tree.WriteConfig("Allow ip 127.0.0.1 all\nHKPPort " + std::to_string(hkp) + "\n");
  ASSERT_TRUE(tree.CreateDatabases());
  ASSERT_TRUE(tree.Start()) << tree.Output();
  Client probe;
  for (int i = 0; i < 100 && !probe.Connect(hkp, 100); ++i) usleep(50000);
  const std::string base = std::string(KRY_HKPLOAD) + " --port " + std::to_string(hkp) + " ";

  RunResult add = RunShell(base + "--op add --connections 2 --keys " + ShellQuote(keys_));
  EXPECT_EQ(Field(add.output, "ops"), 30) << add.output;
  EXPECT_EQ(Field(add.output, "errors"), 0) << add.output;

  // Kept alive: one connection a client for all its requests.
  RunResult get = RunShell(base + "--op get --count 100 --connections 2 --keyids " + ShellQuote(keys_ + ".keyids"));
  EXPECT_EQ(Field(get.output, "ops"), 100) << get.output;
  EXPECT_EQ(Field(get.output, "entries"), 100) << get.output;
  EXPECT_EQ(Field(get.output, "errors"), 0) << get.output;
  EXPECT_EQ(Field(get.output, "connects"), 2) << get.output;

  RunResult index = RunShell(base + "--op index --by word --count 40 --close --words " + ShellQuote(keys_ + ".words"));
  EXPECT_EQ(Field(index.output, "entries"), 40) << index.output;
  EXPECT_EQ(Field(index.output, "errors"), 0) << index.output;
  EXPECT_EQ(Field(index.output, "connects"), 40) << index.output;

  const std::string missing = dir_->File("missing-hkp.keyids");
  WriteFile(missing, "01234567\n");
  RunResult miss = RunShell(base + "--op get --count 3 --keyids " + ShellQuote(missing) + " 2>&1");
  EXPECT_NE(miss.output.find("status 404"), std::string::npos) << miss.output;
  EXPECT_NE(miss.output.find("\"errors\":3"), std::string::npos) << miss.output;
}

TEST_F(BenchTools, BadArgumentsAreRefused) {
  EXPECT_EQ(RunShell(std::string(KRY_GEN_KEYS) + " --count 0 --out /dev/null 2>&1").exitCode, 2);
  EXPECT_EQ(RunShell(std::string(KRY_GEN_KEYS) + " --count 5 --bits 512 --out /dev/null 2>&1").exitCode, 2);
  EXPECT_EQ(RunShell(std::string(KRY_LDLOAD) + " --port 1 --mix nonsense --count 1 2>&1").exitCode, 2);
  EXPECT_EQ(RunShell(std::string(KRY_LDLOAD) + " --port 0 --mix keyid --count 1 2>&1").exitCode, 2);
  EXPECT_EQ(RunShell(std::string(KRY_HKPLOAD) + " --port 1 --op nonsense --count 1 2>&1").exitCode, 2);
}

}  // namespace
