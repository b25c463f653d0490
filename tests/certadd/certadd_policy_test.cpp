// The signing policy on key submissions, against the real server: required
// signers (from the keyrings or, failing that, the directory), parking under
// OU=PENDING or refusal, trimming of signatures, user IDs and photo IDs, and
// keys of the modern algorithms when the server accepts them.
#include <gtest/gtest.h>

#include <sstream>

#include "certadd_support.h"

namespace krytest {
namespace {

std::string KeyringLine() { return "PublicKeyRing " + Corpus("server-pubring.pkr") + "\n"; }

// The key-ID column of every signature line of a GnuPG listing.
std::vector<std::string> SignerColumn(const std::vector<std::string>& listing) {
  std::vector<std::string> out;
  for (const std::string& l : listing)
    if (l.rfind("sig:", 0) == 0) out.push_back(Columns(l)[4]);
  return out;
}

size_t CountLines(const std::vector<std::string>& listing, const std::string& kind) {
  size_t n = 0;
  for (const std::string& l : listing) n += l.rfind(kind, 0) == 0;
  return n;
}

bool Contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

class PolicyPending : public ::testing::Test {
 protected:
  void SetUp() override {
    if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  }
};

TEST_F(PolicyPending, RequiredSignerDecidesActiveOrPending) {
  if (CorpusDir().empty()) return;
  // A short ID in the configuration is resolved to the full one.
  KeyServer server(KeyringLine() + "MustSigID 0x" + ShortIDOf("trusted-signer") + "\n");
  ASSERT_TRUE(server.ok()) << server.tree().Output();
  RunResult r = server.AddFile(Corpus("signed-by-trusted.asc"));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(server.KeyBlocks(ShortIDOf("signed-user")).size(), 1u);

  r = server.AddFile(Corpus("rsa.asc"));
  EXPECT_EQ(r.exitCode, 49) << r.output;
  EXPECT_NE(r.output.find("Due to certificate not passing policy, its addition is awaiting approval."),
            std::string::npos)
      << r.output;
  EXPECT_TRUE(server.KeyBlocks(ShortIDOf("rsa")).empty());
  std::vector<LdifEntry> pending =
      server.Search(kPendingOU, "(kryKeyID=" + ShortIDOf("rsa") + ")", {"kryCertID", "kryUserID"});
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_NE(pending[0].dn.find("PENDING"), std::string::npos) << pending[0].dn;

  // Certified by the trusted signer, the same key now passes and is stored
  // ACTIVE; the pending copy stays for the administrator.
  r = server.AddBlock(CertifiedByTrusted("rsa", "rsa.asc"));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(server.KeyBlocks(ShortIDOf("rsa")).size(), 1u);
  EXPECT_EQ(server.Search(kPendingOU, "(kryKeyID=" + ShortIDOf("rsa") + ")", {"kryCertID"}).size(), 1u);
}

TEST_F(PolicyPending, SignersFoundOnlyInTheDirectory) {
  if (CorpusDir().empty()) return;
  KeyServer server("");
  ASSERT_TRUE(server.ok()) << server.tree().Output();
  ASSERT_EQ(server.AddFile(Corpus("trusted-signer.asc")).exitCode, 0);
  ASSERT_EQ(server.Stop(), 0);

  // Without keyrings, the configured signer is looked up among the ACTIVE
  // certificates.
  server.tree().WriteConfig("Allow ip 127.0.0.1 all\nMustSigID 0x" + ShortIDOf("trusted-signer") + "\n");
  ASSERT_TRUE(server.tree().Start()) << server.tree().Output();
  EXPECT_EQ(server.AddFile(Corpus("signed-by-trusted.asc")).exitCode, 0);
  EXPECT_EQ(server.AddFile(Corpus("rsa.asc")).exitCode, 49);
  ASSERT_EQ(server.Stop(), 0);

  // A signer that is nowhere stops the start-up.
  server.tree().WriteConfig("Allow ip 127.0.0.1 all\nMustSigID 0x0123456789ABCDEF\n");
  RunResult run = server.tree().Run({"-g", "-s"}, 20);
  EXPECT_NE(run.exitCode, 0);
  EXPECT_NE((run.output + server.tree().Events()).find("Cannot find trusted key (0123456789ABCDEF) in database."),
            std::string::npos)
      << run.output << server.tree().Events();
}

TEST_F(PolicyPending, PolicyFailuresErrorRefuses) {
  if (CorpusDir().empty()) return;
  KeyServer server(KeyringLine() + "MustSigID 0x" + CertIDOf("trusted-signer") + "\nPolicyFailures error\n");
  ASSERT_TRUE(server.ok()) << server.tree().Output();
  RunResult r = server.AddFile(Corpus("rsa.asc"));
  EXPECT_EQ(r.exitCode, 49) << r.output;
  EXPECT_NE(r.output.find("Certificate does not contain required signatures."), std::string::npos) << r.output;
  EXPECT_TRUE(server.Search(kPendingOU, "(kryKeyID=" + ShortIDOf("rsa") + ")", {"kryCertID"}).empty());
  EXPECT_EQ(server.AddFile(Corpus("signed-by-trusted.asc")).exitCode, 0);
}

// Every key of a MustSigID line must have signed, whichever order the line
// names them in; signed-by-both carries both signatures, signed-by-trusted
// only the first.
TEST_F(PolicyPending, EveryKeyOfAMustSigIDLineIsRequired) {
  const std::string t = "0x" + CertIDOf("trusted-signer"), s = "0x" + CertIDOf("second-signer");
  for (const std::string& line : {t + " " + s, s + " " + t}) {
    KeyServer server(KeyringLine() + "MustSigID " + line + "\nPolicyFailures error\n");
    ASSERT_TRUE(server.ok()) << server.tree().Output();
    RunResult r = server.AddFile(Corpus("signed-by-trusted.asc"));
    EXPECT_EQ(r.exitCode, 49) << line << r.output;
    r = server.AddFile(Corpus("signed-by-both.asc"));
    EXPECT_EQ(r.exitCode, 0) << line << r.output;
  }
}

// A certification that has expired vouches for nothing.
TEST_F(PolicyPending, ExpiredCertificationDoesNotCount) {
  KeyServer server("");
  ASSERT_TRUE(server.ok()) << server.tree().Output();
  ASSERT_EQ(server.AddFile(Corpus("old-signer.asc")).exitCode, 0);
  ASSERT_EQ(server.Stop(), 0);
  server.tree().WriteConfig("Allow ip 127.0.0.1 all\nMustSigID 0x" + CertIDOf("old-signer") + "\nPolicyFailures error\n");
  ASSERT_TRUE(server.tree().Start()) << server.tree().Output();
  RunResult r = server.AddFile(Corpus("expired-cert.asc"));
  EXPECT_EQ(r.exitCode, 49) << r.output;
  EXPECT_TRUE(server.KeyBlocks(ShortIDOf("expired-cert")).empty());
}

TEST_F(PolicyPending, MustSignAddsRefusesBareKeys) {
  if (CorpusDir().empty()) return;
  KeyServer server("MustSignAdds yes\n");
  ASSERT_TRUE(server.ok()) << server.tree().Output();
  RunResult r = server.AddFile(Corpus("rsa.asc"));
  EXPECT_EQ(r.exitCode, 8) << r.output;
  EXPECT_NE(r.output.find("Requests to add certificates must be signed."), std::string::npos) << r.output;
  EXPECT_TRUE(server.KeyBlocks(ShortIDOf("rsa")).empty());
}

TEST_F(PolicyPending, TrimSigsKeepsTrustedAndSelfSignatures) {
  if (CorpusDir().empty()) return;
  KeyServer server(KeyringLine() + "AllowSigID 0x" + CertIDOf("trusted-signer") + "\nTrimSigs yes\n");
  ASSERT_TRUE(server.ok()) << server.tree().Output();
  ASSERT_EQ(server.AddFile(Corpus("signed-by-both.asc")).exitCode, 0);
  Gpg gpg;
  ASSERT_TRUE(gpg.Import(server.KeyBlocks(ShortIDOf("signed-user"))[0]));
  std::vector<std::string> signers = SignerColumn(gpg.Listing(CertIDOf("signed-user")));
  EXPECT_TRUE(Contains(signers, CertIDOf("signed-user")));
  EXPECT_TRUE(Contains(signers, CertIDOf("trusted-signer")));
  EXPECT_FALSE(Contains(signers, CertIDOf("second-signer")));
}

TEST_F(PolicyPending, TrimUsersDropsUserIDsWithoutTrustedSigners) {
  if (CorpusDir().empty()) return;
  KeyServer server(KeyringLine() + "AllowSigID 0x" + CertIDOf("trusted-signer") +
                   "\nTrimUsers yes\nPolicyFailures error\n");
  ASSERT_TRUE(server.ok()) << server.tree().Output();
  RunResult r = server.AddFile(Corpus("rsa.asc"));
  EXPECT_EQ(r.exitCode, 19) << r.output;
  EXPECT_NE(r.output.find("All User IDs and signatures were trimmed from the certificate due to server policies."),
            std::string::npos)
      << r.output;

  // multi-uid with one of its three user IDs certified by the trusted
  // signer: only that one is stored.
  Gpg reader;
  reader.Import(ReadFile(Corpus("multi-uid.asc")));
  std::string target;
  for (const std::string& l : reader.Listing(CertIDOf("multi-uid")))
    if (l.rfind("uid:", 0) == 0 && target.empty()) target = Columns(l)[9];
  ASSERT_FALSE(target.empty());
  r = server.AddBlock(CertifiedByTrusted("multi-uid", "multi-uid.asc", target));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  std::vector<LdifEntry> entries =
      server.Search(kActiveOU, "(kryCertID=" + CertIDOf("multi-uid") + ")", {"kryUserID"});
  ASSERT_EQ(entries.size(), 1u);
  Gpg back;
  ASSERT_TRUE(back.Import(server.KeyBlocks(ShortIDOf("multi-uid"))[0]));
  EXPECT_EQ(CountLines(back.Listing(CertIDOf("multi-uid")), "uid:"), 1u);
}

TEST_F(PolicyPending, ParkedCertificatesKeepWhatTrimmingRemoved) {
  if (CorpusDir().empty()) return;
  KeyServer server(KeyringLine() + "AllowSigID 0x" + CertIDOf("trusted-signer") + "\nTrimUsers yes\n");
  ASSERT_TRUE(server.ok()) << server.tree().Output();
  RunResult r = server.AddFile(Corpus("multi-uid.asc"));
  EXPECT_EQ(r.exitCode, 49) << r.output;
  // All three user IDs are parked, as submitted.
  EXPECT_EQ(server.Search(kPendingOU, "(kryCertID=" + CertIDOf("multi-uid") + ")", {"kryUserID"}).size(), 3u);
}

TEST_F(PolicyPending, TrimPhotoIDsRemovesEveryPhoto) {
  if (CorpusDir().empty()) return;
  KeyServer server("TrimPhotoIDs yes\n");
  ASSERT_TRUE(server.ok()) << server.tree().Output();
  ASSERT_EQ(server.AddFile(Corpus("photo-id-three.asc")).exitCode, 0);
  std::vector<LdifEntry> found =
      server.Search(kActiveOU, "(kryKeyID=" + ShortIDOf("photo-id") + ")", {"kryKey", "kryKeyV2"});
  ASSERT_EQ(found.size(), 1u);
  for (const char* type : {"krykey", "krykeyv2"}) {
    if (found[0].Values(type).empty()) continue;
    Gpg gpg;
    ASSERT_TRUE(gpg.Import(found[0].First(type))) << type;
    std::vector<std::string> listing = gpg.Listing(CertIDOf("photo-id"));
    EXPECT_EQ(CountLines(listing, "uat:"), 0u) << type;
    EXPECT_EQ(CountLines(listing, "uid:"), 1u) << type;
  }
}

TEST_F(PolicyPending, ModernKeysWhenAccepted) {
  if (CorpusDir().empty()) return;
  KeyServer server(KeyringLine() + "AcceptModernKeys yes\nMustSigID 0x" + CertIDOf("trusted-signer") + "\n");
  ASSERT_TRUE(server.ok()) << server.tree().Output();
  for (const char* name : {"ed25519", "ecdsa-p256"}) {
    SCOPED_TRACE(name);
    // Unsigned by the trusted signer: parked, then found under PENDING.
    RunResult r = server.AddFile(Corpus(std::string(name) + ".asc"));
    EXPECT_EQ(r.exitCode, 49) << r.output;
    std::vector<LdifEntry> e = server.Search(kPendingOU, "(kryKeyID=" + ShortIDOf(name) + ")", {"kryKeyType"});
    ASSERT_EQ(e.size(), 1u);
    r = server.AddFile(Corpus(std::string(name) + ".asc"));
    EXPECT_EQ(r.exitCode, 68) << r.output;
  }
  // An Ed25519 key certified by the trusted signer goes ACTIVE and comes
  // back whole.
  const std::string certified = CertifiedByTrusted("ed25519", "ed25519.asc");
  ASSERT_FALSE(certified.empty());
  Gpg gpg;
  gpg.Import(ReadFile(Corpus("trusted-signer.asc")));
  gpg.Import(certified);
  RunResult r = server.AddBlock(certified);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  std::vector<std::string> blocks = server.KeyBlocks(ShortIDOf("ed25519"));
  ASSERT_EQ(blocks.size(), 1u);
  Gpg back;
  back.Import(ReadFile(Corpus("trusted-signer.asc")));
  ASSERT_TRUE(back.Import(blocks[0]));
  EXPECT_EQ(back.Listing(CertIDOf("ed25519")), gpg.Listing(CertIDOf("ed25519")));
  EXPECT_EQ(server.AddBlock(certified).exitCode, 68);
}

}  // namespace
}  // namespace krytest
