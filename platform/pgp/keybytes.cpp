#include "platform/pgp/keybytes.h"

#include <new>
#include <vector>

#include "platform/pgp/armor.h"
#include "platform/pgp/internal.h"
#include "platform/pgp/packet.h"
#include "platform/pgp/pubkey.h"
#include "platform/pgp/sigpacket.h"

using namespace krypgp;

namespace {

KRYError ReadInput(const void* data, size_t len, std::vector<Packet>* packets) {
  if (data == nullptr && len > 0) return kKRYError_BadParams;
  if (len > kMaxInput) return kKRYError_TooLarge;
  return ReadAllPackets(static_cast<const uint8_t*>(data), len, packets);
}

bool IsPrimary(int tag) { return tag == kTagPublicKey || tag == kTagSecretKey; }

// One key's packets, and whether a user ID of it was kept.
struct KeptKey {
  Bytes bytes;
  bool hasUserID = false;
};

KRYError Filter(const std::vector<Packet>& packets, const KRYUserIDFilter& keep, std::string* out) {
  std::vector<KeptKey> keys;
  bool keeping = false;  // whether packets of the current run stay
  for (const Packet& p : packets) {
    if (IsPrimary(p.tag)) {
      keys.emplace_back();
      keeping = true;
    } else if (keys.empty()) {
      continue;  // nothing before the first key belongs to a key
    } else if (p.tag == kTagUserID) {
      keeping = keep(std::string(p.body.begin(), p.body.end()));
      keys.back().hasUserID = keys.back().hasUserID || keeping;
    } else if (p.tag == kTagUserAttribute) {
      keeping = false;
    } else if (p.tag == kTagPublicSubkey || p.tag == kTagSecretSubkey) {
      keeping = true;
    }
    // Trust packets are this machine's opinion, never part of an answer.
    if (keeping && p.tag != kTagTrust) WritePacket(p, &keys.back().bytes);
  }
  out->clear();
  for (const KeptKey& k : keys)
    if (k.hasUserID) out->append(k.bytes.begin(), k.bytes.end());
  return out->empty() ? kKRYError_NoKeyData : kKRYError_NoErr;
}

// The key IDs whose signatures on one key are served: the key's own and
// those of the designated revokers its self-signatures name.
struct Signers {
  std::vector<uint64_t> ids;
  bool Has(uint64_t id) const {
    for (uint64_t i : ids)
      if (i == id) return true;
    return false;
  }
};

// Signers of the key whose primary packet is packets[first], read up to the
// next primary key.
Signers SignersOf(const std::vector<Packet>& packets, size_t first) {
  Signers s;
  PublicKeyInfo info;
  size_t publicLen = 0;
  if (ParsePublicKey(packets[first].body, &info, &publicLen) != kKRYError_NoErr) return s;
  s.ids.push_back(info.keyID64);
  for (size_t i = first + 1; i < packets.size() && !IsPrimary(packets[i].tag); ++i) {
    if (packets[i].tag != kTagSignature) continue;
    SigInfo sig;
    uint64_t issuer = 0;
    if (!ParseSignature(packets[i].body, &sig) || !SigIssuer(sig, &issuer) || issuer != info.keyID64) continue;
    // A revoker is named by a v4 fingerprint, whose key ID is its end.
    for (const RevokerInfo& r : sig.revokers) s.ids.push_back(LoadU64(r.fingerprint.data() + 12));
  }
  return s;
}

bool OwnSignature(const Packet& p, const Signers& signers) {
  SigInfo sig;
  if (!ParseSignature(p.body, &sig)) return false;
  uint64_t issuer = 0;
  if (SigIssuer(sig, &issuer)) return signers.Has(issuer);
  return sig.type == kSigSubkeyBinding || sig.type == kSigPrimaryBinding || sig.type == kSigDirectKey ||
         sig.type == kSigKeyRevocation || sig.type == kSigSubkeyRevocation;
}

Bytes OwnSignaturesOnly(const std::vector<Packet>& packets) {
  Bytes out;
  Signers signers;
  bool inKey = false;
  for (size_t i = 0; i < packets.size(); ++i) {
    const Packet& p = packets[i];
    if (IsPrimary(p.tag)) {
      signers = SignersOf(packets, i);
      inKey = true;
    }
    if (!inKey || p.tag == kTagTrust) continue;
    if (p.tag == kTagSignature && !OwnSignature(p, signers)) continue;
    WritePacket(p, &out);
  }
  return out;
}

}  // namespace

KRYError KRYGetBlockFingerprint(const void* data, size_t len, std::string* fingerprint) {
  if (fingerprint == nullptr) return kKRYError_BadParams;
  try {
    std::vector<Packet> packets;
    KRYError err = ReadInput(data, len, &packets);
    if (err != kKRYError_NoErr) return err;
    for (const Packet& p : packets) {
      if (!IsPrimary(p.tag)) continue;
      PublicKeyInfo info;
      size_t publicLen = 0;  // given, so that an unknown algorithm still has a fingerprint
      err = ParsePublicKey(p.body, &info, &publicLen);
      if (err != kKRYError_NoErr) return err;
      fingerprint->assign(info.fingerprint.begin(), info.fingerprint.begin() + info.fingerprintLen);
      return kKRYError_NoErr;
    }
    return kKRYError_NoKeyData;
  } catch (const std::bad_alloc&) {
    return kKRYError_OutOfMemory;
  }
}

KRYError KRYKeepUserIDs(const void* data, size_t len, const KRYUserIDFilter& keep, std::string* out) {
  if (out == nullptr || !keep) return kKRYError_BadParams;
  try {
    std::vector<Packet> packets;
    KRYError err = ReadInput(data, len, &packets);
    if (err != kKRYError_NoErr) return err;
    return Filter(packets, keep, out);
  } catch (const std::bad_alloc&) {
    return kKRYError_OutOfMemory;
  }
}

KRYError KRYKeepOwnSignatures(const void* data, size_t len, bool armour, std::string* out) {
  if (out == nullptr) return kKRYError_BadParams;
  try {
    std::vector<Packet> packets;
    KRYError err = ReadInput(data, len, &packets);
    if (err != kKRYError_NoErr) return err;
    const Bytes kept = OwnSignaturesOnly(packets);
    if (kept.empty()) return kKRYError_NoKeyData;
    *out = armour ? Armor("PGP PUBLIC KEY BLOCK", kept) : ToString(kept);
    return kKRYError_NoErr;
  } catch (const std::bad_alloc&) {
    return kKRYError_OutOfMemory;
  }
}
