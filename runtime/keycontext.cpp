#include "runtime/keycontext.h"

#include <cstring>
#include <mutex>
#include <new>

#include "cert/keysets.h"
#include "cert/policy_init.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "runtime/globals.h"

namespace kry {

namespace {

// Last in, first out: the block used most recently is the warmest.
std::vector<KeyContextBlock> g_pool;  // guarded by Globals::poolLock
size_t g_created = 0;                 // guarded by Globals::contextLock

void FreeBlock(KeyContextBlock* block) {
  KRYFreeKeySet(block->keySet1);
  KRYFreeKeySet(block->keySet2);
  KRYFreeKeySet(block->keySet3);
  KRYFreeKeySet(block->serverKeySet);
  if (block->context) {
    MutexGuard lock(g_globals->contextLock);
    KRYFreeContext(block->context);
  }
  *block = KeyContextBlock();
}

// Copies one policy set into the new context (public keys only).
int CopyPolicySet(KRYKeySetRef source, KRYContextRef target, KRYKeySetRef* copy) {
  if (!source) return 0;
  int rc = TransferKeys(target, source, false, copy);
  if (rc != 0) Debug(LDAP_DEBUG_CERT, "GetKRYSDKCtx: Adding keys failed, rc = %d\n", rc);
  return rc;
}

int MakeBlock(const std::vector<uint8_t>& serverKeyID, KeyContextBlock* block) {
  Globals* g = g_globals;
  int rc;
  {
    MutexGuard lock(g->contextLock);
    rc = KRYNewContext(kKRYsdkAPIVersion, &block->context);
    if (rc == 0) ++g_created;
  }
  if (rc != 0) {
    block->context = nullptr;
    Debug(LDAP_DEBUG_CERT, "GetKRYSDKCtx: Creating KRY context failed, rc = %d\n", rc);
    return 1;
  }
  if (CopyPolicySet(g_policy.signers, block->context, &block->keySet1) != 0 ||
      CopyPolicySet(g_policy.addSigners, block->context, &block->keySet2) != 0 ||
      CopyPolicySet(g_policy.deleteSigners, block->context, &block->keySet3) != 0)
    return 1;
  if (g->SecureMode == SECURE_DISABLED || g->PublicKeyRing.empty() || !g_policy.keyrings) return 0;
  rc = TransferKeys(block->context, g_policy.keyrings, true, &block->serverKeySet);
  if (rc != 0) {
    Debug(LDAP_DEBUG_CERT, "GetKRYSDKCtx: Adding keys failed, rc = %d\n", rc);
    return 1;
  }
  KRYKeyID id;
  if (!ToLibraryKeyID(serverKeyID, &id) ||
      KRYGetKeyByKeyID(block->serverKeySet, &id, -1, &block->serverKey) != 0 || !block->serverKey) {
    block->serverKey = nullptr;
    LogError(EVENTLOG_ERROR, "Cannot find server's TLS key in keyring.");
    return 1;
  }
  return 0;
}

}  // namespace

bool ToLibraryKeyID(const std::vector<uint8_t>& bytes, KRYKeyID* id) {
  std::memset(id, 0, sizeof *id);
  if (bytes.size() != 4 && bytes.size() != 8) return false;
  id->bytes[0] = static_cast<uint8_t>(bytes.size());
  std::memcpy(id->bytes + 2, bytes.data(), bytes.size());
  return true;
}

int GetKRYSDKCtx(const std::vector<uint8_t>& serverKeyID, KeyContextBlock* block) {
  *block = KeyContextBlock();
  {
    MutexGuard lock(g_globals->poolLock);
    if (!g_pool.empty()) {
      *block = g_pool.back();
      g_pool.pop_back();
      return 0;
    }
  }
  int rc = MakeBlock(serverKeyID, block);
  block->complete = rc == 0;
  return rc;
}

int ReleaseKRYSDKCtx(KeyContextBlock* block) {
  if (block->Empty()) return 0;
  if (!block->complete) {
    FreeBlock(block);
    return 0;
  }
  try {
    MutexGuard lock(g_globals->poolLock);
    g_pool.push_back(*block);
  } catch (const std::bad_alloc&) {
    // Without room in the pool the block cannot be kept; free it rather
    // than lose its context and key sets.
    LogError(EVENTLOG_ERROR, "Memory allocation error.");
    Debug(LDAP_DEBUG_CERT, "ReleaseKRYSDKCtx: out of memory\n");
    FreeBlock(block);
  }
  *block = KeyContextBlock();
  return 0;
}

void FreeKRYSDKCtxPool() {
  if (!g_globals) return;
  MutexGuard lock(g_globals->poolLock);
  for (KeyContextBlock& block : g_pool) FreeBlock(&block);
  g_pool.clear();
  g_pool.shrink_to_fit();
}

size_t KRYSDKCtxPoolSize() {
  MutexGuard lock(g_globals->poolLock);
  return g_pool.size();
}

size_t KRYSDKCtxCreated() {
  MutexGuard lock(g_globals->contextLock);
  return g_created;
}

}  // namespace kry
