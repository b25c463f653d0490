// Signature packet bodies (RFC 4880 5.2; RFC 9580 5.2.3 for salted v6): v3,
// v4 and v6 layouts and the subpackets the library interprets. The packet
// bytes themselves are never changed, so subpackets we do not interpret
// survive untouched.
#pragma once

#include "platform/pgp/model.h"

namespace krypgp {

enum SigType : int {
  kSigBinary = 0x00,
  kSigText = 0x01,
  kSigCertGeneric = 0x10,
  kSigCertPersona = 0x11,
  kSigCertCasual = 0x12,
  kSigCertPositive = 0x13,
  kSigSubkeyBinding = 0x18,
  kSigPrimaryBinding = 0x19,
  kSigDirectKey = 0x1F,
  kSigKeyRevocation = 0x20,
  kSigSubkeyRevocation = 0x28,
  kSigCertRevocation = 0x30,
};

inline bool IsCertification(int t) { return t >= 0x10 && t <= 0x13; }
inline bool IsRevocation(int t) {
  return t == kSigKeyRevocation || t == kSigSubkeyRevocation || t == kSigCertRevocation;
}

// Fills info from a signature body. False (info.parsed false) when the body
// is malformed or of a version we do not read; the packet is still kept.
bool ParseSignature(const Bytes& body, SigInfo* info);

// The issuer's 64-bit key ID (from the issuer or issuer-fingerprint
// subpacket); false when the signature names none.
bool SigIssuer(const SigInfo& info, uint64_t* id);

}  // namespace krypgp
