#include "back-ldbm/dbcache.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "back-ldbm/ldbm.h"
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
  rc = db->open(db, nullptr, path.c_str(), nullptr, DB_BTREE, flags, mode & 0600);
  if (rc != 0) {
    db->close(db, 0);
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
  if (flags & kLdbmStoreSync) db->sync(db, 0);
  return rc;
}

int ldbm_delete(DB* db, Datum key) {
  if (!db) return EINVAL;
  DBT k = MakeDbt(key);
  int rc = db->del(db, nullptr, &k, 0);
  db->sync(db, 0);
  return rc;
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

namespace {

void FreeSlot(DbCacheSlot& s) {
  ldbm_close(s.db);
  s.db = nullptr;
  s.name.clear();
  s.refcnt = 0;
  s.lastref = 0;
  s.failureReported = false;
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
  // A file may sit in any occupied slot (an earlier failed open can leave a
  // free slot below occupied ones), so look at all of them.
  int freeSlot = -1;
  int candidate = 0;
  time_t best = now;
  for (int i = 0; i < kDbCacheSlots; ++i) {
    DbCacheSlot& s = dc.slots[i];
    if (!s.in_use()) {
      if (freeSlot < 0) freeSlot = i;
      continue;
    }
    if (s.name == path) {
      ++s.refcnt;
      Debug(LDAP_DEBUG_TRACE, "<= ldbm_cache_open (cache %d)\n", i);
      return &s;
    }
    if (s.refcnt == 0 && s.lastref < best) {
      best = s.lastref;
      candidate = i;
    }
  }

  int use = freeSlot;
  if (use < 0) {
    if (dc.slots[candidate].refcnt > 0) {
      Debug(LDAP_DEBUG_ANY, "ldbm_cache_open no unused db to close - waiting\n");
      for (;;) {
        for (int i = 0; i < kDbCacheSlots; ++i) {
          if (dc.slots[i].in_use() && dc.slots[i].refcnt == 0) {
            use = i;
            break;
          }
          if (!dc.slots[i].in_use()) {  // freed by a close_file meanwhile
            use = i;
            break;
          }
        }
        if (use >= 0) break;
        dc.idle.wait(lock);
      }
      // Another thread may have opened our file while we waited.
      for (int i = 0; i < kDbCacheSlots; ++i) {
        DbCacheSlot& s = dc.slots[i];
        if (s.in_use() && s.name == path) {
          ++s.refcnt;
          Debug(LDAP_DEBUG_TRACE, "<= ldbm_cache_open (cache %d)\n", i);
          return &s;
        }
      }
    } else {
      use = candidate;
    }
    DbCacheSlot& victim = dc.slots[use];
    if (victim.in_use()) {
      MutexGuard g(victim.mutex);
      FreeSlot(victim);
    }
  }

  DbCacheSlot& s = dc.slots[use];
  int err = 0;
  errno = 0;
  DB* db = ldbm_open(path, flags, li->mode, li->dbCacheSize, &err);
  if (!db) {
    LogError(EVENTLOG_ERROR,
             "Could not open database.  Make sure owner or group has read and write access to all database files.");
    int e = err > 0 ? err : errno;
    const char* reason = e > 0 ? std::strerror(e) : "unknown";
    if (err < 0) reason = db_strerror(err);
    // A file Berkeley DB cannot read as a database (as opposed to a missing
    // file or a permission problem) is damaged.
    if (err < 0 || err == EINVAL) ldbm_report_failure(path, "open", err, nullptr);
    Debug(LDAP_DEBUG_TRACE, "<= ldbm_cache_open NULL \"%s\" errno %d reason \"%s\")\n", path.c_str(), e, reason);
    return nullptr;
  }
  s.db = db;
  s.name = path;
  s.refcnt = 1;
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
    MutexGuard sg(slot->mutex);
    FreeSlot(*slot);
  }
}

void ldbm_cache_sync_all(Backend* be) {
  if (!be || !be->ldbm) return;
  DbCache& dc = be->ldbm->dbcache;
  MutexGuard g(dc.lock);
  for (auto& s : dc.slots) {
    if (!s.in_use()) continue;
    Debug(LDAP_DEBUG_TRACE, "ldbm flushing db (%s)\n", s.name.c_str());
    MutexGuard sg(s.mutex);
    ldbm_sync(s.db);
  }
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
    MutexGuard sg(s.mutex);
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
    MutexGuard sg(s.mutex);
    FreeSlot(s);
  }
  dc.idle.notify_all();
}

DbValue ldbm_cache_fetch(DbCacheSlot* slot, Datum key) {
  if (!slot) return DbValue();
  MutexGuard g(slot->mutex);
  int rc = 0;
  DbValue v = ldbm_fetch(slot->db, key, &rc);
  ldbm_report_failure(slot->name, "get", rc, &slot->failureReported);
  return v;
}

int ldbm_cache_store(DbCacheSlot* slot, Datum key, Datum data, uint32_t flags) {
  if (!slot) return EINVAL;
  MutexGuard g(slot->mutex);
  int rc = ldbm_store(slot->db, key, data, flags);
  ldbm_report_failure(slot->name, "put", rc, &slot->failureReported);
  return rc;
}

int ldbm_cache_delete(DbCacheSlot* slot, Datum key) {
  if (!slot) return EINVAL;
  MutexGuard g(slot->mutex);
  int rc = ldbm_delete(slot->db, key);
  ldbm_report_failure(slot->name, "del", rc, &slot->failureReported);
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
