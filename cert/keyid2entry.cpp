#include "cert/keyid2entry.h"

#include "back-ldbm/cache.h"
#include "back-ldbm/dn2id.h"
#include "back-ldbm/id2entry.h"
#include "back-ldbm/idlist.h"
#include "back-ldbm/index.h"
#include "cert/certentry.h"
#include "ldap/dn.h"
#include "log/trace.h"
#include "platform/pgp/kry.h"
#include "util/strutil.h"

namespace kry {

namespace {

// The full certificate ID of a short key ID: a user-ID entry indexed under
// it whose parent is the ACTIVE certificate its kryCertID names.
bool ResolveShortID(Backend* be, std::string* keyID) {
  IDListPtr ids = index_read(be, "kryKeyID", INDEX_EQUALITY, *keyID);
  if (!ids) return false;
  for (EntryID id = idl_first_id(ids.get()); id != NOID; id = idl_next_id(ids.get(), id)) {
    Entry* e = id2entry(be, id);
    if (!e) continue;
    bool found = false;
    std::string dn;
    const Attribute* certID = attr_lookup(e, "kryCertID");
    if (certID && !certID->values.empty() &&
        CreateKeyDN(certID->values[0].c_str(), false, kLocationActive, &dn) == 0) {
      std::optional<std::string> parent = dn_get_parent(be, e->dn);
      if (parent && StrIEquals(dn_normalized(*parent), dn)) {
        *keyID = certID->values[0];
        found = true;
      }
    }
    cache_return_entry(be, e);
    if (found) return true;
  }
  return false;
}

}  // namespace

int KeyID2Entry(Backend* be, std::string* keyID, std::string* block, bool* disabled) {
  if (keyID->size() == 8 && !ResolveShortID(be, keyID)) {
    Debug(LDAP_DEBUG_TRACE, "KeyID2Entry: Key ID not found.\n");
    return kKRYError_ItemNotFound;
  }
  std::string dn;
  if (CreateKeyDN(keyID->c_str(), false, kLocationActive, &dn) != 0) return kKRYError_OutOfMemory;
  Entry* cert = entry_by_dn(be, dn);
  const Attribute* key = cert ? attr_lookup(cert, "kryKey") : nullptr;
  const bool found = key && !key->values.empty();
  if (found) *block = key->values[0];
  if (found && disabled) {
    const Attribute* mark = attr_lookup(cert, "kryDisabled");
    *disabled = mark && !mark->values.empty() && mark->values[0] == "1";
  }
  if (cert) cache_return_entry(be, cert);
  if (!found) {
    Debug(LDAP_DEBUG_TRACE, "KeyID2Entry: Key ID not found.\n");
    return kKRYError_ItemNotFound;
  }
  return 0;
}

}  // namespace kry
