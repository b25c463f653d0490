#include "back-ldbm/idlist.h"

#include <algorithm>
#include <cstring>

#include "back-ldbm/dbcache.h"
#include "back-ldbm/nextid.h"
#include "log/trace.h"

namespace kry {

namespace {

constexpr uint32_t kAllIdsDifferenceLimit = 4000;

// Position of the first ID >= id among the first n IDs.
uint32_t LowerBound(const IDList& l, uint32_t n, EntryID id) {
  const EntryID* b = l.ids();
  return static_cast<uint32_t>(std::lower_bound(b, b + n, id) - b);
}

// Entries of a header before its NOID end.
uint32_t HeaderCount(const IDList& h) {
  uint32_t n = 0;
  while (n < h.nmax() && h.id(n) != NOID) ++n;
  return n;
}

IDListPtr MakeHeader(const std::vector<EntryID>& firsts) {
  IDListPtr h = idl_alloc(static_cast<uint32_t>(firsts.size() + 1));
  for (size_t i = 0; i < firsts.size(); ++i) h->ids()[i] = firsts[i];
  h->ids()[firsts.size()] = NOID;
  h->set_nids(0);
  return h;
}

// Exactly-sized direct list of ids[from, to) of `src`, with `extra`
// inserted in front when not NOID.
IDListPtr Slice(const IDList& src, uint32_t from, uint32_t to, EntryID front) {
  uint32_t n = to - from + (front != NOID ? 1 : 0);
  IDListPtr l = idl_alloc(n);
  uint32_t k = 0;
  if (front != NOID) l->ids()[k++] = front;
  for (uint32_t i = from; i < to; ++i) l->ids()[k++] = src.id(i);
  l->set_nids(n);
  return l;
}

// Splits the full record `b` at the insertion point of id (which it does
// not hold): b1 = the smaller IDs (or [id] when there are none), b2 = [id]
// and the rest (or the whole record).
void SplitBlock(const IDList& b, EntryID id, IDListPtr* b1, IDListPtr* b2) {
  uint32_t d = LowerBound(b, b.nids(), id);
  if (d == 0) {
    *b1 = Slice(b, 0, 0, id);
    *b2 = Slice(b, 0, b.nids(), NOID);
  } else {
    *b1 = Slice(b, 0, d, NOID);
    *b2 = Slice(b, d, b.nids(), id);
  }
}

int Delete(DbCacheSlot* slot, const std::string& key) { return ldbm_cache_delete(slot, TextKey(key)); }

// A record of an insert that made id the new first ID of continuation
// record `pos`: moves it to the key of its new first ID and updates the
// header.
int RekeyBlock(Backend* be, DbCacheSlot* slot, const std::string& hkey, IDList* header, uint32_t pos,
               const std::string& bkey, const IDList& block) {
  // New record, then the header, then the old record goes: a store that
  // fails part-way leaves the old list whole (at worst with an orphan).
  std::string nkey = idl_continuation_key(hkey, block.id(0));
  int rc = idl_store(be, slot, nkey, block);
  if (rc != 0) {
    Debug(LDAP_DEBUG_ANY, "idl_store of (%s) returns %d\n", nkey.c_str(), rc);
    return rc;
  }
  const EntryID oldFirst = header->id(pos);
  header->ids()[pos] = block.id(0);
  rc = idl_store(be, slot, hkey, *header);
  if (rc != 0) {
    header->ids()[pos] = oldFirst;
    Debug(LDAP_DEBUG_ANY, "idl_store of (%s) returns %d\n", hkey.c_str(), rc);
    return rc;
  }
  rc = Delete(slot, bkey);
  if (rc != 0) Debug(LDAP_DEBUG_ANY, "ldbm_delete of (%s) returns %d\n", bkey.c_str(), rc);
  return 0;  // the list is complete; a left-over old record is never read
}

// Removes id from a direct list in memory: -1 when absent, 1 when the list
// is now empty, 0 otherwise.
int RemoveId(IDList* l, EntryID id) {
  uint32_t n = l->nids();
  uint32_t i = LowerBound(*l, n, id);
  if (i >= n || l->id(i) != id) return -1;
  std::memmove(l->ids() + i, l->ids() + i + 1, (n - i - 1) * sizeof(EntryID));
  l->ids()[n - 1] = NOID;
  l->set_nids(n - 1);
  return n - 1 == 0 ? 1 : 0;
}

// Inserts id into continuation record `pos` (key bkey, read into `block`)
// and stores it, rekeying it when id became a first ID below its recorded
// bound. 0 or a store status; *full (and nothing written) when no room.
int InsertIntoRecord(Backend* be, DbCacheSlot* slot, const std::string& hkey, IDList* header, uint32_t pos,
                     const std::string& bkey, IDList* block, EntryID id, uint32_t maxids, bool* full) {
  int rc;
  *full = false;
  switch (idl_insert_id(block, id, maxids)) {
    case IDL_INSERTED:
      rc = idl_store(be, slot, bkey, *block);
      break;
    case IDL_INSERTED_FIRST:
      if (block->id(0) != header->id(pos)) return RekeyBlock(be, slot, hkey, header, pos, bkey, *block);
      rc = idl_store(be, slot, bkey, *block);  // the recorded lower bound was id itself
      break;
    case IDL_PRESENT:
      return 0;
    default:
      *full = true;
      return 0;
  }
  if (rc != 0) Debug(LDAP_DEBUG_ANY, "idl_store of (%s) returns %d\n", bkey.c_str(), rc);
  return rc;
}

}  // namespace

std::string idl_continuation_key(const std::string& key, EntryID first) {
  std::string k;
  k.reserve(key.size() + 20);
  k.push_back('\\');
  k.append(key);
  k.append(std::to_string(first));
  return k;
}

IDListPtr idl_alloc(uint32_t nmax) {
  auto l = std::make_unique<IDList>();
  l->words.assign(static_cast<size_t>(nmax) + 2, 0);
  l->set_nmax(nmax);
  return l;
}

IDListPtr idl_allids(Backend* be) {
  IDListPtr l = idl_alloc(0);
  l->set_nids(next_id_peek(be));
  return l;
}

IDListPtr idl_dup(const IDList* list) {
  if (!list) return nullptr;
  auto l = std::make_unique<IDList>();
  l->words = list->words;
  return l;
}

IDListPtr idl_from_ids(const std::vector<EntryID>& ids) {
  if (ids.empty()) return nullptr;
  IDListPtr l = idl_alloc(static_cast<uint32_t>(ids.size()));
  std::copy(ids.begin(), ids.end(), l->ids());
  l->set_nids(static_cast<uint32_t>(ids.size()));
  return l;
}

IDListPtr idl_fetch_one(Backend*, DbCacheSlot* slot, const std::string& key) {
  DbValue v = ldbm_cache_fetch(slot, TextKey(key));
  if (!v) return nullptr;
  const uint32_t size = v.size();
  uint32_t head[2] = {0, 0};
  bool ok = size >= 8 && size % 4 == 0;
  if (ok) {
    std::memcpy(head, v.data(), sizeof head);
    ok = static_cast<uint64_t>(head[0]) + 2 == size / 4;
  }
  if (ok && head[0] > 0 && head[1] > head[0]) ok = false;  // more IDs than room
  if (ok && head[0] == 0 && head[1] == 0) ok = false;      // neither list nor header
  IDListPtr l;
  if (ok) {
    l = std::make_unique<IDList>();
    l->words.resize(size / 4);
    std::memcpy(l->words.data(), v.data(), size);
    const uint32_t n = l->is_header() ? HeaderCount(*l) : (l->is_allids() ? 0 : l->nids());
    for (uint32_t i = 1; i < n && ok; ++i) ok = l->id(i - 1) < l->id(i);
  }
  if (!ok) {
    Debug(LDAP_DEBUG_ANY, "idl_fetch_one: damaged ID list record (%s), %u bytes (ignored)\n", key.c_str(), size);
    return nullptr;
  }
  return l;
}

uint64_t idl_fetch_estimate(Backend* be, DbCacheSlot* slot, const std::string& key, IDListPtr* whole) {
  if (!slot) return 0;
  // One record, read whole under the file's lock: no update lock needed.
  IDListPtr rec = idl_fetch_one(be, slot, key);
  if (!rec) return 0;
  if (rec->is_allids()) return kIdlAllIdsEstimate;
  if (!rec->is_header()) {
    const uint64_t n = rec->nids();
    if (whole) *whole = std::move(rec);
    return n;
  }
  return static_cast<uint64_t>(HeaderCount(*rec)) * static_cast<uint64_t>(slot->maxids);
}

IDListPtr idl_fetch(Backend* be, DbCacheSlot* slot, const std::string& key) {
  if (!slot) return nullptr;
  // A record is read whole under the file's lock, so a direct list or All
  // IDs is consistent as read and the readers of one index file need not
  // queue for its update lock. Only a header's records are read under it,
  // with no update between them; the header is read again once it is held.
  MutexLock update(slot->idlLock, std::defer_lock);
  IDListPtr rec;
  for (;;) {
    rec = idl_fetch_one(be, slot, key);
    if (!rec) return nullptr;
    if (rec->is_allids()) return idl_allids(be);
    if (!rec->is_header()) return rec;
    if (update.owns_lock()) break;
    update.lock();
  }

  const uint32_t count = HeaderCount(*rec);
  std::vector<IDListPtr> parts;
  parts.reserve(count);
  uint64_t total = 0;
  for (uint32_t i = 0; i < count; ++i) {
    std::string ckey = idl_continuation_key(key, rec->id(i));
    IDListPtr part = idl_fetch_one(be, slot, ckey);
    if (!part || part->is_allids() || part->is_header()) {
      Debug(LDAP_DEBUG_ANY, "idl_fetch of (%s) returns NULL\n", ckey.c_str());
      continue;
    }
    total += part->nids();
    parts.push_back(std::move(part));
  }
  if (total == 0) return nullptr;
  IDListPtr l = idl_alloc(static_cast<uint32_t>(total));
  uint32_t k = 0;
  for (const auto& p : parts) {
    std::copy(p->ids(), p->ids() + p->nids(), l->ids() + k);
    k += p->nids();
  }
  l->set_nids(k);
  Debug(LDAP_DEBUG_TRACE, "<= idl_fetch %d ids (%d max)\n", static_cast<int>(l->nids()), static_cast<int>(l->nmax()));
  return l;
}

int idl_store(Backend*, DbCacheSlot* slot, const std::string& key, const IDList& list) {
  Datum data{list.words.data(), static_cast<uint32_t>(list.words.size() * sizeof(uint32_t))};
  return ldbm_cache_store(slot, TextKey(key), data, 0);
}

int idl_insert_id(IDList* l, EntryID id, uint32_t maxids) {
  if (l->is_allids()) return IDL_PRESENT;
  uint32_t n = l->nids();
  uint32_t i = LowerBound(*l, n, id);
  if (i < n && l->id(i) == id) return IDL_PRESENT;
  if (n >= l->nmax()) {
    if (l->nmax() >= maxids) return IDL_FULL;
    uint32_t nmax = std::min<uint32_t>(l->nmax() * 2, maxids);
    l->words.resize(static_cast<size_t>(nmax) + 2, 0);
    l->set_nmax(nmax);
  }
  std::memmove(l->ids() + i + 1, l->ids() + i, (n - i) * sizeof(EntryID));
  l->ids()[i] = id;
  l->set_nids(n + 1);
  std::fill(l->ids() + n + 1, l->ids() + l->nmax(), 0);
  return i == 0 ? IDL_INSERTED_FIRST : IDL_INSERTED;
}

int idl_insert(Backend* be, DbCacheSlot* slot, const std::string& key, EntryID id) {
  if (!slot) return -1;
  MutexGuard update(slot->idlLock);
  const uint32_t maxids = static_cast<uint32_t>(slot->maxids);
  const uint32_t maxindirect = static_cast<uint32_t>(slot->maxindirect);

  IDListPtr rec = idl_fetch_one(be, slot, key);
  if (!rec) {
    IDListPtr l = idl_alloc(1);
    l->ids()[0] = id;
    l->set_nids(1);
    return idl_store(be, slot, key, *l);
  }

  if (!rec->is_header()) {  // direct list or All IDs
    switch (idl_insert_id(rec.get(), id, maxids)) {
      case IDL_INSERTED:
      case IDL_INSERTED_FIRST:
        return idl_store(be, slot, key, *rec);
      case IDL_PRESENT:
        return 0;
      default:
        break;
    }
    if (maxindirect < 2) return idl_store(be, slot, key, *idl_allids(be));
    IDListPtr b1, b2;
    SplitBlock(*rec, id, &b1, &b2);
    IDListPtr h = MakeHeader({b1->id(0), b2->id(0)});
    int rc = idl_store(be, slot, key, *h);
    if (rc == 0) rc = idl_store(be, slot, idl_continuation_key(key, b1->id(0)), *b1);
    if (rc == 0) rc = idl_store(be, slot, idl_continuation_key(key, b2->id(0)), *b2);
    return rc;
  }

  // Header: choose the continuation record. The scan stops at the first
  // recorded first ID >= id. When that ID equals id, the ID belongs to that
  // very record (its IDs are all >= its recorded first ID), so it goes there,
  // treated as an insert at the front; the record before it must never get
  // it, or the ID could be stored twice.
  IDListPtr& header = rec;
  const uint32_t count = HeaderCount(*header);
  uint32_t s = 0;
  while (s < count && header->id(s) < id) ++s;
  uint32_t i;
  bool front;
  if (s < count && header->id(s) == id) {
    i = s;
    front = true;
  } else if (s > 0) {
    i = s - 1;
    front = false;
  } else {
    i = 0;
    front = true;
  }
  if (count == 0) {
    // An empty header holds nothing: start over with a direct list.
    IDListPtr l = idl_alloc(1);
    l->ids()[0] = id;
    l->set_nids(1);
    return idl_store(be, slot, key, *l);
  }

  std::string bkey = idl_continuation_key(key, header->id(i));
  IDListPtr block = idl_fetch_one(be, slot, bkey);
  if (!block || block->is_allids() || block->is_header()) {
    Debug(LDAP_DEBUG_ANY, "nonexistent continuation block (%s)\n", bkey.c_str());
    return -1;
  }
  bool full = false;
  int rc = InsertIntoRecord(be, slot, key, header.get(), i, bkey, block.get(), id, maxids, &full);
  if (!full) return rc;

  // The record is full; the next record, if any, may help.
  if (i + 1 < count) {
    std::string nkey = idl_continuation_key(key, header->id(i + 1));
    IDListPtr next = idl_fetch_one(be, slot, nkey);
    if (!next || next->is_allids() || next->is_header()) {
      Debug(LDAP_DEBUG_ANY, "idl_fetch_one (%s) returns NULL\n", nkey.c_str());
      return -1;
    }
    const EntryID last = block->id(block->nids() - 1);
    if (id < last) {
      // The ID falls inside this record, as a late ID from one of two
      // concurrent writers does. When the next record has room, this
      // record's last ID moves there as its new first ID and the ID takes
      // its place, so a late arrival costs no split (ascending inserts leave
      // every record but the last full, and splits are few before All IDs).
      if (next->nids() < maxids && idl_insert_id(next.get(), last, maxids) == IDL_INSERTED_FIRST) {
        // The next record is written first: a failure in between leaves the
        // moved ID in both records rather than in neither.
        rc = RekeyBlock(be, slot, key, header.get(), i + 1, nkey, *next);
        if (rc != 0) return rc;
        RemoveId(block.get(), last);
        return InsertIntoRecord(be, slot, key, header.get(), i, bkey, block.get(), id, maxids, &full);
      }
    } else if (!front) {
      // The ID lies beyond every ID of this record, so the next record may
      // take it as its new first one (anywhere else the records would
      // overlap and the joined list would not be ascending).
      switch (idl_insert_id(next.get(), id, maxids)) {
        case IDL_INSERTED_FIRST:
          return RekeyBlock(be, slot, key, header.get(), i + 1, nkey, *next);
        case IDL_PRESENT:
          Debug(LDAP_DEBUG_ANY, "id %d already in next block\n", static_cast<int>(id));
          return 0;
        case IDL_INSERTED:
          // Cannot happen with partitioned records (id is below the next
          // record's lower bound); store it rather than lose the ID.
          return idl_store(be, slot, nkey, *next);
        default:
          break;  // also full: split this one
      }
    }
  }

  if (count + 1 > maxindirect) {
    for (uint32_t k = 0; k < count; ++k) Delete(slot, idl_continuation_key(key, header->id(k)));
    return idl_store(be, slot, key, *idl_allids(be));
  }

  IDListPtr b1, b2;
  SplitBlock(*block, id, &b1, &b2);
  // b1 keeps the old record's key when its recorded lower bound still fits.
  const EntryID oldFirst = header->id(i);
  const EntryID b1First = oldFirst <= b1->id(0) ? oldFirst : b1->id(0);
  const EntryID b2First = b2->id(0);
  std::vector<EntryID> firsts;
  firsts.reserve(count + 1);
  for (uint32_t k = 0; k < i; ++k) firsts.push_back(header->id(k));
  firsts.push_back(b1First);
  firsts.push_back(b2First);
  for (uint32_t k = i + 1; k < count; ++k) firsts.push_back(header->id(k));
  IDListPtr nh = MakeHeader(firsts);
  rc = idl_store(be, slot, key, *nh);
  if (rc == 0) rc = idl_store(be, slot, idl_continuation_key(key, b1First), *b1);
  if (rc == 0) rc = idl_store(be, slot, idl_continuation_key(key, b2First), *b2);
  if (rc == 0 && oldFirst != b1First && oldFirst != b2First) Delete(slot, bkey);  // no orphan
  return rc;
}

int idl_delete(Backend* be, DbCacheSlot* slot, const std::string& key, EntryID id) {
  if (!slot) return -1;
  MutexGuard update(slot->idlLock);
  IDListPtr rec = idl_fetch_one(be, slot, key);
  if (!rec) return -1;
  if (rec->is_allids()) return 0;
  if (!rec->is_header()) {
    int r = RemoveId(rec.get(), id);
    if (r < 0) return -1;
    return r == 1 ? Delete(slot, key) : idl_store(be, slot, key, *rec);
  }
  uint32_t count = HeaderCount(*rec);
  for (uint32_t j = 0; j < count; ++j) {
    std::string ckey = idl_continuation_key(key, rec->id(j));
    IDListPtr block = idl_fetch_one(be, slot, ckey);
    if (!block || block->is_allids() || block->is_header()) {
      Debug(LDAP_DEBUG_ANY, "idl_fetch of (%s) returns NULL\n", ckey.c_str());
      continue;
    }
    int r = RemoveId(block.get(), id);
    if (r < 0) continue;
    // The header keeps the old first ID: it is still a lower bound.
    if (r == 0) return idl_store(be, slot, ckey, *block);
    if (int rc = Delete(slot, ckey)) return rc;
    for (uint32_t k = j; k + 1 < rec->nmax(); ++k) rec->ids()[k] = rec->id(k + 1);
    rec->ids()[rec->nmax() - 1] = NOID;
    return count - 1 == 0 ? Delete(slot, key) : idl_store(be, slot, key, *rec);
  }
  return -1;
}

IDListPtr idl_intersection(Backend*, const IDList* a, const IDList* b) {
  if (!a || !b) return nullptr;
  if (a->is_allids()) return idl_dup(b);
  if (b->is_allids()) return idl_dup(a);
  // Walk the shorter list and gallop through the longer one: each step
  // doubles until it passes the ID, then a binary search inside the last
  // stride, so a short list costs little however long the other is.
  const IDList* small = b->nids() < a->nids() ? b : a;
  const IDList* large = small == a ? b : a;
  IDListPtr r = idl_alloc(small->nids());
  const EntryID* lo = large->ids();
  const EntryID* const end = large->ids() + large->nids();
  uint32_t n = 0;
  for (uint32_t i = 0; i < small->nids() && lo < end; ++i) {
    const EntryID id = small->id(i);
    size_t step = 1;
    const EntryID* hi = lo;
    while (hi < end && *hi < id) {
      lo = hi + 1;
      hi = static_cast<size_t>(end - hi) > step ? hi + step : end;
      step *= 2;
    }
    lo = std::lower_bound(lo, hi, id);
    if (lo < end && *lo == id) r->ids()[n++] = id;
  }
  if (n == 0) return nullptr;
  r->set_nids(n);
  return r;
}

IDListPtr idl_union(Backend* be, const IDList* a, const IDList* b) {
  if (!a) return idl_dup(b);
  if (!b) return idl_dup(a);
  if (a->is_allids() || b->is_allids()) return idl_allids(be);
  IDListPtr r = idl_alloc(a->nids() + b->nids());
  uint32_t ai = 0, bi = 0, n = 0;
  while (ai < a->nids() || bi < b->nids()) {
    EntryID v;
    if (bi >= b->nids() || (ai < a->nids() && a->id(ai) < b->id(bi))) {
      v = a->id(ai++);
    } else if (ai >= a->nids() || b->id(bi) < a->id(ai)) {
      v = b->id(bi++);
    } else {
      v = a->id(ai++);
      ++bi;
    }
    r->ids()[n++] = v;
  }
  r->set_nids(n);
  return r;
}

IDListPtr idl_difference(Backend* be, const IDList* a, const IDList* b) {
  if (!a) return nullptr;
  if (!b || b->is_allids()) return idl_dup(a);
  if (!a->is_allids()) {
    IDListPtr r = idl_alloc(a->nmax() ? a->nmax() : 1);
    uint32_t n = 0, bi = 0;
    for (uint32_t ai = 0; ai < a->nids(); ++ai) {
      while (bi < b->nids() && b->id(bi) < a->id(ai)) ++bi;
      if (bi < b->nids() && b->id(bi) == a->id(ai)) continue;
      r->ids()[n++] = a->id(ai);
    }
    if (n == 0) return nullptr;  // no candidates is null, never an empty list
    r->set_nids(n);
    return r;
  }
  IDListPtr r = idl_alloc(kAllIdsDifferenceLimit);
  uint32_t n = 0, bi = 0;
  for (EntryID id = 1; id < a->nids() && n < kAllIdsDifferenceLimit; ++id) {
    while (bi < b->nids() && b->id(bi) < id) ++bi;
    if (bi < b->nids() && b->id(bi) == id) continue;
    r->ids()[n++] = id;
  }
  if (n >= kAllIdsDifferenceLimit) return idl_allids(be);
  if (n == 0) return nullptr;
  r->set_nids(n);
  return r;
}

EntryID idl_first_id(const IDList* l) {
  if (!l || l->nids() == 0) return NOID;
  if (l->is_allids()) return l->nids() > 1 ? 1 : NOID;
  return l->id(0);
}

EntryID idl_next_id(const IDList* l, EntryID id) {
  if (!l) return NOID;
  if (l->is_allids()) return id + 1 < l->nids() ? id + 1 : NOID;
  uint32_t i = LowerBound(*l, l->nids(), id);
  ++i;
  return i < l->nids() ? l->id(i) : NOID;
}

}  // namespace kry
