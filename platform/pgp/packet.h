// OpenPGP packet framing (RFC 4880 section 4): old and new header forms,
// partial body lengths. The only module that reads or writes packet headers.
#pragma once

#include "platform/pgp/bytes.h"
#include "platform/pgp/kry.h"

namespace krypgp {

enum PacketTag : int {
  kTagPKESK = 1,
  kTagSignature = 2,
  kTagOnePassSig = 4,
  kTagSecretKey = 5,
  kTagPublicKey = 6,
  kTagSecretSubkey = 7,
  kTagCompressed = 8,
  kTagMarker = 10,
  kTagLiteral = 11,
  kTagTrust = 12,
  kTagUserID = 13,
  kTagPublicSubkey = 14,
  kTagUserAttribute = 17,
};

// Caps on what one packet may claim. Larger bodies are refused as malformed
// long before any allocation.
constexpr size_t kMaxPacketBody = 16u << 20;

struct Packet {
  int tag = 0;
  Bytes body;
  // The header bytes as read, so an unchanged packet is written back exactly
  // as it came. Empty for packets that were made or changed here, and for
  // packets read with partial lengths (written back with a definite length).
  Bytes header;
};

// Reads one packet at r. MalformedPacket on a bad header, a length past the
// end of the input or over the cap.
KRYError ReadPacket(ByteReader& r, Packet* out);
// Splits a whole buffer into packets.
KRYError ParsePackets(const uint8_t* data, size_t len, std::vector<Packet>* out);
// Appends the packet: its original header when it has one, else an old-format
// header for tags below 16 (as GnuPG writes keys) and a new-format one above.
void WritePacket(const Packet& p, Bytes* out);
Packet MakePacket(int tag, Bytes body);

}  // namespace krypgp
