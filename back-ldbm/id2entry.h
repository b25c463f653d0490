// The entry map "id2entry.dbb".
//   key    the EntryID, 4 bytes in host byte order
//   value  the entry text of ldap/entry.h with its ID line, NUL included
// Reads and writes pass through the entry cache.
#pragma once

#include "ldap/entry.h"

namespace kry {

struct Backend;

// Writes e's text under e->id (replace; durable at the caller's next
// ldbm_commit, commit.h) and adds e to the cache
// in the ready state; when e is cached already (the usual case: add
// reserves it first, modify works on the cached entry) nothing changes.
// *cached (optional) tells whether this call put e into the cache: the cache
// then owns e and the caller holds one reference; otherwise ownership is
// unchanged. Store status, or -1 when the file cannot be opened.
int id2entry_add(Backend* be, Entry* e, bool* cached = nullptr);
// Removes e from the cache and the entry map. Delete status, or -1.
int id2entry_delete(Backend* be, Entry* e);
// Removes the record of an ID from the entry map alone (an add taking back
// its write). Delete status, or -1.
int id2entry_remove_record(Backend* be, EntryID id);
// The entry for an ID, holding one cache reference; null when absent or its
// text does not convert.
Entry* id2entry(Backend* be, EntryID id);

}  // namespace kry
