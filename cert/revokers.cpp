// VerifyRevokers: loads the stored certificates of a key's designated
// revokers so that revocations they issued can be checked.
#include <string>

#include "cert/certentry.h"
#include "cert/keysets.h"
#include "cert/kryhandles.h"
#include "cert/merge.h"
#include "log/eventlog.h"

namespace kry {

namespace {

// Adds the stored certificate of one revoker to `revokers`; a revoker that
// is not stored, or is disabled, is skipped.
int LoadRevoker(KRYContextRef context, Backend* be, const std::string& certID, KRYKeySetRef revokers) {
  for (int location : {kLocationActive, kLocationPending}) {
    std::string dn;
    int rc = CreateKeyDN(certID.c_str(), false, location, &dn);
    if (rc != 0) {
      LogError(EVENTLOG_ERROR, "Creating DN failed.  Library error: %s.", LibraryErrorText(rc).c_str());
      return 1;
    }
    bool v2 = false;
    KeySetHolder stored;
    std::string block;
    rc = GetCertObject(be, dn, context, &v2, stored.out(), &block);
    if (rc == 52) return 0;
    if (rc != 0) return 89;
    if (!stored) continue;
    if ((rc = KRYAddKeys(stored.get(), revokers)) != 0 || (rc = KRYCommitKeyRingChanges(revokers)) != 0) {
      LogError(EVENTLOG_ERROR, "Internal keyset error.  Library error: %s.", LibraryErrorText(rc).c_str());
      return 1;
    }
    return 0;
  }
  return 0;
}

}  // namespace

int VerifyRevokers(KRYContextRef context, Backend* be, int count, KRYKeyRef key, KRYKeySetRef* set,
                   KRYKeySetRef* revokers) {
  int rc = KRYNewKeySet(context, revokers);
  if (rc != 0) {
    LogError(EVENTLOG_ERROR, "Creating keyset failed.  Library error: %s.", LibraryErrorText(rc).c_str());
    return 1;
  }
  for (int i = 0; i < count; ++i) {
    KRYKeyID id{};
    if ((rc = KRYGetIndexedRevocationKey(key, nullptr, i, nullptr, &id)) != 0) {
      LogError(EVENTLOG_ERROR, "Internal keyset error.  Library error: %s.", LibraryErrorText(rc).c_str());
      return 1;
    }
    if ((rc = LoadRevoker(context, be, KeyIDDigits(id), *revokers)) != 0) return rc;
  }
  std::string block;
  if ((rc = ConvertKeySet2KeyBlock(*set, false, kKRYExportFormat_Complete, 0, &block)) != 0) {
    LogError(EVENTLOG_ERROR, "Exporting keyblock failed.  Library error: %s.", LibraryErrorText(rc).c_str());
    return 1;
  }
  KRYImportOptions in{};
  in.inputBuffer = block.data();
  in.inputLength = block.size();
  KRYKeySetRef again = nullptr;
  if ((rc = KRYImportKeySet(context, &in, &again)) != 0) {
    LogError(EVENTLOG_WARNING, "Keyblock of (%s) is missing or invalid.  Library error: %s.", "submitted",
             LibraryErrorText(rc).c_str());
    return 89;
  }
  KRYFreeKeySet(*set);
  *set = again;
  return 0;
}

}  // namespace kry
