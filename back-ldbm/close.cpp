// ldbm_back_sync and ldbm_back_close.
#include "back-ldbm/cache.h"
#include "back-ldbm/dbcache.h"
#include "back-ldbm/ldbm.h"
#include "back-ldbm/ldbm_ops.h"
#include "back-ldbm/nextid.h"
#include "back-ldbm/recover.h"
#include "log/eventlog.h"
#include "log/trace.h"

namespace kry {

int ldbm_back_sync(Backend* be) {
  Debug(LDAP_DEBUG_TRACE, "ldbm backend syncing\n");
  int rc = ldbm_cache_sync_all(be);
  if (be->ldbm && next_id_sync(be) != 0 && rc == 0) rc = -1;
  Debug(LDAP_DEBUG_TRACE, "ldbm backend done syncing\n");
  return rc;
}

int backend_set_bulk_load(Backend* be, bool on) {
  if (!be->ldbm) return 0;
  const bool wasOn = be->ldbm->bulkLoad;
  be->ldbm->bulkLoad = on;
  return wasOn && !on ? ldbm_back_sync(be) : 0;
}

int ldbm_back_close(Backend* be) {
  if (!be->ldbm) return 0;
  // A file that could not be synced may be incomplete on disk: the next
  // start must then verify and rebuild rather than trust it.
  if (ldbm_back_sync(be) != 0 && be->ldbm->markCleanOnClose) {
    be->ldbm->markCleanOnClose = false;
    LogError(EVENTLOG_ERROR, "The database in '%s' could not be written in full at close; the next start will "
                             "recover it.", backend_directory(be).c_str());
  }
  cache_release_all(&be->ldbm->cache);
  // No operation runs any more: every occupied slot is closed, whatever a
  // leaked reference count says.
  ldbm_cache_close_every_slot(be);
  ldbm_write_clean_marker(be);
  Debug(LDAP_DEBUG_TRACE, "ldbm backend done syncing\n");
  return 0;
}

LdbmState::~LdbmState() {
  MutexGuard g(dbcache.lock);
  for (auto& s : dbcache.slots) {
    if (!s.in_use()) continue;
    SpinningGuard sg(s.mutex);
    ldbm_sync(s.db);
    ldbm_close(s.db);
    s.db = nullptr;
    s.name.clear();
  }
}

}  // namespace kry
