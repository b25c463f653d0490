// From a peer's X.509 certificate to the OpenPGP key it stands for.
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <string>

#include "platform/net/krytls.h"

namespace {

struct PKeyDeleter {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using PKeyPtr = std::unique_ptr<EVP_PKEY, PKeyDeleter>;

// "0x" followed by exactly 8 or 16 hexadecimal digits, nothing else.
bool IsKeyIDText(const unsigned char* p, int len) {
  if (len != 10 && len != 18) return false;
  if (p[0] != '0' || (p[1] != 'x' && p[1] != 'X')) return false;
  for (int i = 2; i < len; ++i)
    if (!std::isxdigit(p[i])) return false;
  return true;
}

// The primary key when `id` is its ID, else one of the key's subkeys (the
// look-up found the key by a subkey ID), has exactly `pub`.
bool KeyHasPublicKey(KRYKeyRef key, const KRYKeyID& id, const EVP_PKEY* pub) {
  KRYKeyID primary;
  if (KRYGetKeyIDFromKey(key, &primary) != kKRYError_NoErr) return false;
  if (KRYCompareKeyIDs(&primary, &id) == 0) {
    EVP_PKEY* raw = nullptr;
    if (KRYGetPublicKeyEVP(key, &raw) != kKRYError_NoErr) return false;
    PKeyPtr mine(raw);
    return mine && EVP_PKEY_eq(mine.get(), pub) == 1;
  }
  KRYKeySetRef one = nullptr;
  if (KRYNewSingletonKeySet(key, &one) != kKRYError_NoErr) return false;
  KRYKeyRef match = nullptr;
  bool same = KRYGetKeyByPublicKeyEVP(one, pub, &match) == kKRYError_NoErr && match != nullptr;
  KRYFreeKeySet(one);
  return same;
}

}  // namespace

KRYError KRYtlsCertificateKeyID(const X509* cert, KRYKeyID* outID) {
  if (cert == nullptr || outID == nullptr) return kKRYError_BadParams;
  std::memset(outID, 0, sizeof *outID);
  const X509_NAME* name = X509_get_subject_name(cert);
  if (name == nullptr) return kKRYError_ItemNotFound;
  int at = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
  if (at < 0 || X509_NAME_get_index_by_NID(name, NID_commonName, at) >= 0) return kKRYError_ItemNotFound;
  const ASN1_STRING* cn = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at));
  if (cn == nullptr) return kKRYError_ItemNotFound;
  const unsigned char* p = ASN1_STRING_get0_data(cn);
  int len = ASN1_STRING_length(cn);
  if (p == nullptr || !IsKeyIDText(p, len)) return kKRYError_ItemNotFound;
  std::string text(reinterpret_cast<const char*>(p), static_cast<size_t>(len));
  return KRYGetKeyIDFromString(text.c_str(), outID) == kKRYError_NoErr ? kKRYError_NoErr : kKRYError_ItemNotFound;
}

KRYError KRYtlsCertificateToKey(const X509* cert, KRYtlsKeyLookupProc lookup, void* userData, KRYKeyRef* outKey) {
  if (cert == nullptr || lookup == nullptr || outKey == nullptr) return kKRYError_BadParams;
  *outKey = nullptr;
  KRYKeyID id;
  if (KRYtlsCertificateKeyID(cert, &id) != kKRYError_NoErr) return kKRYError_ItemNotFound;
  const EVP_PKEY* pub = X509_get0_pubkey(cert);
  if (pub == nullptr) return kKRYError_ItemNotFound;
  KRYKeyRef key = nullptr;
  if (lookup(&id, userData, &key) != kKRYError_NoErr || key == nullptr) return kKRYError_ItemNotFound;
  if (!KeyHasPublicKey(key, id, pub)) return kKRYError_ItemNotFound;
  *outKey = key;
  return kKRYError_NoErr;
}
