// Database creation, the start-up check and the data-directory lock.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "back-ldbm/dbcache.h"
#include "back-ldbm/durable.h"
#include "back-ldbm/id2children.h"
#include "back-ldbm/idlist.h"
#include "back-ldbm/index.h"
#include "back-ldbm/ldbm.h"
#include "back-ldbm/ldbm_ops.h"
#include "back-ldbm/nextid.h"
#include "back-ldbm/recover.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "runtime/lockfile.h"
#include "util/strutil.h"

namespace kry {

namespace {

// The files that make a database, in the order they are checked.
constexpr const char* kRequiredFiles[] = {"NEXTID", "id2entry.dbb", "id2children.dbb",
                                          "dn2id.dbb", "dn.dbb", "objectclass.dbb"};

struct BaseEntry {
  const char* dn;
  int parent;  // index of the parent base entry, -1 for none
  const char* text;  // the stored text; "%ld" is the ID
  const char* objectclass;  // its objectclass index value
};

constexpr BaseEntry kBaseEntries[] = {
    {"O=KRY KEYSPACE,C=US", -1, "%ld\ndn: O=KRY KEYSPACE,C=US\no: KRY KEYSPACE\nobjectclass: organization\n",
     "ORGANIZATION"},
    {"OU=ACTIVE,O=KRY KEYSPACE,C=US", 0,
     "%ld\ndn: OU=ACTIVE,O=KRY KEYSPACE,C=US\nou: ACTIVE\nobjectclass: organizationalunit\n", "ORGANIZATIONALUNIT"},
    {"OU=PENDING,O=KRY KEYSPACE,C=US", 0,
     "%ld\ndn: OU=PENDING,O=KRY KEYSPACE,C=US\nou: PENDING\nobjectclass: organizationalunit\n",
     "ORGANIZATIONALUNIT"},
    {"O=KRY GROUPSPACE,C=US", -1, "%ld\ndn: O=KRY GROUPSPACE,C=US\no: KRY GROUPSPACE\nobjectclass: organization\n",
     "ORGANIZATION"},
};
constexpr int kBaseCount = 4;

std::string PathOf(const Backend* be, const char* name) { return ldbm_file_path(be, name); }

bool Exists(const std::string& path) { return GetFileMode(path.c_str(), nullptr, nullptr, nullptr) == 0; }

// Counts a file about to be created and records it.
void NoteCreation(const std::string& path, int* count) {
  if (Exists(path)) return;
  ++*count;
  LogError(EVENTLOG_VERBOSE, "Creating database '%s'.", path.c_str());
}

void OpenFailed(const std::string& path) {
  LogError(EVENTLOG_ERROR, "Could not open database '%s'.\n  Cause of failure: %s\n", path.c_str(),
           std::strerror(errno ? errno : ENOENT));
}

void WriteFailed(const std::string& path) {
  LogError(EVENTLOG_ERROR, "Could not write to database '%s'.\n", path.c_str());
}

// Every other index file that the configuration defines, empty. Lookups
// never create a file, and a create on first use would be a write that can
// fail half-way while requests wait. These files are not counted: the
// count tells about the six a database cannot do without. 0 or -1.
int CreateIndexFiles(Backend* be) {
  return be->ldbm->indexes.tree.Apply([be](const IndexDefPtr& d) {
    std::string name = d->name;
    type_lowercase(name);
    // The child map doubles as the index of "id2children".
    if ((d->mask & ~INDEX_DEFAULT) == 0 || name == "default" || name == "id2children") return 0;
    const std::string path = PathOf(be, (name + kLdbmSuffix).c_str());
    if (Exists(path)) return 0;
    LogError(EVENTLOG_VERBOSE, "Creating database '%s'.", path.c_str());
    errno = 0;
    DbHandle db(be, name, DB_CREATE);
    if (!db) {
      OpenFailed(path);
      return -1;
    }
    return 0;
  });
}

// Steps 2 to 8 of CreateDatabases; -1 on failure, else the count.
int CreateAll(Backend* be) {
  int count = 0;
  long ids[kBaseCount] = {-1, -1, -1, -1};

  // The ID counter.
  const std::string nextid = PathOf(be, "NEXTID");
  if (FILE* fp = std::fopen(nextid.c_str(), "r+")) {
    std::fclose(fp);
  } else if (errno == ENOENT) {
    // Beside stored entries the counter continues after the highest of
    // them: restarting at 1 would overwrite them.
    const std::string first = std::to_string(static_cast<unsigned long>(ldbm_highest_stored_id(be)) + 1) + "\n";
    if (int e = WriteFileDurably(nextid, first)) {
      LogError(EVENTLOG_ERROR, "Could not open file '%s'.\n  Cause of failure: %s\n", nextid.c_str(),
               std::strerror(e));
      return -1;
    }
    count = 1;
    // A counter loaded before the file existed is stale now.
    MutexGuard g(be->ldbm->nextIdLock);
    be->ldbm->nextId = -1;
  } else {
    LogError(EVENTLOG_ERROR, "Could not open file '%s'.\n  Cause of failure: %s\n", nextid.c_str(),
             std::strerror(errno));
    return -1;
  }

  // IDs of base entries that the DN map already knows.
  const std::string dn2idPath = PathOf(be, "dn2id.dbb");
  if (Exists(dn2idPath)) {
    errno = 0;
    DbHandle db(be, "dn2id", DB_CREATE);
    if (!db) {
      OpenFailed(dn2idPath);
      return -1;
    }
    for (int i = 0; i < kBaseCount; ++i) {
      std::string key = kBaseEntries[i].dn;
      DbValue v = ldbm_cache_fetch(db.get(), TextKey(key));
      if (v && v.size() == sizeof(EntryID)) {
        EntryID id;
        std::memcpy(&id, v.data(), sizeof id);
        ids[i] = id;
      }
    }
  }

  // The entry map.
  {
    const std::string path = PathOf(be, "id2entry.dbb");
    NoteCreation(path, &count);
    errno = 0;
    DbHandle db(be, "id2entry", DB_CREATE);
    if (!db) {
      OpenFailed(path);
      return -1;
    }
    for (int i = 0; i < kBaseCount; ++i) {
      if (ids[i] < 0) ids[i] = next_id(be);
      EntryID id = static_cast<EntryID>(ids[i]);
      std::string text = StrFormat(kBaseEntries[i].text, ids[i]);
      Datum key{&id, sizeof id};
      if (ldbm_cache_fetch(db.get(), key)) continue;  // keep what is there
      if (ldbm_cache_store(db.get(), key, Datum{text.c_str(), static_cast<uint32_t>(text.size() + 1)},
                           DB_NOOVERWRITE) != 0) {
        WriteFailed(path);
        return -1;
      }
    }
  }

  // The child map: ACTIVE and PENDING under KEYSPACE. The top-level base
  // entries are not linked under parent 0.
  {
    const std::string path = PathOf(be, "id2children.dbb");
    NoteCreation(path, &count);
    errno = 0;
    DbHandle db(be, "id2children", DB_CREATE);
    if (!db) {
      OpenFailed(path);
      return -1;
    }
    for (int i = 0; i < kBaseCount; ++i) {
      for (int j = 0; j < kBaseCount; ++j) {
        if (kBaseEntries[j].parent != i) continue;
        if (idl_insert(be, db.get(), id2children_key(static_cast<EntryID>(ids[i])), static_cast<EntryID>(ids[j])) !=
            0) {
          WriteFailed(path);
          return -1;
        }
      }
    }
  }

  // The DN map.
  {
    NoteCreation(dn2idPath, &count);
    errno = 0;
    DbHandle db(be, "dn2id", DB_CREATE);
    if (!db) {
      OpenFailed(dn2idPath);
      return -1;
    }
    for (int i = 0; i < kBaseCount; ++i) {
      std::string key = kBaseEntries[i].dn;
      if (ldbm_cache_fetch(db.get(), TextKey(key))) continue;
      EntryID id = static_cast<EntryID>(ids[i]);
      if (ldbm_cache_store(db.get(), TextKey(key), Datum{&id, sizeof id}, DB_NOOVERWRITE) != 0) {
        WriteFailed(dn2idPath);
        return -1;
      }
    }
  }

  // The two indexes every database has.
  struct IndexStep {
    const char* attr;
    const char* file;
  };
  for (const IndexStep& step : {IndexStep{"dn", "dn.dbb"}, IndexStep{"objectclass", "objectclass.dbb"}}) {
    const std::string path = PathOf(be, step.file);
    NoteCreation(path, &count);
    for (int i = 0; i < kBaseCount; ++i) {
      const char* value = step.attr[0] == 'd' ? kBaseEntries[i].dn : kBaseEntries[i].objectclass;
      if (index_add_values(be, step.attr, {value}, static_cast<EntryID>(ids[i])) != 0) {
        WriteFailed(path);
        return -1;
      }
    }
  }
  return CreateIndexFiles(be) == 0 ? count : -1;
}

}  // namespace

int CreateDatabases(Backend* be) {
  Debug(LDAP_DEBUG_TRACE, "=> CreateDatabases\n");
  int rc = -1;
  if (be && be->ldbm) {
    // Creation always opens with create, whatever "ReadOnly" says.
    const int readOnly = be->readOnly;
    be->readOnly = 0;
    // A database created here starts out closed in order; one that existed
    // keeps whatever state its last stop left.
    const bool fresh = !Exists(PathOf(be, "id2entry.dbb"));
    try {
      rc = CreateAll(be);
    } catch (const std::bad_alloc&) {
      LogError(EVENTLOG_ERROR, "Out of memory.\n");
      rc = -1;
    }
    be->readOnly = readOnly;
    if (fresh && rc > 0) be->ldbm->markCleanOnClose = true;
    ldbm_back_close(be);
  }
  Debug(LDAP_DEBUG_TRACE, "<= CreateDatabases, rc=%d\n", rc);
  return rc;
}

int CheckRequiredDBs(Backend* be) {
  Debug(LDAP_DEBUG_TRACE, "=> CheckRequiredDBs\n");
  int rc = 0;
  for (const char* name : kRequiredFiles) {
    std::string path = PathOf(be, name);
    if (GetFileMode(path.c_str(), nullptr, nullptr, nullptr) != 0) {
      LogError(EVENTLOG_ERROR, "Required database '%s' not found.\n  Cause of failure: %s\n", path.c_str(),
               std::strerror(errno));
      rc = 1;
      break;
    }
  }
  Debug(LDAP_DEBUG_TRACE, "<= CheckRequiredDBs, rc=%d\n", rc);
  return rc;
}

DBLock::~DBLock() {
  if (handle.held()) UnlockLockFile(&handle);
}

int LockDBs(Backend* be, std::unique_ptr<DBLock>* lock) {
  Debug(LDAP_DEBUG_TRACE, "=> LockDBs\n");
  int rc = 0;
  auto l = std::make_unique<DBLock>();
  std::string path = PathOf(be, ".lockfile");
  if (CreateLockFile(path.c_str(), 0, &l->handle) != 0) {
    LogError(EVENTLOG_ERROR, "Database may already be locked by another server.");
    rc = 1;
    if (lock) lock->reset();
  } else if (lock) {
    *lock = std::move(l);
  }
  Debug(LDAP_DEBUG_TRACE, "<= LockDBs, rc=%d\n", rc);
  return rc;
}

void UnlockDBs(std::unique_ptr<DBLock>* lock) {
  Debug(LDAP_DEBUG_TRACE, "=> UnlockDBs\n");
  if (lock && *lock) {
    UnlockLockFile(&(*lock)->handle);
    lock->reset();
  }
  Debug(LDAP_DEBUG_TRACE, "<= UnlockDBs, rc=%d\n", 0);
}

}  // namespace kry
