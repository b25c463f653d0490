#include "back-ldbm/commit.h"

#include <algorithm>

#include "back-ldbm/dbcache.h"
#include "back-ldbm/ldbm.h"
#include "back-ldbm/nextid.h"
#include "log/metrics.h"
#include "log/trace.h"

namespace kry {

// One caller of ldbm_commit, on its own stack: released by the round that
// covers its ticket.
struct CommitWaiter {
  uint64_t ticket = 0;
  bool released = false;
  int status = 0;
};

namespace {

thread_local bool t_deferred = false;

// Runs one sync round as its leader and releases every waiter whose ticket
// it covers. Called with the queue's lock held; drops it while syncing.
void LeadRound(Backend* be, CommitQueue& q, MutexLock& lock) {
  q.syncing = true;
  // Tickets are taken after their writes, so every write of a ticket up
  // to here happened before the sync below starts.
  const uint64_t through = q.issued;
  lock.unlock();
  int files = 0;
  // The counter file first: an entry acknowledged by this round must not
  // be handed its ID again after a restart.
  const int counter = next_id_flush(be);
  if (counter != 0) ldbm_note_write_failure(be, next_id_path(be), counter);
  const int synced = ldbm_cache_sync_unsynced(be, &files);
  const int rc = counter != 0 ? counter : synced;
  metrics::CountCommitRound(files);
  lock.lock();
  q.syncing = false;
  auto covered = [through](const CommitWaiter* w) { return w->ticket <= through; };
  for (CommitWaiter* w : q.waiting) {
    if (!covered(w)) continue;
    w->released = true;
    w->status = rc;
  }
  q.waiting.erase(std::remove_if(q.waiting.begin(), q.waiting.end(), covered), q.waiting.end());
  q.done.notify_all();
}

}  // namespace

int ldbm_commit(Backend* be) {
  if (!be || !be->ldbm) return 0;
  CommitQueue& q = be->ldbm->commit;
  metrics::CountCommitRequest();
  MutexLock lock(q.lock);
  CommitWaiter me;
  me.ticket = ++q.issued;
  q.waiting.push_back(&me);
  while (!me.released) {
    if (q.syncing)
      q.done.wait(lock);
    else
      LeadRound(be, q, lock);
  }
  if (me.status != 0) Debug(LDAP_DEBUG_ANY, "ldbm_commit: sync failed (%d)\n", me.status);
  return me.status;
}

LdbmCommitScope::LdbmCommitScope(Backend* be) : be_(be), previous_(t_deferred) { t_deferred = true; }

LdbmCommitScope::~LdbmCommitScope() {
  if (open_) Commit();
}

int LdbmCommitScope::Commit() {
  if (!open_) return 0;
  open_ = false;
  t_deferred = previous_;
  return previous_ ? 0 : ldbm_commit(be_);
}

bool ldbm_commit_deferred() { return t_deferred; }

int ldbm_commit_unless_deferred(Backend* be) { return t_deferred ? 0 : ldbm_commit(be); }

}  // namespace kry
