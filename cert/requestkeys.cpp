#include "cert/requestkeys.h"

#include "cert/keysets.h"
#include "cert/policy_init.h"
#include "log/eventlog.h"
#include "runtime/connection.h"
#include "runtime/globals.h"
#include "runtime/keycontext.h"

namespace kry {

namespace {

// Copies one policy set of the main context; the main context is shared, so
// its sets are read under the context lock.
int CopyPolicySet(KRYContextRef context, KRYKeySetRef source, KRYKeySetRef* copy) {
  if (!source) return 0;
  MutexGuard guard(g_globals->contextLock);
  return TransferKeys(context, source, false, copy);
}

}  // namespace

RequestKeysHolder::~RequestKeysHolder() {
  if (!owned_) return;
  KRYFreeKeySet(keys_.signers);
  KRYFreeKeySet(keys_.addSigners);
  KRYFreeKeySet(keys_.deleteSigners);
  MutexGuard guard(g_globals->contextLock);
  KRYFreeContext(keys_.context);
}

int RequestKeysHolder::Acquire(Connection* conn) {
  const KeyContextBlock* block = conn ? &conn->c_keyContext : nullptr;
  if (block && !block->Empty()) {
    keys_.context = block->context;
    keys_.signers = block->keySet1;
    keys_.addSigners = block->keySet2;
    keys_.deleteSigners = block->keySet3;
    return 0;
  }
  int rc;
  {
    MutexGuard guard(g_globals->contextLock);
    rc = KRYNewContext(kKRYsdkAPIVersion, &keys_.context);
  }
  if (rc != 0) {
    LogError(EVENTLOG_ERROR, "Creating keyset failed.  Library error: %s.", LibraryErrorText(rc).c_str());
    return rc;
  }
  owned_ = true;
  if ((rc = CopyPolicySet(keys_.context, g_policy.signers, &keys_.signers)) != 0 ||
      (rc = CopyPolicySet(keys_.context, g_policy.addSigners, &keys_.addSigners)) != 0 ||
      (rc = CopyPolicySet(keys_.context, g_policy.deleteSigners, &keys_.deleteSigners)) != 0)
    return rc;
  return 0;
}

}  // namespace kry
