// Signed add, delete and disable requests against the real server, and the
// replication log they write.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "certadd_support.h"

namespace krytest {
namespace {

const char kVirtual[] = "kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US";

std::string Signers(bool mustSign) {
  const std::string t = "0x" + CertIDOf("trusted-signer");
  return "PublicKeyRing " + Corpus("server-pubring.pkr") + "\nAllow keyid " + t + " add\nAllow keyid " + t +
         " delete\nMustSignAdds " + (mustSign ? "yes" : "no") + "\n";
}

RunResult SendRequestFile(KeyServer& s, const std::string& path) {
  return s.AddLdif(std::string("dn: ") + kVirtual + "\nkryRequest:< file://" + path + "\n");
}

RunResult SendRequest(KeyServer& s, const std::string& text) {
  const std::string file = s.tree().log + "/request.txt";
  WriteFile(file, text);
  return SendRequestFile(s, file);
}

bool Has(const RunResult& r, const std::string& text) { return r.output.find(text) != std::string::npos; }

size_t Found(KeyServer& s, const std::string& base, const std::string& filter) {
  return s.Search(base, filter, {"kryCertID"}).size();
}

// Everything stored of one key, searched three ways.
size_t Traces(KeyServer& s, const std::string& name) {
  return Found(s, kActiveOU, "(kryKeyID=" + ShortIDOf(name) + ")") +
         Found(s, kActiveOU, "(kryCertID=" + CertIDOf(name) + ")");
}

class Requests : public ::testing::Test {
 protected:
  void SetUp() override {
    if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  }
};

TEST_F(Requests, SignedAddsUnderMustSignAdds) {
  KeyServer s(Signers(true));
  ASSERT_TRUE(s.ok()) << s.tree().Output();
  RunResult r = s.AddFile(Corpus("rsa.asc"));
  EXPECT_EQ(r.exitCode, 8) << r.output;
  EXPECT_TRUE(Has(r, "Requests to add certificates must be signed.")) << r.output;
  r = SendRequestFile(s, Corpus("add-signed-by-rsa.req"));
  EXPECT_EQ(r.exitCode, 50) << r.output;
  EXPECT_TRUE(Has(r, "Request not signed by an authorized signer.")) << r.output;
  EXPECT_EQ(Traces(s, "rsa"), 0u);
  r = SendRequestFile(s, Corpus("add-twice-header.req"));
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_TRUE(Has(r, "Invalid kryRequest block format.")) << r.output;
  r = SendRequestFile(s, Corpus("add-signed-by-trusted.req"));
  EXPECT_EQ(r.exitCode, 0) << r.output << s.tree().Output();
  EXPECT_EQ(s.KeyBlocks(ShortIDOf("rsa")).size(), 1u);
}

// Lines beginning with a dash, escaped as clear-signing writes them.
std::string DashEscaped(const std::string& text) {
  std::string out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out += (line.rfind("-", 0) == 0 ? "- " : "") + line + "\n";
  return out;
}

// A made-up request in front of a genuine signed block, behind a header
// line that only the request parser used to take for the armour header.
TEST_F(Requests, ForgedRequestCannotBorrowAGenuineSignature) {
  KeyServer s(Signers(true));
  ASSERT_TRUE(s.ok()) << s.tree().Output();
  ASSERT_EQ(SendRequestFile(s, Corpus("add-signed-by-trusted.req")).exitCode, 0);
  const std::string header = "-----BEGIN PGP SIGNED MESSAGE-----\v\nHash: SHA512\n\n";
  const std::string genuine = ReadFile(Corpus("disable-dsa-by-trusted.req"));
  RunResult r = SendRequest(s, header + "REQUEST: DELETE\n\n0x" + CertIDOf("rsa") + "\n\n" + genuine);
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_EQ(Traces(s, "rsa"), 2u);
  r = SendRequest(s, header + "REQUEST: ADD\n\n" + DashEscaped(ReadFile(Corpus("dsa-elg.asc"))) + "\n" + genuine);
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_TRUE(s.KeyBlocks(ShortIDOf("dsa-elg")).empty());
}

TEST_F(Requests, SignedAddByOutsiderWithoutMustSignAdds) {
  KeyServer s(Signers(false));
  ASSERT_TRUE(s.ok()) << s.tree().Output();
  RunResult r = SendRequestFile(s, Corpus("add-signed-by-rsa.req"));
  EXPECT_EQ(r.exitCode, 48) << r.output;
  EXPECT_EQ(Traces(s, "rsa"), 0u);
  // An unsigned request block is refused on a plain connection.
  r = SendRequest(s, ReadFile(Corpus("add-unsigned-tls.req")));
  EXPECT_EQ(r.exitCode, 2) << r.output;
}

TEST_F(Requests, DeleteRemovesTheKeyAndItsUserIDs) {
  KeyServer s(Signers(false) + "AcceptModernKeys yes\n");
  ASSERT_TRUE(s.ok()) << s.tree().Output();
  ASSERT_EQ(s.AddFile(Corpus("rsa.asc")).exitCode, 0);
  ASSERT_EQ(s.AddFile(Corpus("ed25519.asc")).exitCode, 0);
  RunResult r = SendRequestFile(s, Corpus("tampered-delete.req"));
  EXPECT_EQ(r.exitCode, 8) << r.output;
  EXPECT_EQ(Traces(s, "rsa"), 2u);
  // Without the self rule the key's own signature is not enough.
  r = SendRequestFile(s, Corpus("delete-rsa-by-self.req"));
  EXPECT_EQ(r.exitCode, 8) << r.output;
  r = SendRequestFile(s, Corpus("delete-rsa-by-trusted.req"));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Traces(s, "rsa"), 0u);
  EXPECT_EQ(Found(s, kActiveOU, "(kryCertID=*)") , Found(s, kActiveOU, "(kryCertID=" + CertIDOf("ed25519") + ")"));
  // The second time nothing is left to delete.
  r = SendRequestFile(s, Corpus("delete-two-by-trusted.req"));
  EXPECT_EQ(r.exitCode, 32) << r.output;
  EXPECT_TRUE(Has(r, "Keys not deleted: 0x" + CertIDOf("rsa"))) << r.output;
  EXPECT_EQ(Traces(s, "ed25519"), 0u);
}

TEST_F(Requests, AccessLogNamesSignerAndKeys) {
  TempDir dir;
  const std::string log = dir.File("access.log");
  KeyServer s(Signers(false) + "AccessLogFile " + log + "\n");
  ASSERT_TRUE(s.ok()) << s.tree().Output();
  ASSERT_EQ(s.AddFile(Corpus("rsa.asc")).exitCode, 0);
  ASSERT_EQ(SendRequestFile(s, Corpus("delete-rsa-by-trusted.req")).exitCode, 0);
  ASSERT_EQ(SendRequestFile(s, Corpus("delete-rsa-by-trusted.req")).exitCode, 32);
  std::ifstream in(log);
  std::vector<std::string> dlt;
  for (std::string line; std::getline(in, line);)
    if (line.find("DLT") != std::string::npos) dlt.push_back(line);
  ASSERT_EQ(dlt.size(), 2u);
  const std::string signer = "0x" + CertIDOf("trusted-signer");
  EXPECT_NE(dlt[0].find("\"0x" + CertIDOf("rsa") + "\" " + signer), std::string::npos) << dlt[0];
  // Keys are listed only when every key was handled.
  EXPECT_NE(dlt[1].find("- " + signer), std::string::npos) << dlt[1];
}

TEST_F(Requests, DeleteNeedsTheDeleteLevel) {
  KeyServer s(Signers(false));
  ASSERT_TRUE(s.ok()) << s.tree().Output();
  ASSERT_EQ(s.AddFile(Corpus("rsa.asc")).exitCode, 0);
  // Only the default level ("add") from here on.
  ASSERT_EQ(s.Stop(), 0);
  s.tree().WriteConfig(Signers(false));
  ASSERT_TRUE(s.tree().Start()) << s.tree().Output();
  RunResult r = SendRequestFile(s, Corpus("delete-rsa-by-trusted.req"));
  EXPECT_EQ(r.exitCode, 50) << r.output;
  EXPECT_EQ(Traces(s, "rsa"), 2u);
}

TEST_F(Requests, SelfServiceDelete) {
  KeyServer s("Allow keyid self delete\n");
  ASSERT_TRUE(s.ok()) << s.tree().Output();
  ASSERT_EQ(s.AddFile(Corpus("rsa.asc")).exitCode, 0);
  RunResult r = SendRequestFile(s, Corpus("delete-rsa-by-trusted.req"));
  EXPECT_EQ(r.exitCode, 8) << r.output;
  r = SendRequestFile(s, Corpus("delete-rsa-by-self.req"));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Traces(s, "rsa"), 0u);
}

TEST_F(Requests, DisableMarksEveryEntryAndBlocksAdds) {
  KeyServer s(Signers(false));
  ASSERT_TRUE(s.ok()) << s.tree().Output();
  ASSERT_EQ(s.AddFile(Corpus("dsa-elg.asc")).exitCode, 0);
  RunResult r = SendRequestFile(s, Corpus("disable-dsa-by-trusted.req"));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  std::vector<LdifEntry> all = s.Search(kActiveOU, "(kryCertID=" + CertIDOf("dsa-elg") + ")", {"kryDisabled"});
  ASSERT_GE(all.size(), 1u);  // the user-ID entries
  std::vector<LdifEntry> cert = s.Search("KRYCERTID=" + CertIDOf("dsa-elg") + "," + kActiveOU,
                                         "(objectclass=kryCertificate)", {"kryDisabled"});
  ASSERT_EQ(cert.size(), 1u);
  all.push_back(cert[0]);
  for (const LdifEntry& e : all) EXPECT_EQ(e.First("krydisabled"), "1") << e.dn;
  r = s.AddFile(Corpus("dsa-elg.asc"));
  EXPECT_EQ(r.exitCode, 52) << r.output;
  EXPECT_TRUE(Has(r, "Certificate is disabled.")) << r.output;
  r = SendRequestFile(s, Corpus("disable-dsa-by-trusted.req"));
  EXPECT_EQ(r.exitCode, 32) << r.output;
  EXPECT_TRUE(Has(r, "Keys not disabled: 0x" + CertIDOf("dsa-elg"))) << r.output;
}

}  // namespace
}  // namespace krytest
