#include "platform/pgp/sigpacket.h"

#include <cstring>

namespace krypgp {

namespace {

enum Subpacket : int {
  kSubCreated = 2,
  kSubSigExpires = 3,
  kSubExportable = 4,
  kSubTrust = 5,
  kSubRevocable = 7,
  kSubKeyExpires = 9,
  kSubRevoker = 12,
  kSubIssuer = 16,
  kSubPrimaryUID = 25,
  kSubKeyFlags = 27,
  kSubEmbedded = 32,
  kSubIssuerFpr = 33,
};

bool ReadSubpacketLength(ByteReader& r, uint32_t* len) {
  uint8_t a;
  if (!r.u8(&a)) return false;
  if (a < 192) {
    *len = a;
  } else if (a < 255) {
    uint8_t b;
    if (!r.u8(&b)) return false;
    *len = ((uint32_t(a) - 192) << 8) + b + 192;
  } else if (!r.u32(len)) {
    return false;
  }
  return true;
}

// Interprets one subpacket area. Only the hashed area is trusted for
// anything but the issuer and the embedded signature (which are checked
// cryptographically anyway).
bool ParseSubpackets(const uint8_t* p, size_t n, bool hashed, SigInfo* info) {
  ByteReader r(p, n);
  while (!r.empty()) {
    uint32_t len;
    if (!ReadSubpacketLength(r, &len) || len == 0 || len > r.remaining()) return false;
    const uint8_t* data;
    r.take(len, &data);
    int type = data[0] & 0x7F;
    const uint8_t* v = data + 1;
    size_t vlen = len - 1;
    auto u32 = [&](uint32_t* out) {
      if (vlen < 4) return false;
      *out = (uint32_t(v[0]) << 24) | (uint32_t(v[1]) << 16) | (uint32_t(v[2]) << 8) | v[3];
      return true;
    };
    if (type == kSubIssuer) {
      if (vlen == 8 && !info->hasIssuer) {
        std::memcpy(info->issuer.data(), v, 8);
        info->hasIssuer = true;
      }
      continue;
    }
    if (type == kSubIssuerFpr) {
      const size_t fprLen = vlen == 21 && v[0] == 4 ? 20 : vlen == 33 && v[0] == 6 ? 32 : 0;
      if (fprLen != 0 && !info->hasIssuerFpr) {
        std::memcpy(info->issuerFpr.data(), v + 1, fprLen);
        info->issuerFprLen = int(fprLen);
        info->hasIssuerFpr = true;
      }
      continue;
    }
    if (type == kSubEmbedded) {
      if (info->embedded.empty()) info->embedded.assign(v, v + vlen);
      continue;
    }
    if (!hashed) continue;
    switch (type) {
      case kSubCreated: {
        uint32_t t;
        if (u32(&t)) info->created = t;
        break;
      }
      case kSubSigExpires:
        u32(&info->sigExpiresAfter);
        break;
      case kSubKeyExpires:
        if (u32(&info->keyExpiresAfter)) info->hasKeyExpiry = true;
        break;
      case kSubExportable:
        if (vlen >= 1) info->exportable = v[0] != 0;
        break;
      case kSubRevocable:
        if (vlen >= 1) info->revocable = v[0] != 0;
        break;
      case kSubTrust:
        if (vlen >= 1) info->trustLevel = v[0];
        break;
      case kSubPrimaryUID:
        if (vlen >= 1) info->primaryUserID = v[0] != 0;
        break;
      case kSubKeyFlags:
        if (vlen >= 1) info->keyFlags = v[0];
        break;
      case kSubRevoker:
        if (vlen == 22) {
          RevokerInfo rk;
          rk.cls = v[0];
          rk.algorithm = v[1];
          std::memcpy(rk.fingerprint.data(), v + 2, 20);
          info->revokers.push_back(rk);
        }
        break;
      default:
        break;
    }
  }
  return true;
}

// The salt size RFC 9580 fixes for a v6 signature's hash; 0 when the hash
// is unknown (such a signature is kept but never checked).
size_t SaltSize(int hash) {
  switch (hash) {
    case 8: case 11: case 12: return 16;  // SHA-256, SHA-224, SHA3-256
    case 9: return 24;                    // SHA-384
    case 10: case 14: return 32;          // SHA-512, SHA3-512
    default: return 0;
  }
}

// v4 and v6 share a layout but for the width of the subpacket area lengths
// (two octets, four in v6) and v6's salt after the left 16 bits.
bool ParseModern(ByteReader& r, int version, SigInfo* info) {
  uint8_t type, pk, hash;
  uint32_t hashedLen, unhashedLen;
  const uint8_t* hashed;
  const uint8_t* unhashed;
  auto length = [&](uint32_t* n) { return version == 6 ? r.u32(n) : r.u16(n); };
  if (!r.u8(&type) || !r.u8(&pk) || !r.u8(&hash) || !length(&hashedLen) ||
      !r.take(hashedLen, &hashed))
    return false;
  info->hashedEnd = r.pos();
  if (!length(&unhashedLen) || !r.take(unhashedLen, &unhashed)) return false;
  info->type = type;
  info->pkAlgorithm = pk;
  info->hashAlgorithm = hash;
  if (!ParseSubpackets(hashed, hashedLen, true, info)) return false;
  return ParseSubpackets(unhashed, unhashedLen, false, info);
}

}  // namespace

bool ParseSignature(const Bytes& body, SigInfo* info) {
  *info = SigInfo();
  ByteReader r(body);
  uint8_t version;
  if (!r.u8(&version)) return false;
  info->version = version;
  if (version == 3 || version == 2) {
    uint8_t hlen, type, pk, hash;
    uint32_t created;
    const uint8_t* issuer;
    if (!r.u8(&hlen) || hlen != 5 || !r.u8(&type) || !r.u32(&created) || !r.take(8, &issuer) ||
        !r.u8(&pk) || !r.u8(&hash))
      return false;
    info->type = type;
    info->created = created;
    std::memcpy(info->issuer.data(), issuer, 8);
    info->hasIssuer = true;
    info->pkAlgorithm = pk;
    info->hashAlgorithm = hash;
  } else if (version == 4 || version == 6) {
    if (!ParseModern(r, version, info)) return false;
  } else {
    return false;
  }
  const uint8_t* left;
  if (!r.take(2, &left)) return false;
  info->left16 = {left[0], left[1]};
  if (version == 6) {
    uint8_t saltLen;
    const uint8_t* salt;
    if (!r.u8(&saltLen) || !r.take(saltLen, &salt)) return false;
    const size_t want = SaltSize(info->hashAlgorithm);
    if (want != 0 && saltLen != want) return false;
    // MD5, SHA-1 and RIPEMD-160 are not allowed in v6 signatures.
    if (info->hashAlgorithm >= 1 && info->hashAlgorithm <= 3) return false;
    info->saltOffset = size_t(salt - body.data());
    info->saltLen = saltLen;
  }
  info->mpiOffset = r.pos();
  info->parsed = true;
  return true;
}

bool SigIssuer(const SigInfo& info, uint64_t* id) {
  if (info.hasIssuer) {
    *id = LoadU64(info.issuer.data());
    return true;
  }
  if (info.hasIssuerFpr) {
    // A v6 key ID is the start of its fingerprint, a v4 one the end.
    *id = LoadU64(info.issuerFpr.data() + (info.issuerFprLen == 32 ? 0 : 12));
    return true;
  }
  return false;
}

}  // namespace krypgp
