// Add, with the optional merge into an existing entry.
#include <optional>

#include "back-ldbm/cache.h"
#include "back-ldbm/commit.h"
#include "back-ldbm/dbcache.h"
#include "back-ldbm/dn2id.h"
#include "back-ldbm/id2children.h"
#include "back-ldbm/id2entry.h"
#include "back-ldbm/index.h"
#include "back-ldbm/nextid.h"
#include "back-ldbm/ops.h"
#include "back-ldbm/ops_common.h"
#include "cert/access.h"
#include "cert/keydigests.h"
#include "cert/replog.h"
#include "ldap/dn.h"
#include "ldap/operation.h"
#include "ldap/result.h"
#include "log/trace.h"

namespace kry {

namespace {

// Access-log category of an add that merged into an existing entry.
constexpr int kLogTypeMerge = 0x20;

// Writes the operation's replication record for its first stored entry:
// the signed request block when one authorised the add (replArg), else the
// entry's key block. The flag keeps a request to one record.
void NoteReplicated(Connection* conn, Operation* op, const Entry& e, const void* replArg, int* replicated) {
  if (!replicated || *replicated != 0) return;
  *replicated = 1;
  const uint32_t tag = op ? op->o_tag : 0;
  if (replArg)
    kryRepLogRequest(conn, tag, *static_cast<const std::string*>(replArg));
  else
    kryRepLog(nullptr, conn, tag, e.dn, &e, false);
}

// One replace per attribute of e, last attribute first.
std::vector<Modification> MergeModifications(const Entry& e) {
  std::vector<Modification> mods;
  mods.reserve(e.attrs.size());
  for (auto it = e.attrs.rbegin(); it != e.attrs.rend(); ++it) {
    Modification m;
    m.op = MOD_OP_REPLACE | MOD_OP_BVALUES;
    m.type = it->type;
    m.values = it->values;
    mods.push_back(std::move(m));
  }
  return mods;
}

int Merge(Backend* be, Connection* conn, Operation* op, const std::string& ndn, Entry* existing, const Entry& e,
          const void* replArg, int* replicated, int* err, std::string* matched) {
  if (op) op->o_logType = kLogTypeMerge;
  std::vector<Modification> mods = MergeModifications(e);
  if (mods.empty()) {
    cache_return_entry(be, existing);
  } else if (modify_internal(be, conn, op, ndn, existing, mods, err, matched) != 0) {
    Debug(LDAP_DEBUG_ANY, "Modifying entry failed.\n");
    return -1;
  }
  // The replicas hear of the merge only once it is on disk.
  if (replicated && *replicated == 0 && ldbm_commit_deferred() && ldbm_commit(be) != 0) {
    *err = ldbm_store_failed(op);
    return -1;
  }
  NoteReplicated(conn, op, e, replArg, replicated);
  return 0;
}

// What an add has written so far.
struct StoreSteps {
  bool indexed = false;      // index records may name the ID
  bool childLinked = false;
  bool dnStored = false;
  bool entryWritten = false;  // the entry map's record was (perhaps) written
};

// Step 7 of the add: the child link, the index keys, the DN and the entry
// text, in that order. The LDAP result; `done` tells what to take back on
// failure.
int StoreNewEntry(Backend* be, Operation* op, Entry* parent, Entry* ne, const std::string& ndn, StoreSteps* done) {
  Debug(LDAP_DEBUG_ANY, "ldbm_back_add: entering id2children\n");
  if (id2children_add(be, parent, ne) != 0) {
    Debug(LDAP_DEBUG_ANY, "id2children_add failed\n");
    return ldbm_store_failed(op);
  }
  done->childLinked = true;
  Debug(LDAP_DEBUG_ANY, "ldbm_back_add: entering index_add_entry\n");
  // Index records naming an ID without an entry are skipped by searches.
  done->indexed = true;
  if (index_add_entry(be, ne) != 0) {
    Debug(LDAP_DEBUG_ANY, "index_add_entry failed\n");
    return ldbm_store_failed(op);
  }
  if (int rc = dn2id_add(be, ndn, ne->id); rc != 0) {
    Debug(LDAP_DEBUG_ANY, "dn2id_add failed\n");
    // The DN was stored by an add that finished after our lookup.
    return rc == DB_KEYEXIST ? LDAP_ALREADY_EXISTS : ldbm_store_failed(op);
  }
  done->dnStored = true;
  done->entryWritten = true;
  if (id2entry_add(be, ne) != 0) {
    Debug(LDAP_DEBUG_ANY, "id2entry_add failed\n");
    return ldbm_store_failed(op);
  }
  ldbm_note_update_stored(be);
  return LDAP_SUCCESS;
}

// Takes back the writes of a failed add, so that nothing of it can be found
// and the parent's child list names no ID that is handed out again. These
// writes shrink what they touch, so they may use the space kept free in
// each file even when the disk is full.
void TakeBack(Backend* be, Entry* parent, Entry* ne, const std::string& ndn, const std::string& digest,
              const StoreSteps& done) {
  LdbmUndoScope undo;
  // Other index records stay (searches skip IDs without entries), but the
  // digest index must name only digests that entries hold.
  if (done.indexed && !digest.empty()) DropKeyDigestRecord(be, ne->id, digest);
  if (done.entryWritten) id2entry_remove_record(be, ne->id);
  if (done.dnStored) {
    std::string key = ndn;
    dn2id_delete(be, key);
  }
  if (done.childLinked) id2children_remove(be, parent, ne);
}

}  // namespace

int ldbm_back_add(Backend* be, Connection* conn, Operation* op, Entry* entry, int merge, void* replArg,
                  int* replicated, int* err, std::string* matched) {
  EntryPtr e(entry);  // ours on every path
  Debug(LDAP_DEBUG_TRACE, "=> ldbm_back_add\n");
  *err = LDAP_SUCCESS;
  if (matched) matched->clear();
  const std::string ndn = dn_normalized(e->dn);

  std::optional<std::string> found;
  if (Entry* existing = entry_by_dn(be, ndn, &found)) {
    int rc;
    if (merge) {
      rc = Merge(be, conn, op, ndn, existing, *e, replArg, replicated, err, matched);
    } else {
      Debug(LDAP_DEBUG_ANY, "Entry already exists.\n");
      *err = LDAP_ALREADY_EXISTS;
      cache_return_entry(be, existing);
      rc = -1;
    }
    Debug(LDAP_DEBUG_TRACE, "<= ldbm_back_add, rc = %d\n", rc);
    return rc;
  }

  // Serialised with delete, modify and modify-DN: otherwise the parent
  // found below could be deleted while the child is linked under it,
  // leaving an entry that can never be deleted. Released before the sync.
  MutexLock update(ldbm_update_lock());
  // Reserve the DN and the ID: a concurrent add of the same DN now fails
  // here, and lookups do not see the entry until it is stored.
  entry_drop_empty_attrs(e.get());
  // A certificate's digest is written with its key block, whoever adds it.
  const std::string digest = StampKeyDigest(e.get());
  e->id = next_id(be);
  EntryCache* cache = backend_cache(be);
  if (cache_add_entry_lock(cache, e.get(), ENTRY_STATE_CREATING) != 0) {
    Debug(LDAP_DEBUG_ANY, "cache_add_entry_lock failed\n");
    next_id_return(be, e->id);
    *err = LDAP_ALREADY_EXISTS;
    Debug(LDAP_DEBUG_TRACE, "<= ldbm_back_add, rc = %d\n", -1);
    return -1;
  }
  Entry* ne = e.release();  // the cache's now; we hold its first reference

  Entry* parent = nullptr;
  if (std::optional<std::string> pdn = dn_get_parent(be, ndn)) {
    std::optional<std::string> pmatched;
    parent = entry_by_dn(be, *pdn, &pmatched);
    if (!parent) {
      Debug(LDAP_DEBUG_ANY, "parent does not exist\n");
      *err = LDAP_NO_SUCH_OBJECT;
      if (matched && pmatched) *matched = *pmatched;
    } else if (!ldbm_access(be, conn, merge ? ACL_ADD : ACL_ALL)) {
      Debug(LDAP_DEBUG_ANY, "no access to parent\n");
      *err = LDAP_INSUFFICIENT_ACCESS;
    }
  } else {
    // Only the root user may add at the top, and this server has none.
    Debug(LDAP_DEBUG_ANY, "no parent & not root\n");
    *err = LDAP_INSUFFICIENT_ACCESS;
  }

  StoreSteps done;
  if (*err == LDAP_SUCCESS) {
    *err = StoreNewEntry(be, op, parent, ne, ndn, &done);
  }
  const bool stored = *err == LDAP_SUCCESS;
  int rc;
  if (stored) {
    // Under the update lock, so the digest observer sees changes in store
    // order and never overlaps a walk of the digest index.
    KeyDigestChanged(be, ne->id, std::string(), digest);
    cache_set_entry_state(cache, ne, ENTRY_STATE_READY);
    if (parent) {
      cache_set_entry_state(cache, parent, ENTRY_STATE_READY);
      cache_release_entry(cache, parent);
      parent = nullptr;
    }
    update.unlock();
    // The entry is visible from here on, but neither answered nor passed
    // to the replicas before its text is on disk; a crash before then
    // loses it whole (recovery rebuilds the other files from the entry
    // map). A record goes to the replication log only after the sync, even
    // inside a deferring scope.
    const bool records = replicated && *replicated == 0;
    if ((records || !ldbm_commit_deferred()) && ldbm_commit(be) != 0) {
      *err = ldbm_store_failed(op);
    } else {
      NoteReplicated(conn, op, *ne, replArg, replicated);
    }
    cache_release_entry(cache, ne);
    rc = *err == LDAP_SUCCESS ? 0 : -2;
  } else {
    TakeBack(be, parent, ne, ndn, digest, done);
    // Index records are never removed, so once some may name this ID it
    // is not handed out again: a later entry would match them.
    if (!done.indexed) next_id_return(be, ne->id);
    cache_remove_entry(cache, ne);
    cache_release_entry(cache, ne);  // frees it
    rc = -2;
  }
  if (parent) {
    cache_set_entry_state(cache, parent, ENTRY_STATE_READY);
    cache_release_entry(cache, parent);
  }
  Debug(LDAP_DEBUG_TRACE, "<= ldbm_back_add, rc = %d\n", rc);
  return rc;
}

}  // namespace kry
