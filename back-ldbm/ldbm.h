// Private state of the ldbm backend (Part 4.9). Reached through
// Backend::ldbm; everything in back-ldbm works on it.
#pragma once

#include <string>

#include "back-ldbm/backend.h"
#include "util/thread.h"

namespace kry {

struct LdbmState {
  long nextId = -1;          // in-memory ID counter, -1 until loaded
  Mutex nextIdLock;          // guards nextId and the NEXTID file
  int mode = 0600;           // file mode for created database files
  std::string directory;     // "Directory"
  int cacheMaxSize = 50;     // "CacheEntries"
  long dbCacheSize = 1000000;  // per-file Berkeley DB pool, bytes
};

}  // namespace kry
