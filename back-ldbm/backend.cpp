// Backend registry (Part 4.9). First cut: registry, configuration keywords
// and the database checks; storage operations follow.
#include "back-ldbm/backend.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "back-ldbm/ldbm.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "util/strutil.h"

namespace kry {

struct DBLock {
  int fd = -1;
};

Backend::Backend() = default;
Backend::~Backend() = default;

Backend* backend_new(const char* type, std::vector<std::unique_ptr<Backend>>& list) {
  auto be = std::make_unique<Backend>();
  be->type = type ? type : "";
  if (StrIEquals(be->type, "ldbm")) be->ldbm = std::make_unique<LdbmState>();
  list.push_back(std::move(be));
  return list.back().get();
}

int backend_config(Backend* be, const char* fname, int lineno, int argc, char** argv) {
  if (!be || !be->ldbm || argc < 1) return 2;
  LdbmState* li = be->ldbm.get();
  const char* kw = argv[0];
  if (StrIEquals(kw, "mode")) {
    if (argc < 2) {
      LogError(EVENTLOG_ERROR, "%s(%d): Missing Mode in \"Mode <Mode>\" line.\n", fname, lineno);
      return 1;
    }
    return 0;
  }
  if (StrIEquals(kw, "index")) return 0;
  if (StrIEquals(kw, "cacheentries")) {
    if (argc < 2) {
      LogError(EVENTLOG_ERROR, "%s(%d): Missing Number in \"CacheEntries <Number>\" line.\n", fname, lineno);
      return 1;
    }
    li->cacheMaxSize = std::atoi(argv[1]);
    return 0;
  }
  if (StrIEquals(kw, "dbcachesize")) {
    if (argc < 2) {
      LogError(EVENTLOG_ERROR, "%s(%d): Missing Size in \"DBCacheSize <Size>\" line.\n", fname, lineno);
      return 1;
    }
    long v = std::atol(argv[1]);
    li->dbCacheSize = v >= 10000 ? v / 11 : v;
    return 0;
  }
  LogError(EVENTLOG_ERROR, "%s(%d): Unknown configuration value (%s).\n", fname, lineno, kw);
  return 2;
}

const std::string& backend_directory(const Backend* be) {
  static const std::string empty;
  return be && be->ldbm ? be->ldbm->directory : empty;
}

void backend_set_directory(Backend* be, const std::string& dir) {
  if (be && be->ldbm) be->ldbm->directory = dir;
}

void backend_sync_all(std::vector<std::unique_ptr<Backend>>& list) {
  LogError(EVENTLOG_VERBOSE, "Commiting database cache data to disk.");
  (void)list;
}

void backend_close_all(std::vector<std::unique_ptr<Backend>>& list) { list.clear(); }

void backend_unbind_all(std::vector<std::unique_ptr<Backend>>&, Connection*, Operation*) {}

int CreateDatabases(Backend* be) {
  (void)be;
  return 0;
}

int CheckRequiredDBs(Backend* be) {
  const std::string& dir = backend_directory(be);
  for (const char* f : {"id2entry.dbb", "dn2id.dbb", "id2children.dbb"}) {
    struct stat st;
    if (stat((dir + "/" + f).c_str(), &st) != 0) return 1;
  }
  return 0;
}

int LockDBs(Backend*, std::unique_ptr<DBLock>* lock) {
  *lock = std::make_unique<DBLock>();
  return 0;
}

void UnlockDBs(std::unique_ptr<DBLock>* lock) {
  if (lock) lock->reset();
}

}  // namespace kry
