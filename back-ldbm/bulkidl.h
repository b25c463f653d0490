// Index ID lists gathered in memory while recovery rebuilds the indexes,
// then written with one store per key instead of a fetch and a store per
// inserted ID. The stored records are those that inserting the IDs in
// ascending order would leave: a direct list, a header with up to four full
// continuation records, or All IDs.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "ldap/entry.h"

namespace kry {

struct Backend;

class IdListCollector {
 public:
  // `path` is the index file's full path, `key` the stored key text.
  void Insert(const std::string& path, const std::string& key, EntryID id);
  // Writes every gathered list into its file (opened on its own: the
  // caller has closed the handle cache's copies) and forgets them. 0, or a
  // Berkeley DB / system status.
  int Flush(EntryID nextId, long cacheSize);

 private:
  struct List {
    std::vector<EntryID> ids;
    bool all = false;  // more IDs than four records hold
  };
  std::unordered_map<std::string, std::unordered_map<std::string, List>> files_;
};

}  // namespace kry
