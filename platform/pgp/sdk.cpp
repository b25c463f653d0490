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
OSSL_PROVIDER* g_default = nullptr;
OSSL_PROVIDER* g_legacy = nullptr;  // CAST5 and Blowfish secret keys

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
}  // namespace krypgp

KRYError KRYsdkInit(uint32_t) {
  std::lock_guard<std::mutex> lock(g_initLock);
  if (g_initCount++ == 0 && g_default == nullptr) {
    // Loading legacy replaces the implicit default, so load both.
    g_default = OSSL_PROVIDER_load(nullptr, "default");
    g_legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  }
  return kKRYError_NoErr;
}

KRYError KRYsdkCleanup() {
  std::lock_guard<std::mutex> lock(g_initLock);
  if (g_initCount == 0) return kKRYError_NotInitialized;
  // The providers stay loaded for the life of the process: once "default"
  // has been loaded explicitly, unloading it would leave OpenSSL without
  // any implementation for other users in the process.
  --g_initCount;
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
