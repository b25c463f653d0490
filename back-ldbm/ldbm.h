// Private state of the ldbm backend, reached through
// Backend::ldbm. Created by ldbm_back_init, freed by ldbm_back_release.
#pragma once

#include <string>

#include "back-ldbm/backend.h"
#include "back-ldbm/bulkidl.h"
#include "back-ldbm/cache.h"
#include "back-ldbm/commit.h"
#include "back-ldbm/dbcache.h"
#include "back-ldbm/index.h"
#include "util/thread.h"

namespace kry {

// Without "CacheEntries" the entry cache is bounded by memory, so that it
// holds a real directory whole (a key costs some 8.5 KiB with its user-ID
// entries: 256 MiB hold about 30,000 keys). Without "DBCacheSize" the
// Berkeley DB pools share one total (pool_share.h).
constexpr long kDefaultCacheMemoryMiB = 256;
constexpr long kDefaultDbCacheTotalMiB = 128;
constexpr int kDefaultFileMode = 0600;

struct LdbmState {
  LdbmState() {
    cache.byMemory = true;
    cache.maxbytes = static_cast<size_t>(kDefaultCacheMemoryMiB) << 20;
  }
  // Syncs and closes any file still open (a backend dropped without
  // ldbm_back_close loses nothing that was stored).
  ~LdbmState();
  LdbmState(const LdbmState&) = delete;
  LdbmState& operator=(const LdbmState&) = delete;

  long nextId = -1;     // in-memory ID counter, -1 until loaded (nextid.h)
  Mutex nextIdLock;     // guards nextId and the NEXTID file
  bool nextIdUnsynced = false;  // the file was rewritten since its last sync
  bool nextIdDeferred = false;  // the file lags the counter until the next commit round
  long nextIdWritten = 0;       // the value the file holds (0: unknown)
  int mode = kDefaultFileMode;  // "Mode" never changes it
  std::string directory;        // "Directory"
  EntryCache cache;             // "CacheEntries" (a count) or "CacheMemory"
  IndexTable indexes;           // defaults and "Index" lines
  long dbCacheSize = -1;  // bytes per file from "DBCacheSize"; -1: a share of the total
  long dbCacheTotal = kDefaultDbCacheTotalMiB << 20;  // bytes, "DBCacheTotal"
  DbCache dbcache;              // the handle cache
  CommitQueue commit;           // group commit of the entry map's writes
  // Set when start-up removed the clean-shutdown marker (or the database
  // was just created): the orderly close writes the marker again.
  bool markCleanOnClose = false;
  // While recovery rebuilds the indexes: their ID lists are gathered here
  // and written once at the end.
  IdListCollector* bulkLists = nullptr;
  // An offline bulk load: entry writes are not synced one by one and the ID
  // counter's file is written at syncs only; the load syncs every file once
  // at its end (a crash before it leaves no clean-shutdown marker, so the
  // next start rebuilds the counter from the entry map).
  bool bulkLoad = false;
};

}  // namespace kry
