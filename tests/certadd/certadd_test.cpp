// Key submissions against the real server with ldapadd and ldapsearch
// (LDAP version 2), checked by reading the returned key blocks back with
// GnuPG: corpus keys of both accepted algorithms, re-adds, revocations,
// photo IDs, local certifications, new certifications on stored keys,
// damaged input and a restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include "certadd_support.h"

namespace krytest {
namespace {

std::string GeneralizedTime(const std::string& epoch) {
  time_t t = static_cast<time_t>(std::stoll(epoch));
  struct tm tm {};
  gmtime_r(&t, &tm);
  char buf[16];
  strftime(buf, sizeof buf, "%Y%m%d%H%M%SZ", &tm);
  return buf;
}

// gpg's colon listings escape ':' and other bytes as \xNN.
std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() + 0 && s[i + 1] == 'x') {
      out += static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

class CertAdd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new KeyServer("");
    ASSERT_TRUE(server_->ok()) << server_->tree().Output();
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  // The user-ID entries of a certificate, by user ID.
  static std::map<std::string, LdifEntry> UserIDEntries(const std::string& certID) {
    std::map<std::string, LdifEntry> out;
    for (const LdifEntry& e :
         server_->Search(kActiveOU, "(kryCertID=" + certID + ")",
                         {"kryUserID", "kryKeyID", "kryCertID", "kryKeyType", "kryKeySize", "kryKeyCreateTime",
                          "kryKeyExpireTime", "krySubKeyID", "kryRevoked", "krySignerID", "kryDisabled",
                          "modifytimestamp"}))
      out[e.First("kryuserid")] = e;
    return out;
  }

  // Adds a corpus key and checks what comes back against GnuPG's view of
  // the file: the same listing of the returned block, and user-ID entries
  // with the key's properties.
  static void AddAndCompare(const std::string& file, const std::string& name) {
    SCOPED_TRACE(file);
    RunResult r = server_->AddFile(Corpus(file));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    Gpg original;
    ASSERT_TRUE(original.Import(ReadFile(Corpus(file))));
    const std::string certID = CertIDOf(name);
    std::vector<std::string> blocks = server_->KeyBlocks(ShortIDOf(name));
    ASSERT_EQ(blocks.size(), 1u);
    Gpg returned;
    ASSERT_TRUE(returned.Import(blocks[0]));
    const std::vector<std::string> listing = original.Listing(certID);
    EXPECT_EQ(returned.Listing(certID), listing);

    std::map<std::string, LdifEntry> entries = UserIDEntries(certID);
    std::vector<std::string> subIDs;
    std::string keySize, keyType, created, expires;
    std::map<std::string, std::vector<std::string>> signers;
    std::string currentUid;
    for (const std::string& line : listing) {
      std::vector<std::string> c = Columns(line);
      if (c[0] == "pub") {
        keyType = c[3] == "1" ? "RSA" : "DSS/DH";
        keySize = c[2];
        created = GeneralizedTime(c[5]);
        if (!c[6].empty()) expires = GeneralizedTime(c[6]);
      } else if (c[0] == "sub") {
        currentUid.clear();
        subIDs.push_back(c[4]);
        if (keyType == "DSS/DH" && std::stoi(c[2]) > std::stoi(keySize.empty() ? "0" : keySize)) keySize = c[2];
      } else if (c[0] == "uid") {
        currentUid = Unescape(c[9]);
      } else if (c[0] == "uat") {
        currentUid.clear();
      } else if ((c[0] == "sig" || c[0] == "rev") && !currentUid.empty() && c[10].find('l') == std::string::npos) {
        signers[currentUid].push_back(c[4]);
      }
    }
    if (keyType == "DSS/DH") keySize = "0";  // recomputed below from subkeys
    if (keyType == "DSS/DH")
      for (const std::string& line : listing)
        if (Columns(line)[0] == "sub") keySize = std::to_string(std::max(std::stoi(keySize), std::stoi(Columns(line)[2])));
    char padded[8];
    snprintf(padded, sizeof padded, "%05d", std::stoi(keySize));
    ASSERT_EQ(entries.size(), signers.size());
    for (const auto& [uid, e] : entries) {
      SCOPED_TRACE(uid);
      EXPECT_EQ(e.First("krycertid"), certID);
      EXPECT_EQ(e.First("krykeyid"), certID.substr(8));
      EXPECT_EQ(e.First("krykeytype"), keyType);
      EXPECT_EQ(e.First("krykeysize"), padded);
      EXPECT_EQ(e.First("krykeycreatetime"), created);
      EXPECT_EQ(e.First("krykeyexpiretime"), expires);
      EXPECT_EQ(e.First("kryrevoked"), "0");
      EXPECT_EQ(e.First("krydisabled"), "0");
      std::vector<std::string> sub = e.Values("krysubkeyid");
      if (keyType == "DSS/DH") {
        std::vector<std::string> want = subIDs;
        std::sort(sub.begin(), sub.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(sub, want);
      } else {
        EXPECT_TRUE(sub.empty());
      }
      std::vector<std::string> got = e.Values("krysignerid"), want = signers[uid];
      for (std::string& g : got) g = g.substr(g.size() - 16);
      std::sort(got.begin(), got.end());
      std::sort(want.begin(), want.end());
      EXPECT_EQ(got, want);
    }
  }

  static KeyServer* server_;
};
KeyServer* CertAdd::server_ = nullptr;

TEST_F(CertAdd, CorpusKeysRoundTripThroughGnuPG) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  AddAndCompare("rsa.asc", "rsa");
  AddAndCompare("dsa-elg.asc", "dsa-elg");
  AddAndCompare("multi-uid.asc", "multi-uid");
  AddAndCompare("trusted-signer.asc", "trusted-signer");
  AddAndCompare("signed-by-trusted.asc", "signed-user");
  AddAndCompare("expired.asc", "expired");
  AddAndCompare("old-signer.asc", "old-signer");
  AddAndCompare("expired-cert.asc", "expired-cert");
  // A certification that has expired is listed with its state.
  for (const auto& [uid, e] : UserIDEntries(CertIDOf("expired-cert"))) {
    const auto& signers = e.Values("krysignerid");
    EXPECT_NE(std::find(signers.begin(), signers.end(), "Exp: " + CertIDOf("old-signer")), signers.end()) << uid;
  }

  // Searching by user ID returns the same block.
  std::vector<LdifEntry> byUid = server_->Search(kActiveOU, "(kryUserID=Alice Rsa*)", {"kryKey"});
  ASSERT_FALSE(byUid.empty());
  EXPECT_EQ(byUid[0].First("krykey"), server_->KeyBlocks(ShortIDOf("rsa"))[0]);
}

TEST_F(CertAdd, UnchangedAndMultiKeyBlocks) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  RunResult r = server_->AddFile(Corpus("rsa.asc"));
  ASSERT_TRUE(r.exitCode == 0 || r.exitCode == 68) << r.output;
  r = server_->AddFile(Corpus("rsa.asc"));
  EXPECT_EQ(r.exitCode, 68) << r.output;
  EXPECT_NE(r.output.find("Certificate has not changed."), std::string::npos) << r.output;

  r = server_->AddFile(Corpus("two-keys.asc"));
  EXPECT_EQ(r.exitCode, 21) << r.output;
  EXPECT_TRUE(server_->tree().WaitForEvent("Only one key can be in the key block per add to the server.", 2000));
}

// A store cut short after the certificate entry (a crash) leaves user-ID
// entries missing while the stored block is complete: the next submission of
// the same key writes them again instead of answering "not changed".
TEST_F(CertAdd, MissingUserIDEntriesAreWrittenAgain) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  const std::string certID = CertIDOf("multi-uid");
  RunResult r = server_->AddFile(Corpus("multi-uid.asc"));
  ASSERT_TRUE(r.exitCode == 0 || r.exitCode == 68) << r.output;
  std::map<std::string, LdifEntry> before = UserIDEntries(certID);
  ASSERT_EQ(before.size(), 3u);
  const LdifEntry& victim = before.begin()->second;
  r = RunLdapTool(server_->tree().port, "ldapdelete", {victim.dn});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  ASSERT_EQ(UserIDEntries(certID).size(), 2u);

  r = server_->AddFile(Corpus("multi-uid.asc"));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  std::map<std::string, LdifEntry> after = UserIDEntries(certID);
  ASSERT_EQ(after.size(), 3u);
  for (const auto& [uid, e] : before) {
    ASSERT_TRUE(after.count(uid)) << uid;
    for (const char* a : {"kryKeyID", "kryKeyType", "kryKeySize", "krySignerID", "kryKeyCreateTime"})
      EXPECT_EQ(after[uid].Values(a), e.Values(a)) << uid << " " << a;
  }
  r = server_->AddFile(Corpus("multi-uid.asc"));
  EXPECT_EQ(r.exitCode, 68) << r.output;
}

TEST_F(CertAdd, RevocationMarksEveryUserIDEntry) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  RunResult r = server_->AddFile(Corpus("revoked-before.asc"));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const std::string certID = CertIDOf("revoked");
  for (const auto& [uid, e] : UserIDEntries(certID)) EXPECT_EQ(e.First("kryrevoked"), "0") << uid;
  r = server_->AddFile(Corpus("revoked.asc"));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  auto entries = UserIDEntries(certID);
  ASSERT_FALSE(entries.empty());
  for (const auto& [uid, e] : entries) EXPECT_EQ(e.First("kryrevoked"), "1") << uid;
  // The stored block carries the revocation.
  Gpg gpg;
  ASSERT_TRUE(gpg.Import(server_->KeyBlocks(ShortIDOf("revoked"))[0]));
  EXPECT_EQ(Columns(gpg.Listing(certID)[0])[1], "r");
}

TEST_F(CertAdd, OnlyTheNewestPhotoIDIsKept) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  RunResult r = server_->AddFile(Corpus("photo-id-three.asc"));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  Gpg original;
  original.Import(ReadFile(Corpus("photo-id-three.asc")));
  std::string newest;
  for (const std::string& l : original.Listing(CertIDOf("photo-id")))
    if (Columns(l)[0] == "uat" && Columns(l)[5] > newest) newest = Columns(l)[5];
  // Photo IDs are user attributes: only the complete block has them.
  std::vector<LdifEntry> found = server_->Search(kActiveOU, "(kryKeyID=" + ShortIDOf("photo-id") + ")", {"kryKeyV2"});
  ASSERT_EQ(found.size(), 1u);
  Gpg gpg;
  ASSERT_TRUE(gpg.Import(found[0].First("krykeyv2")));
  std::vector<std::string> photos;
  for (const std::string& l : gpg.Listing(CertIDOf("photo-id")))
    if (Columns(l)[0] == "uat") photos.push_back(Columns(l)[5]);
  EXPECT_EQ(photos, std::vector<std::string>{newest});
  // No entry for a photo ID: only the one named user ID.
  EXPECT_EQ(UserIDEntries(CertIDOf("photo-id")).size(), 1u);
}

TEST_F(CertAdd, LocalCertificationsAreNeverStored) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  RunResult r = server_->AddFile(Corpus("local-sig-included.asc"));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const std::string signer = CertIDOf("trusted-signer");
  Gpg gpg;
  ASSERT_TRUE(gpg.Import(server_->KeyBlocks(ShortIDOf("local-sig"))[0]));
  for (const std::string& l : gpg.Listing(CertIDOf("local-sig"))) EXPECT_NE(Columns(l)[4], signer) << l;
  for (const auto& [uid, e] : UserIDEntries(CertIDOf("local-sig")))
    for (const std::string& s : e.Values("krysignerid")) EXPECT_EQ(s.find(signer), std::string::npos) << s;
}

TEST_F(CertAdd, NewCertificationRewritesOnlyItsUserID) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  RunResult r = server_->AddFile(Corpus("multi-uid.asc"));
  ASSERT_TRUE(r.exitCode == 0 || r.exitCode == 68) << r.output;
  const std::string certID = CertIDOf("multi-uid");
  std::map<std::string, LdifEntry> before = UserIDEntries(certID);
  ASSERT_EQ(before.size(), 3u);
  const std::string target = before.begin()->first;

  const std::string certified = CertifiedByTrusted("multi-uid", "multi-uid.asc", target);
  ASSERT_FALSE(certified.empty());
  sleep(1);  // modifytimestamp has a resolution of one second
  r = server_->AddBlock(certified);
  ASSERT_EQ(r.exitCode, 0) << r.output;

  std::map<std::string, LdifEntry> after = UserIDEntries(certID);
  ASSERT_EQ(after.size(), 3u);
  for (const auto& [uid, e] : after) {
    SCOPED_TRACE(uid);
    const bool rewritten = e.First("modifytimestamp") != before[uid].First("modifytimestamp");
    EXPECT_EQ(rewritten, uid == target);
    const auto& signers = e.Values("krysignerid");
    const bool certified =
        std::find(signers.begin(), signers.end(), CertIDOf("trusted-signer")) != signers.end();
    EXPECT_EQ(certified, uid == target);
  }
}

TEST_F(CertAdd, DesignatedRevokerIsLoaded) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  // Without the revoker stored, then after it is: both adds store the key
  // unrevoked (the revoker has issued no revocation).
  RunResult r = server_->AddFile(Corpus("designated-revoker.asc"));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = server_->AddFile(Corpus("trusted-signer.asc"));
  ASSERT_TRUE(r.exitCode == 0 || r.exitCode == 68) << r.output;
  r = server_->AddFile(Corpus("designated-revoker.asc"));
  EXPECT_EQ(r.exitCode, 68) << r.output;
  auto entries = UserIDEntries(CertIDOf("designated-revoker"));
  ASSERT_FALSE(entries.empty());
  for (const auto& [uid, e] : entries) EXPECT_EQ(e.First("kryrevoked"), "0");
  Gpg gpg;
  ASSERT_TRUE(gpg.Import(server_->KeyBlocks(ShortIDOf("designated-revoker"))[0]));
  RunResult list = gpg.Run("--with-colons --list-keys " + CertIDOf("designated-revoker"));
  EXPECT_NE(list.output.find("rvk:"), std::string::npos) << list.output;
}

TEST_F(CertAdd, ModernKeysAreRefusedByDefault) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  const std::string v6 = std::string(std::getenv("KRY_SOURCE_DIR")) + "/tests/data/v6/";
  for (const std::string& file :
       {Corpus("ed25519.asc"), Corpus("ecdsa-p256.asc"), v6 + "v6-sample-uid.asc", v6 + "v6-rsa-uid.asc"}) {
    RunResult r = server_->AddFile(file);
    EXPECT_NE(r.exitCode, 0) << file << r.output;
    EXPECT_GT(r.exitCode, 0) << file << r.output;
  }
  EXPECT_TRUE(server_->KeyBlocks(ShortIDOf("ed25519")).empty());
  EXPECT_TRUE(server_->KeyBlocks("0609A697").empty());  // the v6 sample's key ID is CB186C4F0609A697
  EXPECT_TRUE(server_->tree().WaitForEvent("Algorithm ID 22 is not supported", 2000)) << server_->tree().Events();
  EXPECT_TRUE(server_->tree().WaitForEvent("Algorithm ID 27 is not supported", 2000)) << server_->tree().Events();
  // An RSA key is refused for being v6 alone.
  EXPECT_TRUE(server_->tree().WaitForEvent("Key version 6 is not supported", 2000)) << server_->tree().Events();
}

TEST_F(CertAdd, DamagedInputIsRefusedAndNothingStored) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  std::string armoured = ReadFile(Corpus("dsa-elg.asc"));
  // A block cut in the middle, and one with a damaged base64 body.
  RunResult r = server_->AddBlock(armoured.substr(0, armoured.size() / 2));
  EXPECT_EQ(r.exitCode, 21) << r.output;
  std::string garbled = armoured;
  garbled[garbled.find('\n', 40) + 5] ^= 0x01;
  r = server_->AddBlock(garbled);
  EXPECT_EQ(r.exitCode, 21) << r.output;
  r = server_->AddBlock("not a key at all");
  EXPECT_EQ(r.exitCode, 21) << r.output;
  r = server_->AddLdif("dn: kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US\ndescription: nothing\n");
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_NE(r.output.find("The data provided to the server was invalid or corrupt."), std::string::npos);

  // A user ID changed after it was self-signed: the self-signature no longer
  // verifies, so the key is refused and nothing of it is stored.
  Gpg gpg;
  ASSERT_EQ(gpg.Run("--passphrase '' --pinentry-mode loopback --quick-gen-key "
                    "'Tamper Test <tamper@example.org>' rsa2048 sign never").exitCode, 0);
  ASSERT_EQ(gpg.Run("-o " + ShellQuote(gpg.home() + "/k.bin") + " --export tamper@example.org").exitCode, 0);
  const std::string shortID = Columns(gpg.Listing("tamper@example.org")[0])[4].substr(8);
  std::string packets = ReadFile(gpg.home() + "/k.bin");
  size_t at = packets.find("Tamper Test");
  ASSERT_NE(at, std::string::npos);
  packets[at] = 'D';
  r = server_->AddBlock(packets);
  EXPECT_EQ(r.exitCode, 21) << r.output;
  EXPECT_TRUE(server_->KeyBlocks(shortID).empty());
  // The untouched key is accepted.
  r = server_->AddBlock(ReadFile(gpg.home() + "/k.bin"));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(server_->KeyBlocks(shortID).size(), 1u);
  EXPECT_TRUE(server_->tree().Running());
}

TEST_F(CertAdd, RequestShapes) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  // Only the first kryKey value is the key block; a second one is stored
  // with the certificate entry as it was sent.
  const std::string ldif = "dn: kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US\nkryKey:< file://" +
                           Corpus("signed-by-both.asc") + "\nkryKey: second value\ndescription: kept\n";
  RunResult r = server_->AddLdif(ldif);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  {
    std::vector<LdifEntry> cert = server_->Search("KRYCERTID=" + CertIDOf("signed-user") + "," + kActiveOU,
                                                  "(objectclass=kryCertificate)", {"kryKey", "description"});
    ASSERT_EQ(cert.size(), 1u);
    ASSERT_EQ(cert[0].Values("krykey").size(), 2u);
    EXPECT_EQ(cert[0].Values("krykey")[1], "second value");
    EXPECT_EQ(cert[0].First("description"), "kept");
  }
  // A signed request from a key that may not add, while adds need no
  // signature, is refused; a missing key attribute is corrupt data.
  r = server_->AddLdif("dn: kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US\nkryRequest:< file://" +
                       Corpus("add-signed-by-trusted.req") + "\n");
  EXPECT_EQ(r.exitCode, 48) << r.output;
  EXPECT_NE(r.output.find("The authorization used for this request was invalid and unnecessary."),
            std::string::npos)
      << r.output;
  r = server_->AddLdif("dn: kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US\ncn: no key\n");
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_TRUE(server_->tree().WaitForEvent("kryKey or kryRequest attribute must be provided.", 2000));
}

TEST_F(CertAdd, DamagedStoredCopiesAreReported) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  RunResult r = server_->AddFile(Corpus("expired.asc"));
  ASSERT_TRUE(r.exitCode == 0 || r.exitCode == 68) << r.output;
  const std::string dn = "KRYCERTID=" + CertIDOf("expired") + "," + kActiveOU;
  // A stored block that no longer imports.
  r = server_->Modify(dn, "replace: kryKey\nkryKey: not a key block\n-\n");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = server_->AddFile(Corpus("expired.asc"));
  EXPECT_EQ(r.exitCode, 89) << r.output;
  EXPECT_NE(r.output.find("Invalid certificate received by server."), std::string::npos) << r.output;
  // No block at all.
  r = server_->Modify(dn, "delete: kryKey\n-\n");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = server_->AddFile(Corpus("expired.asc"));
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_NE(r.output.find("A copy of this certificate on the server is corrupt."), std::string::npos) << r.output;
}

TEST_F(CertAdd, RestartKeepsEveryBlock) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  for (const char* f : {"rsa.asc", "dsa-elg.asc", "multi-uid.asc"}) server_->AddFile(Corpus(f));
  std::map<std::string, std::vector<std::string>> before;
  for (const char* n : {"rsa", "dsa-elg", "multi-uid"}) before[n] = server_->KeyBlocks(ShortIDOf(n));
  ASSERT_TRUE(server_->Restart()) << server_->tree().Output();
  for (const char* n : {"rsa", "dsa-elg", "multi-uid"}) {
    EXPECT_EQ(server_->KeyBlocks(ShortIDOf(n)), before[n]) << n;
    EXPECT_EQ(before[n].size(), 1u) << n;
  }
  RunResult r = server_->AddFile(Corpus("rsa.asc"));
  EXPECT_EQ(r.exitCode, 68) << r.output;
}

}  // namespace
}  // namespace krytest
