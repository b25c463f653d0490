// ID lists: sorted sets of EntryIDs, in memory and on disk.
//
// Stored format (one record, host byte order, 32-bit words):
//   word 0       nmax   capacity: number of ID slots after the two words
//   word 1       nids   IDs in use, or a kind marker
//   word 2..     ids    nmax slots; unused ones are 0 or NOID
// The record is always (nmax + 2) * 4 bytes. Kinds:
//   direct list  nmax >= 1, nids >= 1, ids ascending
//   All IDs      nmax == 0, nids = the next ID when it was made; stands for
//                every ID from 1 to nids - 1
//   header       nmax = header slots, nids == 0, ids = the first ID of each
//                continuation record, ascending, then NOID
// A continuation record is a direct list stored under the key
// "\\" + key + decimal first ID (with its NUL). At most maxids (1022) IDs
// live in one record, so a full record is 4096 bytes; at most maxindirect (4)
// continuation records hang off a header, after which the key degrades to
// All IDs. Keys are NUL-terminated texts stored with their NUL.
//
// Updates of stored lists (idl_insert, idl_delete) and whole-list reads
// (idl_fetch) hold the slot's ID-list lock, so that concurrent updates of
// one file cannot interleave between a fetch and its stores.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ldap/entry.h"

namespace kry {

struct Backend;
struct DbCacheSlot;

struct IDList {
  // words[0] = nmax, words[1] = nids, then nmax ID slots.
  std::vector<uint32_t> words;

  uint32_t nmax() const { return words[0]; }
  uint32_t nids() const { return words[1]; }
  void set_nmax(uint32_t n) { words[0] = n; }
  void set_nids(uint32_t n) { words[1] = n; }
  EntryID* ids() { return words.data() + 2; }
  const EntryID* ids() const { return words.data() + 2; }
  EntryID id(size_t i) const { return words[2 + i]; }
  bool is_allids() const { return words[0] == 0; }
  bool is_header() const { return words[0] != 0 && words[1] == 0; }
};
using IDListPtr = std::unique_ptr<IDList>;

// idl_insert_id results.
enum IdlInsertResult : int {
  IDL_INSERTED = 0,        // inserted, not as the new first ID
  IDL_INSERTED_FIRST = 1,  // inserted as the new first ID
  IDL_PRESENT = 2,         // already there (also for All IDs)
  IDL_FULL = 3,            // no room
};

IDListPtr idl_alloc(uint32_t nmax);
// nmax 0, nids = next_id_peek(be).
IDListPtr idl_allids(Backend* be);
IDListPtr idl_dup(const IDList* list);
// Builds a direct list from ascending IDs (test and caller convenience).
IDListPtr idl_from_ids(const std::vector<EntryID>& ids);

// The record under `key` exactly as stored (direct, All IDs or header);
// null when absent or damaged (wrong size, counts out of range, IDs not
// ascending), a damaged record being traced.
IDListPtr idl_fetch_one(Backend* be, DbCacheSlot* slot, const std::string& key);
// The whole list for `key`, continuation records joined; stored All IDs are
// refreshed to the current next ID. Null when absent.
// IDs the list under key holds, judged from its first record alone: exact
// for a direct list, an upper bound (blocks times the block capacity) for
// an indirect one, 0 when there is no record, kIdlAllIdsEstimate for All
// IDs. A direct list, read whole for the estimate, is handed to *whole when
// given (what idl_fetch would return), so that it need not be read again.
constexpr uint64_t kIdlAllIdsEstimate = UINT64_MAX;
uint64_t idl_fetch_estimate(Backend* be, DbCacheSlot* slot, const std::string& key, IDListPtr* whole = nullptr);
IDListPtr idl_fetch(Backend* be, DbCacheSlot* slot, const std::string& key);
// Stores the whole array under key with flags 0; Berkeley DB status.
int idl_store(Backend* be, DbCacheSlot* slot, const std::string& key, const IDList& list);

// In-memory insert, growing by doubling up to maxids. IdlInsertResult.
int idl_insert_id(IDList* list, EntryID id, uint32_t maxids);
// Adds id to the stored list of key, splitting full records and degrading
// to All IDs past maxindirect records. 0 or a store/delete status.
int idl_insert(Backend* be, DbCacheSlot* slot, const std::string& key, EntryID id);
// Removes id from the stored list of key: 0, or -1 when the key or the id is
// absent. All IDs stays All IDs (0).
int idl_delete(Backend* be, DbCacheSlot* slot, const std::string& key, EntryID id);

// Set operations; null stands for "no IDs". The results are new lists.
IDListPtr idl_intersection(Backend* be, const IDList* a, const IDList* b);
IDListPtr idl_union(Backend* be, const IDList* a, const IDList* b);
IDListPtr idl_difference(Backend* be, const IDList* a, const IDList* b);

EntryID idl_first_id(const IDList* list);
EntryID idl_next_id(const IDList* list, EntryID id);

// Continuation key of `key` for a record whose first ID is `first`.
std::string idl_continuation_key(const std::string& key, EntryID first);

}  // namespace kry
