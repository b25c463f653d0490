// MergeKRYCertObjects: the merge of a submitted certificate with its stored
// copy and the building of the user-ID entries that need writing.
#include <string>

#include "cert/certentry.h"
#include "cert/keysets.h"
#include "cert/kryhandles.h"
#include "cert/merge.h"
#include "ldap/entry.h"
#include "log/eventlog.h"
#include "runtime/globals.h"

namespace kry {

namespace {

bool SignaturesChecked() { return !g_globals || g_globals->checkSignatures; }
bool TrimPhotos() { return g_globals && g_globals->TrimPhotoIDs; }

int KeyFlag(KRYKeyRef key, int property, bool* out) {
  KRYBoolean b = 0;
  int rc = KRYGetKeyBoolean(key, property, &b);
  *out = b != 0;
  return rc;
}

// The state the user-ID loop shares.
struct MergeState {
  EntryList* list;
  Backend* be;  // null: DNs are built without looking at stored entries
  KRYKeySetRef set;
  KeyWalk* fresh;
  KeyWalk* stored;  // null for a new certificate
  const std::string* certID;
  const std::string* certDN;
  bool revoked;
  SubKeyValues subkeys;
  // Certificate-wide change (new certificate, revocation, subkeys): every
  // user-ID entry carries it, so every one is written.
  bool changed;
  // A change of some user ID (new, or new signers): only its entry is
  // written.
  bool userIDChanged = false;
  int photos = 0;
};

// One user ID of the merged key (steps of the user-ID loop). Returns 0 to go
// on, or the merge's failure.
int MergeOneUserID(MergeState& s, KRYUserIDRef uid) {
  KRYUserIDRef storedUid = s.stored ? FindUserIDInCert(uid, s.stored->iter()) : nullptr;
  if (IsPhotoID(uid)) {
    if (TrimPhotos()) {
      int rc = KRYRemoveUserID(uid);
      if (rc != 0)
        LogError(EVENTLOG_ERROR, "Removing Photo ID failed.  Library error: %s.", LibraryErrorText(rc).c_str());
    } else {
      ++s.photos;
    }
  }
  std::string dn;
  if (FindUserIDObjDN(s.be, uid, *s.certDN, &dn) != 0) return 0;  // no text form: no entry
  Entry* entry = nullptr;
  if (CrtKRYUserIDEntry(s.list, dn, &entry) != 0) return 90;
  int rc = 0;
  bool changed = false;
  if (!storedUid) {
    if ((rc = AddStaticKRYUserIDAttrs(entry, uid, s.fresh->key(), *s.certID)) != 0) return rc;
    changed = true;
  }
  if ((rc = AddDynamicKRYUserIDAttrs(entry, s.fresh->key(), *s.certID, s.revoked, s.subkeys.largest,
                                     s.subkeys.ids)) != 0)
    return rc;
  if ((rc = MergeKRYSignerIDs(entry, s.fresh->iter(), storedUid ? s.stored->iter() : nullptr, &changed)) != 0)
    return rc;
  // Entries of user IDs that did not change are not rewritten, wherever in
  // the key's order the changed one lies.
  if (!changed && !s.changed) GiveBackEntry(s.list);
  s.userIDChanged = s.userIDChanged || changed;
  return 0;
}

// Reduces two or more photo IDs to the newest one.
int ReducePhotoIDs(MergeState& s) {
  int rc = s.fresh->Rewind();
  if (rc != 0) {
    LogError(EVENTLOG_ERROR, "Rewinding key iterator failed.  Library error: %s.", LibraryErrorText(rc).c_str());
    return 1;
  }
  KRYTime newest = 0;
  KRYUserIDRef survivor = nullptr, uid = nullptr;
  KRYKeyIterRewindUserID(s.fresh->iter());
  while (KRYKeyIterNextUserID(s.fresh->iter(), &uid) == 0)
    if (IsPhotoID(uid))
      KeepNewestPhotoID(uid, s.fresh->iter(), s.set, s.fresh->key(), &newest, &survivor, SignaturesChecked());
  return 0;
}

}  // namespace

int MergeKRYCertObjects(EntryList* list, KRYKeySetRef set, KRYKeySetRef storedSet, const std::string& certID,
                        const std::string& certDN, int prevRevoked, bool* changed, Backend* be) {
  MergeState s{};
  s.list = list;
  s.be = be;
  s.set = set;
  s.certID = &certID;
  s.certDN = &certDN;
  s.changed = storedSet == nullptr;
  int rc = 0;
  KRYKeyRef storedKey = nullptr;
  if (storedSet) {
    if ((rc = KRYAddKeys(storedSet, set)) != 0) {
      LogError(EVENTLOG_ERROR, "Could not merge new and existing certificates.  Library error: %s.",
               LibraryErrorText(rc).c_str());
      return 1;
    }
    int count = 0;
    if (KRYCountKeys(set, &count) != 0 || count != 1) {
      LogError(EVENTLOG_WARNING, "Submitted certificate differed from existing.");
      return 64;
    }
    if (KeySet2Key(storedSet, &storedKey) != 0 || !storedKey) return 1;
  }
  KeyWalk fresh, stored;
  if ((rc = fresh.Open(set)) != 0) {
    LogError(EVENTLOG_ERROR, "Getting key iter failed.  Library error: %s.", LibraryErrorText(rc).c_str());
    return 1;
  }
  s.fresh = &fresh;
  bool revoked = false, unverifiedRev = false;
  if (KeyFlag(fresh.key(), kKRYKeyProperty_IsRevoked, &revoked) != 0 ||
      KeyFlag(fresh.key(), kKRYKeyProperty_HasUnverifiedRevocation, &unverifiedRev) != 0)
    return 1;
  s.revoked = revoked || unverifiedRev;
  if (SignaturesChecked() && CheckKeyAndSubKeySigs(fresh.iter()) != 0) {
    LogError(EVENTLOG_INFO, "Invalid signature on certificate.");
    return 21;
  }
  if (!storedSet) {
    if ((rc = CrtKRYCertEntry(list, certDN)) != 0) return rc;
  } else {
    if (prevRevoked == PREV_UNKNOWN) {
      bool was = false;
      if (KeyFlag(storedKey, kKRYKeyProperty_HasUnverifiedRevocation, &was) != 0) return 1;
      prevRevoked = was ? PREV_REVOKED : PREV_NOT_REVOKED;
    }
    if ((prevRevoked == PREV_REVOKED) != s.revoked) s.changed = true;
    if ((rc = stored.Open(storedSet)) != 0) {
      LogError(EVENTLOG_ERROR, "Getting key iter failed.  Library error: %s.", LibraryErrorText(rc).c_str());
      return 1;
    }
    s.stored = &stored;
  }
  if ((rc = MergeKRYSubKeys(fresh.iter(), s.stored ? stored.iter() : nullptr, &s.subkeys, &s.changed)) != 0)
    return rc;
  KRYUserIDRef uid = nullptr;
  KRYKeyIterRewindUserID(fresh.iter());
  while (KRYKeyIterNextUserID(fresh.iter(), &uid) == 0)
    if ((rc = MergeOneUserID(s, uid)) != 0) return rc;
  if (s.photos >= 2 && (rc = ReducePhotoIDs(s)) != 0) return rc;
  *changed = s.changed || s.userIDChanged;
  return 0;
}

}  // namespace kry
