#include "back-ldbm/bulkidl.h"

#include <algorithm>
#include <cerrno>

#include "back-ldbm/dbcache.h"
#include "back-ldbm/idlist.h"

namespace kry {

namespace {

constexpr size_t kMaxIds = 1022;      // IDs in one stored record
constexpr size_t kMaxIndirect = 4;    // continuation records behind a header

int StoreWords(DB* db, const std::string& key, const std::vector<uint32_t>& words) {
  return ldbm_store(db, TextKey(key), Datum{words.data(), static_cast<uint32_t>(words.size() * 4)}, 0);
}

std::vector<uint32_t> Direct(const EntryID* ids, size_t n) {
  std::vector<uint32_t> w{static_cast<uint32_t>(n), static_cast<uint32_t>(n)};
  w.insert(w.end(), ids, ids + n);
  return w;
}

int StoreList(DB* db, const std::string& key, std::vector<EntryID>& ids, bool all, EntryID nextId) {
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  if (all || ids.size() > kMaxIds * kMaxIndirect) return StoreWords(db, key, {0, nextId});
  if (ids.size() <= kMaxIds) return StoreWords(db, key, Direct(ids.data(), ids.size()));
  const size_t blocks = (ids.size() + kMaxIds - 1) / kMaxIds;
  std::vector<uint32_t> header{static_cast<uint32_t>(blocks + 1), 0};
  for (size_t b = 0; b < blocks; ++b) {
    const size_t first = b * kMaxIds;
    const size_t n = std::min(kMaxIds, ids.size() - first);
    header.push_back(ids[first]);
    if (int rc = StoreWords(db, idl_continuation_key(key, ids[first]), Direct(ids.data() + first, n))) return rc;
  }
  header.push_back(NOID);
  return StoreWords(db, key, header);
}

}  // namespace

void IdListCollector::Insert(const std::string& path, const std::string& key, EntryID id) {
  List& l = files_[path][key];
  if (l.all) return;
  l.ids.push_back(id);
  // Far more than four records' worth (duplicates included): All IDs.
  if (l.ids.size() > 2 * kMaxIds * kMaxIndirect) {
    std::sort(l.ids.begin(), l.ids.end());
    l.ids.erase(std::unique(l.ids.begin(), l.ids.end()), l.ids.end());
    if (l.ids.size() > kMaxIds * kMaxIndirect) {
      l.all = true;
      l.ids = std::vector<EntryID>();
    }
  }
}

int IdListCollector::Flush(EntryID nextId, long cacheSize) {
  for (auto& [path, lists] : files_) {
    int err = 0;
    DB* db = ldbm_open(path, DB_CREATE, 0600, cacheSize, &err);
    if (!db) return err ? err : EIO;
    int rc = 0;
    for (auto& [key, list] : lists)
      if ((rc = StoreList(db, key, list.ids, list.all, nextId)) != 0) break;
    if (rc == 0) rc = ldbm_sync(db);
    ldbm_close(db);
    if (rc != 0) return rc;
  }
  files_.clear();
  return 0;
}

}  // namespace kry
