// Database files and the handle cache.
//
// Record layer: thin wrappers over Berkeley DB 5.3's C API. Every file is a
// B-tree opened on its own (no environment: each handle gets a private
// memory pool of the configured size), with the shared allocator for the
// values that gets return. No cursors, transactions, locking or logging.
//
// Handle cache: at most kDbCacheSlots files open per backend, shared by all
// threads. A slot's mutex serialises every Berkeley DB call on its file (the
// handles are opened without DB_THREAD).
//
// Lock order: the handle-cache lock may be held while a slot's mutex is
// taken, never the other way round. A slot's ID-list update lock (idlist.h)
// is taken before its mutex and never while holding the handle-cache lock.
#pragma once

#include <db.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "util/thread.h"

namespace kry {

struct Backend;

constexpr int kDbCacheSlots = 15;
constexpr const char kLdbmSuffix[] = ".dbb";
// Store flag: after the put, sync the file (the entry map's writes).
constexpr uint32_t kLdbmStoreSync = 0x80000000u;
// Store flag of the handle cache: the put is made durable by the writer's
// next ldbm_commit (commit.h), which may share one sync with other writers.
constexpr uint32_t kLdbmStoreCommit = 0x40000000u;

// A key or value handed to the record layer. `size` counts every byte
// stored, including a terminating NUL where a format has one.
struct Datum {
  const void* data = nullptr;
  uint32_t size = 0;
};

// Key of a NUL-terminated text, NUL included.
inline Datum TextKey(const std::string& s) { return Datum{s.c_str(), static_cast<uint32_t>(s.size() + 1)}; }

// A value fetched from a file, in memory from the shared allocator (freed
// on destruction, like ldbm_free_value). A missing key or any fetch error
// gives an empty value: data() null, size() 0.
class DbValue {
 public:
  DbValue() = default;
  DbValue(void* data, uint32_t size) : data_(data), size_(size) {}
  DbValue(DbValue&& o) noexcept : data_(o.data_), size_(o.size_) {
    o.data_ = nullptr;
    o.size_ = 0;
  }
  DbValue& operator=(DbValue&& o) noexcept;
  DbValue(const DbValue&) = delete;
  DbValue& operator=(const DbValue&) = delete;
  ~DbValue();

  const void* data() const { return data_; }
  uint32_t size() const { return size_; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  void* data_ = nullptr;
  uint32_t size_ = 0;
};

// Record layer. `ldbm_open` returns null on failure with the Berkeley DB or
// system error in *err (if given). A create that fails leaves no file
// behind, not even Berkeley DB's temporary one (which would make every
// later open of the name wait for ever).
DB* ldbm_open(const std::string& path, uint32_t flags, int mode, long cachesize, int* err = nullptr);
int ldbm_close(DB* db);
int ldbm_sync(DB* db);
// *status (optional) receives the get's result (DB_NOTFOUND when absent).
DbValue ldbm_fetch(DB* db, Datum key, int* status = nullptr);
// flags: 0 (insert or replace), DB_NOOVERWRITE (DB_KEYEXIST when present),
// optionally with kLdbmStoreSync. The put's status, or the sync's when the
// put succeeded and the sync did not.
int ldbm_store(DB* db, Datum key, Datum data, uint32_t flags);
// Deletes and then always syncs the file; the delete's status, or the
// sync's when the delete succeeded and the sync did not.
int ldbm_delete(DB* db, Datum key);
// Space preallocated past the end of a file (without changing its size),
// so that the pages Berkeley DB writes later never meet a full disk: a
// store first makes sure the file has this much plus the record's size
// free beyond its last page, and fails with ENOSPC, writing nothing, when
// the disk cannot give it. In pages of the file.
constexpr uint32_t kLdbmHeadroomPages = 8;

// One handle-cache slot.
struct DbCacheSlot {
  // Guarded by the handle-cache lock.
  std::string name;  // full path; empty when the slot is free
  int refcnt = 0;
  time_t lastref = 0;
  // Set while opening under the handle-cache lock; read by holders.
  DB* db = nullptr;
  int blksize = 4096;
  int maxids = 1022;  // capacity of one stored ID-list block
  int maxindirect = 4;
  int index = 0;      // slot number
  bool failureReported = false;  // a failed call was logged for this open
  bool opening = false;  // name is set, the open runs without the cache lock
  // Guarded by `mutex`: the file offset up to which space is preallocated.
  uint64_t reservedEnd = 0;
  // A kLdbmStoreCommit put has not been synced yet. Changed under `mutex`;
  // atomic so that the commit's scan need not wait for busy files.
  std::atomic<bool> unsynced{false};
  struct DbCache* owner = nullptr;  // the cache the slot belongs to

  SpinningMutex mutex;  // serialises Berkeley DB calls on `db` (short: spins first)
  Mutex idlLock;    // serialises ID-list updates on this file

  bool in_use() const { return !name.empty(); }
};

struct DbCache {
  std::array<DbCacheSlot, kDbCacheSlots> slots;
  Mutex lock;                        // guards the slot table
  // Notified when a refcnt drops to zero and when an open finishes.
  std::condition_variable idle;
  // Set while writes fail for lack of space: the event log hears of it once
  // when it starts and once when an update is stored again.
  std::atomic<bool> outOfSpace{false};
  DbCache() {
    for (int i = 0; i < kDbCacheSlots; ++i) {
      slots[i].index = i;
      slots[i].owner = this;
    }
  }
};

// True while the backend's writes fail for lack of space.
bool ldbm_out_of_space(const Backend* be);
// Reports a failed write of another file of the backend (the ID counter):
// a lack of space as the start of an out-of-space episode.
void ldbm_note_write_failure(Backend* be, const std::string& path, int err);
// Called when an update was stored in full: ends an out-of-space episode
// (with an event saying so).
void ldbm_note_update_stored(Backend* be);

// While one lives on a thread, the stores of that thread undo a failed
// update: they may use the preallocated space without topping it up, so
// that an update refused on a full disk can still be taken back.
class LdbmUndoScope {
 public:
  LdbmUndoScope();
  ~LdbmUndoScope();
  LdbmUndoScope(const LdbmUndoScope&) = delete;
  LdbmUndoScope& operator=(const LdbmUndoScope&) = delete;

 private:
  bool previous_;
};

// Path of a file in the backend directory: "<directory>/<name>"; an unset
// directory counts as the working directory, never as the root.
std::string ldbm_file_path(const Backend* be, std::string_view name);

// The open flags for an ordinary open: DB_RDONLY for a read-only backend,
// else DB_CREATE.
uint32_t ldbm_open_flags(const Backend* be);
// The open flags for a lookup: never creates a file (a missing file then
// reads as empty), DB_RDONLY for a read-only backend.
uint32_t ldbm_read_flags(const Backend* be);

// Handle cache. `name` is the base name, `suffix` normally kLdbmSuffix.
DbCacheSlot* ldbm_cache_open(Backend* be, std::string_view name, const char* suffix, uint32_t flags);
void ldbm_cache_close(Backend* be, DbCacheSlot* slot);
// Drops one reference; closes the file and frees the slot when none remain.
void ldbm_cache_close_file(Backend* be, DbCacheSlot* slot);
// 0, or the first failed sync's status.
int ldbm_cache_sync_all(Backend* be);
// Syncs each open file that holds kLdbmStoreCommit puts not yet synced,
// without holding the handle-cache lock during the syncs (lookups of other
// files go on). *synced (optional) counts the files synced. 0, or the
// first failed sync's status (that file stays marked for the next one).
int ldbm_cache_sync_unsynced(Backend* be, int* synced = nullptr);
// Waits until no handle is in use, then syncs and closes every file.
void ldbm_cache_close_all(Backend* be);
// Closes every occupied slot whatever its reference count (backend close,
// when no operation runs any more).
void ldbm_cache_close_every_slot(Backend* be);

DbValue ldbm_cache_fetch(DbCacheSlot* slot, Datum key);
int ldbm_cache_store(DbCacheSlot* slot, Datum key, Datum data, uint32_t flags);
int ldbm_cache_delete(DbCacheSlot* slot, Datum key);

// A handle taken from the cache, given back on destruction.
class DbHandle {
 public:
  DbHandle(Backend* be, std::string_view name, uint32_t flags)
      : be_(be), slot_(ldbm_cache_open(be, name, kLdbmSuffix, flags)) {}
  ~DbHandle() { Close(); }
  DbHandle(const DbHandle&) = delete;
  DbHandle& operator=(const DbHandle&) = delete;

  DbCacheSlot* get() const { return slot_; }
  explicit operator bool() const { return slot_ != nullptr; }
  void Close() {
    if (slot_) ldbm_cache_close(be_, slot_);
    slot_ = nullptr;
  }

 private:
  Backend* be_;
  DbCacheSlot* slot_;
};

// File status (64-bit size). 0 on success; mode (low 16 bits) and size are
// stored when their pointers are non-null. The owner cannot be supplied: a
// non-null ownerOut makes the call return 1 after filling mode and size.
int GetFileMode(const char* path, int* modeOut, int* ownerOut, int64_t* sizeOut);

}  // namespace kry
