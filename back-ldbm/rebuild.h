// Rebuilding the DN map, the child map and the attribute indexes from the
// records of an entry map. Used by recovery only.
#pragma once

#include <db.h>

#include <vector>

#include "ldap/entry.h"

namespace kry {

struct Backend;
class AsideFile;

struct RebuildResult {
  size_t entries = 0;            // entries indexed
  size_t unparented = 0;         // entries whose parent DN is not stored
  std::vector<EntryID> dropped;  // records kept aside, to leave the entry map
  EntryID highest = 0;           // highest ID among all records
};

// Every ID stored in `source`, ascending.
std::vector<EntryID> StoredIds(DB* source);

// Reads every record of `source` in ascending ID order and writes the DN
// map, the child map and the indexes through the backend's normal store
// functions, into the backend's directory (the caller points it at an empty
// work directory). Records whose text does not convert, whose ID line
// disagrees with their key, or whose DN an earlier ID already holds go to
// `aside` and into result->dropped. 0, or -1 when a store fails.
int RebuildMaps(Backend* be, DB* source, const std::vector<EntryID>& ids, AsideFile* aside, RebuildResult* result);

}  // namespace kry
