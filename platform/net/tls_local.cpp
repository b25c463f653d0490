// The server side's TLS set-up per OpenPGP key: the key's certificate and
// private key in an SSL_CTX, made once per key and process and shared by
// every session that presents the key.
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/net/tls_internal.h"
#include "platform/net/tls_local.h"

namespace krytls_internal {

namespace {

struct LocalKey {
  SSL_CTX* ctx = nullptr;
  unsigned char passHash[32] = {};
};

std::mutex g_localLock;
std::map<std::string, LocalKey>* g_localKeys = nullptr;  // by fingerprint; guarded by g_localLock

void HashPassphrase(const char* passphrase, unsigned char out[32]) {
  const char* p = passphrase ? passphrase : "";
  unsigned int len = 32;
  EVP_Digest(p, std::strlen(p), out, &len, EVP_sha256(), nullptr);
}

// Accepts every client certificate: what it is worth is decided after the
// handshake, from the key it names (an unknown one leaves the client key
// null instead of failing the connection).
int AcceptAnyCertificate(int, X509_STORE_CTX*) { return 1; }

// A DSA key serves only TLS 1.2 with DSS-authenticated suites: offer those
// and nothing newer. False (with the reason) when the library's settings
// leave none of them.
bool LimitToDSASuites(SSL_CTX* ctx, EVP_PKEY* pkey) {
  if (!EVP_PKEY_is_a(pkey, "DSA")) return true;
  SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_security_level(ctx, 1);
  if (SSL_CTX_set_cipher_list(ctx, "DHE-DSS-AES256-GCM-SHA384:DHE-DSS-AES128-GCM-SHA256:DHE-DSS-AES256-SHA256:"
                                   "DHE-DSS-AES128-SHA256") == 1)
    return true;
  SetTLSDetail("DSA keys need TLS 1.2 DSS cipher suites, which the TLS library does not allow here");
  ERR_clear_error();
  return false;
}

KRYError BuildServerContext(X509* cert, EVP_PKEY* pkey, SSL_CTX** out) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) return kKRYError_OutOfMemory;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
  // No renegotiation (a client asking for it endlessly costs nothing), no
  // session tickets or cache (every connection authenticates its key anew),
  // and a connection that ends without close_notify simply ends: LDAP
  // messages carry their own lengths.
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET | SSL_OP_CIPHER_SERVER_PREFERENCE |
                               SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(ctx, 0);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_dh_auto(ctx, 1);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_CLIENT_ONCE, AcceptAnyCertificate);
  KRYError err = kKRYError_NoErr;
  if (!LimitToDSASuites(ctx, pkey)) {
    err = kKRYNetError_TLSUnsupportedKey;
  } else if (SSL_CTX_use_certificate(ctx, cert) != 1 || SSL_CTX_use_PrivateKey(ctx, pkey) != 1 ||
             SSL_CTX_check_private_key(ctx) != 1) {
    SetTLSDetailFromErrors(nullptr);
    err = kKRYNetError_TLSUnsupportedKey;
  }
  if (err != kKRYError_NoErr) {
    SSL_CTX_free(ctx);
    return err;
  }
  *out = ctx;
  return kKRYError_NoErr;
}

std::string FingerprintOf(KRYKeyRef key) {
  uint8_t fpr[32];
  size_t len = 0;
  if (KRYGetKeyPropertyBuffer(key, kKRYKeyProperty_Fingerprint, fpr, sizeof fpr, &len) != kKRYError_NoErr) return "";
  return Hex(fpr, len);
}

}  // namespace

KRYError LocalServerContext(KRYKeyRef key, const char* passphrase, SSL_CTX** out) {
  *out = nullptr;
  std::string fpr = FingerprintOf(key);
  if (fpr.empty()) return kKRYError_BadParams;
  unsigned char hash[32];
  HashPassphrase(passphrase, hash);
  std::lock_guard<std::mutex> lock(g_localLock);
  if (g_localKeys == nullptr) g_localKeys = new std::map<std::string, LocalKey>();
  auto it = g_localKeys->find(fpr);
  if (it != g_localKeys->end()) {
    if (CRYPTO_memcmp(it->second.passHash, hash, sizeof hash) != 0) return kKRYNetError_TLSBadPassphrase;
    SSL_CTX_up_ref(it->second.ctx);
    *out = it->second.ctx;
    return kKRYError_NoErr;
  }
  X509* cert = nullptr;
  EVP_PKEY* pkey = nullptr;
  KRYError err = KRYtlsMakeKeyCertificate(key, passphrase, &cert, &pkey);
  SSL_CTX* ctx = nullptr;
  if (err == kKRYError_NoErr) err = BuildServerContext(cert, pkey, &ctx);
  X509_free(cert);
  EVP_PKEY_free(pkey);
  if (err != kKRYError_NoErr) return err;
  LocalKey entry;
  entry.ctx = ctx;
  std::memcpy(entry.passHash, hash, sizeof hash);
  (*g_localKeys)[fpr] = entry;
  SSL_CTX_up_ref(ctx);
  *out = ctx;
  return kKRYError_NoErr;
}

void ReleaseLocalKeys() {
  std::lock_guard<std::mutex> lock(g_localLock);
  if (g_localKeys == nullptr) return;
  for (auto& entry : *g_localKeys) SSL_CTX_free(entry.second.ctx);
  delete g_localKeys;
  g_localKeys = nullptr;
}

}  // namespace krytls_internal

KRYError KRYtlsPrepareLocalKey(KRYKeyRef key, const KRYtlsKeyOptions* options) {
  if (key == nullptr) return kKRYError_BadParams;
  SSL_CTX* ctx = nullptr;
  KRYError err = krytls_internal::LocalServerContext(key, options ? options->passphrase : nullptr, &ctx);
  SSL_CTX_free(ctx);
  return err;
}
