#include "cert/blockpurge.h"

#include "cert/blocklist.h"
#include "cert/certentry.h"
#include "cert/keydelete.h"
#include "cert/replog.h"
#include "ldap/result.h"
#include "log/eventlog.h"
#include "runtime/connection.h"

namespace kry {

const char kBlockedKeyText[] = "This key is blocked on this server and cannot be stored.";

int PurgeCertID(Backend* be, const std::string& certID) {
  Connection internal;
  internal.c_internal = true;
  int removed = 0;
  for (int location : {kLocationActive, kLocationPending}) {
    std::string dn;
    if (CreateKeyDN(certID.c_str(), false, location, &dn) != 0) return -1;
    const int rc = DeleteKey(be, &internal, nullptr, nullptr, dn);
    if (rc == LDAP_SUCCESS) {
      ++removed;
    } else if (rc != LDAP_NO_SUCH_OBJECT) {
      LogError(EVENTLOG_ERROR, "Purging blocked certificate %s failed (%d).", dn.c_str(), rc);
      return -1;
    }
  }
  return removed;
}

std::string BlockRequestText(bool block, const std::string& fingerprint) {
  return std::string(block ? "REQUEST: BLOCK" : "REQUEST: UNBLOCK") + "\n\n" + fingerprint + "\n";
}

int ApplyBlockChange(Backend* be, bool block, const std::string& fingerprint, const std::string& reason) {
  const std::string fpr = NormalizeFingerprint(fingerprint);
  const int rc = block ? BlockFingerprint(fpr, reason) : UnblockFingerprint(fpr);
  if (fpr.empty()) return 2;
  if (rc != 0) return rc;
  LogError(EVENTLOG_WARNING, "Key %s %s%s%s.", fpr.c_str(), block ? "blocked" : "unblocked",
           reason.empty() ? "" : ": ", reason.c_str());
  constexpr uint32_t kAddTag = 0x68;
  kryRepLogRequest(nullptr, kAddTag, BlockRequestText(block, fpr));
  if (!block || !be) return 0;
  return PurgeCertID(be, FingerprintCertID(fpr)) < 0 ? 1 : 0;
}

int PurgeBlockedKeys(Backend* be) {
  int removed = 0;
  for (const std::string& id : BlockedCertIDs()) {
    const int n = PurgeCertID(be, id);
    if (n > 0) {
      LogError(EVENTLOG_WARNING, "Blocked key 0x%s purged.", id.c_str());
      removed += n;
    }
  }
  return removed;
}

}  // namespace kry
