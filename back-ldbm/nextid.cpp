#include "back-ldbm/nextid.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

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
  li->nextIdWritten = 0;
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
    li->nextIdWritten = li->nextId;
    // A damaged file never yields ID 0 nor restarts the IDs.
    if (li->nextId < 1) li->nextId = CounterAfterStoredEntries(be, path);
  }
  std::fclose(fp);
}

// Writes `text` over the start of the file (made if missing) and cuts it
// there. A value only ever grows in length, so the file is never empty or
// shorter than a number while this runs, and a killed server leaves the
// old or the new value (one write). Replacing the file through a renamed
// copy instead freed the old file's blocks on every commit round. 0 or the
// errno.
int WriteInPlace(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  const ssize_t n = pwrite(fd, text.data(), text.size(), 0);
  int err = n == static_cast<ssize_t>(text.size()) ? 0 : (n < 0 ? errno : EIO);
  if (err == 0 && ftruncate(fd, static_cast<off_t>(text.size())) != 0) err = errno;
  if (close(fd) != 0 && err == 0) err = errno;
  return err;
}

// Brings the file up to the in-memory value. Caller holds the lock. A file
// ahead of the counter (an ID given back after the file was written) stays
// as it is: it only makes the next restart skip that ID. The sync waits for
// next_id_sync. 0 or the errno.
int Write(LdbmState* li, const std::string& path) {
  // A counter dropped since (the file was made anew) has nothing to write:
  // it is loaded from the file again on its next use.
  if (li->nextId < 1 || li->nextId <= li->nextIdWritten) {
    li->nextIdDeferred = false;
    return 0;
  }
  const int err = WriteInPlace(path, std::to_string(li->nextId) + "\n");
  if (err == 0) {
    li->nextIdDeferred = false;
    li->nextIdUnsynced = true;
    li->nextIdWritten = li->nextId;
  }
  return err;
}

}  // namespace

EntryID next_id(Backend* be) {
  LdbmState* li = be->ldbm.get();
  std::string path = next_id_path(be);
  MutexGuard g(li->nextIdLock);
  Load(be, li, path, "next_id %d: could not fgets nextid from \"%s\"\n");
  long id = li->nextId++;
  // The file follows at the next commit round, once for all the IDs handed
  // out since: rewriting it here cost a file replacement per entry under
  // the update lock.
  li->nextIdDeferred = true;
  return static_cast<EntryID>(id);
}

void next_id_return(Backend* be, EntryID id) {
  LdbmState* li = be->ldbm.get();
  MutexGuard g(li->nextIdLock);
  if (li->nextId != static_cast<long>(id) + 1) return;
  --li->nextId;
  li->nextIdDeferred = true;
}

int next_id_flush(Backend* be) {
  LdbmState* li = be->ldbm.get();
  if (!li) return 0;
  MutexGuard g(li->nextIdLock);
  if (!li->nextIdDeferred) return 0;
  const int err = Write(li, next_id_path(be));
  if (err != 0) Debug(LDAP_DEBUG_ANY, "next_id_flush: %s\n", std::strerror(err));
  return err;
}

int next_id_sync(Backend* be) {
  LdbmState* li = be->ldbm.get();
  MutexGuard g(li->nextIdLock);
  if (li->nextIdDeferred) {
    if (int err = Write(li, next_id_path(be))) return err;
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
