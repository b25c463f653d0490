// Digests for certificates stored before digests were kept: found at
// start-up by comparing the certificates' IDs with the digest index, so a
// directory that has them all costs one pass over the index.
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
#include "cert/certentry.h"
#include "cert/keydigests.h"
#include "ldap/entry.h"
#include "log/eventlog.h"
#include "runtime/connection.h"

namespace kry {

namespace {

// IDs of the entries directly below ACTIVE and PENDING, ascending.
std::vector<EntryID> CertificateIDs(Backend* be) {
  std::vector<EntryID> ids;
  for (const char* location : {kActiveDN, kPendingDN}) {
    HeldEntry ou(be, entry_by_dn(be, location));
    std::vector<EntryID> children;
    if (ou.get() && GetKeysChildren(be, ou.get(), &children) == 0)
      ids.insert(ids.end(), children.begin(), children.end());
  }
  std::sort(ids.begin(), ids.end());
  return ids;
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

// Writes the digest of one certificate lacking it; true when written.
bool Stamp(Backend* be, Connection* internal, EntryID id) {
  Entry* e = id2entry(be, id);
  if (!e) return false;
  std::string hex;
  const Attribute* v2 = attr_lookup(e, "kryKeyV2");
  const Attribute* key = attr_lookup(e, "kryKey");
  const Attribute* block = v2 && !v2->values.empty() ? v2 : key;
  if (!KeyDigestOf(e).empty() || !attr_lookup(e, "objectclass") || !block || block->values.empty() ||
      !KeyBlockDigestHex(block->values[0], &hex)) {
    cache_return_entry(be, e);
    return false;
  }
  std::vector<Modification> mods(1);
  mods[0].op = MOD_OP_REPLACE | MOD_OP_BVALUES;
  mods[0].type = kKeyDigestAttr;
  mods[0].values = {hex};
  int err = 0;
  std::string matched;
  const std::string dn = e->dn;
  modify_internal(be, internal, nullptr, dn, e, mods, &err, &matched);  // gives e back
  return err == 0;
}

}  // namespace

int StampMissingKeyDigests(Backend* be) {
  if (!be || be->readOnly) return 0;
  int stamped = 0;
  try {
    const std::vector<EntryID> certs = CertificateIDs(be);
    const std::vector<EntryID> held = DigestHolders(be);
    std::vector<EntryID> missing;
    std::set_difference(certs.begin(), certs.end(), held.begin(), held.end(), std::back_inserter(missing));
    if (missing.empty()) return 0;
    Connection internal;
    internal.c_internal = true;
    for (EntryID id : missing) stamped += Stamp(be, &internal, id) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    LogError(EVENTLOG_ERROR, "Memory allocation error.");
  }
  if (stamped > 0) {
    ldbm_cache_sync_all(be);
    LogError(EVENTLOG_INFO, "Key digests were written for %d certificates stored without one.", stamped);
  }
  return stamped;
}

}  // namespace kry
