// Berkeley DB verify and salvage of one database file, and the file that
// keeps records recovery could not use. Used by recovery only.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "ldap/entry.h"

namespace kry {

// 0 when Berkeley DB's verify finds the file sound, else its status.
int VerifyDatabaseFile(const std::string& path);

// Salvages the key/value pairs of a damaged B-tree file with Berkeley DB's
// salvage mode (with `aggressive`, also records that look deleted or
// damaged), through the dump file `dumpPath` (removed afterwards). Calls
// `sink` for each pair in file order. 0 or a Berkeley DB / system status.
using RecordSink = std::function<void(std::string_view key, std::string_view value)>;
int SalvageDatabaseFile(const std::string& path, const std::string& dumpPath, bool aggressive,
                        const RecordSink& sink);

// Appends records to the aside file; every block is
//   "id: <ID or unknown>\nreason: <text>\nhex: <bytes>\n\n".
class AsideFile {
 public:
  explicit AsideFile(std::string path) : path_(std::move(path)) {}
  ~AsideFile();
  AsideFile(const AsideFile&) = delete;
  AsideFile& operator=(const AsideFile&) = delete;

  // id 0 means unknown. false when the file cannot be written.
  bool Add(EntryID id, const std::string& reason, std::string_view bytes);
  // Flushes and syncs what was added; 0 or errno.
  int Sync();
  size_t count() const { return count_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  FILE* fp_ = nullptr;
  size_t count_ = 0;
};

}  // namespace kry
