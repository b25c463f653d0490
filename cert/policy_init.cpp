#include "cert/policy_init.h"

#include <string>
#include <vector>

#include "cert/keyid2entry.h"
#include "cert/keysets.h"
#include "cert/kryhandles.h"
#include "log/eventlog.h"
#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

PolicyKeySets g_policy;

namespace {

// Adds the keys of `keys` (made with status `made`) to the policy set.
int AddTrustKeys(int made, KRYKeySetRef keys, const std::string& text, KRYKeySetRef set) {
  int rc = made;
  if (rc == 0) rc = KRYAddKeys(keys, set);
  if (rc != 0)
    LogError(EVENTLOG_ERROR, "Loading trust key (%s) failed with error %d (%s)", text.c_str(), rc,
             LibraryErrorText(rc).c_str());
  return rc;
}

// Loads the ACTIVE certificate `text` names from the directory into `set`
// (when given) and replaces a short ID in `text` by the full one.
int LoadFromDirectory(KRYContextRef context, std::string& text, KRYKeySetRef set) {
  text = ToUpper(text);
  Backend* be = g_globals->backends.empty() ? nullptr : g_globals->backends.front().get();
  std::string block;
  int rc = be ? KeyID2Entry(be, &text, &block) : kKRYError_ItemNotFound;
  if (rc != 0) {
    LogError(EVENTLOG_ERROR, "Cannot find trusted key (%s) in database.", text.c_str());
    return rc;
  }
  if (!set) return 0;
  KRYImportOptions in{};
  in.inputBuffer = block.data();
  in.inputLength = block.size();
  KeySetHolder stored;
  const int made = KRYImportKeySet(context, &in, stored.out());
  return AddTrustKeys(made, stored.get(), text, set);
}

// Adds one key of the keyrings to `set` (when given) and replaces `text` by
// its full ID.
int LoadFromKeyRing(KRYKeyRef key, std::string& text, KRYKeySetRef set) {
  KRYKeyID full;
  if (KRYGetKeyIDFromKey(key, &full) == 0) {
    std::string digits = KeyIDDigits(full);
    if (!digits.empty()) text = digits;
  }
  if (!set) return 0;
  KeySetHolder one;
  const int made = KRYNewSingletonKeySet(key, one.out());
  return AddTrustKeys(made, one.get(), text, set);
}

// Resolves one configured key ID: first in the keyrings, then among the
// ACTIVE certificates of the directory.
int ResolveKeyID(KRYContextRef context, std::string& text, KRYKeySetRef set) {
  if (g_policy.keyrings) {
    KRYKeyID id;
    if (KRYGetKeyIDFromString(text.c_str(), &id) != 0) {
      LogError(EVENTLOG_ERROR, "Invalid Key ID (%s).", text.c_str());
      return kKRYError_ItemNotFound;
    }
    KRYKeyRef key = nullptr;
    int rc = KRYGetKeyByKeyID(g_policy.keyrings, &id, -1, &key);
    if (rc == 0 && key) return LoadFromKeyRing(key, text, set);
    if (rc != 0 && rc != kKRYError_ItemNotFound) {
      LogError(EVENTLOG_ERROR, "Cannot find trusted key (%s) in public keyring.", text.c_str());
      return rc;
    }
  }
  return LoadFromDirectory(context, text, set);
}

// Resolves the IDs of `lists` and adds each key to `set` (when given).
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
      if (int rc = ResolveKeyID(context, text, set ? *set : nullptr)) return rc;
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
