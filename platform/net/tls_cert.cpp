// The self-signed X.509 certificate that stands for an OpenPGP key in TLS.
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <string>

#include "platform/net/krytls.h"
#include "platform/net/tls_internal.h"

namespace {

using krytls_internal::Hex;

struct X509Deleter {
  void operator()(X509* p) const { X509_free(p); }
};
struct PKeyDeleter {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct ExtDeleter {
  void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
};

bool AddExtension(X509* cert, int nid, const std::string& value) {
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, ExtDeleter> ext(X509V3_EXT_conf_nid(nullptr, &v3, nid, value.c_str()));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

// The digest of the self-signature: none for Ed25519 (it hashes itself),
// SHA-384/512 for the larger curves, SHA-256 otherwise.
const EVP_MD* SignatureDigest(EVP_PKEY* pkey) {
  if (EVP_PKEY_is_a(pkey, "ED25519") || EVP_PKEY_is_a(pkey, "ED448")) return nullptr;
  if (EVP_PKEY_is_a(pkey, "EC")) {
    int bits = EVP_PKEY_get_bits(pkey);
    if (bits > 384) return EVP_sha512();
    if (bits > 256) return EVP_sha384();
  }
  return EVP_sha256();
}

// Validity from the key: from its creation to its expiration, or to the
// "no well-defined expiration" date of RFC 5280 for a key that never expires.
bool SetValidity(X509* cert, KRYKeyRef key) {
  KRYTime created = 0, expires = 0;
  KRYGetKeyTime(key, kKRYKeyProperty_Creation, &created);
  KRYGetKeyTime(key, kKRYKeyProperty_Expiration, &expires);
  if (ASN1_TIME_set(X509_getm_notBefore(cert), static_cast<time_t>(created)) == nullptr) return false;
  if (expires != 0) return ASN1_TIME_set(X509_getm_notAfter(cert), static_cast<time_t>(expires)) != nullptr;
  return ASN1_TIME_set_string(X509_getm_notAfter(cert), "99991231235959Z") == 1;
}

// Serial number: the first 8 bytes of the fingerprint, kept positive.
bool SetSerial(X509* cert, const uint8_t* fpr, size_t len) {
  uint64_t serial = 0;
  for (size_t i = 0; i < 8 && i < len; ++i) serial = (serial << 8) | fpr[i];
  serial &= 0x7FFFFFFFFFFFFFFFull;
  if (serial == 0) serial = 1;
  return ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert), serial) == 1;
}

KRYError BuildCertificate(KRYKeyRef key, EVP_PKEY* pkey, X509** out) {
  KRYKeyID id;
  KRYError err = KRYGetKeyIDFromKey(key, &id);
  if (err != kKRYError_NoErr) return err;
  char idText[20];
  err = KRYGetKeyIDString(&id, kKRYKeyIDString_Full, idText, sizeof idText);
  if (err != kKRYError_NoErr) return err;
  uint8_t fpr[32];
  size_t fprLen = 0;
  err = KRYGetKeyPropertyBuffer(key, kKRYKeyProperty_Fingerprint, fpr, sizeof fpr, &fprLen);
  if (err != kKRYError_NoErr) return err;

  std::unique_ptr<X509, X509Deleter> cert(X509_new());
  if (!cert) return kKRYError_OutOfMemory;
  X509_NAME* name = X509_get_subject_name(cert.get());
  bool ok = X509_set_version(cert.get(), X509_VERSION_3) == 1 && SetSerial(cert.get(), fpr, fprLen) &&
            SetValidity(cert.get(), key) &&
            X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                       reinterpret_cast<const unsigned char*>(idText), -1, -1, 0) == 1 &&
            X509_set_issuer_name(cert.get(), name) == 1 && X509_set_pubkey(cert.get(), pkey) == 1;
  // The certificate is its own trust anchor for clients that pin it.
  ok = ok && AddExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE") &&
       AddExtension(cert.get(), NID_key_usage, "critical,digitalSignature,keyCertSign") &&
       AddExtension(cert.get(), NID_subject_alt_name, "URI:openpgp4fpr:" + Hex(fpr, fprLen)) &&
       AddExtension(cert.get(), NID_subject_key_identifier, "hash");
  if (!ok) return kKRYError_CryptoFailure;
  if (X509_sign(cert.get(), pkey, SignatureDigest(pkey)) <= 0) return kKRYNetError_TLSUnsupportedKey;
  *out = cert.release();
  return kKRYError_NoErr;
}

}  // namespace

KRYError KRYtlsMakeKeyCertificate(KRYKeyRef key, const char* passphrase, X509** outCert, EVP_PKEY** outPKey) {
  if (key == nullptr || outCert == nullptr || outPKey == nullptr) return kKRYError_BadParams;
  *outCert = nullptr;
  *outPKey = nullptr;
  int32_t alg = 0;
  KRYGetKeyNumber(key, kKRYKeyProperty_AlgorithmID, &alg);
  if (alg == kKRYPublicKeyAlgorithm_ElGamal || alg == kKRYPublicKeyAlgorithm_ECDH ||
      alg == kKRYPublicKeyAlgorithm_RSAEncryptOnly)
    return kKRYNetError_TLSUnsupportedKey;
  EVP_PKEY* raw = nullptr;
  KRYError err = KRYGetPrivateKeyEVP(key, passphrase ? passphrase : "", &raw);
  if (err != kKRYError_NoErr) return err;
  std::unique_ptr<EVP_PKEY, PKeyDeleter> pkey(raw);
  X509* cert = nullptr;
  err = BuildCertificate(key, pkey.get(), &cert);
  if (err != kKRYError_NoErr) return err;
  *outCert = cert;
  *outPKey = pkey.release();
  return kKRYError_NoErr;
}
