#include "cert/policy_init.h"

#include <string>
#include <vector>

#include "cert/keysets.h"
#include "log/eventlog.h"
#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

PolicyKeySets g_policy;

namespace {

// Resolves the IDs of `lists` in the keyrings and adds each key to `set`
// (when given). A key named in the configuration must exist: certificates
// of the directory are not consulted yet, so an ID missing from the
// keyrings is reported as missing from the database too.
int ConvertKeyIDtoKeySet(KRYContextRef context, std::vector<KeyIDList*> lists, KRYKeySetRef* set, int* count) {
  if (set && !*set) {
    if (KRYNewKeySet(context, set) != 0) {
      LogError(EVENTLOG_ERROR, "Memory allocation error.");
      return kKRYError_OutOfMemory;
    }
    if (count) *count = 0;
  }
  for (KeyIDList* list : lists) {
    for (std::string& text : *list) {
      KRYKeyRef key = nullptr;
      int rc = kKRYError_ItemNotFound;
      if (g_policy.keyrings) {
        KRYKeyID id;
        if (KRYGetKeyIDFromString(text.c_str(), &id) != 0) {
          LogError(EVENTLOG_ERROR, "Invalid Key ID (%s).", text.c_str());
          return kKRYError_ItemNotFound;
        }
        rc = KRYGetKeyByKeyID(g_policy.keyrings, &id, 0, &key);
        if (rc != 0 && rc != kKRYError_ItemNotFound) {
          LogError(EVENTLOG_ERROR, "Cannot find trusted key (%s) in public keyring.", text.c_str());
          return rc;
        }
      }
      if (rc == kKRYError_ItemNotFound || !key) {
        std::string upper = ToUpper(text);
        LogError(EVENTLOG_ERROR, "Cannot find trusted key (%s) in database.", upper.c_str());
        return kKRYError_ItemNotFound;
      }
      KRYKeyID full;
      char idText[24];
      if (KRYGetKeyIDFromKey(key, &full) == 0 &&
          KRYGetKeyIDString(&full, kKRYKeyIDString_Full, idText, sizeof idText) == 0)
        text = idText + 2;  // without "0x"
      if (set) {
        KRYKeySetRef one = nullptr;
        rc = KRYNewSingletonKeySet(key, &one);
        if (rc == 0) rc = KRYAddKeys(one, *set);
        KRYFreeKeySet(one);
        if (rc != 0) {
          LogError(EVENTLOG_ERROR, "Loading trust key (%s) failed with error %d (%s)", text.c_str(), rc,
                   LibraryErrorText(rc).c_str());
          return rc;
        }
      }
      if (count) ++*count;
    }
  }
  return 0;
}

}  // namespace

int InitPolicy(KRYContextRef context) {
  Globals* g = g_globals;
  int rc = GetKeySetFromKeyRings(context, g->PublicKeyRing, g->PrivateKeyRing, &g_policy.keyrings);
  if (rc != 0) return rc;
  std::vector<KeyIDList*> must, allow;
  for (KeyIDList& l : g->MustSigID) must.push_back(&l);
  for (KeyIDList& l : g->AllowSigID) allow.push_back(&l);
  if ((rc = ConvertKeyIDtoKeySet(context, must, &g_policy.signers, &g_policy.signerCount)) != 0) return rc;
  if ((rc = ConvertKeyIDtoKeySet(context, allow, &g_policy.signers, &g_policy.signerCount)) != 0) return rc;
  if ((rc = ConvertKeyIDtoKeySet(context, {&g->allowAdd}, &g_policy.addSigners, &g_policy.addSignerCount)) != 0)
    return rc;
  if ((rc = ConvertKeyIDtoKeySet(context, {&g->allowDelete}, &g_policy.deleteSigners,
                                 &g_policy.deleteSignerCount)) != 0)
    return rc;
  return ConvertKeyIDtoKeySet(context, {&g->allowGroupUpdate}, nullptr, nullptr);
}

void ReleasePolicy() {
  KRYFreeKeySet(g_policy.keyrings);
  KRYFreeKeySet(g_policy.signers);
  KRYFreeKeySet(g_policy.addSigners);
  KRYFreeKeySet(g_policy.deleteSigners);
  g_policy = PolicyKeySets();
}

}  // namespace kry
