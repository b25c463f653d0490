// The settings krycertrepl takes from the server's configuration file: the
// replication log, the replica lines and its own console port and time-out.
// Keywords are matched without regard to case; other keywords are skipped.
#pragma once

#include <string>
#include <vector>

namespace kryrepl {

struct ReplConfig {
  std::string repLogFile;             // "RepLogFile" ('\' turned into '/')
  std::vector<std::string> replicas;  // "Replica" arguments as written
  int commandPort = 0;                // "repdCommandPort"; 0: no console
  int commandTimeout = 30;            // "repdCommandTimeout", seconds
};

// Reads `path`. 0, or 1 with *error set (file unreadable, bad value).
int ReadReplConfig(const std::string& path, ReplConfig* config, std::string* error);

// One replica address "[protocol://]host[:port]" taken apart; port 389, or
// 636 for "ldaps://". False for another protocol or a bad port.
struct ReplicaAddress {
  std::string host;
  int port = 389;
  bool tls = false;
};
bool ParseReplica(const std::string& text, ReplicaAddress* out);

}  // namespace kryrepl
