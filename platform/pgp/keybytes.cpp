#include "platform/pgp/keybytes.h"

#include <new>
#include <vector>

#include "platform/pgp/internal.h"
#include "platform/pgp/packet.h"
#include "platform/pgp/pubkey.h"

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
