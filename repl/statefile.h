// The durable position of one replica in the replication log: which file
// (device, inode and a hash of its first record) and the byte offset after
// the last record the replica acknowledged.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kryrepl {

struct LogPosition {
  uint64_t device = 0, inode = 0;
  std::string headHash;  // hex SHA-256 of the first record; empty: none yet
  uint64_t offset = 0;
  bool operator==(const LogPosition& o) const {
    return device == o.device && inode == o.inode && headHash == o.headHash && offset == o.offset;
  }
};

// Hex SHA-256 of `bytes`.
std::string HashHex(std::string_view bytes);

// The state file of `replica` in `directory` (the name made safe for a
// file name).
std::string StateFilePath(const std::string& directory, const std::string& replica);

// Reads a state file; false when it is missing or unreadable (start over).
bool LoadPosition(const std::string& path, LogPosition* out);
// Writes it to a temporary file, syncs it, renames it over the old one and
// syncs the directory. 0, or an errno value.
int SavePosition(const std::string& path, const LogPosition& position);

}  // namespace kryrepl
