#include "cert/keystanding.h"

#include "cert/keyid2entry.h"
#include "cert/kryhandles.h"
#include "cert/tlsclient.h"
#include "log/trace.h"

namespace kry {

namespace {

bool Revoked(KRYKeyRef key) {
  KRYBoolean revoked = 0;
  return KRYGetKeyBoolean(key, kKRYKeyProperty_IsRevoked, &revoked) != kKRYError_NoErr || revoked != 0;
}

KRYKeyRef FindKey(KRYKeySetRef set, const std::string& fullID) {
  KRYKeyID id{};
  KRYKeyRef key = nullptr;
  if (set == nullptr || KRYGetKeyIDFromString(("0x" + fullID).c_str(), &id) != kKRYError_NoErr) return nullptr;
  if (KRYGetKeyByKeyID(set, &id, -1, &key) != kKRYError_NoErr) return nullptr;
  return key;
}

// The directory's word on the key: the copy there may have been revoked or
// disabled after the copy at hand (a keyring, a policy set) was made.
bool StoredCopyInGoodStanding(Backend* be, KRYContextRef context, const std::string& fullID) {
  std::string id = fullID, block;
  bool disabled = false;
  if (KeyID2Entry(be, &id, &block, &disabled) != 0) return true;  // not stored: nothing says otherwise
  if (disabled) return false;
  KRYImportOptions in{};
  in.inputBuffer = block.data();
  in.inputLength = block.size();
  KeySetHolder stored;
  if (KRYImportKeySet(context, &in, stored.out()) != kKRYError_NoErr) return false;
  KRYKeyRef key = FindKey(stored.get(), fullID);
  return key != nullptr && !Revoked(key);
}

}  // namespace

bool KeyMayAuthorise(Backend* be, KRYContextRef context, KRYKeyRef key) {
  const std::string id = FullKeyIDText(key);
  if (id.empty() || Revoked(key)) return false;
  const bool good = be == nullptr || StoredCopyInGoodStanding(be, context, id);
  if (!good) Debug(LDAP_DEBUG_CERT, "KeyMayAuthorise: key %s is revoked or disabled\n", id.c_str());
  return good;
}

bool SignerMayAuthorise(Backend* be, KRYContextRef context, KRYKeySetRef set, const std::string& fullID) {
  KRYKeyRef key = FindKey(set, fullID);
  return key != nullptr && KeyMayAuthorise(be, context, key);
}

}  // namespace kry
