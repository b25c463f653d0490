// Key submission, search, merge and the pending area, driven by ldapadd,
// ldapsearch and ldapcompare (protocol version 2) and checked by importing
// every key block the server returns into GnuPG.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <sstream>

#include "interop_support.h"

namespace krytest {
namespace {

const char* const kClassicKeys[] = {"rsa", "dsa-elg", "multi-uid"};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool Contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

// The one key block a key-only search for `filter` returns, or "".
std::string OnlyBlock(KeyServer& s, const std::string& base, const std::string& filter) {
  std::vector<LdifEntry> found = s.Search(base, filter, {"kryKey"});
  if (found.size() != 1) return std::string();
  return found[0].First("krykey");
}

class KeysInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  }
};

TEST_F(KeysInterop, SubmittedKeysAreFoundEveryWayAndImportIntact) {
  KeyServer s("");
  ASSERT_TRUE(s.ok()) << s.tree().Output();
  for (const char* name : kClassicKeys) {
    RunResult r = s.AddFile(Corpus(std::string(name) + ".asc"));
    ASSERT_EQ(r.exitCode, 0) << name << ": " << r.output;
  }
  for (const char* name : kClassicKeys) {
    SCOPED_TRACE(name);
    const std::string fpr = FingerprintOf(name);
    // By short key ID, upper and lower case, and by certificate ID.
    for (const std::string& filter :
         {"(kryKeyID=" + ShortIDOf(name) + ")", "(kryKeyID=" + Lower(ShortIDOf(name)) + ")",
          "(kryCertID=" + CertIDOf(name) + ")", "(kryCertID=" + Lower(CertIDOf(name)) + ")"}) {
      const std::string block = OnlyBlock(s, kActiveOU, filter);
      ASSERT_FALSE(block.empty()) << filter;
      EXPECT_EQ(ImportedFingerprints(block), std::vector<std::string>{fpr}) << filter << "\n" << block;
    }
    // The certificate ID is the tail of the fingerprint: what a client
    // holding only a fingerprint searches for.
    EXPECT_EQ(s.Search(kActiveOU, "(kryCertID=" + fpr.substr(24) + ")", {"kryUserID"}).size(),
              ImportedUserIDs(ReadFile(Corpus(std::string(name) + ".asc"))).size());
  }

  // User-ID substrings: three user IDs of one key match, its block comes
  // once; asking for the user IDs too gives every matching entry.
  std::vector<LdifEntry> keyOnly = s.Search(kActiveOU, "(kryUserID=*erin*)", {"kryKey"});
  ASSERT_EQ(keyOnly.size(), 1u);
  EXPECT_EQ(ImportedFingerprints(keyOnly[0].First("krykey")), std::vector<std::string>{FingerprintOf("multi-uid")});
  std::vector<LdifEntry> withNames = s.Search(kActiveOU, "(kryUserID=*ERIN*)", {"kryKey", "kryUserID"});
  ASSERT_EQ(withNames.size(), 3u);
  for (const LdifEntry& e : withNames) EXPECT_FALSE(e.First("krykey").empty()) << e.dn;
  EXPECT_EQ(s.Search(kActiveOU, "(kryUserID=Alice*)", {"kryUserID"}).size(), 1u);
  EXPECT_EQ(s.Search(kActiveOU, "(kryUserID=*example.org>)", {"kryUserID"}).size(), 3u);
  EXPECT_TRUE(s.Search(kActiveOU, "(kryUserID=*nobody-here*)", {"kryKey"}).empty());
  // Several conditions together.
  EXPECT_EQ(s.Search(kActiveOU, "(&(kryKeyType=DSS/DH)(kryUserID=*Bob*))", {"kryCertID"}).size(), 1u);
  EXPECT_EQ(s.Search(kActiveOU, "(|(kryKeyID=" + ShortIDOf("rsa") + ")(kryKeyID=" + ShortIDOf("dsa-elg") + "))",
                     {"kryKey"})
                .size(),
            2u);

  // The user ID with a comma names its entry with an escaped DN that
  // ldapcompare can use as it stands.
  std::vector<LdifEntry> smith = s.Search(kActiveOU, "(kryUserID=Smith, Erin*)", {"kryKeyType"});
  ASSERT_EQ(smith.size(), 1u);
  EXPECT_TRUE(Has(smith[0].dn, "kryUserID=Smith\\, Erin <")) << smith[0].dn;
  RunResult cmp = RunLdapTool(s.tree().port, "ldapcompare", {smith[0].dn, "kryKeyType:RSA"});
  EXPECT_EQ(cmp.exitCode, 6) << cmp.output;
  cmp = RunLdapTool(s.tree().port, "ldapcompare", {smith[0].dn, "kryKeyType:DSS/DH"});
  EXPECT_EQ(cmp.exitCode, 5) << cmp.output;
}

TEST_F(KeysInterop, NewUserIDAndCertificationAreMergedIntoTheStoredCopy) {
  KeyServer s("");
  ASSERT_TRUE(s.ok()) << s.tree().Output();
  ASSERT_EQ(s.AddFile(Corpus("rsa.asc")).exitCode, 0);

  // The owner adds a user ID in their own keyring and submits the result.
  Gpg owner;
  ASSERT_TRUE(owner.Import(ReadFile(Corpus("rsa-secret.asc"))));
  const std::string added = "Alice Added <alice-added@example.org>";
  ASSERT_EQ(owner.Run("--quick-add-uid " + FingerprintOf("rsa") + " " + ShellQuote(added)).exitCode, 0);
  RunResult r = s.AddBlock(owner.Export(FingerprintOf("rsa")));
  ASSERT_EQ(r.exitCode, 0) << r.output;

  // Separately, trusted-signer certifies the original copy.
  const std::string certified = CertifiedByTrusted("rsa", "rsa.asc");
  ASSERT_FALSE(certified.empty());
  r = s.AddBlock(certified);
  ASSERT_EQ(r.exitCode, 0) << r.output;

  // A submission of the first, smaller copy changes nothing.
  r = s.AddFile(Corpus("rsa.asc"));
  EXPECT_EQ(r.exitCode, 68) << r.output;

  const std::string block = OnlyBlock(s, kActiveOU, "(kryKeyID=" + ShortIDOf("rsa") + ")");
  ASSERT_FALSE(block.empty());
  std::vector<std::string> uids = ImportedUserIDs(block);
  EXPECT_EQ(uids.size(), 2u);
  EXPECT_TRUE(Contains(uids, added));
  EXPECT_TRUE(Contains(uids, "Alice Rsa <alice-c@example.org>"));

  // GnuPG sees the certification after importing the server's copy and
  // exports it again.
  Gpg reader;
  ASSERT_TRUE(reader.Import(block));
  std::vector<std::string> signers;
  for (const std::string& line : reader.Listing(FingerprintOf("rsa")))
    if (line.rfind("sig:", 0) == 0) signers.push_back(Columns(line)[4]);
  EXPECT_TRUE(Contains(signers, CertIDOf("trusted-signer")));
  EXPECT_EQ(ImportedUserIDs(reader.Export(FingerprintOf("rsa"))).size(), 2u);

  // The new user ID is searchable and its entry names the certifier only
  // where the certification is.
  std::vector<LdifEntry> entries = s.Search(kActiveOU, "(kryUserID=*alice*)", {"kryUserID", "krySignerID"});
  ASSERT_EQ(entries.size(), 2u);
  for (const LdifEntry& e : entries) {
    const bool original = e.First("kryuserid") == "Alice Rsa <alice-c@example.org>";
    EXPECT_EQ(Contains(e.Values("krysignerid"), CertIDOf("trusted-signer")), original) << e.dn;
  }
}

// User IDs with characters that matter in a DN: each one's entry stays a
// child of its certificate, so a key lookup still brings the key block, and
// two user IDs that differ only in backslashes keep an entry each.
TEST_F(KeysInterop, UserIDsWithDNCharactersStayUnderTheirCertificate) {
  KeyServer s("AcceptModernKeys yes\n");
  ASSERT_TRUE(s.ok()) << s.tree().Output();
  const std::vector<std::string> uids = {"J\xC3\xBCrgen M\xC3\xBCller <jm@example.org>", "Ends With Backslash\\",
                                         "Ends With Backslash\\\\", "Back\\, Comma <bc@example.org>",
                                         "Plus+Sign; Semi <ps@example.org>"};
  Gpg owner;
  const std::string quiet = "--passphrase '' --pinentry-mode loopback ";
  ASSERT_EQ(owner.Run(quiet + "--quick-gen-key " + ShellQuote(uids[0]) + " ed25519 sign never").exitCode, 0);
  std::string certID;
  std::istringstream listing(owner.Run("--with-colons --list-keys").output);
  for (std::string line; std::getline(listing, line);)
    if (line.rfind("pub:", 0) == 0) certID = Columns(line)[4];
  ASSERT_EQ(certID.size(), 16u);
  for (size_t i = 1; i < uids.size(); ++i)
    ASSERT_EQ(owner.Run(quiet + "--quick-add-uid " + certID + " " + ShellQuote(uids[i])).exitCode, 0) << uids[i];
  RunResult r = s.AddBlock(owner.Export(certID));
  ASSERT_EQ(r.exitCode, 0) << r.output;

  const std::string certDN = "KRYCERTID=" + certID + "," + kActiveOU;
  std::vector<LdifEntry> children = s.Search(certDN, "(objectclass=*)", {"kryUserID"});
  std::vector<std::string> stored;
  for (const LdifEntry& e : children)
    if (e.dn != certDN) stored.push_back(e.First("kryuserid"));
  std::sort(stored.begin(), stored.end());
  std::vector<std::string> expected = uids;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(stored, expected);

  std::vector<LdifEntry> found = s.Search(kActiveOU, "(kryKeyID=" + certID.substr(8) + ")", {"kryKey", "kryUserID"});
  ASSERT_EQ(found.size(), uids.size());
  for (const LdifEntry& e : found) {
    EXPECT_TRUE(Has(e.dn, "," + certDN)) << e.dn;
    EXPECT_EQ(ImportedUserIDs(e.First("krykey")).size(), uids.size()) << e.dn;
  }
  EXPECT_EQ(s.Search(kActiveOU, "(kryUserID=*M\xC3\xBCller*)", {"kryCertID"}).size(), 1u);
  EXPECT_EQ(s.Search(kActiveOU, "(kryUserID=*Backslash\\5c)", {"kryCertID"}).size(), 1u);
}

// Four ldapadd clients submit forty keys at once while others search: every
// key is stored once and a single key-only search brings all of them back.
TEST_F(KeysInterop, ConcurrentSubmittersAndSearchers) {
  KeyServer s("");
  ASSERT_TRUE(s.ok()) << s.tree().Output();
  Gpg bulk;
  ASSERT_TRUE(bulk.Import(ReadFile(Corpus("bulk-rsa.asc"))));
  std::vector<std::string> ids;
  std::istringstream listing(bulk.Run("--with-colons --list-keys").output);
  for (std::string line; std::getline(listing, line) && ids.size() < 40;)
    if (line.rfind("pub:", 0) == 0) ids.push_back(Columns(line)[4]);
  ASSERT_EQ(ids.size(), 40u);
  const std::string dir = s.tree().log;
  std::vector<std::string> ldif(4);
  for (size_t i = 0; i < ids.size(); ++i) {
    const std::string file = dir + "/" + ids[i] + ".asc";
    WriteFile(file, bulk.Export(ids[i]));
    ldif[i % 4] += std::string("dn: ") + kVirtualDN + "\nkryKey:< file://" + file + "\n\n";
  }
  const std::string tool = " -P 2 -x -o nettimeout=30 -H ldap://127.0.0.1:" + std::to_string(s.tree().port);
  std::string script;
  for (size_t w = 0; w < ldif.size(); ++w) {
    const std::string file = dir + "/batch" + std::to_string(w) + ".ldif";
    WriteFile(file, ldif[w]);
    script += "ldapadd" + tool + " -f " + ShellQuote(file) + " >" + ShellQuote(file + ".out") + " 2>&1 || echo add " +
              std::to_string(w) + " failed & ";
    script += "ldapsearch" + tool + " -b " + ShellQuote(kActiveOU) + " '(kryUserID=*bulk*)' kryKey >/dev/null 2>&1" +
              " || echo search failed & ";
  }
  RunResult r = RunShell("timeout 120 sh -c " + ShellQuote(script + "wait") + " 2>&1");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output, "");

  std::vector<LdifEntry> found = s.Search(kActiveOU, "(kryUserID=*bulk*)", {"kryKey"});
  ASSERT_EQ(found.size(), ids.size());
  std::string all;
  for (const LdifEntry& e : found) all += e.First("krykey");
  std::vector<std::string> imported = ImportedFingerprints(all);
  EXPECT_EQ(imported.size(), ids.size());
  for (const std::string& id : ids)
    EXPECT_EQ(std::count_if(imported.begin(), imported.end(),
                            [&id](const std::string& f) { return f.size() == 40 && f.substr(24) == id; }),
              1)
        << id;
  EXPECT_TRUE(s.tree().Running());
}

// A client that submits its secret key by mistake publishes the public key
// only: no secret key material is ever handed out again.
TEST_F(KeysInterop, SecretKeyBlocksPublishOnlyThePublicKey) {
  KeyServer s("");
  ASSERT_TRUE(s.ok()) << s.tree().Output();
  RunResult r = s.AddFile(Corpus("rsa-secret.asc"));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  for (const std::string attr : {"kryKey", "kryKeyV2"}) {
    std::vector<LdifEntry> found = s.Search(kActiveOU, "(kryKeyID=" + ShortIDOf("rsa") + ")", {attr});
    ASSERT_EQ(found.size(), 1u) << attr;
    const std::string block = found[0].First(Lower(attr));
    EXPECT_TRUE(Has(block, "BEGIN PGP PUBLIC KEY BLOCK")) << block;
    Gpg reader;
    ASSERT_TRUE(reader.Import(block)) << attr;
    EXPECT_FALSE(Has(reader.Run("--list-packets", block).output, "secret")) << attr;
    EXPECT_EQ(reader.Run("--with-colons --list-secret-keys").output, "") << attr;
    EXPECT_EQ(ImportedFingerprints(block), std::vector<std::string>{FingerprintOf("rsa")}) << attr;
  }
}

TEST_F(KeysInterop, PolicyFailureParksTheKeyUnderPending) {
  KeyServer s("PublicKeyRing " + Corpus("server-pubring.pkr") + "\nMustSigID 0x" + CertIDOf("trusted-signer") +
              "\n");
  ASSERT_TRUE(s.ok()) << s.tree().Output();
  RunResult r = s.AddFile(Corpus("dsa-elg.asc"));
  EXPECT_EQ(r.exitCode, 49) << r.output;
  EXPECT_TRUE(Has(r.output, "awaiting approval")) << r.output;

  const std::string filter = "(kryKeyID=" + ShortIDOf("dsa-elg") + ")";
  EXPECT_TRUE(s.Search(kActiveOU, filter, {"kryKey"}).empty());
  const std::string parked = OnlyBlock(s, kPendingOU, filter);
  ASSERT_FALSE(parked.empty());
  EXPECT_EQ(ImportedFingerprints(parked), std::vector<std::string>{FingerprintOf("dsa-elg")});
  std::vector<LdifEntry> cert = s.Search(kPendingOU, "(objectclass=kryCertificate)", {"kryKey"});
  ASSERT_EQ(cert.size(), 1u);
  EXPECT_TRUE(Has(cert[0].dn, CertIDOf("dsa-elg"))) << cert[0].dn;

  // A key that passes goes to ACTIVE beside it.
  r = s.AddFile(Corpus("signed-by-trusted.asc"));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  const std::string active = OnlyBlock(s, kActiveOU, "(kryKeyID=" + ShortIDOf("signed-user") + ")");
  EXPECT_EQ(ImportedFingerprints(active), std::vector<std::string>{FingerprintOf("signed-user")});
  EXPECT_TRUE(s.Search(kPendingOU, "(kryKeyID=" + ShortIDOf("signed-user") + ")", {"kryCertID"}).empty());
}

}  // namespace
}  // namespace krytest
