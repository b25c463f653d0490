// The digest keyservers use to name a key in reconciliation and hash queries:
// MD5 over the key's packets sorted by (tag, body), each written as a 4-byte
// big-endian tag, a 4-byte big-endian body length and the body. Packet
// headers, and so the old or new header form a key arrived in, do not count.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/pgp/kry.h"

namespace krypgp {

using SksDigest = std::array<uint8_t, 16>;

// Digest of one binary transferable public key. MalformedPacket when the
// buffer does not split into packets, CryptoFailure when MD5 is unavailable.
KRYError ComputeSksDigest(const uint8_t* data, size_t len, SksDigest* out);

// 32 upper-case hex digits, as peers print and query digests.
std::string SksDigestHex(const SksDigest& d);
// Parses 32 hex digits in either case; false on anything else.
bool ParseSksDigestHex(const std::string& hex, SksDigest* out);

}  // namespace krypgp
