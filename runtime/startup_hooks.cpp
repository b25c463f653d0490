#include "runtime/startup_hooks.h"

#include "back-ldbm/backend.h"
#include "cert/blocklist.h"
#include "cert/blockpurge.h"
#include "cert/keysets.h"
#include "cert/replog.h"
#include "cert/policy_init.h"
#include "log/cycle.h"
#include "log/eventlog.h"
#include "platform/pgp/kry.h"
#include "runtime/globals.h"

namespace kry {

int InitReplicationLog() {
  Backend* be = g_globals->backends.empty() ? nullptr : g_globals->backends.front().get();
  return InitRepLog(be);
}

int InitLogCycling() {
  if (CreateCycleLogContext(&g_globals->cycleContext) == 0) return 0;
  LogError(EVENTLOG_ERROR, "Unable to Create Cycle Log Context on start or restart.");
  return 1;
}

int InitServerPolicies() {
  Globals* g = g_globals;
  auto* ctx = static_cast<KRYContextRef>(g->keyContext);
  if (int rc = SetRandSeedFile(ctx, g->RandSeedFile)) return rc;
  return InitPolicy(ctx);
}

int ApplyBlockList(Backend* be) {
  if (LoadBlockList(backend_directory(be), g_globals->BlockListFile) != 0) return 1;
  const int purged = PurgeBlockedKeys(be);
  if (purged > 0) LogError(EVENTLOG_WARNING, "%d certificates of blocked keys purged at start-up.", purged);
  return 0;
}

void ReleaseStartupKeys() {
  ReleasePolicy();
  ReleaseRepLog();
}

}  // namespace kry
