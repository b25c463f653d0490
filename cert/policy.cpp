#include "cert/policy.h"

#include <string>
#include <vector>

#include "cert/certentry.h"
#include "cert/kryhandles.h"
#include "cert/merge.h"
#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

namespace {

// True when a "MustSigID" line has every one of its keys among `records`.
bool LineSatisfied(const KeyIDList& line, const std::vector<SignerRecord>& records) {
  for (const std::string& id : line) {
    bool found = false;
    for (const SignerRecord& r : records)
      if (StrIEquals(std::string_view(id).substr(0, 16), r.keyID)) found = true;
    if (!found) return false;
  }
  return true;
}

int RequiredSignersPresent(KeyWalk& walk, const Globals& g) {
  const bool check = g.checkSignatures;
  std::vector<SignerRecord> records;
  KRYUserIDRef uid = nullptr;
  KRYKeyIterRewindUserID(walk.iter());
  while (KRYKeyIterNextUserID(walk.iter(), &uid) == 0) {
    int rc = GetSigIDsOfUserID(walk.iter(), check, check, &records);
    if (rc != 0) return rc;
    for (const KeyIDList& line : g.MustSigID)
      if (LineSatisfied(line, records)) return 0;
  }
  return kKRYError_BadSignature;
}

bool TrustedSigner(const Globals& g, const std::string& digits) {
  for (const auto* lists : {&g.MustSigID, &g.AllowSigID})
    for (const KeyIDList& line : *lists)
      for (const std::string& id : line)
        if (StrIEquals(id, digits)) return true;
  return false;
}

void TrimSignatures(KeyWalk& walk, KRYKeySetRef signers, bool* trimmed) {
  KRYKeyID own{};
  KRYGetKeyIDFromKey(walk.key(), &own);
  KRYUserIDRef uid = nullptr;
  KRYKeyIterRewindUserID(walk.iter());
  while (KRYKeyIterNextUserID(walk.iter(), &uid) == 0) {
    KRYSigRef sig = nullptr;
    KRYKeyIterRewindUIDSig(walk.iter());
    while (KRYKeyIterNextUIDSig(walk.iter(), &sig) == 0) {
      KRYKeyID certifier{};
      if (KRYGetKeyIDOfCertifier(sig, &certifier) != 0) continue;
      if (KRYCompareKeyIDs(&certifier, &own) == 0) continue;
      int32_t alg = 0;
      KRYGetSigNumber(sig, kKRYSigProperty_AlgorithmID, &alg);
      KRYKeyRef found = nullptr;
      if (signers && KRYGetKeyByKeyID(signers, &certifier, alg, &found) == 0 && found) continue;
      if (KRYRemoveSig(sig) == 0) *trimmed = true;
    }
  }
}

// Removes user IDs that no trusted signer vouches for and that carry at
// most their self-signature. Returns 2 when none is left.
int TrimUserIDs(KeyWalk& walk, const Globals& g, bool* trimmed) {
  KRYKeyID own{};
  KRYGetKeyIDFromKey(walk.key(), &own);
  int left = 0;
  KRYUserIDRef uid = nullptr;
  KRYKeyIterRewindUserID(walk.iter());
  while (KRYKeyIterNextUserID(walk.iter(), &uid) == 0) {
    int count = 0;
    bool trusted = false, onlySelf = true;
    KRYSigRef sig = nullptr;
    KRYKeyIterRewindUIDSig(walk.iter());
    while (KRYKeyIterNextUIDSig(walk.iter(), &sig) == 0) {
      ++count;
      KRYKeyID certifier{};
      if (KRYGetKeyIDOfCertifier(sig, &certifier) != 0) continue;
      if (TrustedSigner(g, KeyIDDigits(certifier))) trusted = true;
      if (KRYCompareKeyIDs(&certifier, &own) != 0) onlySelf = false;
    }
    if (!trusted && (count == 0 || (count == 1 && onlySelf)) && KRYRemoveUserID(uid) == 0) {
      *trimmed = true;
      continue;
    }
    ++left;
  }
  return left == 0 ? POLICY_ALL_TRIMMED : 0;
}

}  // namespace

int CheckPolicy(KRYKeySetRef set, const RequestKeys& keys, bool* trimmed) {
  *trimmed = false;
  const Globals& g = *g_globals;
  int rc = 0;
  if (g.checkSignatures) {
    if ((rc = KRYCheckKeyRingSigs(set, set, 0, nullptr, nullptr)) != 0) return rc;
    int signers = 0;
    if (keys.signers && KRYCountKeys(keys.signers, &signers) == 0 && signers > 0 &&
        (rc = KRYCheckKeyRingSigs(set, keys.signers, 0, nullptr, nullptr)) != 0)
      return rc;
    if ((rc = KRYPropagateTrust(set, nullptr)) != 0) return rc;
  }
  KeyWalk walk;
  if ((rc = walk.Open(set)) != 0) return rc;
  if (!g.MustSigID.empty() && (rc = RequiredSignersPresent(walk, g)) != 0) return rc;
  if (g.TrimSigs) TrimSignatures(walk, keys.signers, trimmed);
  if (g.TrimUsers) return TrimUserIDs(walk, g, trimmed);
  return 0;
}

}  // namespace kry
