// Recovery of the ldbm backend's files after an unclean stop.
//
// The entry map "id2entry.dbb" is the record of truth: an update is
// answered only after its write to it is synced (commit.h). The DN map, the child map, the attribute indexes and the ID
// counter are rebuilt from it. New files are written into the work
// directory "recover.tmp" beside the old ones and renamed into place; the
// clean-shutdown marker is written only at an orderly close, so a crash
// during recovery simply means recovery runs again at the next start.
//
// Entries whose text cannot be read are never dropped silently: they are
// reported by ID in the event log and kept aside in "id2entry.aside" (one
// block per record, with the raw bytes in hexadecimal).
#pragma once

#include <string>

#include "ldap/entry.h"

namespace kry {

struct Backend;

// Name of the clean-shutdown marker in the data directory.
constexpr const char kCleanMarkerName[] = "CLEANSHUTDOWN";
// Name of the file that keeps unreadable records.
constexpr const char kAsideFileName[] = "id2entry.aside";

struct RecoveryStats {
  bool salvaged = false;   // the entry map was damaged and salvaged
  size_t entries = 0;      // entries indexed
  size_t setAside = 0;     // records kept aside (unreadable, duplicate DN, ...)
  size_t unparented = 0;   // entries whose parent is not stored
  EntryID nextId = 0;      // the counter written
  double seconds = 0;
};

// Verifies the entry map, salvages it when damaged, and rebuilds every other
// file and the ID counter from it. Nothing else may use the backend
// meanwhile. 0 on success, 1 on failure (logged; the old files stay).
int RecoverDatabases(Backend* be, RecoveryStats* stats = nullptr);

// Work above the storage layer that an unclean stop can leave half done
// (key adds stored without their user-ID entries), run after every recovery
// that succeeded, with the rebuilt files in place and nothing else using
// the backend. Set once at start-up; without one, recovery does only its
// own part.
using RecoveryFinisher = int (*)(Backend* be);
void ldbm_set_recovery_finisher(RecoveryFinisher finisher);

// Start-up of the directory server (process start and the console's start
// command): when the data directory lacks the clean-shutdown marker, logs
// that the last stop was unclean and runs RecoverDatabases. Then removes the
// marker durably and arms the backend to write it again at its orderly
// close. 0 when the server may start, 1 when it must not (logged).
int RecoverDatabasesIfUnclean(Backend* be);

// "krycertd -r": locks the data directory, recovers, and leaves the
// directory marked as closed in order. Returns the process exit code.
int RecoverDatabasesCommand(Backend* be);

// Called by the backend's close: writes the marker when the backend was
// armed (start-up or database creation) and every file was synced.
void ldbm_write_clean_marker(Backend* be);

// The highest ID stored in the entry map (0 when none or no file). Reads
// the file through a handle of its own.
EntryID ldbm_highest_stored_id(const Backend* be);

// Reports a failed Berkeley DB call on a database file to the event log,
// once per open file: the path, the call, the error, and that recovery
// should be run. Status codes that only mean "absent" or "exists" are not
// failures and are ignored. Returns true when rc was such a failure.
bool ldbm_report_failure(const std::string& path, const char* call, int rc, bool* reported);

}  // namespace kry
