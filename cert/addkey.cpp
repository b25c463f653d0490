// CreateAddKeyEntries: from a submitted key block to the entries to store.
#include "cert/addkey.h"

#include <string>

#include "cert/blocklist.h"
#include "cert/blockpurge.h"
#include "cert/complete.h"
#include "cert/keysets.h"
#include "cert/kryhandles.h"
#include "cert/merge.h"
#include "cert/sizecaps.h"
#include "ldap/dn.h"
#include "ldap/entry.h"
#include "log/eventlog.h"
#include "platform/pgp/keybytes.h"
#include "runtime/globals.h"

namespace kry {

namespace {

int LibraryFailure(const char* format, int rc, int result, int level = EVENTLOG_ERROR) {
  LogError(level, format, LibraryErrorText(rc).c_str());
  return result;
}

// Imports `block` into a new key set of `context` (steps 1 to 3).
int ImportSubmitted(KRYContextRef context, const std::string& block, KeySetHolder* set) {
  int rc = KRYNewKeySet(context, set->out());
  if (rc != 0) return LibraryFailure("Creating keyset failed.  Library error: %s.", rc, 1);
  KRYImportOptions in{};
  in.inputBuffer = block.data();
  in.inputLength = block.size();
  KeySetHolder imported;
  if ((rc = KRYImportKeySet(context, &in, imported.out())) != 0)
    return LibraryFailure("Invalid keyblock received.  Library error: %s.", rc, 21, EVENTLOG_WARNING);
  if ((rc = KRYAddKeys(imported.get(), set->get())) != 0 || (rc = KRYCommitKeyRingChanges(set->get())) != 0)
    return LibraryFailure("Internal keyset error.  Library error: %s.", rc, 1);
  return 0;
}

// Whether the first key of `block` is on the blocklist; a block whose
// fingerprint cannot be read is left to the import to refuse.
bool IsBlockedSubmission(const std::string& block) {
  if (BlockedCount() == 0) return false;
  std::string fpr;
  if (KRYGetBlockFingerprint(block.data(), block.size(), &fpr) != kKRYError_NoErr) return false;
  static const char kHex[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char c : fpr) {
    hex += kHex[c >> 4];
    hex += kHex[c & 15];
  }
  if (!IsBlockedFingerprint(hex)) return false;
  LogError(EVENTLOG_WARNING, "Submission of blocked key %s refused.", hex.c_str());
  return true;
}

// The stored copy at `dn` with the client text of a failure (step 10).
int ReadStored(AddRequestState* state, Backend* be, const std::string& dn, KRYContextRef context, bool* v2,
               KeySetHolder* stored, std::string* block) {
  int rc = GetCertObject(be, dn, context, v2, stored->out(), block);
  if (rc == 0) return 0;
  if (rc == 52)
    state->SetText("Certificate is disabled.");
  else if (rc == 89)
    state->SetText("Invalid certificate received by server.");
  else
    state->SetText("A copy of this certificate on the server is corrupt.");
  return rc;
}

// Designated revokers (step 6): the previous revoked state from a stored
// copy, then the revokers' certificates loaded beside the key.
int LoadRevokers(AddRequestState* state, Backend* be, KRYContextRef context, KRYKeyRef key, KeySetHolder* set,
                 int* prevRevoked) {
  int count = 0;
  int rc = KRYCountRevocationKeys(key, &count);
  if (rc != 0) return LibraryFailure("Internal keyset error.  Library error: %s.", rc, 1);
  if (count == 0) return 0;
  for (int location : {kLocationActive, kLocationPending}) {
    std::string dn, block;
    bool v2 = false;
    KeySetHolder stored;
    if (CreateKeyDN(state->certID.c_str(), false, location, &dn) != 0) return 90;
    if ((rc = ReadStored(state, be, dn, context, &v2, &stored, &block)) != 0) return rc;
    if (!stored) continue;
    KRYKeyRef storedKey = nullptr;
    KRYBoolean revoked = 0;
    if ((rc = KeySet2Key(stored.get(), &storedKey)) != 0 || !storedKey ||
        (rc = KRYGetKeyBoolean(storedKey, kKRYKeyProperty_HasUnverifiedRevocation, &revoked)) != 0)
      return LibraryFailure("Internal error.  Library error: %s.", rc, 1);
    *prevRevoked = revoked ? PREV_REVOKED : PREV_NOT_REVOKED;
    break;
  }
  KRYKeySetRef raw = set->release();
  rc = VerifyRevokers(context, be, count, key, &raw, state->revokers.out());
  set->reset(raw);
  return rc == 0 ? 0 : 1;
}

// The policy check (step 8). Returns 0 to go on (passed or parked) or the
// refusal's result.
int ApplyPolicy(AddRequestState* state, const RequestKeys& keys, const std::string& block, KeySetHolder* set) {
  bool trimmed = false;
  const int rc = CheckPolicy(set->get(), keys, &trimmed);
  state->passedPolicy = rc == 0;
  if (rc == 0) return 0;
  if (g_globals->PolicyFailures == POLICY_ERROR) {
    if (rc == kKRYError_BadSignature) {
      state->SetText("Certificate does not contain required signatures.");
      return 49;
    }
    if (rc == POLICY_ALL_TRIMMED) {
      state->SetText("All User IDs and signatures were trimmed from the certificate due to server policies.");
      return 19;
    }
    state->SetText("Error processing certificate during policy check.");
    return 1;
  }
  // A parked certificate keeps everything it was submitted with.
  return trimmed ? ImportSubmitted(keys.context, block, set) : 0;
}

// Steps 15 and 16: the key blocks of the certificate entry.
int SetKeyBlocks(AddRequestState* state, KRYKeySetRef set, const std::string& complete, bool storedV2) {
  std::string basic;
  int rc = ConvertKeySet2KeyBlock(set, false, kKRYExportFormat_Basic, 2 * complete.size(), &basic);
  if (rc != 0) return LibraryFailure("ASCII-armoring key failed.  Library error: %s.", rc, 1, EVENTLOG_WARNING);
  Entry* cert = state->list.slots[0].get();
  Attribute& keyAttr = cert->attrs[0];
  keyAttr.type = "krykey";
  if (!storedV2 && basic == complete) {
    keyAttr.values[0] = complete;
    return 0;
  }
  LogError(EVENTLOG_VERBOSE, "Adding keyblock with extensions (V2).");
  keyAttr.values[0] = basic;
  attr_remove(cert, "krykeyv2");
  AddDirAttrToEntry(cert, "kryKeyV2", complete);
  return 0;
}

// Rebuilds every entry of the merged certificate, as for a new one, so that
// missing user-ID entries are written again.
int RebuildAllEntries(AddRequestState* state, Backend* be, KRYKeySetRef set, const std::string& certDN) {
  LogError(EVENTLOG_WARNING, "User-ID entries of certificate 0x%s were missing; writing them again.",
           state->certID.c_str());
  while (state->list.count > 1) GiveBackEntry(&state->list);
  bool changed = false;
  return MergeKRYCertObjects(&state->list, set, nullptr, state->certID, certDN, PREV_UNKNOWN, &changed, be);
}

}  // namespace

int CreateAddKeyEntries(AddRequestState* state, Backend* be, const std::string& block, const RequestKeys& keys) {
  KRYContextRef context = keys.context;
  if (IsBlockedSubmission(block)) {
    state->SetText(kBlockedKeyText);
    return 50;
  }
  // A certificate flooded with signatures or carrying huge packets would
  // make every later add, merge and search of it slow and its entries huge:
  // refused before a signature is checked.
  int rc = CheckSizeCaps(state, block, false);
  if (rc != 0) return rc;
  KeySetHolder set;
  rc = ImportSubmitted(context, block, &set);
  if (rc != 0) return rc;
  int count = 0;
  if (KRYCountKeys(set.get(), &count) != 0 || count != 1) {
    LogError(EVENTLOG_WARNING, "Only one key can be in the key block per add to the server.");
    return 21;
  }
  KRYKeyRef key = nullptr;
  if (KeySet2Key(set.get(), &key) != 0 || !key) return 1;
  if ((rc = GetCertID(key, &state->certID)) != 0) return rc;
  int prevRevoked = PREV_UNKNOWN;
  if ((rc = LoadRevokers(state, be, context, key, &set, &prevRevoked)) != 0) return rc;
  if (KeySet2Key(set.get(), &key) != 0 || !key) return 1;  // the set may have been re-imported
  int32_t alg = 0;
  KRYGetKeyNumber(key, kKRYKeyProperty_AlgorithmID, &alg);
  if (!g_globals->rsaAvailable && alg >= 1 && alg <= 3) {
    state->SetText("The type of key (RSA) is not supported.");
    return 21;
  }
  // Keys of algorithms the directory cannot describe are refused here, not
  // only when a named user ID's entry is built: a key with nothing but
  // photo IDs would otherwise be stored.
  if (!KeyTypeName(alg)) {
    LogError(EVENTLOG_ERROR, "Algorithm ID %d is not supported (%s).", static_cast<int>(alg), state->certID.c_str());
    return 1;
  }
  // v6 keys are modern whatever their algorithm: older clients cannot read
  // them, so they are taken only when the server is told to.
  std::string v6Fingerprint;
  if (!g_globals->AcceptModernKeys && V6Fingerprint(key, &v6Fingerprint)) {
    LogError(EVENTLOG_ERROR, "Key version 6 is not supported (%s).", state->certID.c_str());
    return 1;
  }
  if ((rc = ApplyPolicy(state, keys, block, &set)) != 0) return rc;

  std::string certDN;
  if (CreateKeyDN(state->certID.c_str(), false, state->passedPolicy ? kLocationActive : kLocationPending, &certDN))
    return 90;
  bool storedV2 = false;
  KeySetHolder stored;
  std::string storedBlock;
  if ((rc = ReadStored(state, be, certDN, context, &storedV2, &stored, &storedBlock)) != 0) return rc;
  bool changed = false;
  if ((rc = MergeKRYCertObjects(&state->list, set.get(), stored.get(), state->certID, certDN, prevRevoked,
                                &changed, be)) != 0) {
    if (rc == 64) state->SetText("Key ID of this certificate collided with the Key ID of an existing certificate.");
    return rc;
  }
  std::string complete;
  if ((rc = ConvertKeySet2KeyBlock(set.get(), false, kKRYExportFormat_Complete, 2 * block.size(), &complete)) != 0)
    return LibraryFailure("ASCII-armoring key failed.  Library error: %s.", rc, 1, EVENTLOG_WARNING);
  // Additions that each keep to the caps could together take a stored key
  // past them; the stored copy then stays as it is.
  if (stored && (rc = CheckSizeCaps(state, complete, true)) != 0) return rc;
  // A store cut short (a crash between the certificate entry and its
  // user-ID entries) leaves some missing while the stored block is complete.
  if (!changed && stored && CountMissingUserIDEntries(be, set.get(), certDN) > 0) {
    if ((rc = RebuildAllEntries(state, be, set.get(), certDN)) != 0) return rc;
    changed = true;
  }
  if (!changed) {
    if (stored && complete == storedBlock) {
      state->SetText("Certificate has not changed.");
      return 68;
    }
    LogError(EVENTLOG_VERBOSE, "Non-tracked key data changed.");
  }
  Entry* cert = state->list.slots[0].get();
  if (cert->dn.empty()) cert->dn = certDN;
  return SetKeyBlocks(state, set.get(), complete, storedV2);
}

}  // namespace kry
