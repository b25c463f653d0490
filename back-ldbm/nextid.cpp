#include "back-ldbm/nextid.h"

#include <cstdio>
#include <cstdlib>

#include "back-ldbm/dbcache.h"
#include "back-ldbm/ldbm.h"
#include "log/trace.h"

namespace kry {

std::string next_id_path(const Backend* be) { return ldbm_file_path(be, "NEXTID"); }

namespace {

// Loads the counter if needed. Caller holds the next-ID lock.
void Load(LdbmState* li, const std::string& path, const char* readFailure) {
  if (li->nextId != -1) return;
  FILE* fp = std::fopen(path.c_str(), "r");
  if (!fp) {
    Debug(LDAP_DEBUG_ANY, "next_id %d: could not open \"%s\"\n", 1, path.c_str());
    li->nextId = 1;
    return;
  }
  char buf[20];
  if (!std::fgets(buf, sizeof buf, fp)) {
    Debug(LDAP_DEBUG_ANY, readFailure, 1, path.c_str());
    li->nextId = 1;
  } else {
    li->nextId = std::atol(buf);
    if (li->nextId < 1) li->nextId = 1;  // a damaged file never yields ID 0
  }
  std::fclose(fp);
}

// Rewrites the file with the in-memory value. Caller holds the lock.
// Returns 0, or 1 (open), 2 (print), 3 (close) on failure.
int Write(const LdbmState* li, const std::string& path) {
  FILE* fp = std::fopen(path.c_str(), "w");
  if (!fp) return 1;
  int rc = 0;
  if (std::fprintf(fp, "%ld\n", li->nextId) < 0) rc = 2;
  if (std::fclose(fp) != 0 && rc == 0) rc = 3;
  return rc;
}

}  // namespace

EntryID next_id(Backend* be) {
  LdbmState* li = be->ldbm.get();
  std::string path = next_id_path(be);
  MutexGuard g(li->nextIdLock);
  Load(li, path, "next_id %d: could not fgets nextid from \"%s\"\n");
  long id = li->nextId++;
  switch (Write(li, path)) {
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
  switch (Write(li, path)) {
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

EntryID next_id_peek(Backend* be) {
  LdbmState* li = be->ldbm.get();
  std::string path = next_id_path(be);
  MutexGuard g(li->nextIdLock);
  Load(li, path, "next_id %d: cannot fgets nextid from \"%s\"\n");
  return static_cast<EntryID>(li->nextId);
}

}  // namespace kry
