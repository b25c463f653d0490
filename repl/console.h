// The status console of krycertrepl: a loopback TCP port that answers
// "STATUS" with the replicas' state as JSON and "STATUS TEXT" as lines for
// people. Only root and the process's own user may ask.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "repl/replicator.h"

namespace kryrepl {

// What the console reports per replica: the worker's state plus the backlog
// found in the log.
struct Backlog {
  uint64_t records = 0, bytes = 0;
  long oldestTime = 0;  // "time:" of the oldest undelivered record; 0: none
};
// Counts the complete records after `offset` that name `replica`.
Backlog ScanBacklog(const std::string& logFile, uint64_t offset, const std::string& replica);

std::string StatusJson(const std::vector<ReplicaStatus>& replicas, const std::vector<Backlog>& backlogs, long now);
std::string StatusText(const std::vector<ReplicaStatus>& replicas, const std::vector<Backlog>& backlogs, long now);

// Serves the console on 127.0.0.1:`port` until `shared` stops; `report`
// builds the answer (json or text). Returns at once with an event when the
// port cannot be opened.
void ServeConsole(int port, int timeoutSeconds, Shared* shared, const std::function<std::string(bool json)>& report);

// The client side (--status): prints the answer; 0, or 1 with a message on
// standard error.
int QueryStatus(int port, bool json, int timeoutSeconds);

}  // namespace kryrepl
