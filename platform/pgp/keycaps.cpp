#include "platform/pgp/keycaps.h"

#include <new>
#include <vector>

#include "platform/pgp/internal.h"
#include "platform/pgp/packet.h"

using namespace krypgp;

namespace {

// The counts of the key being measured.
struct KeyTally {
  size_t bytes = 0;
  long signatures = 0;
  long onUserID = 0;      // signatures since the last user ID or attribute
  bool inUserID = false;  // whether signatures now belong to a user ID
};

// Bytes the packet takes in the block: its header as read, or the longest
// header it could have been given.
size_t PacketSize(const Packet& p) { return p.body.size() + (p.header.empty() ? 6 : p.header.size()); }

KRYCapBreach Measure(const std::vector<Packet>& packets, const KRYKeyCaps& caps) {
  KeyTally t;
  for (const Packet& p : packets) {
    if (p.tag == kTagPublicKey || p.tag == kTagSecretKey) t = KeyTally();
    if (p.tag == kTagTrust) continue;  // never stored or served
    t.bytes += PacketSize(p);
    if (t.bytes > caps.maxKeyLength) return KRYCapBreach::KeyLength;
    if (p.tag != kTagSignature) {
      if (p.body.size() > caps.maxPacketLength) return KRYCapBreach::PacketLength;
      t.inUserID = p.tag == kTagUserID || p.tag == kTagUserAttribute;
      t.onUserID = 0;
      continue;
    }
    if (p.body.size() > caps.maxSigPacketLength) return KRYCapBreach::SigPacketLength;
    if (++t.signatures > caps.maxSignatures) return KRYCapBreach::Signatures;
    if (t.inUserID && ++t.onUserID > caps.maxSignaturesPerUserID) return KRYCapBreach::SignaturesPerUserID;
  }
  return KRYCapBreach::None;
}

}  // namespace

KRYError KRYCheckKeyCaps(const void* data, size_t len, const KRYKeyCaps& caps, KRYCapBreach* breach) {
  if (breach == nullptr || (data == nullptr && len > 0)) return kKRYError_BadParams;
  if (len > kMaxInput) return kKRYError_TooLarge;
  try {
    std::vector<Packet> packets;
    KRYError err = ReadAllPackets(static_cast<const uint8_t*>(data), len, &packets);
    if (err != kKRYError_NoErr) return err;
    *breach = Measure(packets, caps);
    return kKRYError_NoErr;
  } catch (const std::bad_alloc&) {
    return kKRYError_OutOfMemory;
  }
}
