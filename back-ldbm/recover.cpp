#include "back-ldbm/recover.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "back-ldbm/backend.h"
#include "back-ldbm/cache.h"
#include "back-ldbm/dbcache.h"
#include "back-ldbm/durable.h"
#include "back-ldbm/ldbm.h"
#include "back-ldbm/ldbm_ops.h"
#include "back-ldbm/nextid.h"
#include "back-ldbm/rebuild.h"
#include "back-ldbm/salvage.h"
#include "log/eventlog.h"
#include "log/trace.h"

namespace kry {

namespace {

constexpr const char kWorkDirName[] = "recover.tmp";
constexpr const char kCleanMarkerText[] = "closed in order\n";
constexpr const char kEntryFile[] = "id2entry.dbb";
// Files a database must have even when no entry uses them.
constexpr const char* kAlwaysPresent[] = {"dn2id.dbb", "id2children.dbb", "dn.dbb", "objectclass.dbb"};
// Per-file Berkeley DB pool while rebuilding (the index files are written
// much faster when their pages stay in memory).
constexpr long kRebuildCacheSize = 8L << 20;

struct DbCloser {
  void operator()(DB* db) const { ldbm_close(db); }
};
using DbPtr = std::unique_ptr<DB, DbCloser>;

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> DatabaseFilesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* de = readdir(d)) {
      std::string n = de->d_name;
      if (n.size() > 4 && n.compare(n.size() - 4, 4, kLdbmSuffix) == 0) names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void RemoveTree(const std::string& dir) {
  for (DIR* d = opendir(dir.c_str()); d; d = nullptr) {
    while (dirent* de = readdir(d)) {
      std::string n = de->d_name;
      if (n != "." && n != "..") unlink((dir + "/" + n).c_str());
    }
    closedir(d);
  }
  rmdir(dir.c_str());
}

// The value in the counter file, or 0 when it is missing or unreadable.
long CounterFileValue(const std::string& path) {
  FILE* fp = std::fopen(path.c_str(), "r");
  if (!fp) return 0;
  char buf[20];
  long v = std::fgets(buf, sizeof buf, fp) ? std::atol(buf) : 0;
  std::fclose(fp);
  return v > 0 ? v : 0;
}

// Points the backend at another directory for the length of a scope,
// closing its files before and after (nothing else uses it meanwhile).
class DirectorySwitch {
 public:
  DirectorySwitch(Backend* be, const std::string& dir) : be_(be), old_(backend_directory(be)) {
    ldbm_cache_close_all(be_);
    oldCache_ = be_->ldbm->dbCacheSize;
    be_->ldbm->dbCacheSize = std::max(oldCache_, kRebuildCacheSize);
    backend_set_directory(be_, dir);
  }
  ~DirectorySwitch() {
    ldbm_cache_close_all(be_);  // syncs every rebuilt file
    be_->ldbm->dbCacheSize = oldCache_;
    backend_set_directory(be_, old_);
  }
  DirectorySwitch(const DirectorySwitch&) = delete;
  DirectorySwitch& operator=(const DirectorySwitch&) = delete;

 private:
  Backend* be_;
  std::string old_;
  long oldCache_ = 0;
};

// Copies what salvage finds into a new entry file. Records that only the
// aggressive pass finds may be deleted or replaced ones: they go aside, so
// that nothing is lost and no deleted entry comes back.
int SalvageEntryFile(const std::string& damaged, const std::string& work, AsideFile* aside, EntryID* highest) {
  const std::string fresh = work + "/" + kEntryFile;
  int err = 0;
  DbPtr out(ldbm_open(fresh, DB_CREATE, 0600, kRebuildCacheSize, &err));
  if (!out) return err ? err : -1;
  std::set<std::string> seen;
  size_t unkeyed = 0;
  int rc = SalvageDatabaseFile(damaged, work + "/salvage.dump", false, [&](std::string_view k, std::string_view v) {
    if (k.size() != sizeof(EntryID)) {
      aside->Add(0, "salvaged record with a key that is not an entry ID", v);
      ++unkeyed;
      return;
    }
    EntryID id;
    std::memcpy(&id, k.data(), sizeof id);
    *highest = std::max(*highest, id);
    if (!seen.insert(std::string(k)).second)
      LogError(EVENTLOG_WARNING, "Entry %lu was found more than once while salvaging; the last copy is kept.",
               static_cast<unsigned long>(id));
    if (ldbm_store(out.get(), Datum{k.data(), static_cast<uint32_t>(k.size())},
                   Datum{v.data(), static_cast<uint32_t>(v.size())}, 0) != 0)
      err = EIO;
  });
  if (rc == 0) rc = err;
  if (rc == 0) {
    rc = SalvageDatabaseFile(damaged, work + "/salvage.dump", true, [&](std::string_view k, std::string_view v) {
      if (k.size() != sizeof(EntryID) || seen.count(std::string(k))) return;
      EntryID id;
      std::memcpy(&id, k.data(), sizeof id);
      *highest = std::max(*highest, id);
      seen.insert(std::string(k));
      aside->Add(id, "found only by aggressive salvage (may be a deleted or replaced record)", v);
    });
  }
  if (rc == 0) rc = ldbm_sync(out.get());
  LogError(EVENTLOG_WARNING, "Salvaged %zu records of '%s'; %zu unusable records kept aside.", seen.size(),
           damaged.c_str(), unkeyed);
  return rc;
}

// Creates an empty B-tree file (an index that no stored entry uses).
int CreateEmpty(const std::string& path) {
  int err = 0;
  DbPtr db(ldbm_open(path, DB_CREATE, 0600, 0, &err));
  return db ? ldbm_sync(db.get()) : (err ? err : -1);
}

// Renames every file of the work directory into the data directory, the
// entry file first.
int Install(const std::string& work, const std::string& dir, bool newEntryFile) {
  if (newEntryFile) {
    std::string keep = dir + "/" + kEntryFile + ".damaged." + std::to_string(std::time(nullptr));
    if (link((dir + "/" + kEntryFile).c_str(), keep.c_str()) == 0)
      LogError(EVENTLOG_WARNING, "The damaged entry file is kept as '%s'.", keep.c_str());
    if (int rc = RenameDurably(work + "/" + kEntryFile, dir + "/" + kEntryFile)) return rc;
  }
  for (const std::string& n : DatabaseFilesIn(work))
    if (int rc = RenameDurably(work + "/" + n, dir + "/" + n)) return rc;
  return 0;
}

std::atomic<RecoveryFinisher> g_finisher{nullptr};

int Fail(const char* step, const std::string& path, int rc) {
  LogError(EVENTLOG_ERROR, "Database recovery failed while %s '%s': %s.  The old files are unchanged.", step,
           path.c_str(), rc > 0 ? std::strerror(rc) : db_strerror(rc));
  return 1;
}

int Recover(Backend* be, RecoveryStats* st) {
  const std::string dir = ldbm_file_path(be, "");
  const std::string base = dir.substr(0, dir.size() - 1);
  const std::string entryPath = dir + kEntryFile;
  const std::string work = dir + kWorkDirName;
  if (!Exists(entryPath)) return Fail("opening", entryPath, ENOENT);
  RemoveTree(work);  // left by a recovery that did not finish
  if (mkdir(work.c_str(), 0700) != 0) return Fail("creating", work, errno);
  struct WorkCleanup {
    std::string path;
    ~WorkCleanup() { RemoveTree(path); }
  } cleanup{work};

  AsideFile aside(dir + kAsideFileName);
  RebuildResult r;
  std::string source = entryPath;
  if (int vrc = VerifyDatabaseFile(entryPath); vrc != 0) {
    LogError(EVENTLOG_WARNING, "The entry file '%s' is damaged (%s); salvaging its records.", entryPath.c_str(),
             db_strerror(vrc));
    if (int rc = SalvageEntryFile(entryPath, work, &aside, &r.highest)) return Fail("salvaging", entryPath, rc);
    source = work + "/" + kEntryFile;
    st->salvaged = true;
  }

  int err = 0;
  // Opened for update: records kept aside leave the entry file.
  DbPtr src(ldbm_open(source, 0, 0600, kRebuildCacheSize, &err));
  if (!src) return Fail("opening", source, err);
  std::vector<EntryID> ids = StoredIds(src.get());
  if (!ids.empty()) r.highest = std::max(r.highest, ids.back());
  const long counter = std::max<long>({CounterFileValue(next_id_path(be)), static_cast<long>(r.highest) + 1, 1});
  {
    DirectorySwitch into(be, work);
    be->ldbm->nextId = counter;  // what All IDs lists record
    IdListCollector lists;
    be->ldbm->bulkLists = &lists;
    int rc = RebuildMaps(be, src.get(), ids, &aside, &r);
    be->ldbm->bulkLists = nullptr;
    if (rc != 0) return Fail("rebuilding the maps in", work, EIO);
    ldbm_cache_close_all(be);
    if ((rc = lists.Flush(static_cast<EntryID>(counter), kRebuildCacheSize)) != 0)
      return Fail("writing the indexes in", work, rc);
  }
  if (int rc = aside.Sync()) return Fail("writing", aside.path(), rc);
  for (EntryID id : r.dropped) ldbm_delete(src.get(), Datum{&id, sizeof id});
  if (int rc = ldbm_sync(src.get())) return Fail("syncing", source, rc);
  src.reset();

  for (const char* n : kAlwaysPresent)
    if (!Exists(work + "/" + n))
      if (int rc = CreateEmpty(work + "/" + n)) return Fail("creating", work + "/" + n, rc);
  // Index files no entry uses any more hold only stale records.
  for (const std::string& n : DatabaseFilesIn(base))
    if (n != kEntryFile && !Exists(work + "/" + n))
      if (int rc = CreateEmpty(work + "/" + n)) return Fail("creating", work + "/" + n, rc);

  if (int rc = WriteFileDurably(next_id_path(be), std::to_string(counter) + "\n"))
    return Fail("writing", next_id_path(be), rc);
  if (int rc = Install(work, base, st->salvaged)) return Fail("installing the rebuilt files in", base, rc);
  be->ldbm->nextId = counter;
  st->entries = r.entries;
  st->setAside = aside.count();
  st->unparented = r.unparented;
  st->nextId = static_cast<EntryID>(counter);
  return 0;
}

}  // namespace

int RecoverDatabases(Backend* be, RecoveryStats* stats) {
  Debug(LDAP_DEBUG_TRACE, "=> RecoverDatabases\n");
  RecoveryStats local;
  RecoveryStats* st = stats ? stats : &local;
  *st = RecoveryStats();
  const auto t0 = std::chrono::steady_clock::now();
  ldbm_cache_close_all(be);
  cache_release_all(backend_cache(be));
  LogError(EVENTLOG_INFO, "Database recovery started in '%s'.", backend_directory(be).c_str());
  int rc = Recover(be, st);
  st->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (rc == 0) {
    LogError(EVENTLOG_INFO,
             "Database recovery finished in %.1f seconds: %zu entries indexed, %zu records kept aside, %zu entries "
             "without a stored parent, next ID %lu%s.",
             st->seconds, st->entries, st->setAside, st->unparented, static_cast<unsigned long>(st->nextId),
             st->salvaged ? ", entry file salvaged" : "");
    if (RecoveryFinisher finish = g_finisher.load()) finish(be);
  }
  Debug(LDAP_DEBUG_TRACE, "<= RecoverDatabases, rc=%d\n", rc);
  return rc;
}

void ldbm_set_recovery_finisher(RecoveryFinisher finisher) { g_finisher = finisher; }

int RecoverDatabasesIfUnclean(Backend* be) {
  const std::string marker = ldbm_file_path(be, kCleanMarkerName);
  if (be->readOnly) {
    // Nothing is written, so nothing can be damaged by this run; a damaged
    // directory needs "krycertd -r".
    if (!Exists(marker))
      LogError(EVENTLOG_WARNING, "The server was not shut down in order and the database is read-only: run "
                                 "\"krycertd -r\" to verify and rebuild it.");
    return 0;
  }
  if (!Exists(marker)) {
    LogError(EVENTLOG_WARNING, "The server was not shut down in order; recovering the database before starting.");
    if (RecoverDatabases(be) != 0) {
      LogError(EVENTLOG_ERROR, "Database recovery failed.  Server not started.");
      return 1;
    }
  }
  if (int rc = RemoveFileDurably(marker)) {
    LogError(EVENTLOG_ERROR, "Could not remove '%s': %s.  Server not started.", marker.c_str(), std::strerror(rc));
    return 1;
  }
  be->ldbm->markCleanOnClose = true;
  // Room for the marker is taken now: a stop on a full disk can still
  // mark the database as closed in order.
  if (int rc = ReserveRoomToReplace(marker, sizeof kCleanMarkerText))
    LogError(EVENTLOG_WARNING, "Could not make room for '%s': %s.", marker.c_str(), std::strerror(rc));
  return 0;
}

int RecoverDatabasesCommand(Backend* be) {
  std::unique_ptr<DBLock> lock;
  if (LockDBs(be, &lock) != 0) return 1;
  int rc = RecoverDatabases(be);
  if (rc == 0) {
    be->ldbm->markCleanOnClose = true;
    ldbm_back_close(be);
  }
  UnlockDBs(&lock);
  return rc == 0 ? 0 : 1;
}

void ldbm_write_clean_marker(Backend* be) {
  if (!be->ldbm || !be->ldbm->markCleanOnClose) return;
  be->ldbm->markCleanOnClose = false;
  const std::string marker = ldbm_file_path(be, kCleanMarkerName);
  if (int rc = WriteFileDurably(marker, kCleanMarkerText))
    LogError(EVENTLOG_ERROR, "Could not write '%s': %s.  The next start will recover the database.", marker.c_str(),
             std::strerror(rc));
}

EntryID ldbm_highest_stored_id(const Backend* be) {
  const std::string path = ldbm_file_path(be, kEntryFile);
  if (!Exists(path)) return 0;
  DbPtr db(ldbm_open(path, DB_RDONLY, 0600, 0));
  if (!db) return 0;
  std::vector<EntryID> ids = StoredIds(db.get());
  return ids.empty() ? 0 : ids.back();
}

bool ldbm_report_failure(const std::string& path, const char* call, int rc, bool* reported) {
  if (rc == 0 || rc == DB_NOTFOUND || rc == DB_KEYEXIST || rc == DB_KEYEMPTY) return false;
  if (reported && *reported) return true;
  if (reported) *reported = true;
  LogError(EVENTLOG_ERROR,
           "Database file '%s' failed (%s): Berkeley DB error %d (%s).  The file may be damaged: stop the server "
           "and run \"krycertd -r\" to verify and rebuild the database.",
           path.c_str(), call, rc, rc > 0 ? std::strerror(rc) : db_strerror(rc));
  return true;
}

}  // namespace kry
