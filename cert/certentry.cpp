// Building certificate and user-ID entries from a key.
#include "cert/certentry.h"

#include <cstdio>
#include <new>

#include "cert/keysets.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "util/status.h"

namespace kry {

int GrowEntries(EntryList* list, int newCount) {
  size_t capacity = list->slots.size();
  if (newCount < 0 || static_cast<size_t>(newCount) <= capacity) return 0;
  size_t grown = capacity < 8 ? 8 : capacity * 2;
  if (grown < static_cast<size_t>(newCount)) grown = static_cast<size_t>(newCount);
  Debug(LDAP_DEBUG_TRACE, "GrowEntries, newsize=%d\n", static_cast<int>(grown));
  try {
    list->slots.resize(grown);
  } catch (const std::bad_alloc&) {
    return 1;
  }
  return 0;
}

void GiveBackEntry(EntryList* list) {
  if (list->count <= 0) return;
  --list->count;
  list->slots[static_cast<size_t>(list->count)].reset();
}

void AddDirAttrToEntry(Entry* e, std::string_view type, const void* bytes, size_t length) {
  attr_merge(e, type, std::string_view(static_cast<const char*>(bytes), length));
}

void AddDirAttrToEntry(Entry* e, std::string_view type, std::string_view value) { attr_merge(e, type, value); }

int CrtKRYCertEntry(EntryList* list, const std::string& certDN) {
  Entry* e = list->Last();
  if (!e) return 1;
  try {
    AddDirAttrToEntry(e, "objectclass", kCertificateClass);
    e->dn = certDN;
    AddDirAttrToEntry(e, "version", "2.5.1");
  } catch (const std::bad_alloc&) {
    LogError(EVENTLOG_ERROR, "Memory allocation error.");
    return kLdapServerOutOfMemory;
  }
  return 0;
}

int CrtKRYUserIDEntry(EntryList* list, std::string dn, Entry** entry) {
  *entry = nullptr;
  if (GrowEntries(list, list->count + 1) != 0) {
    LogError(EVENTLOG_ERROR, "Memory allocation error.");
    return kLdapServerOutOfMemory;
  }
  Entry* e = new (std::nothrow) Entry();
  if (!e) {
    LogError(EVENTLOG_ERROR, "Memory allocation error.");
    return kLdapServerOutOfMemory;
  }
  e->dn = std::move(dn);
  list->slots[static_cast<size_t>(list->count)].reset(e);
  ++list->count;
  *entry = e;
  return 0;
}

namespace {

// The primary key's algorithm, or -1 (logged) when the server does not take
// keys of that algorithm.
int AcceptedAlgorithm(KRYKeyRef key, const std::string& certID) {
  int32_t alg = 0;
  if (KRYGetKeyNumber(key, kKRYKeyProperty_AlgorithmID, &alg) != 0) alg = 0;
  if (!KeyTypeName(alg)) {
    LogError(EVENTLOG_ERROR, "Algorithm ID %d is not supported (%s).", static_cast<int>(alg), certID.c_str());
    return -1;
  }
  return alg;
}

// Adds `name` with the generalized form of the key time `property`. A time
// that cannot be read fails (1); one that cannot be converted, or an
// expiration of 0 (never), is only left out.
int AddKeyTime(Entry* e, KRYKeyRef key, int property, const char* name, const std::string& certID) {
  KRYTime t = 0;
  if (KRYGetKeyTime(key, property, &t) != 0) {
    LogError(EVENTLOG_ERROR, "Could not get expiration time (%s).", certID.c_str());
    return 1;
  }
  if (property == kKRYKeyProperty_Expiration && t == 0) return 0;
  std::string text;
  if (KRYTime2GeneralizedTime(t, &text) == 0) AddDirAttrToEntry(e, name, text);
  return 0;
}

int AddStaticAttrs(Entry* e, KRYUserIDRef uid, KRYKeyRef key, const std::string& certID) {
  AddDirAttrToEntry(e, "objectclass", kUserIDClass);
  AddDirAttrToEntry(e, "kryCertID", certID);
  AddDirAttrToEntry(e, "kryDisabled", "0");
  AddDirAttrToEntry(e, "kryKeyID", std::string_view(certID).substr(certID.size() >= 8 ? certID.size() - 8 : 0));
  int alg = AcceptedAlgorithm(key, certID);
  if (alg < 0) return 1;
  AddDirAttrToEntry(e, "kryKeyType", KeyTypeName(alg));
  std::string name;
  int rc = GetUserIDText(uid, &name);
  if (rc != 0) {
    LogError(EVENTLOG_ERROR, "Getting User ID of certificate failed (%s).  Library error: %s.", certID.c_str(),
             LibraryErrorText(rc).c_str());
    return 1;
  }
  AddDirAttrToEntry(e, "kryUserID", name);
  if (AddKeyTime(e, key, kKRYKeyProperty_Creation, "kryKeyCreateTime", certID) != 0) return 1;
  if (AddKeyTime(e, key, kKRYKeyProperty_Expiration, "kryKeyExpireTime", certID) != 0) return 1;
  // A v6 key ID is the start of the fingerprint, not its end, so the
  // fingerprint is kept on its own for searches that name the key fully.
  std::string fpr;
  if (V6Fingerprint(key, &fpr)) AddDirAttrToEntry(e, "kryKeyFingerprint", fpr);
  return 0;
}

int AddDynamicAttrs(Entry* e, KRYKeyRef key, const std::string& certID, bool revoked, int largestSubKeySize,
                    const std::vector<std::string>& subKeyIDs) {
  int alg = AcceptedAlgorithm(key, certID);
  if (alg < 0) return 1;
  // DSA signs only: what a DSS/DH key offers for encryption is its subkeys,
  // so their size is the one clients look for.
  int32_t size = largestSubKeySize;
  if (alg != kKRYPublicKeyAlgorithm_DSA) {
    int rc = KRYGetKeyNumber(key, kKRYKeyProperty_Bits, &size);
    if (rc != 0) {
      LogError(EVENTLOG_ERROR, "Getting property of certificate failed.  Library error: %s.",
               LibraryErrorText(rc).c_str());
      return 1;
    }
  }
  char text[16];
  std::snprintf(text, sizeof text, "%05d", static_cast<int>(size));
  AddDirAttrToEntry(e, "kryKeySize", text);
  if (alg == kKRYPublicKeyAlgorithm_DSA)
    for (const std::string& id : subKeyIDs) AddDirAttrToEntry(e, "krySubKeyID", id);
  AddDirAttrToEntry(e, "kryRevoked", revoked ? "1" : "0");
  return 0;
}

}  // namespace

int AddStaticKRYUserIDAttrs(Entry* e, KRYUserIDRef uid, KRYKeyRef key, const std::string& certID) {
  try {
    return AddStaticAttrs(e, uid, key, certID);
  } catch (const std::bad_alloc&) {
    LogError(EVENTLOG_ERROR, "Memory allocation error.");
    return 1;
  }
}

int AddDynamicKRYUserIDAttrs(Entry* e, KRYKeyRef key, const std::string& certID, bool revoked,
                             int largestSubKeySize, const std::vector<std::string>& subKeyIDs) {
  try {
    return AddDynamicAttrs(e, key, certID, revoked, largestSubKeySize, subKeyIDs);
  } catch (const std::bad_alloc&) {
    LogError(EVENTLOG_ERROR, "Memory allocation error.");
    return 1;
  }
}

std::string SignerIDValue(const SignerRecord& record) {
  switch (record.tag) {
    case '-':
      return "Neg: " + record.keyID;
    case 'x':
      return "Exp: " + record.keyID;
    default:
      return record.keyID;
  }
}

void AddSignerIDAttrs(Entry* e, const std::vector<SignerRecord>& records) {
  for (const SignerRecord& r : records) AddDirAttrToEntry(e, "krySignerID", SignerIDValue(r));
}

}  // namespace kry
