#include "back-ldbm/dbcache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "back-ldbm/ldbm.h"
#include "back-ldbm/poolshare.h"
#include "back-ldbm/recover.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "util/alloc.h"
#include "util/strutil.h"

namespace kry {

// ---------------------------------------------------------------- values

DbValue& DbValue::operator=(DbValue&& o) noexcept {
  if (this != &o) {
    ch_free(data_);
    data_ = o.data_;
    size_ = o.size_;
    o.data_ = nullptr;
    o.size_ = 0;
  }
  return *this;
}

DbValue::~DbValue() { ch_free(data_); }

// ---------------------------------------------------------- record layer

namespace {

void DbErrorTrace(const DB_ENV*, const char* prefix, const char* msg) {
  Debug(LDAP_DEBUG_TRACE, "berkeley db: %s%s\n", prefix ? prefix : "", msg ? msg : "");
}

// The name under which Berkeley DB creates `path` before renaming it.
std::string CreateTempPath(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t base = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, base) + "__db." + path.substr(base);
}

DBT MakeDbt(Datum d) {
  DBT t;
  std::memset(&t, 0, sizeof t);
  t.data = const_cast<void*>(d.data);
  t.size = d.size;
  return t;
}

}  // namespace

DB* ldbm_open(const std::string& path, uint32_t flags, int mode, long cachesize, int* err) {
  DB* db = nullptr;
  int rc = db_create(&db, nullptr, 0);
  if (rc != 0) {
    if (err) *err = rc;
    return nullptr;
  }
  db->set_errcall(db, DbErrorTrace);
  db->set_alloc(db, ch_malloc, ch_realloc, ch_free);
  if (cachesize > 0) {
    constexpr long kGig = 1L << 30;
    db->set_cachesize(db, static_cast<uint32_t>(cachesize / kGig), static_cast<uint32_t>(cachesize % kGig), 1);
  }
  // Berkeley DB creates a file under a temporary name and renames it into
  // place; a temporary file that an earlier failed create left behind
  // would make this open wait for ever for a creator that is gone. The
  // data directory is locked to this process, so no one else creates here.
  const bool creating = (flags & DB_CREATE) && access(path.c_str(), F_OK) != 0;
  if (creating) unlink(CreateTempPath(path).c_str());
  rc = db->open(db, nullptr, path.c_str(), nullptr, DB_BTREE, flags, mode & 0600);
  if (rc != 0) {
    db->close(db, 0);
    if (creating) unlink(CreateTempPath(path).c_str());
    if (err) *err = rc;
    return nullptr;
  }
  return db;
}

int ldbm_close(DB* db) { return db ? db->close(db, 0) : 0; }

int ldbm_sync(DB* db) { return db ? db->sync(db, 0) : 0; }

DbValue ldbm_fetch(DB* db, Datum key, int* status) {
  if (status) *status = EINVAL;
  if (!db) return DbValue();
  DBT k = MakeDbt(key);
  DBT v;
  std::memset(&v, 0, sizeof v);
  v.flags = DB_DBT_MALLOC;
  int rc = db->get(db, nullptr, &k, &v, 0);
  if (status) *status = rc;
  if (rc != 0) {
    // The library allocates only on success; nothing to free otherwise.
    return DbValue();
  }
  if (!v.data) {
    // A zero-length record: give the caller a non-null empty value so that
    // it is told apart from a missing key.
    void* p = ch_malloc(1);
    return p ? DbValue(p, 0) : DbValue();
  }
  return DbValue(v.data, v.size);
}

int ldbm_store(DB* db, Datum key, Datum data, uint32_t flags) {
  if (!db) return EINVAL;
  DBT k = MakeDbt(key);
  DBT v = MakeDbt(data);
  int rc = db->put(db, nullptr, &k, &v, flags & ~kLdbmStoreSync);
  if (flags & kLdbmStoreSync) {
    int src = db->sync(db, 0);
    if (rc == 0) rc = src;
  }
  return rc;
}

int ldbm_delete(DB* db, Datum key) {
  if (!db) return EINVAL;
  DBT k = MakeDbt(key);
  int rc = db->del(db, nullptr, &k, 0);
  int src = db->sync(db, 0);
  return rc == 0 ? src : rc;
}

// ---------------------------------------------------------- handle cache

std::string ldbm_file_path(const Backend* be, std::string_view name) {
  const std::string& dir = backend_directory(be);
  std::string path = dir.empty() ? std::string(".") : dir;
  path.push_back('/');
  path.append(name);
  return path;
}

uint32_t ldbm_open_flags(const Backend* be) { return be && be->readOnly ? DB_RDONLY : DB_CREATE; }

uint32_t ldbm_read_flags(const Backend* be) { return be && be->readOnly ? DB_RDONLY : 0; }

bool ldbm_out_of_space(const Backend* be) { return be && be->ldbm && be->ldbm->dbcache.outOfSpace.load(); }

namespace {

bool IsSpaceError(int rc) { return rc == ENOSPC || rc == EDQUOT; }

// Reports a lack of space once until an update is stored again.
void NoteOutOfSpace(DbCache* dc, const std::string& path, const char* call, int rc) {
  if (dc && !dc->outOfSpace.exchange(true))
    LogError(EVENTLOG_ERROR,
             "Could not write to database '%s' (%s): %s.  Changes are refused until space is freed; searches "
             "go on.",
             path.c_str(), call, std::strerror(rc));
}

}  // namespace

void ldbm_note_write_failure(Backend* be, const std::string& path, int err) {
  if (!be || !be->ldbm) return;
  if (IsSpaceError(err))
    NoteOutOfSpace(&be->ldbm->dbcache, path, "write", err);
  else
    LogError(EVENTLOG_ERROR, "Could not write '%s': %s.", path.c_str(), std::strerror(err));
}

void ldbm_note_update_stored(Backend* be) {
  if (be && be->ldbm && be->ldbm->dbcache.outOfSpace.exchange(false))
    LogError(EVENTLOG_INFO, "Writing to the database in '%s' works again.", backend_directory(be).c_str());
}

namespace {

thread_local bool t_undoing = false;

}  // namespace

LdbmUndoScope::LdbmUndoScope() : previous_(t_undoing) { t_undoing = true; }
LdbmUndoScope::~LdbmUndoScope() { t_undoing = previous_; }

namespace {

// Reports a failed write: a lack of space once until an update is stored
// again (ldbm_note_update_stored); other failures as damage, once per file
// ("absent" and "exists" are no failures).
void NoteWrite(DbCacheSlot* slot, const char* call, int rc) {
  if (rc == 0) return;
  if (IsSpaceError(rc)) {
    NoteOutOfSpace(slot->owner, slot->name, call, rc);
  } else {
    ldbm_report_failure(slot->name, call, rc, &slot->failureReported);
  }
}

void FreeSlot(DbCacheSlot& s) {
  // Closing writes what the pool still holds; a failure means the file on
  // disk may lack it.
  if (int rc = ldbm_close(s.db)) NoteWrite(&s, "close", rc);
  s.db = nullptr;
  s.name.clear();
  s.refcnt = 0;
  s.lastref = 0;
  s.failureReported = false;
  s.opening = false;
  s.reservedEnd = 0;
  s.unsynced = false;  // closing synced it
}

// Makes sure the slot's file has room for a store of `bytes` beyond its
// last page (see kLdbmHeadroomPages); 0 or the errno. Caller holds the
// slot mutex. Undo stores need only the record's own size.
int ReserveSpace(DbCacheSlot* slot, uint64_t bytes) {
  DB* db = slot->db;
  DB_MPOOLFILE* mpf = db ? db->get_mpf(db) : nullptr;
  uint32_t pagesize = 0;
  db_pgno_t last = 0;
  int fd = -1;
  if (!mpf || db->get_pagesize(db, &pagesize) != 0 || mpf->get_last_pgno(mpf, &last) != 0 || db->fd(db, &fd) != 0)
    return 0;  // nothing to measure against: the store decides
  const uint64_t end = (static_cast<uint64_t>(last) + 1) * pagesize;
  const uint64_t headroom = t_undoing ? 0 : static_cast<uint64_t>(kLdbmHeadroomPages) * pagesize;
  const uint64_t need = end + headroom + bytes + pagesize;
  if (slot->reservedEnd >= need) return 0;
  // Reserve a little more than needed, so that most stores find it done.
  for (uint64_t want : {need + headroom, need}) {
    if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(want)) == 0) {
      slot->reservedEnd = want;
      return 0;
    }
    if (errno == EOPNOTSUPP || errno == ENOSYS) {
      // A file system that cannot preallocate: judge by its free space.
      struct statvfs vfs;
      if (fstatvfs(fd, &vfs) != 0) return 0;
      return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize >= need - end ? 0 : ENOSPC;
    }
    if (!IsSpaceError(errno)) return errno;
  }
  return ENOSPC;
}

}  // namespace

namespace {

enum class Scan { kHit, kBusy, kUse };

// Looks for `path` in any occupied slot (an earlier failed open can leave a
// free slot below occupied ones), else for a slot to open it in: the first
// free one, or the idle one opened longest ago. kBusy: the file is being
// opened by another thread, or every slot is in use; wait and scan again.
Scan ScanSlots(DbCache& dc, const std::string& path, time_t now, int* slot) {
  int freeSlot = -1;
  int candidate = -1;
  time_t best = now;
  for (int i = 0; i < kDbCacheSlots; ++i) {
    DbCacheSlot& s = dc.slots[i];
    if (!s.in_use()) {
      if (freeSlot < 0) freeSlot = i;
      continue;
    }
    if (s.name == path) {
      *slot = i;
      return s.opening ? Scan::kBusy : Scan::kHit;
    }
    if (s.refcnt == 0 && (candidate < 0 || s.lastref < best)) {
      best = s.lastref;
      candidate = i;
    }
  }
  *slot = freeSlot >= 0 ? freeSlot : candidate;
  return *slot >= 0 ? Scan::kUse : Scan::kBusy;
}

void ReportOpenFailure(const std::string& path, uint32_t flags, int err) {
  int e = err > 0 ? err : errno;
  const char* reason = e > 0 ? std::strerror(e) : "unknown";
  if (err < 0) reason = db_strerror(err);
  // A lookup (neither create nor read-only) of a file that was never
  // created finds nothing; only a real failure is worth an event.
  if (!(e == ENOENT && !(flags & (DB_CREATE | DB_RDONLY))))
    LogError(EVENTLOG_ERROR,
             "Could not open database.  Make sure owner or group has read and write access to all database files.");
  // A file Berkeley DB cannot read as a database (as opposed to a missing
  // file or a permission problem) is damaged.
  if (err < 0 || err == EINVAL) ldbm_report_failure(path, "open", err, nullptr);
  Debug(LDAP_DEBUG_TRACE, "<= ldbm_cache_open NULL \"%s\" errno %d reason \"%s\")\n", path.c_str(), e, reason);
}

}  // namespace

DbCacheSlot* ldbm_cache_open(Backend* be, std::string_view name, const char* suffix, uint32_t flags) {
  if (!be || !be->ldbm) return nullptr;
  LdbmState* li = be->ldbm.get();
  DbCache& dc = li->dbcache;
  std::string path = ldbm_file_path(be, name);
  if (suffix) path.append(suffix);
  Debug(LDAP_DEBUG_TRACE, "=> ldbm_cache_open( \"%s\", %d, %o )\n", path.c_str(), static_cast<int>(flags), li->mode);
  const time_t now = time(nullptr);

  MutexLock lock(dc.lock);
  int use = -1;
  bool waited = false;
  for (;;) {
    Scan found = ScanSlots(dc, path, now, &use);
    if (found == Scan::kHit) {
      ++dc.slots[use].refcnt;
      Debug(LDAP_DEBUG_TRACE, "<= ldbm_cache_open (cache %d)\n", use);
      return &dc.slots[use];
    }
    if (found == Scan::kUse) break;
    if (use < 0 && !waited) Debug(LDAP_DEBUG_ANY, "ldbm_cache_open no unused db to close - waiting\n");
    waited = true;
    dc.idle.wait(lock);
  }
  DbCacheSlot& s = dc.slots[use];
  if (s.in_use()) {
    SpinningGuard g(s.mutex);
    FreeSlot(s);
  }
  // The slot is claimed under the file's name; the open itself runs without
  // the cache lock, so that a slow or stuck open of one file never holds up
  // the lookups of every other.
  s.name = path;
  s.refcnt = 1;
  s.opening = true;
  lock.unlock();
  int err = 0;
  errno = 0;
  DB* db = ldbm_open(path, flags, li->mode, ldbm_file_pool_size(*li, name), &err);
  const int openErrno = errno;
  lock.lock();
  dc.idle.notify_all();
  if (!s.opening || s.name != path) {
    // The backend closed every slot meanwhile (it is being shut down).
    ldbm_close(db);
    Debug(LDAP_DEBUG_TRACE, "<= ldbm_cache_open NULL \"%s\" (closed while opening)\n", path.c_str());
    return nullptr;
  }
  s.opening = false;
  if (!db) {
    s.name.clear();
    s.refcnt = 0;
    errno = openErrno;
    ReportOpenFailure(path, flags, err);
    return nullptr;
  }
  {
    SpinningGuard g(s.mutex);
    s.db = db;
    s.reservedEnd = 0;
  }
  s.lastref = now;
  s.blksize = 4096;
  s.maxids = 1022;
  s.maxindirect = 4;
  Debug(LDAP_DEBUG_ARGS, "ldbm_cache_open (blksize %d) (maxids %d) (maxindirect %d)\n", s.blksize, s.maxids,
        s.maxindirect);
  Debug(LDAP_DEBUG_TRACE, "<= ldbm_cache_open (opened %d)\n", use);
  return &s;
}

void ldbm_cache_close(Backend* be, DbCacheSlot* slot) {
  if (!be || !be->ldbm || !slot) return;
  DbCache& dc = be->ldbm->dbcache;
  MutexGuard g(dc.lock);
  if (slot->refcnt > 0 && --slot->refcnt == 0) dc.idle.notify_all();
}

void ldbm_cache_close_file(Backend* be, DbCacheSlot* slot) {
  if (!be || !be->ldbm || !slot) return;
  DbCache& dc = be->ldbm->dbcache;
  MutexGuard g(dc.lock);
  if (slot->refcnt > 0) --slot->refcnt;
  if (slot->refcnt > 0) return;
  dc.idle.notify_all();
  if (slot->in_use()) {
    SpinningGuard sg(slot->mutex);
    FreeSlot(*slot);
  }
}

int ldbm_cache_sync_all(Backend* be) {
  if (!be || !be->ldbm) return 0;
  DbCache& dc = be->ldbm->dbcache;
  MutexGuard g(dc.lock);
  int first = 0;
  for (auto& s : dc.slots) {
    if (!s.in_use() || s.opening) continue;
    Debug(LDAP_DEBUG_TRACE, "ldbm flushing db (%s)\n", s.name.c_str());
    SpinningGuard sg(s.mutex);
    int rc = ldbm_sync(s.db);
    if (rc != 0) NoteWrite(&s, "sync", rc);
    if (first == 0) first = rc;
  }
  return first;
}

int ldbm_cache_sync_unsynced(Backend* be, int* synced) {
  if (synced) *synced = 0;
  if (!be || !be->ldbm) return 0;
  DbCache& dc = be->ldbm->dbcache;
  // Held slots cannot be evicted; their syncs run under their own mutex
  // only, so a sync of one file never stalls the opens of every other.
  std::vector<DbCacheSlot*> held;
  {
    MutexGuard g(dc.lock);
    for (auto& s : dc.slots) {
      if (!s.in_use() || s.opening || !s.unsynced.load()) continue;
      ++s.refcnt;
      held.push_back(&s);
    }
  }
  int first = 0;
  for (DbCacheSlot* s : held) {
    {
      SpinningGuard sg(s->mutex);
      // A put between the scan and here sets the flag again and is covered
      // by this sync all the same.
      if (s->unsynced.exchange(false)) {
        int rc = ldbm_sync(s->db);
        if (rc != 0) {
          s->unsynced = true;
          NoteWrite(s, "sync", rc);
          if (first == 0) first = rc;
        } else if (synced) {
          ++*synced;
        }
      }
    }
    ldbm_cache_close(be, s);
  }
  return first;
}

void ldbm_cache_close_all(Backend* be) {
  if (!be || !be->ldbm) return;
  DbCache& dc = be->ldbm->dbcache;
  MutexLock lock(dc.lock);
  auto busy = [&] {
    for (auto& s : dc.slots)
      if (s.in_use() && s.refcnt > 0) return true;
    return false;
  };
  while (busy()) dc.idle.wait(lock);
  for (auto& s : dc.slots) {
    if (!s.in_use()) continue;
    Debug(LDAP_DEBUG_TRACE, "ldbm flushing db (%s)\n", s.name.c_str());
    SpinningGuard sg(s.mutex);
    ldbm_sync(s.db);
    FreeSlot(s);
  }
  dc.idle.notify_all();
}

void ldbm_cache_close_every_slot(Backend* be) {
  if (!be || !be->ldbm) return;
  DbCache& dc = be->ldbm->dbcache;
  MutexGuard g(dc.lock);
  for (auto& s : dc.slots) {
    if (!s.in_use()) continue;
    if (s.refcnt > 0)
      Debug(LDAP_DEBUG_ANY, "ldbm closing db (%s) with %d users\n", s.name.c_str(), s.refcnt);
    SpinningGuard sg(s.mutex);
    FreeSlot(s);
  }
  dc.idle.notify_all();
}

DbValue ldbm_cache_fetch(DbCacheSlot* slot, Datum key) {
  if (!slot) return DbValue();
  SpinningGuard g(slot->mutex);
  int rc = 0;
  DbValue v = ldbm_fetch(slot->db, key, &rc);
  ldbm_report_failure(slot->name, "get", rc, &slot->failureReported);
  return v;
}

int ldbm_cache_store(DbCacheSlot* slot, Datum key, Datum data, uint32_t flags) {
  if (!slot) return EINVAL;
  SpinningGuard g(slot->mutex);
  if (int rc = ReserveSpace(slot, static_cast<uint64_t>(key.size) + data.size)) {
    NoteWrite(slot, "put", rc);
    return rc;
  }
  int rc = ldbm_store(slot->db, key, data, flags & ~kLdbmStoreCommit);
  NoteWrite(slot, "put", rc);
  if (rc == 0 && (flags & kLdbmStoreCommit)) slot->unsynced = true;
  return rc;
}

int ldbm_cache_delete(DbCacheSlot* slot, Datum key) {
  if (!slot) return EINVAL;
  SpinningGuard g(slot->mutex);
  int rc = ldbm_delete(slot->db, key);
  NoteWrite(slot, "del", rc);
  return rc;
}

// ----------------------------------------------------------- file status

int GetFileMode(const char* path, int* modeOut, int* ownerOut, int64_t* sizeOut) {
  Debug(LDAP_DEBUG_TRACE, "=> GetFileMode\n");
  struct stat st;
  int rc = 1;
  int savedErrno = ENOENT;
  if (path && stat(path, &st) == 0) {
    if (modeOut) *modeOut = static_cast<int>(st.st_mode & 0xFFFF);
    if (sizeOut) *sizeOut = static_cast<int64_t>(st.st_size);
    rc = ownerOut ? 1 : 0;
    savedErrno = 0;
  } else if (path) {
    savedErrno = errno;
  }
  Debug(LDAP_DEBUG_TRACE, "<= GetFileMode\n");
  errno = savedErrno;  // callers report the stat failure's text
  return rc;
}

}  // namespace kry
