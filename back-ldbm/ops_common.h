// Helpers shared by the backend's update and lookup operations.
#pragma once

#include "ldap/entry.h"
#include "util/thread.h"

namespace kry {

struct Backend;
struct Connection;
struct Operation;

// Result codes of the value-level changes that the front end never sends on
// its own.
constexpr int kLdapConstraintViolation = 19;
constexpr int kLdapValueExists = 20;

// Serialises the read-change-store sequences of modify, modify-DN and
// delete, so that two changes of one entry never overwrite each other and a
// change never stores an entry that a delete has just removed. One for the
// process (the server has one backend). It is the outermost lock of these
// operations: taken before any lock of the maps, caches or files, never
// while one of those is held.
Mutex& ldbm_update_lock();

// The access hook for a request from conn at `level` (cert/access.h): the
// decision depends on the client's address and host name only; the
// server's own internal connection always passes.
bool ldbm_access(const Backend* be, const Connection* conn, int level);

// Whether the operation has been abandoned (read under its abandon lock).
bool ldbm_abandoned(Operation* op);

// An update whose writes failed: marks the operation (the client is told
// that the store failed) and returns operationsError.
int ldbm_store_failed(Operation* op);

// A private copy of an entry's DN, ID and attributes, outside every cache.
EntryPtr entry_copy(const Entry& e);

// Drops attributes left without values: the stored text cannot carry them,
// so a cached entry must not either.
void entry_drop_empty_attrs(Entry* e);

// Writes `replacement` (same ID as `old`) to the entry map and makes it the
// cached entry in place of `old`, which must hold the caller's reference and
// keeps it (the caller gives it back; it is freed with its last holder).
// On a failed store the cache keeps `old` and the replacement is freed.
// Returns the store status.
int ldbm_store_replacement(Backend* be, Entry* old, EntryPtr replacement);

}  // namespace kry
