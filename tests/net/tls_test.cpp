// The network library's TLS: certificates made from OpenPGP keys, the
// certificate-to-key mapping, and server sessions over a socket pair driven
// by an OpenSSL client.
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/net/krytls.h"
#include "support/harness.h"
#include "support/tlsclient.h"
#include "tests/support/corpus_files.h"
#include "tests/support/corpus_ids.h"

namespace {

using krytest::CorpusDir;
using krytest::TLSClient;

struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};
struct PKeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using CertPtr = std::unique_ptr<X509, X509Free>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, PKeyFree>;

class TlsLib : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, KRYsdkInit(0));
    ASSERT_EQ(0, KRYsdkNetworkLibInit(0));
    ASSERT_EQ(0, KRYNewContext(kKRYsdkAPIVersion, &ctx));
  }
  void TearDown() override {
    for (auto& s : sets) KRYFreeKeySet(s);
    KRYFreeContext(ctx);
    KRYsdkNetworkLibCleanup();
    KRYsdkCleanup();
  }
  // The first key of a corpus file (kept for the test's length).
  KRYKeyRef Key(const std::string& name) {
    KRYImportOptions o{};
    std::string path = corpus::Path(name);
    o.inputFile = path.c_str();
    KRYKeySetRef set = nullptr;
    EXPECT_EQ(0, KRYImportKeySet(ctx, &o, &set)) << name;
    if (!set) return nullptr;
    sets.push_back(set);
    KRYKeyListRef list = nullptr;
    KRYKeyIterRef iter = nullptr;
    KRYKeyRef key = nullptr;
    KRYOrderKeySet(set, kKRYKeyOrdering_Any, &list);
    KRYNewKeyIter(list, &iter);
    KRYKeyIterNext(iter, &key);
    KRYFreeKeyIter(iter);
    KRYFreeKeyList(list);
    return key;
  }
  CertPtr Cert(KRYKeyRef key, PKeyPtr* pkey = nullptr, const char* passphrase = "") {
    X509* cert = nullptr;
    EVP_PKEY* pk = nullptr;
    EXPECT_EQ(0, KRYtlsMakeKeyCertificate(key, passphrase, &cert, &pk));
    if (pkey) pkey->reset(pk);
    else EVP_PKEY_free(pk);
    return CertPtr(cert);
  }
  KRYContextRef ctx = nullptr;
  std::vector<KRYKeySetRef> sets;
};

std::string SubjectCN(X509* cert) {
  char buf[128] = "";
  X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, buf, sizeof buf);
  return buf;
}

std::string DER(X509* cert) {
  unsigned char* out = nullptr;
  int n = i2d_X509(cert, &out);
  std::string s(reinterpret_cast<char*>(out), n > 0 ? n : 0);
  OPENSSL_free(out);
  return s;
}

// A certificate with the given subject names, self-signed by `pkey`.
CertPtr Forged(EVP_PKEY* pkey, const std::vector<std::string>& commonNames) {
  CertPtr c(X509_new());
  X509_set_version(c.get(), X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(c.get()), 7);
  X509_gmtime_adj(X509_getm_notBefore(c.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(c.get()), 3600);
  X509_NAME* name = X509_get_subject_name(c.get());
  for (const auto& cn : commonNames)
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn.c_str()), -1,
                               -1, 0);
  X509_set_issuer_name(c.get(), name);
  X509_set_pubkey(c.get(), pkey);
  X509_sign(c.get(), pkey, EVP_PKEY_is_a(pkey, "ED25519") ? nullptr : EVP_sha256());
  return c;
}

// "0x" and the key ID of a corpus key, as certificate subjects name it.
std::string KeyID(const std::string& name) { return "0x" + corpus::KeyId(name); }

// Look-up over a fixed table of key-ID text -> key.
struct Table {
  std::map<std::string, KRYKeyRef> keys;
  int calls = 0;
};
KRYError TableLookup(const KRYKeyID* id, void* data, KRYKeyRef* out) {
  auto* t = static_cast<Table*>(data);
  ++t->calls;
  char text[24];
  KRYGetKeyIDString(id, id->bytes[0] == 4 ? kKRYKeyIDString_Abbreviated : kKRYKeyIDString_Full, text, sizeof text);
  for (auto& k : t->keys) {
    if (k.first == text || k.first.substr(k.first.size() - 8) == std::string(text).substr(2)) {
      *out = k.second;
      return 0;
    }
  }
  return kKRYError_ItemNotFound;
}

TEST_F(TlsLib, CertificateNamesTheKeyAndCarriesItsFingerprint) {
  for (auto [file, id, fpr] : {std::tuple<const char*, std::string, std::string>{
                                   "rsa-secret.asc", KeyID("rsa"), corpus::Fingerprint("rsa")},
                               {"ed25519-secret.asc", KeyID("ed25519"), corpus::Fingerprint("ed25519")}}) {
    SCOPED_TRACE(file);
    PKeyPtr pkey;
    CertPtr cert = Cert(Key(file), &pkey);
    ASSERT_TRUE(cert);
    EXPECT_EQ(SubjectCN(cert.get()), id);
    EXPECT_EQ(X509_verify(cert.get(), pkey.get()), 1);
    EXPECT_EQ(X509_check_private_key(cert.get(), pkey.get()), 1);
    GENERAL_NAMES* names =
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert.get(), NID_subject_alt_name, nullptr, nullptr));
    ASSERT_NE(names, nullptr);
    ASSERT_EQ(sk_GENERAL_NAME_num(names), 1);
    GENERAL_NAME* n = sk_GENERAL_NAME_value(names, 0);
    ASSERT_EQ(n->type, GEN_URI);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(n->d.uniformResourceIdentifier))),
              std::string("openpgp4fpr:") + fpr);
    GENERAL_NAMES_free(names);
    // Made again, it is the same certificate (clients pin it).
    EXPECT_EQ(DER(cert.get()), DER(Cert(Key(file)).get()));
  }
}

TEST_F(TlsLib, CertificateNeedsAnUnlockableSigningKey) {
  X509* cert = nullptr;
  EVP_PKEY* pkey = nullptr;
  EXPECT_EQ(kKRYError_NoPrivateKey, KRYtlsMakeKeyCertificate(Key("rsa.asc"), "", &cert, &pkey));
  KRYKeyRef prot = Key("server-secring-protected.skr");
  EXPECT_EQ(kKRYError_BadPassphrase, KRYtlsMakeKeyCertificate(prot, "wrong", &cert, &pkey));
  EXPECT_EQ(cert, nullptr);
  EXPECT_EQ(0, KRYtlsMakeKeyCertificate(prot, "server secret", &cert, &pkey));
  X509_free(cert);
  EVP_PKEY_free(pkey);
}

TEST_F(TlsLib, SubjectMustNameExactlyOneKeyID) {
  PKeyPtr pkey;
  Cert(Key("rsa-secret.asc"), &pkey);
  KRYKeyID id;
  EXPECT_EQ(0, KRYtlsCertificateKeyID(Forged(pkey.get(), {"0x9b17f4ff83984697"}).get(), &id));
  EXPECT_EQ(id.bytes[0], 8);
  EXPECT_EQ(0, KRYtlsCertificateKeyID(Forged(pkey.get(), {"0x83984697"}).get(), &id));
  EXPECT_EQ(id.bytes[0], 4);
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{}, {"9B17F4FF83984697"}, {"0x9B17F4FF83984697 "}, {"0x9B17F4FF8398469"},
        {"0x9B17F4FF8398469G"}, {"0x9B17F4FF83984697", "0xDD3EF9FFECFED210"}, {"alice@example.org"}}) {
    std::string joined;
    for (auto& b : bad) joined += "[" + b + "]";
    EXPECT_EQ(kKRYError_ItemNotFound, KRYtlsCertificateKeyID(Forged(pkey.get(), bad).get(), &id)) << joined;
  }
}

TEST_F(TlsLib, CertificateCountsOnlyWithTheNamedKeysOwnMaterial) {
  PKeyPtr rsaKey, edKey;
  CertPtr rsaCert = Cert(Key("rsa-secret.asc"), &rsaKey);
  CertPtr edCert = Cert(Key("ed25519-secret.asc"), &edKey);
  Table table;
  table.keys[KeyID("rsa")] = Key("rsa.asc");
  table.keys[KeyID("ed25519")] = Key("ed25519.asc");
  KRYKeyRef found = nullptr;
  EXPECT_EQ(0, KRYtlsCertificateToKey(rsaCert.get(), TableLookup, &table, &found));
  EXPECT_EQ(found, table.keys[KeyID("rsa")]);
  // By the short ID too.
  EXPECT_EQ(0, KRYtlsCertificateToKey(Forged(edKey.get(), {"0x" + corpus::ShortId("ed25519")}).get(), TableLookup,
                                      &table, &found));
  EXPECT_EQ(found, table.keys[KeyID("ed25519")]);
  // The RSA key's name on the Ed25519 key's material, and the other way.
  EXPECT_EQ(kKRYError_ItemNotFound,
            KRYtlsCertificateToKey(Forged(edKey.get(), {KeyID("rsa")}).get(), TableLookup, &table, &found));
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(kKRYError_ItemNotFound,
            KRYtlsCertificateToKey(Forged(rsaKey.get(), {KeyID("ed25519")}).get(), TableLookup, &table, &found));
  // An unknown key, and a subject without a key ID (no look-up at all).
  table.keys.erase(KeyID("rsa"));
  EXPECT_EQ(kKRYError_ItemNotFound, KRYtlsCertificateToKey(rsaCert.get(), TableLookup, &table, &found));
  int calls = table.calls;
  EXPECT_EQ(kKRYError_ItemNotFound,
            KRYtlsCertificateToKey(Forged(rsaKey.get(), {"rsa"}).get(), TableLookup, &table, &found));
  EXPECT_EQ(table.calls, calls);
}

// ---------------------------------------------------------------- sessions
struct Pair {
  int server = -1, client = -1;
  Pair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
      server = fds[0];
      client = fds[1];
    }
  }
  ~Pair() {
    if (server >= 0) close(server);
  }
};

class TlsSession : public TlsLib {
 protected:
  void SetUp() override {
    TlsLib::SetUp();
    serverKey = Key("server-secring.skr");
    // Without it the handshakes fail and a test would leave its client
    // thread unjoined.
    ASSERT_NE(serverKey, nullptr);
    ASSERT_EQ(0, KRYNewTLSContext(ctx, &tctx));
    ASSERT_EQ(0, KRYNewTLSSession(tctx, &session));
  }
  void TearDown() override {
    KRYFreeTLSSession(session);
    KRYFreeTLSContext(tctx);
    TlsLib::TearDown();
  }
  // Options, key and look-up; then the handshake against `client`.
  KRYError Serve(int fd, long timeoutMs = 5000) {
    KRYtlsProtocolOptions o{kKRYtlsFlags_ServerSide | kKRYtlsFlags_RequestRemoteAuth, timeoutMs};
    EXPECT_EQ(0, KRYtlsSetProtocolOptions(session, &o));
    KRYtlsKeyOptions k{""};
    EXPECT_EQ(0, KRYtlsSetLocalPrivateKey(session, serverKey, nullptr, nullptr, &k));
    KRYtlsSetRemoteKeyLookup(session, TableLookup, &table);
    return KRYSocketsEstablishTLSSession(fd, session);
  }
  KRYKeyRef serverKey = nullptr;
  KRYtlsContextRef tctx = nullptr;
  KRYtlsSessionRef session = nullptr;
  Table table;
};

TEST_F(TlsSession, SendAndReceiveGoThroughTheSessionUntilClosed) {
  Pair p;
  TLSClient client;
  std::thread t([&] { EXPECT_TRUE(client.Handshake(p.client)); });
  ASSERT_EQ(0, Serve(p.server));
  t.join();
  KRYKeyRef peer = reinterpret_cast<KRYKeyRef>(1);
  EXPECT_EQ(0, KRYtlsGetRemoteAuthenticatedKey(session, &peer, nullptr));
  EXPECT_EQ(peer, nullptr);
  int suite = 0;
  EXPECT_EQ(0, KRYtlsGetNegotiatedCipherSuite(session, &suite));
  EXPECT_EQ(suite >> 8, 0x13) << "a TLS 1.3 suite";

  // Plain bytes on the socket are TLS records; KRYSend encrypts.
  ASSERT_EQ(KRYSend(p.server, "\x30\x03\x02\x01\x07", 5, 0), 5);
  std::string m;
  ASSERT_TRUE(client.ReadMessage(&m));
  EXPECT_EQ(m, std::string("\x30\x03\x02\x01\x07", 5));
  // Two messages in one record: the second is pending after a short read.
  ASSERT_TRUE(client.Send(std::string("\x30\x01\x05\x30\x01\x06", 6)));
  char buf[3];
  ASSERT_EQ(KRYReceive(p.server, buf, 3, 0), 3);
  EXPECT_EQ(KRYtlsPendingBytes(session), 3u);
  ASSERT_EQ(KRYReceive(p.server, buf, 3, 0), 3);
  EXPECT_EQ(std::string(buf, 3), std::string("\x30\x01\x06", 3));

  EXPECT_EQ(0, KRYtlsClose(session, 1));
  EXPECT_TRUE(client.WaitClosed(2000)) << "close_notify";
  // The socket no longer carries the session: plain bytes again.
  EXPECT_EQ(KRYSend(p.server, "x", 1, 0), 1);
}

TEST_F(TlsSession, ClientCertificateMapsToTheKnownKey) {
  const std::string dir = ::testing::TempDir();
  PKeyPtr pkey;
  CertPtr cert = Cert(Key("ed25519-secret.asc"), &pkey);
  std::string certFile = dir + "/ed.crt", keyFile = dir + "/ed.key";
  std::FILE* f = std::fopen(certFile.c_str(), "w");
  PEM_write_X509(f, cert.get());
  std::fclose(f);
  f = std::fopen(keyFile.c_str(), "w");
  PEM_write_PrivateKey(f, pkey.get(), nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
  table.keys[KeyID("ed25519")] = Key("ed25519.asc");

  Pair p;
  TLSClient client;
  client.Configure(certFile, keyFile);
  std::thread t([&] { EXPECT_TRUE(client.Handshake(p.client)); });
  ASSERT_EQ(0, Serve(p.server));
  t.join();
  KRYKeyRef peer = nullptr;
  EXPECT_EQ(0, KRYtlsGetRemoteAuthenticatedKey(session, &peer, nullptr));
  EXPECT_EQ(peer, table.keys[KeyID("ed25519")]);
  std::remove(certFile.c_str());
  std::remove(keyFile.c_str());
}

TEST_F(TlsSession, BrokenHandshakesFailWithinTheirTimeOut) {
  {
    Pair p;
    ASSERT_EQ(write(p.client, "GET / HTTP/1.0\r\n\r\n", 18), 18);
    EXPECT_EQ(kKRYNetError_TLSHandshakeFailed, Serve(p.server));
    close(p.client);
  }
  KRYFreeTLSSession(session);
  ASSERT_EQ(0, KRYNewTLSSession(tctx, &session));
  {
    // Half a ClientHello, then silence.
    Pair p;
    ASSERT_EQ(write(p.client, "\x16\x03\x01\x02\x00\x01", 6), 6);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kKRYNetError_TLSHandshakeFailed, Serve(p.server, 300));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(KRYSocketsErrorText(kKRYNetError_TLSHandshakeFailed).find("stopped in the handshake"),
              std::string::npos);
    // A failed session never carries the socket.
    KRYKeyRef peer = nullptr;
    EXPECT_EQ(kKRYNetError_TLSNotReady, KRYtlsGetRemoteAuthenticatedKey(session, &peer, nullptr));
    EXPECT_EQ(KRYSend(p.server, "x", 1, 0), 1);
    close(p.client);
  }
}

TEST_F(TlsSession, CallsOutOfOrderAreRefused) {
  Pair p;
  // No key yet.
  KRYtlsProtocolOptions o{kKRYtlsFlags_ServerSide, 0};
  ASSERT_EQ(0, KRYtlsSetProtocolOptions(session, &o));
  EXPECT_EQ(kKRYNetError_TLSNotReady, KRYSocketsEstablishTLSSession(p.server, session));
  // Client role is not offered; the context outlives its sessions.
  KRYtlsProtocolOptions client{0, 0};
  EXPECT_EQ(kKRYError_BadParams, KRYtlsSetProtocolOptions(session, &client));
  EXPECT_EQ(kKRYError_BadParams, KRYFreeTLSContext(tctx));
  // A key prepared with one passphrase is not presented with another.
  KRYKeyRef prot = Key("server-secring-protected.skr");
  KRYtlsKeyOptions right{"server secret"}, wrong{"guess"};
  EXPECT_EQ(0, KRYtlsPrepareLocalKey(prot, &right));
  EXPECT_EQ(kKRYNetError_TLSBadPassphrase, KRYtlsSetLocalPrivateKey(session, prot, nullptr, nullptr, &wrong));
  EXPECT_EQ(0, KRYtlsSetLocalPrivateKey(session, prot, nullptr, nullptr, &right));
  close(p.client);
}

}  // namespace
