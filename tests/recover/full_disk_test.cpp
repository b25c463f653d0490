// The running server on a full disk. The data directory is a small tmpfs
// (the test mounts it; skipped when it cannot): adds are refused with an
// error once space runs out, refused adds are not stored, acknowledged ones
// are, the event log says so once, writes work again once space is freed
// without a restart, a stop while full leaves files that verify, and the
// restart keeps every acknowledged entry.
//
// A lookup of an index file that is missing beside a temporary file left
// by a failed create is answered, and so is everything after it.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/harness.h"

namespace krytest {
namespace {

const std::string kActive = "OU=ACTIVE,O=KRY KEYSPACE,C=US";

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class FullDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    if (RunShell("command -v db5.3_verify >/dev/null").exitCode != 0) GTEST_SKIP() << "db5.3_verify missing";
    if (mount("tmpfs", tree_.data.c_str(), "tmpfs", 0, "size=4m,mode=0700") != 0)
      GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    mounted_ = true;
    tree_.WriteConfig("Allow ip 127.0.0.1 all\nIdleSyncTimeout 600\n");
    ASSERT_TRUE(tree_.CreateDatabases());
  }
  void TearDown() override {
    if (tree_.Running()) tree_.Stop(SIGKILL);
    if (mounted_) umount2(tree_.data.c_str(), MNT_DETACH);
  }

  // One add of a plain entry with a long, unindexed description: the entry
  // file grows faster than the rest. The result code.
  int Add(Client& c, const std::string& dn, int n, std::string* text = nullptr) {
    const std::string uid = "Filler " + std::to_string(n) + " <filler" + std::to_string(n) + "@example.org>";
    char cert[17];
    std::snprintf(cert, sizeof cert, "%016X", 0xF00000u + n);
    if (!c.Send(AddRequest(++msgid_, dn,
                           {{"objectclass", {"fill"}},
                            {"kryCertID", {cert}},
                            {"kryUserID", {uid}},
                            {"description", {std::string(6000 + 97 * (n % 50), 'a' + n % 26)}}})))
      return -1;
    std::string m;
    if (!c.ReadMessage(&m, 10000)) return -1;
    return ResultCode(m, nullptr, text);
  }
  // Whether a base search finds dn.
  bool Found(Client& c, const std::string& dn) {
    if (!c.Send(SearchRequest(++msgid_, dn, 0))) return false;
    std::vector<SearchEntry> entries;
    return ReadSearchResponses(c, &entries) == 0 && entries.size() == 1;
  }
  // Adds until one is refused; the acknowledged DNs go to `acked`.
  std::string FillWithAdds(Client& c, std::vector<std::string>* acked) {
    for (int i = 0; i < 20000; ++i) {
      const std::string dn = "cn=fill" + std::to_string(next_) + "," + kActive;
      std::string text;
      int rc = Add(c, dn, next_++, &text);
      if (rc == 0) {
        acked->push_back(dn);
        continue;
      }
      EXPECT_EQ(rc, 1) << text;
      EXPECT_NE(text.find("could not store"), std::string::npos) << text;
      return dn;
    }
    ADD_FAILURE() << "the disk never filled up";
    return std::string();
  }
  std::vector<std::string> VerifyFailures() {
    std::vector<std::string> bad;
    DIR* d = opendir(tree_.data.c_str());
    while (dirent* de = d ? readdir(d) : nullptr) {
      std::string n = de->d_name;
      if (n.size() > 4 && n.compare(n.size() - 4, 4, ".dbb") == 0 &&
          RunShell("db5.3_verify -q " + ShellQuote(tree_.data + "/" + n) + " 2>&1").exitCode != 0)
        bad.push_back(n);
    }
    if (d) closedir(d);
    return bad;
  }

  ServerTree tree_;
  bool mounted_ = false;
  int msgid_ = 0;
  int next_ = 0;
};

TEST_F(FullDisk, AddsAreRefusedCleanlyAndWorkAgainOnceSpaceIsFreed) {
  const std::string filler = tree_.data + "/filler";
  WriteFile(filler, std::string(1 << 20, 'f'));  // its removal gives space back
  ASSERT_TRUE(tree_.Start()) << tree_.Output();
  Client c;
  ASSERT_TRUE(c.Connect(tree_.port));
  std::vector<std::string> acked;
  std::vector<std::string> refused{FillWithAdds(c, &acked)};
  ASSERT_FALSE(acked.empty());
  std::printf("%zu adds stored before the disk was full\n", acked.size());
  for (int i = 0; i < 3; ++i) {  // still full: refused again
    refused.push_back("cn=fill" + std::to_string(next_) + "," + kActive);
    EXPECT_EQ(Add(c, refused.back(), next_++), 1);
  }
  for (const std::string& dn : refused) EXPECT_FALSE(Found(c, dn)) << dn;
  for (const std::string& dn : acked) EXPECT_TRUE(Found(c, dn)) << dn;
  EXPECT_EQ(CountOf(tree_.Events(), "Could not write to database '"), 1u) << tree_.Events();

  ASSERT_EQ(unlink(filler.c_str()), 0);
  const std::string again = "cn=again," + kActive;
  EXPECT_EQ(Add(c, again, next_++), 0);
  acked.push_back(again);
  EXPECT_TRUE(tree_.WaitForEvent("works again", 5000)) << tree_.Events();

  // Full again, then stopped while full.
  WriteFile(filler, std::string(512 << 10, 'f'));
  refused.push_back(FillWithAdds(c, &acked));
  c.Close();
  EXPECT_EQ(tree_.Stop(SIGTERM), 0);
  EXPECT_TRUE(VerifyFailures().empty()) << ::testing::PrintToString(VerifyFailures());

  ASSERT_EQ(unlink(filler.c_str()), 0);
  ASSERT_TRUE(tree_.Start()) << tree_.Output() << tree_.Events();
  Client c2;
  ASSERT_TRUE(c2.Connect(tree_.port));
  for (const std::string& dn : acked) EXPECT_TRUE(Found(c2, dn)) << dn;
  for (const std::string& dn : refused) EXPECT_FALSE(Found(c2, dn)) << dn;
  EXPECT_EQ(Add(c2, "cn=after," + kActive, next_++), 0);
}

TEST_F(FullDisk, MissingIndexFileBesideAFailedCreateDoesNotWedgeTheServer) {
  const std::string index = tree_.data + "/krysubkeyid.dbb";
  // Made with the database, not on first use.
  ASSERT_EQ(access(index.c_str(), F_OK), 0);
  // What a create that failed on a full disk left behind.
  ASSERT_EQ(unlink(index.c_str()), 0);
  WriteFile(tree_.data + "/__db.krysubkeyid.dbb", "");
  ASSERT_TRUE(tree_.Start()) << tree_.Output();
  Client c;
  ASSERT_TRUE(c.Connect(tree_.port));
  std::vector<SearchEntry> entries;
  ASSERT_TRUE(c.Send(SearchEqualityRequest(1, kActive, 2, "krySubKeyID", "0123456789ABCDEF")));
  EXPECT_EQ(ReadSearchResponses(c, &entries, 10000), 0);
  EXPECT_TRUE(entries.empty());
  const std::string dn = "cn=subkey," + kActive;
  ASSERT_TRUE(c.Send(AddRequest(2, dn, {{"objectclass", {"fill"}}, {"krySubKeyID", {"0123456789ABCDEF"}}})));
  std::string m;
  ASSERT_TRUE(c.ReadMessage(&m, 10000));
  EXPECT_EQ(ResultCode(m), 0);
  ASSERT_TRUE(c.Send(SearchEqualityRequest(3, kActive, 2, "krySubKeyID", "0123456789ABCDEF")));
  EXPECT_EQ(ReadSearchResponses(c, &entries, 10000), 0);
  EXPECT_EQ(entries.size(), 1u);
  c.Close();
  EXPECT_EQ(tree_.Stop(SIGTERM, 10), 0);
}

}  // namespace
}  // namespace krytest
