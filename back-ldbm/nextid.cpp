#include "back-ldbm/nextid.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "back-ldbm/dbcache.h"
#include "back-ldbm/durable.h"
#include "back-ldbm/ldbm.h"
#include "back-ldbm/recover.h"
#include "log/eventlog.h"
#include "log/trace.h"

namespace kry {

std::string next_id_path(const Backend* be) { return ldbm_file_path(be, "NEXTID"); }

namespace {

// A counter file that is missing, empty or unreadable while entries are
// stored would restart the IDs at 1 and overwrite entries: continue after
// the highest stored ID instead.
long CounterAfterStoredEntries(const Backend* be, const std::string& path) {
  EntryID highest = ldbm_highest_stored_id(be);
  if (highest == 0) return 1;
  LogError(EVENTLOG_WARNING, "The ID counter '%s' is missing or empty; IDs continue at %lu, after the highest stored ID.",
           path.c_str(), static_cast<unsigned long>(highest) + 1);
  return static_cast<long>(highest) + 1;
}

// Loads the counter if needed. Caller holds the next-ID lock.
void Load(const Backend* be, LdbmState* li, const std::string& path, const char* readFailure) {
  if (li->nextId != -1) return;
  FILE* fp = std::fopen(path.c_str(), "r");
  if (!fp) {
    Debug(LDAP_DEBUG_ANY, "next_id %d: could not open \"%s\"\n", 1, path.c_str());
    li->nextId = CounterAfterStoredEntries(be, path);
    return;
  }
  char buf[20];
  if (!std::fgets(buf, sizeof buf, fp)) {
    Debug(LDAP_DEBUG_ANY, readFailure, 1, path.c_str());
    li->nextId = CounterAfterStoredEntries(be, path);
  } else {
    li->nextId = std::atol(buf);
    // A damaged file never yields ID 0 nor restarts the IDs.
    if (li->nextId < 1) li->nextId = CounterAfterStoredEntries(be, path);
  }
  std::fclose(fp);
}

// Rewrites the file with the in-memory value, through a temporary file
// renamed over it: a killed server leaves the old or the new value, never an
// empty file. The sync waits for next_id_sync. Caller holds the lock.
// Returns 0, or 1 (open), 2 (write), 3 (rename) on failure, with the errno
// in *err (if given).
int Write(LdbmState* li, const std::string& path, int* errOut = nullptr) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%ld\n", li->nextId);
  int err = WriteFileReplacing(path, buf);
  if (errOut) *errOut = err;
  if (err == 0) {
    li->nextIdUnsynced = true;
    return 0;
  }
  if (err == ENOENT || err == EACCES || err == EROFS) return 1;
  return err == ENOSPC || err == EIO ? 2 : 3;
}

// Write, or during a bulk load only a note that the next sync writes.
int WriteOrDefer(LdbmState* li, const std::string& path, int* errOut = nullptr) {
  if (errOut) *errOut = 0;
  if (!li->bulkLoad) return Write(li, path, errOut);
  li->nextIdDeferred = true;
  return 0;
}

}  // namespace

EntryID next_id(Backend* be, int* fileStatus) {
  LdbmState* li = be->ldbm.get();
  std::string path = next_id_path(be);
  MutexGuard g(li->nextIdLock);
  Load(be, li, path, "next_id %d: could not fgets nextid from \"%s\"\n");
  long id = li->nextId++;
  switch (WriteOrDefer(li, path, fileStatus)) {
    case 1:
      Debug(LDAP_DEBUG_ANY, "next_id %d: could not open \"%s\"\n", static_cast<int>(id), path.c_str());
      break;
    case 2:
      Debug(LDAP_DEBUG_ANY, "next_id %d: cannot fprintf\n", static_cast<int>(id));
      break;
    case 3:
      Debug(LDAP_DEBUG_ANY, "next_id %d: cannot fclose\n", static_cast<int>(id));
      break;
    default:
      break;
  }
  return static_cast<EntryID>(id);
}

void next_id_return(Backend* be, EntryID id) {
  LdbmState* li = be->ldbm.get();
  std::string path = next_id_path(be);
  MutexGuard g(li->nextIdLock);
  if (li->nextId != static_cast<long>(id) + 1) return;
  --li->nextId;
  switch (WriteOrDefer(li, path)) {
    case 1:
      Debug(LDAP_DEBUG_ANY, "next_id_return of %d: could not open \"%s\" next id %d\n", static_cast<int>(id),
            path.c_str(), static_cast<int>(li->nextId));
      break;
    case 2:
      Debug(LDAP_DEBUG_ANY, "next_id_return of %d: cannot fprintf \"%s\" next id %d\n", static_cast<int>(id),
            path.c_str(), static_cast<int>(li->nextId));
      break;
    case 3:
      Debug(LDAP_DEBUG_ANY, "next_id_return of %d: cannot fclose \"%s\" next id %d\n", static_cast<int>(id),
            path.c_str(), static_cast<int>(li->nextId));
      break;
    default:
      break;
  }
}

int next_id_sync(Backend* be) {
  LdbmState* li = be->ldbm.get();
  MutexGuard g(li->nextIdLock);
  if (li->nextIdDeferred) {
    int err = 0;
    if (Write(li, next_id_path(be), &err) != 0) return err ? err : EIO;
    li->nextIdDeferred = false;
  }
  if (!li->nextIdUnsynced) return 0;
  int rc = SyncFileAndDirectory(next_id_path(be));
  if (rc == 0) li->nextIdUnsynced = false;
  else Debug(LDAP_DEBUG_ANY, "next_id_sync: %s\n", std::strerror(rc));
  return rc;
}

EntryID next_id_peek(Backend* be) {
  LdbmState* li = be->ldbm.get();
  std::string path = next_id_path(be);
  MutexGuard g(li->nextIdLock);
  Load(be, li, path, "next_id %d: cannot fgets nextid from \"%s\"\n");
  return static_cast<EntryID>(li->nextId);
}

}  // namespace kry
