// Group commit: a writer whose puts (made with kLdbmStoreCommit) must be on
// disk before it answers calls ldbm_commit after them. One caller at a time
// syncs every file dirtied since the last sync; callers that arrive while a
// sync runs wait, and the next sync acknowledges all of them together. So
// concurrent writers share syncs instead of queuing for one each, and no
// lock of the writers needs to be held across a sync.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <vector>

#include "util/thread.h"

namespace kry {

struct Backend;

struct CommitWaiter;

// The commit queue of one backend (in its private state).
struct CommitQueue {
  Mutex lock;
  std::condition_variable done;  // a sync round ended
  uint64_t issued = 0;           // tickets handed out
  bool syncing = false;          // a round runs (its leader is outside the lock)
  std::vector<CommitWaiter*> waiting;
};

// Returns once every kLdbmStoreCommit put this thread made before the call
// is on disk: 0, or the failed sync's status (the puts may then be lost in
// a crash; the file stays marked for the next sync).
int ldbm_commit(Backend* be);

// Defers this thread's commits: while one lives, the backend's add and
// modify leave the sync of their writes to Commit, which a request storing
// several entries calls once before it answers. A scope left without
// Commit commits on destruction.
class LdbmCommitScope {
 public:
  explicit LdbmCommitScope(Backend* be);
  ~LdbmCommitScope();
  LdbmCommitScope(const LdbmCommitScope&) = delete;
  LdbmCommitScope& operator=(const LdbmCommitScope&) = delete;

  // Ends the deferral and commits; 0 or the sync's status.
  int Commit();

 private:
  Backend* be_;
  bool previous_;
  bool open_ = true;
};

// True while an LdbmCommitScope defers this thread's commits.
bool ldbm_commit_deferred();

// Commits unless deferred: for the backend's own operations before they
// answer. 0 or the sync's status.
int ldbm_commit_unless_deferred(Backend* be);

}  // namespace kry
