// The certificate-to-key mapping of TLS peers. Input starting with 0x30 is
// a DER certificate; anything else is the subject common name of a
// certificate carrying the RSA (first byte even) or Ed25519 key's public
// key. Whatever the input, a key is returned only when its material is the
// certificate's public key.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <string>

#include "platform/net/krytls.h"

namespace {

KRYContextRef g_ctx = nullptr;
KRYKeySetRef g_keys = nullptr;     // the look-up's keys: server ring, rsa, ed25519
EVP_PKEY* g_rsa = nullptr;         // private keys for made-up certificates
EVP_PKEY* g_ed = nullptr;

KRYKeySetRef Load(const std::string& name) {
  const char* corpus = std::getenv("KRY_CORPUS");
  std::string path = std::string(corpus ? corpus : KRY_CORPUS_DEFAULT) + "/" + name;
  KRYImportOptions o{};
  o.inputFile = path.c_str();
  KRYKeySetRef set = nullptr;
  if (KRYImportKeySet(g_ctx, &o, &set) != 0) std::abort();
  return set;
}

EVP_PKEY* FirstPrivate(KRYKeySetRef set) {
  KRYKeyListRef list = nullptr;
  KRYKeyIterRef iter = nullptr;
  KRYKeyRef key = nullptr;
  EVP_PKEY* pkey = nullptr;
  KRYOrderKeySet(set, kKRYKeyOrdering_Any, &list);
  KRYNewKeyIter(list, &iter);
  if (KRYKeyIterNext(iter, &key) != 0 || KRYGetPrivateKeyEVP(key, "", &pkey) != 0) std::abort();
  KRYFreeKeyIter(iter);
  KRYFreeKeyList(list);
  return pkey;
}

void Init() {
  if (g_ctx) return;
  KRYsdkInit(0);
  KRYNewContext(kKRYsdkAPIVersion, &g_ctx);
  KRYNewKeySet(g_ctx, &g_keys);
  for (const char* name : {"server-pubring.pkr", "rsa.asc", "ed25519.asc"}) {
    KRYKeySetRef s = Load(name);
    KRYAddKeys(s, g_keys);
    KRYFreeKeySet(s);
  }
  KRYKeySetRef rsa = Load("rsa-secret.asc"), ed = Load("ed25519-secret.asc");
  g_rsa = FirstPrivate(rsa);
  g_ed = FirstPrivate(ed);
  KRYFreeKeySet(rsa);
  KRYFreeKeySet(ed);
}

KRYError Lookup(const KRYKeyID* id, void*, KRYKeyRef* out) { return KRYGetKeyByKeyID(g_keys, id, -1, out); }

X509* MadeUp(const uint8_t* data, size_t size) {
  EVP_PKEY* pkey = (data[0] & 1) ? g_ed : g_rsa;
  X509* c = X509_new();
  X509_NAME* name = X509_get_subject_name(c);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, data + 1, static_cast<int>(size - 1), -1, 0);
  X509_set_pubkey(c, pkey);
  return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Init();
  if (size == 0) return 0;
  X509* cert = nullptr;
  if (data[0] == 0x30) {
    const unsigned char* p = data;
    cert = d2i_X509(nullptr, &p, static_cast<long>(size));
  } else if (size <= 256) {
    cert = MadeUp(data, size);
  }
  if (cert == nullptr) return 0;
  KRYKeyID id;
  KRYtlsCertificateKeyID(cert, &id);
  KRYKeyRef key = nullptr;
  if (KRYtlsCertificateToKey(cert, Lookup, nullptr, &key) == 0) {
    // The key must hold the certificate's public key as its own.
    KRYKeySetRef one = nullptr;
    KRYKeyRef owner = nullptr;
    EVP_PKEY* pub = X509_get0_pubkey(cert);
    if (key == nullptr || pub == nullptr || KRYNewSingletonKeySet(key, &one) != 0 ||
        KRYGetKeyByPublicKeyEVP(one, pub, &owner) != 0)
      std::abort();
    KRYFreeKeySet(one);
  }
  X509_free(cert);
  return 0;
}
