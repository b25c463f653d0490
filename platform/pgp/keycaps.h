// Size caps on a key block, measured at the packet level before the block is
// imported: a block flooded with signatures is refused without checking any.
#pragma once

#include <cstddef>

#include "platform/pgp/kry.h"

struct KRYKeyCaps {
  size_t maxKeyLength = 1u << 20;       // bytes of one key's packets (headers too)
  size_t maxPacketLength = 8u << 10;    // body bytes of a packet other than a signature
  size_t maxSigPacketLength = 64u << 10;  // body bytes of a signature packet
  long maxSignatures = 10000;           // signature packets of one key
  long maxSignaturesPerUserID = 1000;   // signature packets after one user ID
};

// Which cap a block passes; None when it keeps to all of them.
enum class KRYCapBreach { None, KeyLength, PacketLength, SigPacketLength, Signatures, SignaturesPerUserID };

// Measures every key of `data` (armoured or binary) against `caps` and gives
// the first cap a key passes in `breach`. MalformedPacket (and the other
// reading errors) when the block cannot be split into packets.
KRYError KRYCheckKeyCaps(const void* data, size_t len, const KRYKeyCaps& caps, KRYCapBreach* breach);
