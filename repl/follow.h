// Watches the replication log for appends, replacement and rotation with
// inotify and wakes the workers; once a second regardless, in case an
// event was missed (or inotify is not available).
#pragma once

#include <string>

#include "repl/replicator.h"

namespace kryrepl {

// Runs until `shared` stops or SIGTERM/SIGINT arrives (which stops it);
// the caller blocks those signals in every thread first.
void FollowLog(const std::string& logFile, Shared* shared);

}  // namespace kryrepl
