// Library lifetime, contexts, the algorithm table and time.
#include <ctime>
#include <mutex>
#include <new>

#include <openssl/evp.h>
#include <openssl/provider.h>

#include "platform/pgp/model.h"

namespace {

std::mutex g_initLock;
int g_initCount = 0;
// CAST5 and Blowfish (old secret keys) live in OpenSSL's legacy provider.
// It is loaded into a library context of our own: loading it into the
// process-wide context would switch off the implicit default provider for
// every other user of OpenSSL in the process (the TLS layer among them).
OSSL_LIB_CTX* g_legacyCtx = nullptr;
OSSL_PROVIDER* g_legacy = nullptr;
OSSL_PROVIDER* g_legacyDefault = nullptr;

const KRYPublicKeyAlgorithmInfo kAlgorithms[] = {
    {kKRYPublicKeyAlgorithm_RSA, "RSA", 1, 1},
    {kKRYPublicKeyAlgorithm_ElGamal, "ElGamal", 0, 1},
    {kKRYPublicKeyAlgorithm_DSA, "DSA", 1, 0},
    {kKRYPublicKeyAlgorithm_ECDH, "ECDH", 0, 1},
    {kKRYPublicKeyAlgorithm_ECDSA, "ECDSA", 1, 0},
    {kKRYPublicKeyAlgorithm_EdDSA, "EdDSA", 1, 0},
};

}  // namespace

namespace krypgp {
void EvpFree::operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }

OSSL_LIB_CTX* LegacyLibCtx() {
  std::lock_guard<std::mutex> lock(g_initLock);
  return g_legacy != nullptr ? g_legacyCtx : nullptr;
}
}  // namespace krypgp

KRYError KRYsdkInit(uint32_t) {
  std::lock_guard<std::mutex> lock(g_initLock);
  if (g_initCount++ == 0) {
    g_legacyCtx = OSSL_LIB_CTX_new();
    if (g_legacyCtx != nullptr) {
      g_legacy = OSSL_PROVIDER_load(g_legacyCtx, "legacy");
      g_legacyDefault = OSSL_PROVIDER_load(g_legacyCtx, "default");
    }
  }
  return kKRYError_NoErr;
}

KRYError KRYsdkCleanup() {
  std::lock_guard<std::mutex> lock(g_initLock);
  if (g_initCount == 0) return kKRYError_NotInitialized;
  if (--g_initCount == 0) {
    if (g_legacy != nullptr) OSSL_PROVIDER_unload(g_legacy);
    if (g_legacyDefault != nullptr) OSSL_PROVIDER_unload(g_legacyDefault);
    OSSL_LIB_CTX_free(g_legacyCtx);
    g_legacy = g_legacyDefault = nullptr;
    g_legacyCtx = nullptr;
  }
  return kKRYError_NoErr;
}

KRYError KRYsdkUILibInit() { return kKRYError_NoErr; }
KRYError KRYsdkUILibCleanup() { return kKRYError_NoErr; }

KRYError KRYNewContext(int apiVersion, KRYContextRef* outContext) {
  if (outContext == nullptr) return kKRYError_BadParams;
  *outContext = nullptr;
  if (apiVersion != kKRYsdkAPIVersion) return kKRYError_BadParams;
  {
    std::lock_guard<std::mutex> lock(g_initLock);
    if (g_initCount == 0) return kKRYError_NotInitialized;
  }
  *outContext = new (std::nothrow) KRYContext;
  return *outContext ? kKRYError_NoErr : kKRYError_OutOfMemory;
}

KRYError KRYFreeContext(KRYContextRef context) {
  if (context == nullptr) return kKRYError_BadParams;
  for (KRYKeyIter* it : context->iters) delete it;
  for (KRYKeyList* l : context->lists) delete l;
  for (KRYKeySet* s : context->sets) delete s;
  delete context;
  return kKRYError_NoErr;
}

KRYError KRYCountPublicKeyAlgorithms(int* outCount) {
  if (outCount == nullptr) return kKRYError_BadParams;
  *outCount = int(sizeof kAlgorithms / sizeof kAlgorithms[0]);
  return kKRYError_NoErr;
}

KRYError KRYGetIndexedPublicKeyAlgorithmInfo(int index, KRYPublicKeyAlgorithmInfo* outInfo) {
  int count = int(sizeof kAlgorithms / sizeof kAlgorithms[0]);
  if (outInfo == nullptr) return kKRYError_BadParams;
  if (index < 0 || index >= count) return kKRYError_ItemNotFound;
  *outInfo = kAlgorithms[index];
  return kKRYError_NoErr;
}

KRYTime KRYGetTime() { return KRYTime(std::time(nullptr)); }
long long KRYGetStdTimeFromKRYTime(KRYTime t) { return static_cast<long long>(t); }
