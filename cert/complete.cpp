#include "cert/complete.h"

#include <new>
#include <set>
#include <vector>

#include "back-ldbm/cache.h"
#include "back-ldbm/dn2id.h"
#include "back-ldbm/id2entry.h"
#include "back-ldbm/ops.h"
#include "cert/certentry.h"
#include "cert/keysets.h"
#include "cert/kryhandles.h"
#include "cert/merge.h"
#include "cert/replog.h"
#include "ldap/add.h"
#include "ldap/dn.h"
#include "log/eventlog.h"
#include "runtime/connection.h"
#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

namespace {

constexpr uint32_t kAddTag = 0x68;

bool HasValue(const Entry& e, const char* type, const char* value) {
  const Attribute* a = attr_lookup(&e, type);
  if (!a) return false;
  for (const std::string& v : a->values)
    if (StrIEquals(v, value)) return true;
  return false;
}

bool Stored(Backend* be, const std::string& dn) { return dn2id(be, dn_normalized(dn)) != NOID; }

// DNs of the certificates below one location, disabled ones left out (no
// add reaches them, and their user-ID entries carry the disabled flag).
std::vector<std::string> CertificateDNs(Backend* be, const char* locationDN) {
  std::vector<std::string> dns;
  HeldEntry ou(be, entry_by_dn(be, locationDN));
  std::vector<EntryID> children;
  if (!ou.get() || GetKeysChildren(be, ou.get(), &children) != 0) return dns;
  for (EntryID id : children) {
    HeldEntry e(be, id2entry(be, id));
    if (e.get() && HasValue(*e.get(), "objectclass", kCertificateClass) && !HasValue(*e.get(), "kryDisabled", "1"))
      dns.push_back(e.get()->dn);
  }
  return dns;
}

// The values of an attribute as a set; for krySignerID only the signers'
// key IDs, since a certification's tag ("Exp: ", "Neg: ") may read
// differently now than when it was stored, without any add in between.
std::set<std::string> ValueSet(const Entry& e, const char* type) {
  std::set<std::string> out;
  if (const Attribute* a = attr_lookup(&e, type))
    for (const std::string& v : a->values)
      out.insert(StrIEquals(type, "krySignerID") && v.size() > kCertIDLength ? v.substr(v.size() - kCertIDLength) : v);
  return out;
}

// Whether a stored user-ID entry lacks what an add of the stored block
// writes on every change of the certificate (an add cut short after its
// certificate entry leaves the old values).
bool Outdated(const Entry& stored, const Entry& built) {
  for (const char* type : {"kryKeySize", "krySubKeyID", "kryRevoked", "krySignerID"})
    if (ValueSet(stored, type) != ValueSet(built, type)) return true;
  return false;
}

// Writes the user-ID entries of `list` that are missing or outdated, as an
// add would (with its time). Returns how many were written; *failed counts
// the others.
int StoreIncomplete(Backend* be, Connection* conn, EntryList* list, int* failed) {
  std::string now;
  KRYTime2GeneralizedTime(KRYGetTime(), &now);
  int written = 0;
  for (int i = 1; i < list->count; ++i) {
    EntryPtr& e = list->slots[static_cast<size_t>(i)];
    if (!e) continue;
    int merge = 0;
    {
      HeldEntry stored(be, entry_by_dn(be, dn_normalized(e->dn)));
      if (stored.get() && !Outdated(*stored.get(), *e)) continue;
      merge = stored.get() != nullptr;
    }
    attr_merge(e.get(), "modifytimestamp", now);
    int replicated = 1, err = 0;  // the record is written once, by the caller
    std::string matched;
    be->ops.add(be, conn, nullptr, e.release(), merge, nullptr, &replicated, &err, &matched);
    if (err == 0) ++written;
    else ++(*failed);
  }
  return written;
}

// Completes one certificate; true when some of its user-ID entries were
// missing or outdated and all are written now.
bool CompleteCertificate(Backend* be, KRYContextRef context, Connection* conn, const std::string& certDN) {
  bool v2 = false;
  KeySetHolder set;
  std::string block;
  if (GetCertObject(be, certDN, context, &v2, set.out(), &block) != 0 || !set) return false;
  KRYKeyRef key = nullptr;
  std::string certID;
  EntryList list;
  bool changed = false;
  if (KeySet2Key(set.get(), &key) != 0 || !key || GetCertID(key, &certID) != 0 || GrowEntries(&list, 1) != 0)
    return false;
  list.slots[0] = std::make_unique<Entry>();
  list.count = 1;
  // A key the add pipeline would refuse now (its algorithm no longer
  // accepted, say) cannot be rebuilt; that only matters when it is missing
  // entries.
  if (MergeKRYCertObjects(&list, set.get(), nullptr, certID, certDN, PREV_UNKNOWN, &changed, be) != 0) {
    if (CountMissingUserIDEntries(be, set.get(), certDN) > 0)
      LogError(EVENTLOG_ERROR, "User-ID entries of certificate 0x%s are missing and could not be built again.",
               certID.c_str());
    return false;
  }
  int failed = 0;
  const int written = StoreIncomplete(be, conn, &list, &failed);
  if (failed != 0) {
    LogError(EVENTLOG_ERROR, "User-ID entries of certificate 0x%s are missing or outdated and could not be written.",
             certID.c_str());
    return false;
  }
  if (written == 0) return false;
  LogError(EVENTLOG_WARNING,
           "Certificate 0x%s was stored without %d of its user-ID entries being written (an add cut short); they "
           "were written again from its key block.",
           certID.c_str(), written);
  HeldEntry cert(be, entry_by_dn(be, dn_normalized(certDN)));
  if (cert.get()) kryRepLog(be, conn, kAddTag, kVirtualKeyDN, cert.get(), false);
  return true;
}

}  // namespace

int CountMissingUserIDEntries(Backend* be, KRYKeySetRef set, const std::string& certDN) {
  KeyWalk walk;
  if (walk.Open(set) != 0) return 0;
  int missing = 0;
  KRYUserIDRef uid = nullptr;
  while (KRYKeyIterNextUserID(walk.iter(), &uid) == 0) {
    std::string dn;
    if (FindUserIDObjDN(be, uid, certDN, &dn) != 0) continue;  // no text form: no entry
    if (!Stored(be, dn)) ++missing;
  }
  return missing;
}

int CompleteInterruptedAdds(Backend* be) {
  auto* context = g_globals ? static_cast<KRYContextRef>(g_globals->keyContext) : nullptr;
  if (!context) return 0;
  Connection internal;
  internal.c_internal = true;
  int completed = 0;
  try {
    for (const char* location : {kActiveDN, kPendingDN})
      for (const std::string& dn : CertificateDNs(be, location))
        completed += CompleteCertificate(be, context, &internal, dn) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    LogError(EVENTLOG_ERROR, "Memory allocation error.");
  }
  return completed;
}

}  // namespace kry
