// Digests for certificates stored before digests were kept, given at
// start-up. Once every certificate has one, a record in the digest index
// says so and later starts cost one read; a rebuilt index (recovery) lacks
// the record, and the next start checks again. The check compares the
// certificates' IDs with the index, so only certificates without a digest
// are read.
#include <algorithm>
#include <new>
#include <vector>

#include "back-ldbm/backend.h"
#include "back-ldbm/cache.h"
#include "back-ldbm/dbcache.h"
#include "back-ldbm/dn2id.h"
#include "back-ldbm/id2entry.h"
#include "back-ldbm/idlist.h"
#include "back-ldbm/index.h"
#include "back-ldbm/ops.h"
#include "back-ldbm/ops_common.h"
#include "cert/certentry.h"
#include "cert/keydigests.h"
#include "ldap/entry.h"
#include "log/eventlog.h"
#include "runtime/connection.h"

namespace kry {

namespace {

// Not an equality key ('='), so no lookup or walk of digests meets it.
constexpr char kAllStampedKey[] = "!every certificate has its digest";

std::string IndexName() {
  std::string name = kKeyDigestAttr;
  return type_lowercase(name);
}

bool AllStamped(Backend* be) {
  DbHandle db(be, IndexName(), ldbm_read_flags(be));
  return db && static_cast<bool>(ldbm_cache_fetch(db.get(), TextKey(kAllStampedKey)));
}

void MarkAllStamped(Backend* be) {
  DbHandle db(be, IndexName(), ldbm_open_flags(be));
  static const char kYes[] = "1";
  if (db) ldbm_cache_store(db.get(), TextKey(kAllStampedKey), Datum{kYes, sizeof kYes}, 0);
}

// IDs of the entries directly below ACTIVE and PENDING, ascending; false
// when a child list cannot be read.
bool CertificateIDs(Backend* be, std::vector<EntryID>* ids) {
  for (const char* location : {kActiveDN, kPendingDN}) {
    HeldEntry ou(be, entry_by_dn(be, location));
    std::vector<EntryID> children;
    if (ou.get() && GetKeysChildren(be, ou.get(), &children) != 0) return false;
    ids->insert(ids->end(), children.begin(), children.end());
  }
  std::sort(ids->begin(), ids->end());
  return true;
}

// IDs the digest index names, ascending.
std::vector<EntryID> DigestHolders(Backend* be) {
  std::vector<EntryID> ids;
  ForEachKeyDigest(be, [&](const krypgp::SksDigest& d) {
    IDListPtr list = index_read(be, kKeyDigestAttr, INDEX_EQUALITY, krypgp::SksDigestHex(d));
    if (!list || list->is_allids()) return;
    for (EntryID id = idl_first_id(list.get()); id != NOID; id = idl_next_id(list.get(), id)) ids.push_back(id);
  });
  std::sort(ids.begin(), ids.end());
  return ids;
}

// Writes the digest of one certificate the index lacks; false when a write
// failed. A digest stored without its index record is indexed; a block that
// does not decode can never have one (logged).
bool Stamp(Backend* be, Connection* internal, EntryID id, int* stamped) {
  Entry* e = id2entry(be, id);
  if (!e) return true;
  std::string hex = KeyDigestOf(e);
  if (!hex.empty()) {
    cache_return_entry(be, e);
    MutexGuard update(ldbm_update_lock());
    if (index_add_values(be, kKeyDigestAttr, {hex}, id) != 0) return false;
    ++*stamped;
    return true;
  }
  const Attribute* v2 = attr_lookup(e, "kryKeyV2");
  const Attribute* key = attr_lookup(e, "kryKey");
  const Attribute* block = v2 && !v2->values.empty() ? v2 : key;
  if (!IsCertificateEntry(e) || !block || block->values.empty() || !KeyBlockDigestHex(block->values[0], &hex)) {
    if (IsCertificateEntry(e))
      LogError(EVENTLOG_WARNING, "Certificate %s has no key block that decodes, so it has no key digest.",
               e->dn.c_str());
    cache_return_entry(be, e);
    return true;
  }
  std::vector<Modification> mods(1);
  mods[0].op = MOD_OP_REPLACE | MOD_OP_BVALUES;
  mods[0].type = kKeyDigestAttr;
  mods[0].values = {hex};
  int err = 0;
  std::string matched;
  const std::string dn = e->dn;
  modify_internal(be, internal, nullptr, dn, e, mods, &err, &matched);  // gives e back
  if (err != 0) return false;
  ++*stamped;
  return true;
}

}  // namespace

int StampMissingKeyDigests(Backend* be) {
  if (!be || be->readOnly || AllStamped(be)) return 0;
  int stamped = 0;
  bool failed = false;
  try {
    std::vector<EntryID> certs;
    failed = !CertificateIDs(be, &certs);
    const std::vector<EntryID> held = DigestHolders(be);
    std::vector<EntryID> missing;
    std::set_difference(certs.begin(), certs.end(), held.begin(), held.end(), std::back_inserter(missing));
    Connection internal;
    internal.c_internal = true;
    for (EntryID id : missing) failed |= !Stamp(be, &internal, id, &stamped);
  } catch (const std::bad_alloc&) {
    LogError(EVENTLOG_ERROR, "Memory allocation error.");
    failed = true;
  }
  if (failed)
    LogError(EVENTLOG_ERROR, "Key digests could not be written for every certificate; the next start tries again.");
  else
    MarkAllStamped(be);
  if (stamped > 0) {
    ldbm_cache_sync_all(be);
    LogError(EVENTLOG_INFO, "Key digests were written or indexed for %d certificates.", stamped);
  }
  return stamped;
}

}  // namespace kry
