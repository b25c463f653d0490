// The ID counter: the text file "NEXTID" in the backend directory
// holds the next EntryID to hand out as "%ld\n". The backend keeps the value
// in memory (loaded on first use) under its next-ID lock; the file is
// rewritten by each commit round (next_id_flush) before the round's sync,
// so it covers every acknowledged entry even after kill -9, and recovery
// after an unclean stop continues after the highest stored ID whatever the
// file says. File failures are traced and never stop allocation.
#pragma once

#include <string>

#include "ldap/entry.h"

namespace kry {

struct Backend;

// Hands out the next ID and advances the counter (in memory; the file
// follows at next_id_flush, whose failure fails the commit round).
EntryID next_id(Backend* be);
// Gives id back when it was the last one handed out; otherwise nothing.
void next_id_return(Backend* be, EntryID id);
// The current counter value, not advanced.
EntryID next_id_peek(Backend* be);
// Rewrites the counter file when the counter moved since its last write,
// without syncing it: each commit round calls it before syncing the files
// of the writes it acknowledges. 0 or the errno.
int next_id_flush(Backend* be);
// Makes the last rewrite of the counter file durable (file and directory
// synced). A rewrite is one write over the old value, never shorter, so a
// killed server leaves the old or the new value; after a power loss, the
// entry map's highest ID bounds what a stale counter could hand out again,
// except for entries deleted since.
// Hence this runs before an entry leaves the entry map, and at every sync
// and close of the backend. 0 or errno.
int next_id_sync(Backend* be);

// Path of the counter file.
std::string next_id_path(const Backend* be);

}  // namespace kry
