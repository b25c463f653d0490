#include "cert/blockpurge.h"

#include "cert/blocklist.h"
#include "cert/certentry.h"
#include "cert/keydelete.h"
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
