// What a client's TLS key may do: group updates, unsigned request blocks,
// and deletes or disables authorised by the key instead of a signature.
// The handshake is not run here; the connection is given a session marker
// and a client key directly, as the secure port leaves them.
#include <gtest/gtest.h>

#include <cctype>

#include "cert/tlsclient.h"
#include "ldap/dispatch.h"
#include "cert_test_util.h"

namespace kry {
namespace test {
namespace {

const char kVirtual[] = "kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US";
const char kGroup[] = "ou=default,O=KRY GROUPSPACE,C=US";
// Key IDs of the corpus keys the tests use.
std::string RsaID() { return corpus::KeyId("rsa"); }
std::string Ed25519ID() { return corpus::KeyId("ed25519"); }
std::string TrustedID() { return corpus::KeyId("trusted-signer"); }

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string AddReq(const std::string& dn, const std::string& type, const std::string& value) {
  BerBufferPtr b = ber_alloc_ptr(BER_OPTION_DER);
  std::vector<BerValue> values{BerValue(value)};
  ber_printf(b.get(), "t{s{{s[V]}}}", 0x68, dn.c_str(), type.c_str(), &values);
  return std::string(reinterpret_cast<const char*>(b->buffer()), b->current);
}

std::string Unsigned(const char* kind, const std::vector<std::string>& ids) {
  std::string text = std::string("REQUEST: ") + kind + "\n\n";
  for (const std::string& id : ids) text += "0x" + id + "\n";
  return text;
}

class TLSClient : public CertTest {
 protected:
  void SetUp() override {
    CertTest::SetUp();
    if (HasFatalFailure()) return;
    if (pgptest::CorpusDir().empty()) GTEST_SKIP() << "no corpus";
    // Trusted-signer may sign adds and deletes, as "Allow keyid" lines make it.
    conn_.c_keyContext.context = ctx_;
    conn_.c_keyContext.keySet2 = Import(CorpusText("trusted-signer.asc"));
    conn_.c_keyContext.keySet3 = Import(CorpusText("trusted-signer.asc"));
    conn_.c_keyContext.complete = true;
  }
  void TearDown() override {
    conn_.c_keyContext = KeyContextBlock();
    CertTest::TearDown();
  }
  // The client proved the key of corpus file `name` over TLS; an empty
  // name leaves the connection without TLS.
  void ClientKey(const std::string& name) {
    conn_.c_tlsSession = name.empty() ? nullptr : &marker_;
    conn_.c_clientKey = name.empty() ? nullptr : KeyOf(Import(CorpusText(name)));
  }
  Response Send(const std::string& dn, const std::string& type, const std::string& value) {
    NewOp(0x68, AddReq(dn, type, value));
    do_add(&conn_, op_.get());
    return Receive();
  }
  Response Request(const std::string& text) { return Send(kVirtual, "kryRequest", text); }
  bool Stored(const std::string& certID) {
    return static_cast<bool>(Lookup("kryCertID=" + certID + "," + std::string(kActive)));
  }
  void StoreRsa() {
    ClientKey("");
    ASSERT_EQ(Send(kVirtual, "kryKey", CorpusText("rsa.asc")).code, 0);
    ASSERT_TRUE(Stored(RsaID()));
  }

  int marker_ = 0;
};

TEST_F(TLSClient, GroupUpdateNeedsAnAllowedKey) {
  ClientKey("");
  Response r = Send(kGroup, "ou", "default");
  EXPECT_EQ(r.code, 50);
  EXPECT_EQ(r.text, "You do not have authority to perform this action.");
  EXPECT_NE(Events().find("Client requesting to update group was not authenticated."), std::string::npos);

  ClientKey("rsa.asc");
  EXPECT_EQ(Send(kGroup, "ou", "default").code, 50);
  EXPECT_NE(Events().find("The updating of groups has not been configured."), std::string::npos);

  g_globals->allowGroupUpdate = {TrustedID(), corpus::ShortId("rsa") + "X"};
  EXPECT_EQ(Send(kGroup, "ou", "default").code, 50);
  EXPECT_NE(Events().find("Insufficient access to update groups."), std::string::npos);

  // Full IDs compare without regard to case; a short ID never names a key
  // for group updates.
  g_globals->allowGroupUpdate = {corpus::ShortId("rsa")};
  EXPECT_EQ(Send(kGroup, "ou", "default").code, 50);
  g_globals->allowGroupUpdate = {TrustedID(), Lower(RsaID())};
  EXPECT_EQ(Send(kGroup, "ou", "default").code, 0);
  EXPECT_EQ(Send(kGroup, "ou", "second").code, 0);
  EXPECT_EQ(Values(kGroup, "ou").size(), 1u);  // replaced, not added to
}

TEST_F(TLSClient, UnsignedAddNeedsAnAddSignersKey) {
  g_globals->MustSignAdds = true;
  const std::string block = CorpusText("add-unsigned-tls.req");
  ClientKey("");
  Response r = Request(block);
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.text, "Invalid kryRequest block format.");

  ClientKey("ed25519.asc");
  r = Request(block);
  EXPECT_EQ(r.code, 50);
  EXPECT_EQ(r.text, "Request not signed by an authorized signer.");
  EXPECT_NE(Events().find(std::string("(0x") + Ed25519ID() + ")"), std::string::npos);
  EXPECT_FALSE(Stored(RsaID()));

  ClientKey("trusted-signer.asc");
  r = Request(block);
  EXPECT_EQ(r.code, 0) << r.text;
  EXPECT_TRUE(Stored(RsaID()));
  EXPECT_EQ(op_->o_logDetail.signerID, TrustedID());

  // A signed request from a client whose key signs nothing still counts
  // by its signature.
  ClientKey("ed25519.asc");
  r = Request(CorpusText("add-signed-by-trusted.req"));
  EXPECT_EQ(r.code, 68) << r.text;  // already stored, unchanged
}

TEST_F(TLSClient, DeleteByADeleteSignersKey) {
  StoreRsa();
  ClientKey("ed25519.asc");
  Response r = Request(Unsigned("DISABLE", {RsaID()}));
  EXPECT_EQ(r.code, 8);
  EXPECT_EQ(r.text, "Requests to disable/delete certificates must be signed.");

  ClientKey("trusted-signer.asc");
  r = Request(Unsigned("DISABLE", {RsaID()}));
  EXPECT_EQ(r.code, 0) << r.text;
  EXPECT_EQ(op_->o_logDetail.signerID, TrustedID());
  EXPECT_EQ(Values(std::string("kryCertID=") + RsaID() + "," + kActive, "kryDisabled"),
            std::vector<std::string>{"1"});
  r = Request(Unsigned("DELETE", {RsaID()}));
  EXPECT_EQ(r.code, 0) << r.text;
  EXPECT_FALSE(Stored(RsaID()));
}

TEST_F(TLSClient, SelfServiceDeleteByTheKeyItself) {
  StoreRsa();
  const std::string own = Unsigned("DELETE", {RsaID()});
  ClientKey("rsa.asc");
  EXPECT_EQ(Request(own).code, 8);  // self-service not allowed
  g_globals->selfDeleteAllowed = true;
  EXPECT_EQ(Request(Unsigned("DELETE", {RsaID(), Ed25519ID()})).code, 8);  // names more than its own key
  ClientKey("ed25519.asc");
  EXPECT_EQ(Request(own).code, 8);  // another key's certificate
  EXPECT_TRUE(Stored(RsaID()));
  ClientKey("rsa.asc");
  Response r = Request(own);
  EXPECT_EQ(r.code, 0) << r.text;
  EXPECT_FALSE(Stored(RsaID()));
}

TEST_F(TLSClient, SignedDeleteStillCountsWhateverKeyTheClientShows) {
  StoreRsa();
  ClientKey("ed25519.asc");
  EXPECT_EQ(Request(CorpusText("tampered-delete.req")).code, 8);
  Response r = Request(CorpusText("delete-rsa-by-trusted.req"));
  EXPECT_EQ(r.code, 0) << r.text;
  EXPECT_FALSE(Stored(RsaID()));
}

TEST(KeyIDAllowed, FullAndShortEntries) {
  const std::string id = "9B17F4FF83984697";
  EXPECT_TRUE(KeyIDAllowed({"9b17f4ff83984697"}, id));
  EXPECT_TRUE(KeyIDAllowed({"E195DB435B5AE33C", "83984697"}, id));
  EXPECT_FALSE(KeyIDAllowed({"9B17F4FF"}, id));  // the high half is not a short ID
  EXPECT_FALSE(KeyIDAllowed({"9B17F4FF8398469"}, id));
  EXPECT_FALSE(KeyIDAllowed({""}, id));
  EXPECT_FALSE(KeyIDAllowed({"83984697"}, ""));
  EXPECT_FALSE(KeyIDAllowed({"83984697"}, id, /*acceptShort=*/false));
  EXPECT_TRUE(KeyIDAllowed({"9B17F4FF83984697"}, id, /*acceptShort=*/false));
}

}  // namespace
}  // namespace test
}  // namespace kry
