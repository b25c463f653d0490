#include "cert/merge.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "cert/certentry.h"
#include "cert/keysets.h"
#include "cert/kryhandles.h"
#include "ldap/entry.h"
#include "log/eventlog.h"
#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

namespace {

constexpr size_t kNameBuffer = 256;

bool SignaturesChecked() { return !g_globals || g_globals->checkSignatures; }

// The name string of a user ID (shortened ones accepted); false for a user
// attribute or a read error.
bool UserIDName(KRYUserIDRef uid, std::string* name, int* rcOut = nullptr) {
  char buf[kNameBuffer];
  int rc = KRYGetUserIDStringBuffer(uid, buf, sizeof buf, nullptr);
  if (rcOut) *rcOut = rc;
  if (rc != 0 && rc != kKRYError_BufferTooSmall) return false;
  *name = buf;
  return true;
}

int SigFlag(KRYSigRef sig, int property, bool* out) {
  KRYBoolean b = 0;
  int rc = KRYGetSigBoolean(sig, property, &b);
  *out = b != 0;
  return rc;
}

bool IsSelfSig(KRYSigRef sig, KRYKeySetRef set, KRYKeyRef key) {
  KRYKeyRef certifier = nullptr;
  return KRYGetSigCertifierKey(sig, set, &certifier) == 0 && certifier &&
         KRYCompareKeys(certifier, key, kKRYKeyOrdering_Fingerprint) == 0;
}

void RemovePhotoID(KRYUserIDRef uid) {
  int rc = KRYRemoveUserID(uid);
  if (rc != 0) LogError(EVENTLOG_ERROR, "Removing Photo ID failed.  Library error: %s.", LibraryErrorText(rc).c_str());
}

}  // namespace

int CheckKeyAndSubKeySigs(KRYKeyIterRef iter) {
  int rc = 0;
  KRYSigRef sig = nullptr;
  KRYKeyIterRewindKeySig(iter);
  while (KRYKeyIterNextKeySig(iter, &sig) == 0)
    if (!SigIsValid(sig, &rc) || rc != 0) return kKRYError_BadSignature;
  KRYKeyIterRewindSubKey(iter);
  KRYSubKeyRef sub = nullptr;
  while (KRYKeyIterNextSubKey(iter, &sub) == 0) {
    KRYKeyIterRewindSubKeySig(iter);
    while (KRYKeyIterNextSubKeySig(iter, &sig) == 0)
      if (!SigIsValid(sig, &rc) || rc != 0) return kKRYError_BadSignature;
  }
  KRYKeyIterRewindSubKey(iter);
  return 0;
}

std::string KeyIDDigits(const KRYKeyID& id) {
  char text[24] = {0};
  if (KRYGetKeyIDString(&id, kKRYKeyIDString_Full, text, sizeof text) != 0) return std::string();
  return (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) ? std::string(text + 2) : std::string(text);
}

bool SigIsValid(KRYSigRef sig, int* rc) {
  bool tried = false, verified = false, notCorrupt = false, revoked = false, unverifiedRev = false;
  if ((*rc = SigFlag(sig, kKRYSigProperty_IsTried, &tried)) != 0 ||
      (*rc = SigFlag(sig, kKRYSigProperty_IsVerified, &verified)) != 0 ||
      (*rc = SigFlag(sig, kKRYSigProperty_IsNotCorrupt, &notCorrupt)) != 0 ||
      (*rc = SigFlag(sig, kKRYSigProperty_IsRevoked, &revoked)) != 0 ||
      (*rc = SigFlag(sig, kKRYSigProperty_HasUnverifiedRevocation, &unverifiedRev)) != 0)
    return false;
  return notCorrupt && (!tried || (verified && (revoked || !unverifiedRev)));
}

int GetSigIDsOfUserID(KRYKeyIterRef iter, bool verify, bool strict, std::vector<SignerRecord>* records) {
  records->clear();
  int rc = KRYKeyIterRewindUIDSig(iter);
  if (rc != 0) return rc;
  KRYSigRef sig = nullptr;
  while (KRYKeyIterNextUIDSig(iter, &sig) == 0) {
    bool unverifiedRev = false, expired = false;
    if ((rc = SigFlag(sig, kKRYSigProperty_HasUnverifiedRevocation, &unverifiedRev)) != 0 ||
        (rc = SigFlag(sig, kKRYSigProperty_IsExpired, &expired)) != 0) {
      LogError(EVENTLOG_ERROR, "Getting property of certificate failed.  Library error: %s.",
               LibraryErrorText(rc).c_str());
      return rc;
    }
    if (verify) {
      bool valid = SigIsValid(sig, &rc);
      if (rc != 0) {
        LogError(EVENTLOG_ERROR, "Getting property of certificate failed.  Library error: %s.",
                 LibraryErrorText(rc).c_str());
        return rc;
      }
      if (!valid) {
        LogError(EVENTLOG_INFO, "Invalid signature on certificate.");
        return kKRYError_BadSignature;
      }
      if (strict) {
        bool tried = false, verified = false;
        SigFlag(sig, kKRYSigProperty_IsTried, &tried);
        SigFlag(sig, kKRYSigProperty_IsVerified, &verified);
        if (!tried || !verified || expired) continue;
      }
    }
    bool exportable = true;
    if ((rc = SigFlag(sig, kKRYSigProperty_IsExportable, &exportable)) != 0) {
      LogError(EVENTLOG_ERROR, "Getting property of certificate failed.  Library error: %s.",
               LibraryErrorText(rc).c_str());
      return rc;
    }
    if (!exportable) {
      if ((rc = KRYRemoveSig(sig)) != 0)
        LogError(EVENTLOG_ERROR, "Removing non-exportable signature failed.  Library error: %s.",
                 LibraryErrorText(rc).c_str());
      continue;
    }
    KRYKeyID id{};
    if ((rc = KRYGetKeyIDOfCertifier(sig, &id)) != 0) {
      LogError(EVENTLOG_ERROR, "Getting signer ID failed.  Library error: %s.", LibraryErrorText(rc).c_str());
      return rc;
    }
    const char tag = unverifiedRev ? '-' : (expired ? 'x' : '+');
    records->push_back(SignerRecord{tag, KeyIDDigits(id)});
  }
  return 0;
}

int GetSubKeyValues(KRYKeyIterRef iter, SubKeyValues* values) {
  *values = SubKeyValues();
  int rc = KRYKeyIterRewindSubKey(iter);
  if (rc != 0) return rc;
  KRYSubKeyRef sub = nullptr;
  while ((rc = KRYKeyIterNextSubKey(iter, &sub)) == 0) {
    int32_t bits = 0;
    KRYKeyID id{};
    if ((rc = KRYGetSubKeyNumber(sub, kKRYKeyProperty_Bits, &bits)) != 0) return rc;
    if ((rc = KRYGetKeyIDFromSubKey(sub, &id)) != 0) return rc;
    values->largest = std::max(values->largest, static_cast<int>(bits));
    values->ids.push_back(KeyIDDigits(id));
  }
  return rc == kKRYError_EndOfIteration ? 0 : rc;
}

int MergeKRYSubKeys(KRYKeyIterRef fresh, KRYKeyIterRef stored, SubKeyValues* values, bool* changed) {
  if (GetSubKeyValues(fresh, values) != 0) return 21;
  if (!stored) {
    *changed = true;
    return 0;
  }
  SubKeyValues old;
  if (GetSubKeyValues(stored, &old) != 0) return 21;
  bool same = old.ids.size() == values->ids.size();
  for (size_t i = 0; same && i < values->ids.size(); ++i)
    same = std::any_of(old.ids.begin(), old.ids.end(),
                       [&](const std::string& o) { return StrIEquals(o, values->ids[i]); });
  if (!same) *changed = true;
  return 0;
}

KRYUserIDRef FindUserIDInCert(KRYUserIDRef uid, KRYKeyIterRef stored) {
  std::string name;
  int rc = 0;
  if (!UserIDName(uid, &name, &rc)) {
    if (rc != kKRYError_UserIDNoName) LogError(EVENTLOG_ERROR, "Getting User ID string failed.");
    return nullptr;
  }
  if (KRYKeyIterRewindUserID(stored) != 0) {
    LogError(EVENTLOG_ERROR, "Iterating through User IDs failed.");
    return nullptr;
  }
  KRYUserIDRef other = nullptr;
  while ((rc = KRYKeyIterNextUserID(stored, &other)) == 0) {
    std::string otherName;
    if (UserIDName(other, &otherName) && KRYCompareUserIDStrings(name.c_str(), otherName.c_str()) == 0)
      return other;
  }
  if (rc != kKRYError_EndOfIteration) LogError(EVENTLOG_ERROR, "Iterating through User IDs failed.");
  return nullptr;
}

bool IsPhotoID(KRYUserIDRef uid) {
  int32_t type = 0;
  return KRYGetUserIDNumber(uid, kKRYUserIDProperty_AttributeType, &type) == 0 && type == 1;
}

KRYTime GetMostRecentSelfSig(KRYKeyIterRef iter, KRYKeySetRef set, KRYKeyRef key, bool checkValidity) {
  KRYTime newest = 0;
  KRYSigRef sig = nullptr;
  KRYKeyIterRewindUIDSig(iter);
  while (KRYKeyIterNextUIDSig(iter, &sig) == 0) {
    int rc = 0;
    if (!IsSelfSig(sig, set, key)) continue;
    if (checkValidity && (!SigIsValid(sig, &rc) || rc != 0)) continue;
    KRYTime created = 0;
    if (KRYGetSigTime(sig, kKRYSigProperty_Creation, &created) == 0) newest = std::max(newest, created);
  }
  return newest;
}

void KeepNewestPhotoID(KRYUserIDRef uid, KRYKeyIterRef iter, KRYKeySetRef set, KRYKeyRef key, KRYTime* newest,
                       KRYUserIDRef* survivor, bool checkValidity) {
  const KRYTime when = GetMostRecentSelfSig(iter, set, key, checkValidity);
  if (!*survivor) {
    *survivor = uid;
    *newest = when;
  } else if (when < *newest) {
    RemovePhotoID(uid);
  } else {
    RemovePhotoID(*survivor);
    *survivor = uid;
    *newest = when;
  }
}

int MergeKRYSignerIDs(Entry* entry, KRYKeyIterRef fresh, KRYKeyIterRef stored, bool* changed) {
  std::vector<SignerRecord> records, old;
  if (GetSigIDsOfUserID(fresh, SignaturesChecked(), false, &records) != 0) return 21;
  if (stored) {
    if (GetSigIDsOfUserID(stored, false, false, &old) != 0) return 21;
    // A set, not a scan per record: certificates may carry many thousands.
    std::set<std::string> known;
    for (const SignerRecord& o : old) known.insert(o.tag + o.keyID);
    const bool same = std::all_of(records.begin(), records.end(),
                                  [&](const SignerRecord& r) { return known.count(r.tag + r.keyID) != 0; });
    if (same) return 0;
  }
  AddSignerIDAttrs(entry, records);
  *changed = true;
  return 0;
}

}  // namespace kry
