// Key blocks attached to search results, and the once-per-certificate rule
// of searches that ask for nothing but the key block.
#include "cert/keyattrs.h"

#include <new>

#include "back-ldbm/cache.h"
#include "back-ldbm/dn2id.h"
#include "cert/certentry.h"
#include "ldap/dn.h"
#include "log/trace.h"
#include "util/strutil.h"

namespace kry {

SentKeySet::SentKeySet() : tree_([](const std::string& a, const std::string& b) { return StrCaseCmp(a, b); }) {}

bool SentKeySet::Contains(const std::string& certID) { return tree_.Find(certID) != nullptr; }

void SentKeySet::Add(const std::string& certID) {
  tree_.Insert(certID, [](std::string&, const std::string&) { return 0; });
}

int SentKeySet::CertIDFor(Backend* be, std::string_view dn, std::string* certID) {
  if (lastRc_ < 0 || dn != lastDn_) {
    std::string id;
    const int rc = ExtractKeyIDFromDN(be, dn, &id);
    try {
      lastDn_.assign(dn);
      lastID_ = std::move(id);
      lastRc_ = rc;
    } catch (const std::bad_alloc&) {
      lastRc_ = -1;
      if (rc == 0) *certID = id;
      return rc;
    }
  }
  if (lastRc_ == 0) *certID = lastID_;
  return lastRc_;
}

namespace {

bool Requests(const std::vector<std::string>* attrs, std::string_view name) {
  if (!attrs) return false;
  for (const std::string& a : *attrs)
    if (StrIEquals(a, name)) return true;
  return false;
}

bool HasClass(const Entry* e, std::string_view cls) {
  const Attribute* a = attr_lookup(e, "objectclass");
  if (!a) return false;
  for (const std::string& v : a->values)
    if (StrIEquals(v, cls)) return true;
  return false;
}

const Attribute* FindType(const Entry* e, std::string_view type) {
  for (const Attribute& a : e->attrs)
    if (StrIEquals(a.type, type)) return &a;
  return nullptr;
}

// The virtual attributes of an entry whose key blocks are `source`'s.
void BuildVirtual(const Entry* source, bool userIDEntry, bool wantKey, bool wantV2, std::vector<Attribute>* added) {
  const Attribute* key = FindType(source, "krykey");
  const Attribute* v2 = FindType(source, "krykeyv2");
  if (wantKey != wantV2 && ((wantKey && !key) || (wantV2 && !v2 && !key))) {
    Debug(LDAP_DEBUG_TRACE, "CrtVirtualAttributes: Parent did not have virtual attribute.\n");
    return;
  }
  if (userIDEntry && wantKey && key) added->push_back(Attribute{"kryKey", key->values, key->syntax});
  if (wantV2) {
    const Attribute* from = nullptr;
    if (userIDEntry) from = v2 ? v2 : key;
    else if (!v2) from = key;
    if (from) added->push_back(Attribute{"kryKeyV2", from->values, from->syntax});
  }
}

// The certificate entry above a user-ID entry: straight from the entry cache
// by its DN when it is there, else through the DN map.
Entry* ParentEntry(Backend* be, std::string_view key) {
  if (Entry* hit = cache_lookup_dn(backend_cache(be), key)) return hit;
  return entry_by_dn(be, std::string(key));
}

void MakeNames(Backend* be, const Entry* e, EntryNames* names) {
  names->certRc = ExtractKeyIDFromDN(be, e->dn, &names->certID);
  names->key = dn_normalized_upper(e->dn);
  // The parent's DN is the end of the entry's.
  std::optional<std::string> parent = dn_get_parent(be, names->key);
  names->parentAt = parent && parent->size() < names->key.size() ? names->key.size() - parent->size()
                                                                 : names->key.size();
}

}  // namespace

const EntryNames* entry_names(Backend* be, const Entry* e) {
  try {
    // A failed allocation leaves the names unmade, for the next caller to
    // try again.
    std::call_once(e->namesOnce, [&] {
      EntryNames made;
      MakeNames(be, e, &made);
      e->names = std::move(made);
    });
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return &e->names;
}

int CrtVirtualAttributes(Backend* be, const Entry* e, const std::vector<std::string>* attrs,
                         std::vector<Attribute>* out) {
  const bool wantKey = Requests(attrs, "kryKey");
  const bool wantV2 = Requests(attrs, "kryKeyV2");
  if (!wantKey && !wantV2) return 0;
  try {
    std::vector<Attribute> added;
    if (HasClass(e, kUserIDClass)) {
      const EntryNames* names = entry_names(be, e);
      if (!names) return 1;
      Entry* cert = names->ParentKey().empty() ? nullptr : ParentEntry(be, names->ParentKey());
      if (!cert) {
        Debug(LDAP_DEBUG_TRACE, "CrtVirtualAttributes: Parent entry could not be retrieved.\n");
        return 0;
      }
      HeldEntry held(be, cert);
      BuildVirtual(cert, true, wantKey, wantV2, &added);
    } else if (HasClass(e, kCertificateClass)) {
      BuildVirtual(e, false, wantKey, wantV2, &added);
    }
    out->insert(out->begin(), std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
  } catch (const std::bad_alloc&) {
    return 1;
  }
  return 0;
}

int ExtractKeyIDFromDN(Backend* be, std::string_view dn, std::string* certID) {
  static const char kHex[] = "abcdefABCDEF0123456789";
  try {
    std::string n = dn_normalized_upper(dn);
    if (n.compare(0, 10, "KRYUSERID=") == 0) {
      std::optional<std::string> parent = dn_get_parent(be, n);
      if (!parent) return 1;
      n = std::move(*parent);
    }
    if (n.compare(0, 10, "KRYCERTID=") != 0 || n.size() < 26) return 1;
    std::string_view id = std::string_view(n).substr(10, kCertIDLength);
    if (id.find_first_not_of(kHex) != std::string_view::npos) return 1;
    if (n.size() > 26 && std::string_view(kHex).find(n[26]) != std::string_view::npos) return 1;
    certID->assign(id);
    return 0;
  } catch (const std::bad_alloc&) {
    return 1;
  }
}

bool IsKeyOnlySearch(const std::vector<std::string>* attrs) {
  return attrs && attrs->size() == 1 && (StrIEquals((*attrs)[0], "kryKey") || StrIEquals((*attrs)[0], "kryKeyV2"));
}

bool CheckIfKeySent(Backend* be, const Entry* e, SentKeySet* sent) {
  const EntryNames* names = entry_names(be, e);
  return names && names->certRc == 0 && sent->Contains(names->certID);
}

void TrackKeysSent(Backend* be, const Entry* e, SentKeySet* sent) {
  const EntryNames* names = entry_names(be, e);
  if (!names || names->certRc != 0) return;
  try {
    sent->Add(names->certID);
  } catch (const std::bad_alloc&) {
    // Not remembering only means the key may be sent again.
  }
}

}  // namespace kry
