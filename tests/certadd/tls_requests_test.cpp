// Requests over the secure port from OpenLDAP's tools presenting client
// certificates of OpenPGP keys: unsigned request blocks, self-service
// deletes and group updates authorised by the client's key.
#include <gtest/gtest.h>

#include <sstream>

#include "certadd_support.h"
#include "support/ldaps_tools.h"

namespace krytest {
namespace {

const char kVirtual[] = "kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US";
const char kGroup[] = "ou=default,O=KRY GROUPSPACE,C=US";

bool Has(const RunResult& r, const std::string& text) { return r.output.find(text) != std::string::npos; }

class TLSRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
    securePort_ = FreePort();
    server_ = std::make_unique<KeyServer>(
        "PublicKeyRing " + Corpus("server-pubring.pkr") + "\nPrivateKeyRing " + Corpus("server-secring.skr") +
            "\nServerSecureKeyID 0x" + CertIDOf("server") + "\nSecureMode Required\nMustSignAdds yes\n" +
            Signers(),
        std::vector<std::string>{"-t", std::to_string(securePort_)});
    ASSERT_TRUE(server_->ok()) << server_->tree().Output();
    for (const char* name : {"trusted-signer", "rsa", "ed25519"}) {
      certs_[name] = MakeClientCert(Corpus(std::string(name) + "-secret.asc"), dir_.path(), name);
      ASSERT_TRUE(certs_[name].ok()) << name;
    }
  }

  virtual std::string Signers() const {
    const std::string t = "0x" + CertIDOf("trusted-signer");
    return "Allow keyid " + t + " add\nAllow keyid " + t + " delete\nAllow keyid self delete\n" + "Allow keyid " +
           t + " GroupUpdate\n";
  }
  // ldapadd over ldaps of `ldif`, presenting the certificate of `who`
  // (none when empty).
  RunResult Secure(const std::string& who, const std::string& ldif) {
    return RunLdapsTool(securePort_, who.empty() ? ClientCert() : certs_[who], "ldapadd", {}, ldif,
                        dir_.File("input.ldif"));
  }
  static std::string RequestLdif(const std::string& path) {
    return std::string("dn: ") + kVirtual + "\nkryRequest:< file://" + path + "\n";
  }
  std::string RequestText(const std::string& text) {
    const std::string file = dir_.File("request.txt");
    WriteFile(file, text);
    return RequestLdif(file);
  }
  size_t Stored(const std::string& name) {
    return server_->Search(kActiveOU, "(kryCertID=" + CertIDOf(name) + ")", {"kryCertID"}).size();
  }

  TempDir dir_;
  int securePort_ = 0;
  std::unique_ptr<KeyServer> server_;
  std::map<std::string, ClientCert> certs_;
};

// Blocklist changes (as a primary's krycertrepl forwards them) are carried
// out only over TLS from a key allowed to delete.
TEST_F(TLSRequests, BlockRequestsNeedTLSAndADeleteSignersKey) {
  const std::string list = server_->tree().data + "/blocklist";
  const std::string block = RequestText("REQUEST: BLOCK\n\n" + FingerprintOf("ed25519") + "\n");
  RunResult r = server_->AddLdif(block);
  EXPECT_EQ(r.exitCode, 50) << r.output;
  r = Secure("rsa", block);  // self-service deletion is no authority over the list
  EXPECT_EQ(r.exitCode, 50) << r.output;
  EXPECT_EQ(ReadFile(list).find(FingerprintOf("ed25519")), std::string::npos);
  r = Secure("trusted-signer", block);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(ReadFile(list).find(FingerprintOf("ed25519")), std::string::npos);
  r = Secure("trusted-signer", RequestText("REQUEST: UNBLOCK\n\n" + FingerprintOf("ed25519") + "\n"));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(ReadFile(list).find(FingerprintOf("ed25519")), std::string::npos);
}

TEST_F(TLSRequests, UnsignedAddNeedsTLSAndAnAddSignersKey) {
  const std::string ldif = RequestLdif(Corpus("add-unsigned-tls.req"));
  RunResult r = server_->AddLdif(ldif);  // plain port: the signature wrapper is required
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_TRUE(Has(r, "Invalid kryRequest block format.")) << r.output;
  r = Secure("", ldif);
  EXPECT_EQ(r.exitCode, 50) << r.output;
  r = Secure("rsa", ldif);
  EXPECT_EQ(r.exitCode, 50) << r.output;
  EXPECT_TRUE(Has(r, "Request not signed by an authorized signer.")) << r.output;
  EXPECT_EQ(Stored("rsa"), 0u);
  // A certificate that names the add signer's key ID over another public
  // key proves nothing: the client has no key and no key-based authority.
  certs_["forged"] = ClientCert{dir_.File("forged.crt"), dir_.File("forged.key")};
  ASSERT_EQ(RunShell("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=0x" + CertIDOf("trusted-signer") +
                     " -keyout " + ShellQuote(certs_["forged"].key) + " -out " + ShellQuote(certs_["forged"].cert) +
                     " 2>&1")
                .exitCode,
            0);
  r = Secure("forged", ldif);
  EXPECT_EQ(r.exitCode, 50) << r.output;
  EXPECT_EQ(Stored("rsa"), 0u);
  r = Secure("trusted-signer", ldif);
  EXPECT_EQ(r.exitCode, 0) << r.output << server_->tree().Events();
  EXPECT_EQ(Stored("rsa"), 1u);
}

TEST_F(TLSRequests, SelfServiceDeleteWithTheKeysOwnCertificate) {
  ASSERT_EQ(Secure("trusted-signer", RequestLdif(Corpus("add-unsigned-tls.req"))).exitCode, 0);
  const std::string own = RequestText("REQUEST: DELETE\n\n0x" + CertIDOf("rsa") + "\n");
  RunResult r = Secure("ed25519", own);
  EXPECT_EQ(r.exitCode, 8) << r.output;
  EXPECT_TRUE(Has(r, "Requests to disable/delete certificates must be signed.")) << r.output;
  r = server_->AddLdif(own);  // the unsigned block is not taken on the plain port
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_EQ(Stored("rsa"), 1u);
  r = Secure("rsa", own);
  EXPECT_EQ(r.exitCode, 0) << r.output << server_->tree().Events();
  EXPECT_EQ(Stored("rsa"), 0u);
}

TEST_F(TLSRequests, GroupUpdateByAnAllowedKeyOnly) {
  const std::string ldif = std::string("dn: ") + kGroup + "\nobjectClass: organizationalUnit\nou: default\n";
  RunResult r = server_->AddLdif(ldif);
  EXPECT_EQ(r.exitCode, 50) << r.output;
  EXPECT_TRUE(Has(r, "You do not have authority to perform this action.")) << r.output;
  // The rsa key, once in the directory, is known but not a group updater.
  ASSERT_EQ(server_->AddLdif(RequestLdif(Corpus("add-signed-by-trusted.req"))).exitCode, 0);
  r = Secure("rsa", ldif);
  EXPECT_EQ(r.exitCode, 50) << r.output;
  r = Secure("trusted-signer", ldif);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  const std::string events = server_->tree().Events();
  EXPECT_TRUE(Has({0, events}, "Client requesting to update group was not authenticated.")) << events;
  EXPECT_TRUE(Has({0, events}, "Insufficient access to update groups.")) << events;
}

// A revoked or disabled key authorises nothing: not as the client's TLS
// key, not as the signer of its own deletion (which would let its owner
// undo the disable, or re-add the copy from before the revocation).
TEST_F(TLSRequests, DisabledKeyAuthorisesNothing) {
  ASSERT_EQ(Secure("trusted-signer", RequestLdif(Corpus("add-unsigned-tls.req"))).exitCode, 0);
  ASSERT_EQ(Secure("trusted-signer", RequestText("REQUEST: DISABLE\n\n0x" + CertIDOf("rsa") + "\n")).exitCode, 0);
  const std::string own = RequestText("REQUEST: DELETE\n\n0x" + CertIDOf("rsa") + "\n");
  RunResult r = Secure("rsa", own);
  EXPECT_EQ(r.exitCode, 8) << r.output;
  EXPECT_EQ(server_->AddLdif(RequestLdif(Corpus("delete-rsa-by-self.req"))).exitCode, 8);
  EXPECT_EQ(Stored("rsa"), 1u);
  // A delete signer still removes it.
  r = Secure("trusted-signer", own);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Stored("rsa"), 0u);
}

TEST_F(TLSRequests, RevokedKeyAuthorisesNothing) {
  Gpg gpg;
  ASSERT_TRUE(gpg.Import(ReadFile(Corpus("rsa-secret.asc"))));
  RunResult rev = gpg.Run("--pinentry-mode loopback --passphrase '' --command-fd 0 --edit-key 0x" + CertIDOf("rsa"),
                          "revkey\ny\n0\n\ny\nsave\n");
  ASSERT_EQ(rev.exitCode, 0) << rev.output;
  std::string revoked = "REQUEST: ADD\n\n";
  std::istringstream in(gpg.Export("0x" + CertIDOf("rsa")));
  for (std::string line; std::getline(in, line);) revoked += (line.rfind("-", 0) == 0 ? "- " : "") + line + "\n";
  ASSERT_EQ(Secure("trusted-signer", RequestText(revoked)).exitCode, 0);
  RunResult r = Secure("rsa", RequestText("REQUEST: DELETE\n\n0x" + CertIDOf("rsa") + "\n"));
  EXPECT_EQ(r.exitCode, 8) << r.output;
  EXPECT_EQ(server_->AddLdif(RequestLdif(Corpus("delete-rsa-by-self.req"))).exitCode, 8);
  EXPECT_EQ(Stored("rsa"), 1u);
  // The copy from before the revocation merges into the revoked one.
  r = Secure("trusted-signer", RequestLdif(Corpus("add-unsigned-tls.req")));
  EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 68) << r.output;
  for (const LdifEntry& e : server_->Search(kActiveOU, "(kryCertID=" + CertIDOf("rsa") + ")", {"kryRevoked"}))
    EXPECT_EQ(e.First("kryrevoked"), "1") << e.dn;
}

// Delete authority is its own: an add signer's TLS key deletes nothing.
class AddOnlyTLS : public TLSRequests {
 protected:
  std::string Signers() const override {
    return "Allow keyid 0x" + CertIDOf("trusted-signer") + " add\nAllow keyid 0x" + CertIDOf("second-signer") +
           " delete\n";
  }
};

TEST_F(AddOnlyTLS, AddSignersKeyCannotDelete) {
  ASSERT_EQ(Secure("trusted-signer", RequestLdif(Corpus("add-unsigned-tls.req"))).exitCode, 0);
  RunResult r = Secure("trusted-signer", RequestText("REQUEST: DELETE\n\n0x" + CertIDOf("rsa") + "\n"));
  EXPECT_EQ(r.exitCode, 8) << r.output;
  EXPECT_EQ(Stored("rsa"), 1u);
}

}  // namespace
}  // namespace krytest
