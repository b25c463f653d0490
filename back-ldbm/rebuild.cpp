#include "back-ldbm/rebuild.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>

#include "back-ldbm/dbcache.h"
#include "back-ldbm/dn2id.h"
#include "back-ldbm/id2children.h"
#include "back-ldbm/index.h"
#include "back-ldbm/salvage.h"
#include "ldap/dn.h"
#include "log/eventlog.h"
#include "log/trace.h"

namespace kry {

namespace {

using DnMap = std::unordered_map<std::string, EntryID>;

// What one record is, once read.
enum class Outcome { kLinked, kWaitForParent, kDropped, kFailed };

class Rebuilder {
 public:
  Rebuilder(Backend* be, DB* source, AsideFile* aside, RebuildResult* r)
      : be_(be), source_(source), aside_(aside), r_(r) {}

  // Handles one record; with `lastRound` an absent parent no longer waits.
  Outcome Add(EntryID id, bool lastRound) {
    DbValue v = ldbm_fetch(source_, Datum{&id, sizeof id});
    if (!v) return Drop(id, "record vanished from the entry file", std::string_view());
    const char* text = static_cast<const char*>(v.data());
    std::string_view raw(text, v.size());
    EntryPtr e = str2entry(std::string_view(text, strnlen(text, v.size())));
    if (!e) return Drop(id, "entry text does not convert to an entry", raw);
    if (e->id != 0 && e->id != id) return Drop(id, "ID line " + std::to_string(e->id) + " differs from the key", raw);
    e->id = id;
    const std::string ndn = dn_normalized_upper(e->dn);
    if (auto it = dns_.find(ndn); it != dns_.end())
      return Drop(id, "DN already held by entry " + std::to_string(it->second), raw);

    std::optional<EntryID> parent;
    if (std::optional<std::string> pdn = dn_get_parent(be_, dn_normalized(e->dn))) {
      auto it = dns_.find(dn_normalized_upper(*pdn));
      if (it != dns_.end()) parent = it->second;
      else if (!lastRound) return Outcome::kWaitForParent;
      else ++r_->unparented;
    }
    return Link(*e, ndn, parent) ? Outcome::kLinked : Outcome::kFailed;
  }

 private:
  bool Link(const Entry& e, const std::string& ndn, std::optional<EntryID> parent) {
    if (dn2id_add(be_, e.dn, e.id) != 0) return false;
    if (parent) {
      Entry p;
      p.id = *parent;
      if (id2children_add(be_, &p, &e) != 0) return false;
    }
    index_add_entry(be_, &e);
    dns_.emplace(ndn, e.id);
    ++r_->entries;
    return true;
  }

  Outcome Drop(EntryID id, const std::string& reason, std::string_view raw) {
    LogError(EVENTLOG_WARNING, "Entry %lu kept aside in '%s': %s.", static_cast<unsigned long>(id),
             aside_->path().c_str(), reason.c_str());
    if (!aside_->Add(id, reason, raw)) return Outcome::kFailed;
    r_->dropped.push_back(id);
    return Outcome::kDropped;
  }

  Backend* be_;
  DB* source_;
  AsideFile* aside_;
  RebuildResult* r_;
  DnMap dns_;
};

}  // namespace

std::vector<EntryID> StoredIds(DB* source) {
  std::vector<EntryID> ids;
  DBC* cursor = nullptr;
  if (source->cursor(source, nullptr, &cursor, 0) != 0) return ids;
  DBT k, v;
  std::memset(&k, 0, sizeof k);
  std::memset(&v, 0, sizeof v);
  // Keys only: a zero-length partial read of each value.
  v.flags = DB_DBT_PARTIAL;
  while (cursor->get(cursor, &k, &v, DB_NEXT) == 0) {
    if (k.size != sizeof(EntryID)) continue;
    EntryID id;
    std::memcpy(&id, k.data, sizeof id);
    ids.push_back(id);
  }
  cursor->close(cursor);
  std::sort(ids.begin(), ids.end());
  return ids;
}

int RebuildMaps(Backend* be, DB* source, const std::vector<EntryID>& ids, AsideFile* aside, RebuildResult* result) {
  Rebuilder rb(be, source, aside, result);
  if (!ids.empty()) result->highest = std::max(result->highest, ids.back());
  // Parents nearly always have lower IDs than their children; the few that
  // do not are taken again once the rest is in place.
  std::vector<EntryID> waiting;
  for (EntryID id : ids) {
    Outcome o = rb.Add(id, false);
    if (o == Outcome::kFailed) return -1;
    if (o == Outcome::kWaitForParent) waiting.push_back(id);
  }
  while (!waiting.empty()) {
    std::vector<EntryID> again;
    for (EntryID id : waiting) {
      Outcome o = rb.Add(id, false);
      if (o == Outcome::kFailed) return -1;
      if (o == Outcome::kWaitForParent) again.push_back(id);
    }
    if (again.size() == waiting.size()) {
      for (EntryID id : again)
        if (rb.Add(id, true) == Outcome::kFailed) return -1;
      break;
    }
    waiting.swap(again);
  }
  return 0;
}

}  // namespace kry
