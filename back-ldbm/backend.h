// Backend registry: the front end reaches storage only through a
// Backend, a record with a type name, private state and a table of
// operations. The server creates exactly one backend, of type "ldbm".
//
// The registry (a list owned by Globals) is built and torn down by the main
// thread while no request runs; backend_select only reads it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "runtime/lockfile.h"

namespace kry {

struct Connection;
struct Operation;
struct Filter;
struct Entry;
struct Modification;
struct Ava;
struct LdbmState;
struct Backend;

// The operation table, in the design's order. A null slot means the backend
// has no such operation. Handlers of requests send their own LDAP results
// except where noted:
struct BackendOps {
  // 0: bind succeeded and the caller sends success; 1: a result was sent.
  int (*bind)(Backend* be, Connection* conn, Operation* op, const std::string& dn, int method,
              const std::string& cred) = nullptr;
  int (*unbind)(Backend* be, Connection* conn, Operation* op) = nullptr;
  // 0 when the search ran, -1 when it failed before the first candidate.
  int (*search)(Backend* be, Connection* conn, Operation* op, const std::string& base, int scope, int deref,
                int sizelimit, int timelimit, Filter* filter, const std::string& filterText,
                const std::vector<std::string>* attrs, int attrsonly) = nullptr;
  // 0 when a compare result was sent, 1 otherwise.
  int (*compare)(Backend* be, Connection* conn, Operation* op, const std::string& dn, const Ava& ava) = nullptr;
  int (*modify)(Backend* be, Connection* conn, Operation* op, const std::string& dn,
                std::vector<Modification>& mods) = nullptr;
  int (*modrdn)(Backend* be, Connection* conn, Operation* op, const std::string& dn, const std::string& newrdn,
                int deleteoldrdn) = nullptr;
  // Sends nothing: 0 success, -1 failure before the entry was reserved, -2
  // failure after. The backend takes ownership of e in every case (see
  // ldbm_back_add). *err gets the LDAP result code, *matched a matched DN.
  int (*add)(Backend* be, Connection* conn, Operation* op, Entry* e, int merge, void* replArg, int* replicated,
             int* err, std::string* matched) = nullptr;
  int (*del)(Backend* be, Connection* conn, Operation* op, const std::string& dn) = nullptr;
  int (*abandon)(Backend* be, Connection* conn, Operation* op, int msgid) = nullptr;
  // 0 accepted, 1 error, 2 unknown keyword.
  int (*config)(Backend* be, const char* fname, int lineno, int argc, char** argv) = nullptr;
  int (*init)(Backend* be) = nullptr;
  int (*close)(Backend* be) = nullptr;
  int (*sync)(Backend* be) = nullptr;
  int (*release)(Backend* be) = nullptr;
};

struct Backend {
  int readOnly = 0;                   // "ReadOnly on": files are opened read-only
  std::vector<std::string> replicas;  // "Replica" arguments as written
  std::string type;                   // "ldbm"
  std::unique_ptr<LdbmState> ldbm;    // private state of the ldbm backend
  bool checkMode = false;             // configuration check only (-c)
  BackendOps ops;                     // filled by backend_new for "ldbm"

  Backend();
  ~Backend();
  Backend(const Backend&) = delete;
  Backend& operator=(const Backend&) = delete;
};

// Appends a new backend of `type` to `list` and runs its init operation.
// Returns the backend (owned by the list) or null for an unknown type or
// when initialisation fails (nothing is appended then).
Backend* backend_new(const char* type, std::vector<std::unique_ptr<Backend>>& list);

// The backend for a DN: the first of the list whatever the DN; null when
// there is none (callers answer "No database configured.").
Backend* backend_select(std::vector<std::unique_ptr<Backend>>& list, const char* dn);
// Every DN belongs to the one backend.
inline bool backend_is_suffix(const Backend*, const char*) { return true; }

// The backend's configuration handler for keywords the configuration reader
// does not know itself ("Mode", "Index", "CacheEntries", "DBCacheSize", and
// unknown keywords; "Directory" and "ReadOnly" are accepted too). argv[0] is
// the keyword. Returns 0 when the line was accepted (also after a warning),
// 1 after an error, 2 for an unknown keyword, each after logging the
// handler's "%s(%d): ..." message.
int backend_config(Backend* be, const char* fname, int lineno, int argc, char** argv);

// Database directory of an ldbm backend ("Directory"); empty when unset.
// backend_set_directory turns '\' into '/' and drops a trailing '/'.
const std::string& backend_directory(const Backend* be);
void backend_set_directory(Backend* be, const std::string& dir);

// Writes every backend's cached data to disk ("Commiting database cache data
// to disk." at verbose level) and checks the entry caches for leaked
// references. Safe while requests run.
void backend_sync_all(std::vector<std::unique_ptr<Backend>>& list);
// Bulk-load mode of an ldbm backend (offline loads only, nothing else
// using it): on, entry writes skip their sync; off, every open file is
// synced. 0, or -1 when that sync failed.
int backend_set_bulk_load(Backend* be, bool on);
// Closes every backend (sync, close files, free caches), releases them and
// empties the list.
void backend_close_all(std::vector<std::unique_ptr<Backend>>& list);
// Releases every backend and empties the list (backend_close_all's second
// half).
void ReleaseBackends(std::vector<std::unique_ptr<Backend>>& list);
// Calls each backend's unbind operation.
void backend_unbind_all(std::vector<std::unique_ptr<Backend>>& list, Connection* conn, Operation* op);

// Database creation and checks.
// Number of files created (0 when all existed), -1 on failure. Closes the
// backend before returning (it stays usable; files reopen on demand).
int CreateDatabases(Backend* be);
// 0 when all required files exist, 1 otherwise.
int CheckRequiredDBs(Backend* be);

// Lock on the data directory against a second server: ".lockfile" in the
// directory, locked with CreateLockFile (runtime/lockfile.h). Destroying a
// DBLock that still holds the lock releases it.
struct DBLock {
  LockFileHandle handle;
  DBLock() = default;
  ~DBLock();
  DBLock(const DBLock&) = delete;
  DBLock& operator=(const DBLock&) = delete;
};
// 0 on success (lock held in *lock), 1 on failure (after logging "Database
// may already be locked by another server.").
int LockDBs(Backend* be, std::unique_ptr<DBLock>* lock);
// Releases the lock and frees it (a null lock is fine).
void UnlockDBs(std::unique_ptr<DBLock>* lock);

}  // namespace kry
