// Signed delete and disable requests sent with ldapadd, and the access
// rules (DefaultAccess and Allow lines) as OpenLDAP's clients meet them.
#include <signal.h>

#include <gtest/gtest.h>

#include "interop_support.h"

namespace krytest {
namespace {

class RequestsInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  }
};

size_t Entries(KeyServer& s, const std::string& name) {
  return s.Search(kActiveOU, "(kryCertID=" + CertIDOf(name) + ")", {"kryCertID"}).size();
}

TEST_F(RequestsInterop, SignedDeleteRemovesOnlyTheNamedKey) {
  KeyServer s(TrustedSignerLines());
  ASSERT_TRUE(s.ok()) << s.tree().Output();
  for (const char* f : {"rsa.asc", "dsa-elg.asc", "multi-uid.asc"}) ASSERT_EQ(s.AddFile(Corpus(f)).exitCode, 0) << f;
  const std::string dsaBefore = s.KeyBlocks(ShortIDOf("dsa-elg")).at(0);

  // A request altered after signing is refused and deletes nothing.
  RunResult r = SendRequestFile(s, Corpus("tampered-delete.req"));
  EXPECT_NE(r.exitCode, 0) << r.output;
  EXPECT_EQ(Entries(s, "rsa"), 1u);

  r = SendRequestFile(s, Corpus("delete-rsa-by-trusted.req"));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Entries(s, "rsa"), 0u);
  EXPECT_TRUE(s.KeyBlocks(ShortIDOf("rsa")).empty());
  RunResult base = RunLdapTool(s.tree().port, "ldapsearch",
                               {"-LLL", "-s", "base", "-b", "KRYCERTID=" + CertIDOf("rsa") + "," + kActiveOU});
  EXPECT_EQ(base.exitCode, 32) << base.output;

  // The others are untouched and still import.
  std::vector<std::string> dsa = s.KeyBlocks(ShortIDOf("dsa-elg"));
  ASSERT_EQ(dsa.size(), 1u);
  EXPECT_EQ(dsa[0], dsaBefore);
  EXPECT_EQ(ImportedFingerprints(dsa[0]), std::vector<std::string>{FingerprintOf("dsa-elg")});
  EXPECT_EQ(Entries(s, "multi-uid"), 3u);

  // The deleted key may be submitted again.
  r = s.AddFile(Corpus("rsa.asc"));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(ImportedFingerprints(s.KeyBlocks(ShortIDOf("rsa")).at(0)), std::vector<std::string>{FingerprintOf("rsa")});
}

TEST_F(RequestsInterop, SignedDisableKeepsTheKeyReadableButClosed) {
  KeyServer s(TrustedSignerLines());
  ASSERT_TRUE(s.ok()) << s.tree().Output();
  ASSERT_EQ(s.AddFile(Corpus("dsa-elg.asc")).exitCode, 0);
  RunResult r = SendRequestFile(s, Corpus("disable-dsa-by-trusted.req"));
  ASSERT_EQ(r.exitCode, 0) << r.output;

  std::vector<LdifEntry> found =
      s.Search(kActiveOU, "(&(kryKeyID=" + ShortIDOf("dsa-elg") + ")(kryDisabled=1))", {"kryKey"});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(ImportedFingerprints(found[0].First("krykey")), std::vector<std::string>{FingerprintOf("dsa-elg")});
  EXPECT_TRUE(s.Search(kActiveOU, "(kryDisabled=0)", {"kryCertID"}).empty());

  // A disabled key takes no more submissions, not even a newer copy.
  r = s.AddBlock(CertifiedByTrusted("dsa-elg", "dsa-elg.asc"));
  EXPECT_EQ(r.exitCode, 52) << r.output;
  std::vector<std::string> blocks = s.KeyBlocks(ShortIDOf("dsa-elg"));
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0], found[0].First("krykey"));
}

// Requests clear-signed by GnuPG as an administrator would make them: a
// delete in the pending area, a disable naming a key that is not there,
// the delete of a disabled key and a replay.
TEST_F(RequestsInterop, RequestsClearSignedWithGnuPG) {
  KeyServer s(TrustedSignerLines() + "MustSigID 0x" + CertIDOf("trusted-signer") + "\n");
  ASSERT_TRUE(s.ok()) << s.tree().Output();
  Gpg admin;
  ASSERT_TRUE(admin.Import(ReadFile(Corpus("trusted-signer-secret.asc"))));
  int serial = 0;
  auto send = [&](const std::string& text) {
    const std::string file = s.tree().log + "/request" + std::to_string(++serial) + ".req";
    RunResult signing = admin.Run("--output " + ShellQuote(file) + " -u " + CertIDOf("trusted-signer") + " --clearsign",
                                  text);
    EXPECT_EQ(signing.exitCode, 0) << signing.output;
    return SendRequestFile(s, file);
  };
  const std::string rsa = "0x" + CertIDOf("rsa"), user = "0x" + CertIDOf("signed-user");
  ASSERT_EQ(s.AddFile(Corpus("rsa.asc")).exitCode, 49);
  ASSERT_EQ(s.AddFile(Corpus("signed-by-trusted.asc")).exitCode, 0);

  RunResult r = send("REQUEST: DELETE\nLOCATION: PENDING\n\n" + rsa + "\n");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(s.Search(kPendingOU, "(kryKeyID=" + ShortIDOf("rsa") + ")", {"kryCertID"}).empty());

  // The first key is disabled though the second is not in ACTIVE.
  r = send("request: disable\n\n" + user + "\n" + rsa + "\n");
  EXPECT_EQ(r.exitCode, 32) << r.output;
  EXPECT_TRUE(Has(r.output, "Keys not disabled: " + rsa)) << r.output;
  EXPECT_FALSE(Has(r.output, user)) << r.output;
  EXPECT_EQ(s.Search(kActiveOU, "(&(kryKeyID=" + ShortIDOf("signed-user") + ")(kryDisabled=1))", {"kryCertID"}).size(),
            1u);

  const std::string remove = "REQUEST: DELETE\n\n" + user + "\n";
  r = send(remove);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Entries(s, "signed-user"), 0u);
  r = send(remove);
  EXPECT_EQ(r.exitCode, 32) << r.output;
  EXPECT_TRUE(Has(r.output, "Keys not deleted: " + user)) << r.output;
}

// A server with `config` as its whole access policy (no open rule first).
class AccessInterop : public ::testing::Test {
 protected:
  void Boot(const std::string& config) {
    tree_.WriteConfig(config);
    ASSERT_TRUE(tree_.CreateDatabases());
    ASSERT_TRUE(tree_.Start()) << tree_.Output();
  }
  // The same data under a new policy.
  void Reboot(const std::string& config) {
    ASSERT_EQ(tree_.Stop(SIGTERM), 0) << tree_.Output();
    tree_.WriteConfig(config);
    ASSERT_TRUE(tree_.Start()) << tree_.Output();
  }
  void TearDown() override {
    if (tree_.Running()) {
      EXPECT_EQ(tree_.Stop(SIGTERM), 0) << tree_.Output();
    }
  }
  RunResult Tool(const std::string& tool, const std::vector<std::string>& args, const std::string& ldif = "") {
    return RunLdapTool(tree_.port, tool, args, ldif, tree_.log + "/input.ldif");
  }
  RunResult SubmitKey(const std::string& file) {
    return Tool("ldapadd", {}, std::string("dn: ") + kVirtualDN + "\nkryKey:< file://" + Corpus(file) + "\n");
  }
  // The short key IDs a search of the whole key space shows this client.
  std::vector<std::string> VisibleKeyIDs(int* exitCode = nullptr) {
    RunResult r = Tool("ldapsearch", {"-LLL", "-b", kActiveOU, "(kryKeyID=*)", "kryKeyID"});
    if (exitCode) *exitCode = r.exitCode;
    std::vector<std::string> ids;
    for (const LdifEntry& e : ParseLdif(r.output)) ids.push_back(e.First("krykeyid"));
    return ids;
  }
  // A key submission is refused and stores nothing; searches still answer.
  void ExpectSearchesButNoSubmissions() {
    RunResult r = SubmitKey("rsa.asc");
    EXPECT_EQ(r.exitCode, 50) << r.output;
    int code = -1;
    EXPECT_TRUE(VisibleKeyIDs(&code).empty());
    EXPECT_EQ(code, 0);
  }
  // A user-ID entry of the rsa key: a leaf, so only access can stop its delete.
  static std::string RsaUserIDEntry() {
    return "kryUserID=Alice Rsa <alice-c@example.org>,KRYCERTID=" + CertIDOf("rsa") + "," + kActiveOU;
  }
  ServerTree tree_;
};

TEST_F(AccessInterop, DefaultAccessAloneDecides) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  // Read: searches answer, a key submission is refused and stores nothing.
  Boot("DefaultAccess read\n");
  ExpectSearchesButNoSubmissions();
  EXPECT_EQ(Tool("ldapcompare", {kActiveOU, "ou:ACTIVE"}).exitCode, 6);

  // Add: the default when nothing is said; plain directory deletes refused.
  Reboot("");
  RunResult r = SubmitKey("rsa.asc");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(VisibleKeyIDs(), std::vector<std::string>{ShortIDOf("rsa")});
  r = Tool("ldapdelete", {RsaUserIDEntry()});
  EXPECT_EQ(r.exitCode, 50) << r.output;

  // Compare only: the stored key stays hidden from searches.
  Reboot("DefaultAccess compare\n");
  EXPECT_TRUE(VisibleKeyIDs().empty());
  EXPECT_EQ(Tool("ldapcompare", {kActiveOU, "ou:ACTIVE"}).exitCode, 6);
}

TEST_F(AccessInterop, FirstMatchingAllowRuleDecides) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  // The loopback rule limits this client to reading though the default
  // would let it do anything; a rule for other addresses does not apply.
  Boot("DefaultAccess all\nAllow ip 10.* none\nAllow ip 127.0.* read\nAllow ip 127.* all\n");
  ExpectSearchesButNoSubmissions();

  Reboot("DefaultAccess none\nAllow ip 10.* all\nAllow host * add\n");
  RunResult r = SubmitKey("rsa.asc");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(VisibleKeyIDs(), std::vector<std::string>{ShortIDOf("rsa")});
  EXPECT_EQ(Tool("ldapdelete", {RsaUserIDEntry()}).exitCode, 50);

  // Nothing matches and the default is none: every request is refused.
  Reboot("DefaultAccess none\nAllow ip 10.* all\n");
  EXPECT_TRUE(VisibleKeyIDs().empty());
  EXPECT_EQ(Tool("ldapcompare", {kActiveOU, "ou:ACTIVE"}).exitCode, 50);
  EXPECT_TRUE(tree_.WaitForEvent("Access denied.", 2000)) << tree_.Events();
}

}  // namespace
}  // namespace krytest
