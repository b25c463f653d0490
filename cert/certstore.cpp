// Reading stored certificates back from the directory.
#include <new>

#include "back-ldbm/cache.h"
#include "back-ldbm/dbcache.h"
#include "back-ldbm/dn2id.h"
#include "back-ldbm/id2children.h"
#include "back-ldbm/id2entry.h"
#include "back-ldbm/idlist.h"
#include "cert/certentry.h"
#include "cert/keysets.h"
#include "ldap/dn.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "util/status.h"

namespace kry {

namespace {

// The stored block of a certificate entry: kryKeyV2 when present, else the
// first kryKey value. 52 when the entry is disabled, 1 when it has no block.
int StoredBlock(const Entry* e, bool* v2, const std::string** block) {
  *block = nullptr;
  *v2 = false;
  for (const Attribute& a : e->attrs) {
    if (a.type == "krydisabled" && !a.values.empty() && a.values[0] == "1") {
      LogError(EVENTLOG_INFO, "Certificate is disabled (%s).", e->dn.c_str());
      return 52;
    }
    if (a.values.empty()) continue;
    if (a.type == "krykeyv2") {
      *block = &a.values[0];
      *v2 = true;
    } else if (a.type == "krykey" && !*v2 && !*block) {
      *block = &a.values[0];
    }
  }
  if (!*block) {
    LogError(EVENTLOG_ERROR, "Certificate in database did not have a keyblock (%s).", e->dn.c_str());
    return 1;
  }
  return 0;
}

// The entries of `candidates` whose parent DN is the certificate's.
int ChildrenByParent(Backend* be, const Entry* cert, IDList* candidates, std::vector<EntryID>* children) {
  try {
    const std::string parent = dn_normalized_upper(cert->dn);
    for (EntryID id = idl_first_id(candidates); id != NOID; id = idl_next_id(candidates, id)) {
      Entry* e = id2entry(be, id);
      if (!e) continue;
      bool child = false;
      try {
        std::optional<std::string> p = dn_get_parent(be, e->dn);
        child = p && dn_normalized_upper(*p) == parent;
      } catch (...) {
        cache_return_entry(be, e);
        throw;
      }
      cache_return_entry(be, e);
      if (child) children->push_back(id);
    }
  } catch (const std::bad_alloc&) {
    children->clear();
    return 1;
  }
  return 0;
}

}  // namespace

int GetCertObject(Backend* be, const std::string& dn, KRYContextRef context, bool* v2, KRYKeySetRef* set,
                  std::string* block) {
  *set = nullptr;
  *v2 = false;
  block->clear();
  HeldEntry e(be, entry_by_dn(be, dn));
  if (!e.get()) return 0;
  const std::string* stored = nullptr;
  int rc = StoredBlock(e.get(), v2, &stored);
  if (rc != 0) return rc;
  try {
    *block = *stored;
  } catch (const std::bad_alloc&) {
    LogError(EVENTLOG_ERROR, "Memory allocation error.");
    Debug(LDAP_DEBUG_CERT, "GetCertObject: out of memory\n");
    return kLdapServerOutOfMemory;
  }
  KRYImportOptions in{};
  in.inputBuffer = block->data();
  in.inputLength = block->size();
  rc = KRYImportKeySet(context, &in, set);
  if (rc == 0 && *set) {
    int count = 0;
    // A block that holds no key at all is as unusable as one that fails.
    if (KRYCountKeys(*set, &count) != 0 || count == 0) rc = kKRYError_NoKeyData;
  }
  if (rc != 0) {
    KRYFreeKeySet(*set);
    *set = nullptr;
    block->clear();
    LogError(EVENTLOG_WARNING, "Keyblock of (%s) is missing or invalid.  Library error: %s.", dn.c_str(),
             LibraryErrorText(rc).c_str());
    return 89;
  }
  return 0;
}

int FindStoredUserIDDN(Backend* be, std::string_view userID, const std::string& certDN, std::string* dn) {
  try {
    std::string legacy;
    if (dn2id(be, dn_normalized(*dn)) != NOID || LegacyUserIDDN(userID, certDN, &legacy) != 0 || legacy == *dn)
      return 0;
    // Looked up the way the add will look it up (normalised once more).
    HeldEntry e(be, entry_by_dn(be, dn_normalized(legacy)));
    const Attribute* a = e.get() ? attr_lookup(e.get(), "kryUserID") : nullptr;
    if (a && !a->values.empty() && a->values[0] == userID) *dn = legacy;
    return 0;
  } catch (const std::bad_alloc&) {
    LogError(EVENTLOG_ERROR, "Memory allocation error.");
    return kLdapServerOutOfMemory;
  }
}

int FindUserIDObjDN(Backend* be, KRYUserIDRef uid, const std::string& certDN, std::string* dn) {
  int rc = CrtUserIDObjDN(uid, certDN, dn);
  std::string text;
  if (rc != 0 || !be || GetUserIDText(uid, &text) != 0) return rc;
  return FindStoredUserIDDN(be, text, certDN, dn);
}

int GetKeysChildren(Backend* be, const Entry* cert, std::vector<EntryID>* children) {
  children->clear();
  DbHandle db(be, "id2children", ldbm_read_flags(be));
  if (!db) {
    Debug(LDAP_DEBUG_CERT, "GetKeysChildren: Could not open \"id2children%s\"\n", kLdbmSuffix);
    return 1;
  }
  IDListPtr list = idl_fetch(be, db.get(), id2children_key(cert->id));
  if (!list) return 0;
  // A child list that overflowed into "all IDs" (a key with thousands of
  // user IDs) no longer says which entries are children: each entry is
  // then read and taken only when its parent is the certificate, so that a
  // delete never reaches beyond the key.
  if (list->is_allids()) return ChildrenByParent(be, cert, list.get(), children);
  try {
    for (EntryID id = idl_first_id(list.get()); id != NOID; id = idl_next_id(list.get(), id)) children->push_back(id);
  } catch (const std::bad_alloc&) {
    children->clear();
    return 1;
  }
  return 0;
}

}  // namespace kry
