// Properties of keys, subkeys, user IDs and signatures, and what is derived
// from several signatures at once (revocation, expiry, designated revokers).
#include <algorithm>
#include <cstring>

#include "platform/pgp/internal.h"
#include "platform/pgp/sigpacket.h"

using namespace krypgp;

namespace {

bool IsSelfSig(const KRYSig& s) {
  uint64_t id;
  return SigIssuer(s.info, &id) && s.key != nullptr && id == s.key->info.keyID64;
}

// A signature counts when it parsed and no check has failed it.
bool Usable(const KRYSig& s) { return !s.removed && s.info.parsed && s.notCorrupt; }

// The newest usable self-signature that says something about the key: a
// direct-key signature or a certification of a user ID.
const KRYSig* NewestSelfSig(const KRYKey& key) {
  const KRYSig* best = nullptr;
  auto consider = [&](const KRYSig& s) {
    if (!Usable(s) || !IsSelfSig(s)) return;
    if (s.info.type != kSigDirectKey && !IsCertification(s.info.type)) return;
    if (best == nullptr || s.info.created >= best->info.created) best = &s;
  };
  for (auto& s : key.sigs) consider(*s);
  for (auto& u : key.userIDs)
    if (!u->removed)
      for (auto& s : u->sigs) consider(*s);
  return best;
}

const KRYSig* NewestBinding(const KRYSubKey& sub) {
  const KRYSig* best = nullptr;
  for (auto& s : sub.sigs)
    if (Usable(*s) && s->info.type == kSigSubkeyBinding &&
        (best == nullptr || s->info.created >= best->info.created))
      best = s.get();
  return best;
}

std::vector<RevokerInfo> Revokers(const KRYKey& key) {
  std::vector<RevokerInfo> out;
  auto take = [&](const KRYSig& s) {
    if (!Usable(s) || !IsSelfSig(s)) return;
    for (const RevokerInfo& r : s.info.revokers) {
      bool dup = std::any_of(out.begin(), out.end(),
                             [&](const RevokerInfo& o) { return o.fingerprint == r.fingerprint; });
      if (!dup) out.push_back(r);
    }
  };
  for (auto& s : key.sigs) take(*s);
  for (auto& u : key.userIDs)
    if (!u->removed)
      for (auto& s : u->sigs) take(*s);
  return out;
}

// A key revocation counts when made by the key or by a designated revoker.
bool RevocationAuthorised(const KRYKey& key, const KRYSig& s) {
  if (IsSelfSig(s)) return true;
  uint64_t id;
  if (!SigIssuer(s.info, &id)) return false;
  for (const RevokerInfo& r : Revokers(key))
    if (LoadU64(r.fingerprint.data() + 12) == id) return true;
  return false;
}

void KeyRevocationState(const KRYKey& key, bool* revoked, bool* unverified) {
  *revoked = *unverified = false;
  for (auto& s : key.sigs) {
    if (s->removed || !s->info.parsed || s->info.type != kSigKeyRevocation) continue;
    if (s->tried) {
      if (s->verified && RevocationAuthorised(key, *s)) *revoked = true;
    } else if (s->notCorrupt) {
      *unverified = true;
    }
  }
}

KRYTime KeyExpiration(const KRYKey& key) {
  if (key.info.version < 4)
    return key.info.v3ValidDays ? key.info.created + key.info.v3ValidDays * 86400u : 0;
  const KRYSig* s = NewestSelfSig(key);
  if (s == nullptr || !s->info.hasKeyExpiry || s->info.keyExpiresAfter == 0) return 0;
  return key.info.created + s->info.keyExpiresAfter;
}

KRYTime SubKeyExpiration(const KRYSubKey& sub) {
  const KRYSig* s = NewestBinding(sub);
  if (s == nullptr || !s->info.hasKeyExpiry || s->info.keyExpiresAfter == 0) return 0;
  return sub.info.created + s->info.keyExpiresAfter;
}

bool AlgorithmSigns(int alg) {
  return alg == 1 || alg == 3 || alg == 17 || alg == 19 || alg == 22;
}
bool AlgorithmEncrypts(int alg) { return alg == 1 || alg == 2 || alg == 16 || alg == 18; }

KRYError CommonBoolean(const PublicKeyInfo& info, const SecretInfo& secret, int keyFlags,
                       int property, KRYBoolean* out) {
  switch (property) {
    case kKRYKeyProperty_NeedsPassphrase:
      *out = secret.present && !secret.gnuDummy && secret.usage != 0;
      return kKRYError_NoErr;
    case kKRYKeyProperty_IsSecret:
      *out = secret.present && !secret.gnuDummy;
      return kKRYError_NoErr;
    case kKRYKeyProperty_IsSecretShared:
      *out = secret.present && secret.gnuDummy;
      return kKRYError_NoErr;
    case kKRYKeyProperty_CanSign:
      *out = AlgorithmSigns(info.algorithm) && (keyFlags < 0 || (keyFlags & 0x03) != 0);
      return kKRYError_NoErr;
    case kKRYKeyProperty_CanEncrypt:
      *out = AlgorithmEncrypts(info.algorithm) && (keyFlags < 0 || (keyFlags & 0x0C) != 0);
      return kKRYError_NoErr;
    case kKRYKeyProperty_IsV3:
      *out = info.version < 4;
      return kKRYError_NoErr;
    default:
      return kKRYError_BadParams;
  }
}

KRYError CommonNumber(const PublicKeyInfo& info, int property, int32_t* out) {
  switch (property) {
    case kKRYKeyProperty_AlgorithmID: *out = info.algorithm; return kKRYError_NoErr;
    case kKRYKeyProperty_Bits: *out = info.bits; return kKRYError_NoErr;
    case kKRYKeyProperty_Version: *out = info.version; return kKRYError_NoErr;
    default: return kKRYError_BadParams;
  }
}

KRYError CopyOut(const void* data, size_t len, void* buf, size_t size, size_t* outLength) {
  if (outLength) *outLength = len;
  if (buf == nullptr || size < len) return kKRYError_BufferTooSmall;
  std::memcpy(buf, data, len);
  return kKRYError_NoErr;
}

KRYError BufferProperty(const PublicKeyInfo& info, int property, void* buf, size_t size,
                        size_t* outLength) {
  switch (property) {
    case kKRYKeyProperty_Fingerprint:
      return CopyOut(info.fingerprint.data(), size_t(info.fingerprintLen), buf, size, outLength);
    case kKRYKeyProperty_KeyData:
      return CopyOut(info.body.data(), info.body.size(), buf, size, outLength);
    default:
      return kKRYError_BadParams;
  }
}

int KeyFlagsOf(const KRYSig* s) { return s ? s->info.keyFlags : -1; }

void FillKeyID(const PublicKeyInfo& info, KRYKeyID* out) {
  std::memset(out, 0, sizeof *out);
  out->bytes[0] = 8;
  out->bytes[1] = uint8_t(info.algorithm);
  std::memcpy(out->bytes + 2, info.keyID.data(), 8);
}

}  // namespace

KRYError KRYGetKeyBoolean(KRYKeyRef key, int property, KRYBoolean* out) {
  if (key == nullptr || out == nullptr) return kKRYError_BadParams;
  bool revoked, unverified;
  switch (property) {
    case kKRYKeyProperty_IsRevoked:
      KeyRevocationState(*key, &revoked, &unverified);
      *out = revoked;
      return kKRYError_NoErr;
    case kKRYKeyProperty_HasUnverifiedRevocation:
      KeyRevocationState(*key, &revoked, &unverified);
      *out = unverified;
      return kKRYError_NoErr;
    case kKRYKeyProperty_IsExpired: {
      KRYTime e = KeyExpiration(*key);
      *out = e != 0 && e <= KRYGetTime();
      return kKRYError_NoErr;
    }
    default:
      return CommonBoolean(key->info, key->secret, KeyFlagsOf(NewestSelfSig(*key)), property, out);
  }
}

KRYError KRYGetKeyNumber(KRYKeyRef key, int property, int32_t* out) {
  if (key == nullptr || out == nullptr) return kKRYError_BadParams;
  auto live = [](const auto& v) {
    return int32_t(std::count_if(v.begin(), v.end(), [](const auto& p) { return !p->removed; }));
  };
  if (property == kKRYKeyProperty_SubKeyCount) {
    *out = live(key->subKeys);
    return kKRYError_NoErr;
  }
  if (property == kKRYKeyProperty_UserIDCount) {
    *out = live(key->userIDs);
    return kKRYError_NoErr;
  }
  return CommonNumber(key->info, property, out);
}

KRYError KRYGetKeyTime(KRYKeyRef key, int property, KRYTime* out) {
  if (key == nullptr || out == nullptr) return kKRYError_BadParams;
  if (property == kKRYKeyProperty_Creation) *out = key->info.created;
  else if (property == kKRYKeyProperty_Expiration) *out = KeyExpiration(*key);
  else return kKRYError_BadParams;
  return kKRYError_NoErr;
}

KRYError KRYGetKeyPropertyBuffer(KRYKeyRef key, int property, void* buf, size_t size,
                                 size_t* outLength) {
  if (key == nullptr) return kKRYError_BadParams;
  return BufferProperty(key->info, property, buf, size, outLength);
}

KRYError KRYGetSubKeyBoolean(KRYSubKeyRef sub, int property, KRYBoolean* out) {
  if (sub == nullptr || out == nullptr) return kKRYError_BadParams;
  switch (property) {
    case kKRYKeyProperty_IsRevoked:
    case kKRYKeyProperty_HasUnverifiedRevocation: {
      bool revoked = false, unverified = false;
      for (auto& s : sub->sigs) {
        if (s->removed || !s->info.parsed || s->info.type != kSigSubkeyRevocation) continue;
        if (s->tried) revoked |= s->verified;
        else unverified |= s->notCorrupt;
      }
      *out = property == kKRYKeyProperty_IsRevoked ? revoked : unverified;
      return kKRYError_NoErr;
    }
    case kKRYKeyProperty_IsExpired: {
      KRYTime e = SubKeyExpiration(*sub);
      *out = e != 0 && e <= KRYGetTime();
      return kKRYError_NoErr;
    }
    default:
      return CommonBoolean(sub->info, sub->secret, KeyFlagsOf(NewestBinding(*sub)), property, out);
  }
}

KRYError KRYGetSubKeyNumber(KRYSubKeyRef sub, int property, int32_t* out) {
  if (sub == nullptr || out == nullptr) return kKRYError_BadParams;
  return CommonNumber(sub->info, property, out);
}

KRYError KRYGetSubKeyTime(KRYSubKeyRef sub, int property, KRYTime* out) {
  if (sub == nullptr || out == nullptr) return kKRYError_BadParams;
  if (property == kKRYKeyProperty_Creation) *out = sub->info.created;
  else if (property == kKRYKeyProperty_Expiration) *out = SubKeyExpiration(*sub);
  else return kKRYError_BadParams;
  return kKRYError_NoErr;
}

KRYError KRYGetSubKeyPropertyBuffer(KRYSubKeyRef sub, int property, void* buf, size_t size,
                                    size_t* outLength) {
  if (sub == nullptr) return kKRYError_BadParams;
  return BufferProperty(sub->info, property, buf, size, outLength);
}

KRYError KRYGetUserIDNumber(KRYUserIDRef uid, int property, int32_t* out) {
  if (uid == nullptr || out == nullptr) return kKRYError_BadParams;
  switch (property) {
    case kKRYUserIDProperty_AttributeType: {
      *out = 0;
      if (!uid->isAttribute()) return kKRYError_NoErr;
      // The first subpacket's type (RFC 4880 5.12); 1 is an image.
      ByteReader r(uid->packet.body);
      uint8_t a, type = 0;
      uint32_t len = 0;
      if (!r.u8(&a)) return kKRYError_NoErr;
      if (a < 192) len = a;
      else if (a < 255) {
        uint8_t b;
        if (!r.u8(&b)) return kKRYError_NoErr;
        len = ((uint32_t(a) - 192) << 8) + b + 192;
      } else if (!r.u32(&len)) return kKRYError_NoErr;
      if (len >= 1 && r.u8(&type)) *out = type;
      return kKRYError_NoErr;
    }
    case kKRYUserIDProperty_IsAttribute:
      *out = uid->isAttribute();
      return kKRYError_NoErr;
    case kKRYUserIDProperty_SigCount:
      *out = int32_t(std::count_if(uid->sigs.begin(), uid->sigs.end(),
                                   [](const auto& s) { return !s->removed; }));
      return kKRYError_NoErr;
    case kKRYUserIDProperty_IsPrimary:
      *out = 0;
      for (auto& s : uid->sigs)
        if (Usable(*s) && IsSelfSig(*s) && s->info.primaryUserID) *out = 1;
      return kKRYError_NoErr;
    default:
      return kKRYError_BadParams;
  }
}

KRYError KRYGetUserIDStringBuffer(KRYUserIDRef uid, char* buf, size_t size, size_t* outLength) {
  if (uid == nullptr || buf == nullptr || size == 0) return kKRYError_BadParams;
  if (uid->isAttribute()) {
    buf[0] = 0;
    if (outLength) *outLength = 0;
    return kKRYError_UserIDNoName;
  }
  const Bytes& b = uid->packet.body;
  if (outLength) *outLength = b.size() + 1;
  size_t n = std::min(b.size(), size - 1);
  std::memcpy(buf, b.data(), n);
  buf[n] = 0;
  return n < b.size() ? kKRYError_BufferTooSmall : kKRYError_NoErr;
}

int KRYCompareUserIDStrings(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  return std::strcmp(a, b);
}

KRYError KRYGetSigBoolean(KRYSigRef sig, int property, KRYBoolean* out) {
  if (sig == nullptr || out == nullptr) return kKRYError_BadParams;
  const SigInfo& i = sig->info;
  switch (property) {
    case kKRYSigProperty_IsTried: *out = sig->tried; break;
    case kKRYSigProperty_IsVerified: *out = sig->verified; break;
    case kKRYSigProperty_IsNotCorrupt: *out = sig->notCorrupt && i.parsed; break;
    case kKRYSigProperty_HasUnverifiedRevocation: *out = IsRevocation(i.type); break;
    case kKRYSigProperty_IsRevoked: {
      if (IsRevocation(i.type)) {
        *out = sig->verified;
        break;
      }
      // A certification is revoked by a later certification revocation of
      // the same user ID by the same issuer that verified.
      *out = 0;
      uint64_t me, other;
      if (sig->userID == nullptr || !SigIssuer(i, &me)) break;
      for (auto& s : sig->userID->sigs)
        if (!s->removed && s->verified && s->info.type == kSigCertRevocation &&
            SigIssuer(s->info, &other) && other == me && s->info.created >= i.created)
          *out = 1;
      break;
    }
    case kKRYSigProperty_IsExpired:
      *out = i.sigExpiresAfter != 0 && uint64_t(i.created) + i.sigExpiresAfter <= KRYGetTime();
      break;
    case kKRYSigProperty_IsExportable: *out = i.exportable; break;
    case kKRYSigProperty_IsSelfSig: *out = IsSelfSig(*sig); break;
    case kKRYSigProperty_IsRevocable: *out = i.revocable; break;
    default: return kKRYError_BadParams;
  }
  return kKRYError_NoErr;
}

KRYError KRYGetSigNumber(KRYSigRef sig, int property, int32_t* out) {
  if (sig == nullptr || out == nullptr) return kKRYError_BadParams;
  switch (property) {
    case kKRYSigProperty_AlgorithmID: *out = sig->info.pkAlgorithm; break;
    case kKRYSigProperty_HashAlgorithm: *out = sig->info.hashAlgorithm; break;
    case kKRYSigProperty_Type: *out = sig->info.type; break;
    case kKRYSigProperty_Version: *out = sig->info.version; break;
    case kKRYSigProperty_TrustLevel: *out = sig->info.trustLevel; break;
    default: return kKRYError_BadParams;
  }
  return kKRYError_NoErr;
}

KRYError KRYGetSigTime(KRYSigRef sig, int property, KRYTime* out) {
  if (sig == nullptr || out == nullptr) return kKRYError_BadParams;
  if (property == kKRYSigProperty_Creation) *out = sig->info.created;
  else if (property == kKRYSigProperty_Expiration)
    *out = sig->info.sigExpiresAfter ? sig->info.created + sig->info.sigExpiresAfter : 0;
  else return kKRYError_BadParams;
  return kKRYError_NoErr;
}

KRYError KRYGetSigCertifierKey(KRYSigRef sig, KRYKeySetRef set, KRYKeyRef* outKey) {
  if (sig == nullptr || set == nullptr || outKey == nullptr) return kKRYError_BadParams;
  *outKey = nullptr;
  uint64_t id;
  if (!SigIssuer(sig->info, &id)) return kKRYError_ItemNotFound;
  *outKey = FindKeyByID(set, id, nullptr);
  return *outKey ? kKRYError_NoErr : kKRYError_ItemNotFound;
}

KRYError KRYGetKeyIDOfCertifier(KRYSigRef sig, KRYKeyID* outID) {
  if (sig == nullptr || outID == nullptr) return kKRYError_BadParams;
  std::memset(outID, 0, sizeof *outID);
  uint64_t id;
  if (!SigIssuer(sig->info, &id)) return kKRYError_ItemNotFound;
  outID->bytes[0] = 8;
  outID->bytes[1] = uint8_t(sig->info.pkAlgorithm);
  for (int i = 0; i < 8; ++i) outID->bytes[2 + i] = uint8_t(id >> (56 - 8 * i));
  return kKRYError_NoErr;
}

KRYError KRYCountRevocationKeys(KRYKeyRef key, int* outCount) {
  if (key == nullptr || outCount == nullptr) return kKRYError_BadParams;
  *outCount = int(Revokers(*key).size());
  return kKRYError_NoErr;
}

KRYError KRYGetIndexedRevocationKey(KRYKeyRef key, KRYKeySetRef set, int index, KRYKeyRef* outKey,
                                    KRYKeyID* outID) {
  if (key == nullptr) return kKRYError_BadParams;
  std::vector<RevokerInfo> revokers = Revokers(*key);
  if (index < 0 || size_t(index) >= revokers.size()) return kKRYError_ItemNotFound;
  const RevokerInfo& r = revokers[size_t(index)];
  if (outID) {
    std::memset(outID, 0, sizeof *outID);
    outID->bytes[0] = 8;
    outID->bytes[1] = r.algorithm;
    std::memcpy(outID->bytes + 2, r.fingerprint.data() + 12, 8);
  }
  if (outKey) {
    *outKey = nullptr;
    if (set != nullptr) {
      auto it = set->byFingerprint.find(
          std::string(reinterpret_cast<const char*>(r.fingerprint.data()), 20));
      if (it != set->byFingerprint.end()) *outKey = it->second;
    }
  }
  return kKRYError_NoErr;
}

KRYError KRYGetKeyIDFromKey(KRYKeyRef key, KRYKeyID* outID) {
  if (key == nullptr || outID == nullptr) return kKRYError_BadParams;
  FillKeyID(key->info, outID);
  return kKRYError_NoErr;
}

KRYError KRYGetKeyIDFromSubKey(KRYSubKeyRef sub, KRYKeyID* outID) {
  if (sub == nullptr || outID == nullptr) return kKRYError_BadParams;
  if (sub->info.fingerprintLen == 0) return kKRYError_UnsupportedAlgorithm;
  FillKeyID(sub->info, outID);
  return kKRYError_NoErr;
}

KRYError KRYGetKeyByKeyID(KRYKeySetRef set, const KRYKeyID* id, int algorithm, KRYKeyRef* outKey) {
  if (set == nullptr || id == nullptr || outKey == nullptr) return kKRYError_BadParams;
  *outKey = nullptr;
  size_t len = id->bytes[0];
  auto algOK = [&](const KRYKey* k) { return algorithm <= 0 || k->info.algorithm == algorithm; };
  if (len == 8) {
    const PublicKeyInfo* info = nullptr;
    KRYKey* k = FindKeyByID(set, LoadU64(id->bytes + 2), &info);
    if (k != nullptr && algOK(k)) *outKey = k;
  } else if (len == 4) {
    uint32_t want = (uint32_t(id->bytes[2]) << 24) | (uint32_t(id->bytes[3]) << 16) |
                    (uint32_t(id->bytes[4]) << 8) | id->bytes[5];
    for (auto& k : set->keys) {
      if (!algOK(k.get())) continue;
      bool hit = uint32_t(k->info.keyID64) == want;
      for (auto& s : k->subKeys)
        hit |= !s->removed && s->info.fingerprintLen != 0 && uint32_t(s->info.keyID64) == want;
      if (hit) {
        *outKey = k.get();
        break;
      }
    }
  } else {
    return kKRYError_BadParams;
  }
  return *outKey ? kKRYError_NoErr : kKRYError_ItemNotFound;
}

namespace {
std::string FirstUserID(const KRYKey* k) {
  for (auto& u : k->userIDs)
    if (!u->removed && !u->isAttribute()) return ToString(u->packet.body);
  return std::string();
}
template <typename T>
int Cmp(const T& a, const T& b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}
}  // namespace

int KRYCompareKeys(KRYKeyRef a, KRYKeyRef b, int ordering) {
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  switch (ordering) {
    case kKRYKeyOrdering_UserID: return Cmp(FirstUserID(a), FirstUserID(b));
    case kKRYKeyOrdering_KeyID: return Cmp(a->info.keyID64, b->info.keyID64);
    case kKRYKeyOrdering_CreationDate: return Cmp(a->info.created, b->info.created);
    case kKRYKeyOrdering_Fingerprint:
    default:
      return Cmp(FingerprintString(a->info), FingerprintString(b->info));
  }
}
