#include "platform/pgp/pubkey.h"

#include <cstring>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

namespace krypgp {

namespace {

struct Curve {
  const char* name;  // OpenSSL group name, or our own for the 25519 curves
  int bits;
  std::vector<uint8_t> oid;
};

const std::vector<Curve>& Curves() {
  static const std::vector<Curve> curves = {
      {"P-256", 256, {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07}},
      {"P-384", 384, {0x2B, 0x81, 0x04, 0x00, 0x22}},
      {"P-521", 521, {0x2B, 0x81, 0x04, 0x00, 0x23}},
      {"secp256k1", 256, {0x2B, 0x81, 0x04, 0x00, 0x0A}},
      {"brainpoolP256r1", 256, {0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x07}},
      {"brainpoolP384r1", 384, {0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x0B}},
      {"brainpoolP512r1", 512, {0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x0D}},
      {"Ed25519", 255, {0x2B, 0x06, 0x01, 0x04, 0x01, 0xDA, 0x47, 0x0F, 0x01}},
      {"Curve25519", 255, {0x2B, 0x06, 0x01, 0x04, 0x01, 0x97, 0x55, 0x01, 0x05, 0x01}},
  };
  return curves;
}

const Curve* FindCurve(const Bytes& oid) {
  for (const Curve& c : Curves())
    if (c.oid == oid) return &c;
  return nullptr;
}

int BitCount(const uint8_t* v, size_t len) {
  size_t i = 0;
  while (i < len && v[i] == 0) ++i;
  if (i == len) return 0;
  int bits = int(len - i) * 8;
  for (uint8_t top = v[i]; !(top & 0x80); top <<= 1) --bits;
  return bits;
}

bool ReadOID(ByteReader& r, Bytes* oid) {
  uint8_t len;
  const uint8_t* p;
  if (!r.u8(&len) || len == 0 || len == 0xFF || !r.take(len, &p)) return false;
  oid->assign(p, p + len);
  return true;
}

struct BnFree {
  void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
struct BldFree {
  void operator()(OSSL_PARAM_BLD* b) const { OSSL_PARAM_BLD_free(b); }
};
struct ParamFree {
  void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};
struct CtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};

// Reads all MPIs of a field list into BIGNUMs.
bool ReadBNs(ByteReader& r, size_t count, std::vector<BnPtr>* out) {
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* v;
    size_t len;
    if (!ReadMPI(r, &v, &len)) return false;
    BIGNUM* bn = BN_bin2bn(v, int(len), nullptr);
    if (bn == nullptr) return false;
    out->emplace_back(bn);
  }
  return true;
}

EVP_PKEY* FromData(const char* type, OSSL_PARAM_BLD* bld, bool priv) {
  std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(bld));
  if (!params) return nullptr;
  std::unique_ptr<EVP_PKEY_CTX, CtxFree> ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1) return nullptr;
  EVP_PKEY* pkey = nullptr;
  if (EVP_PKEY_fromdata(ctx.get(), &pkey, priv ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                        params.get()) != 1)
    return nullptr;
  return pkey;
}

// Builds an EVP_PKEY from the public fields and, when secret is not null,
// the secret MPIs.
EVP_PKEY* BuildEVP(const PublicKeyInfo& info, const Bytes* secret) {
  ByteReader r(info.body.data() + info.fieldsOffset, info.body.size() - info.fieldsOffset);
  std::unique_ptr<OSSL_PARAM_BLD, BldFree> bld(OSSL_PARAM_BLD_new());
  if (!bld) return nullptr;
  std::vector<BnPtr> pub, sec;
  ByteReader sr(secret ? secret->data() : nullptr, secret ? secret->size() : 0);
  switch (info.algorithm) {
    case kKRYPublicKeyAlgorithm_RSA:
    case kKRYPublicKeyAlgorithm_RSAEncryptOnly:
    case kKRYPublicKeyAlgorithm_RSASignOnly: {
      if (!ReadBNs(r, 2, &pub)) return nullptr;
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, pub[0].get());
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, pub[1].get());
      BnPtr dp, dq, qinv;
      if (secret) {
        // OpenPGP gives d, p, q and u = p^-1 mod q; OpenSSL wants the CRT
        // exponents and q^-1 mod p, so derive them.
        if (!ReadBNs(sr, 4, &sec)) return nullptr;
        BN_CTX* bnctx = BN_CTX_new();
        if (bnctx == nullptr) return nullptr;
        BnPtr p1(BN_dup(sec[1].get())), q1(BN_dup(sec[2].get()));
        dp.reset(BN_new());
        dq.reset(BN_new());
        bool ok = p1 && q1 && dp && dq && BN_sub_word(p1.get(), 1) && BN_sub_word(q1.get(), 1) &&
                  BN_mod(dp.get(), sec[0].get(), p1.get(), bnctx) &&
                  BN_mod(dq.get(), sec[0].get(), q1.get(), bnctx);
        if (ok) qinv.reset(BN_mod_inverse(nullptr, sec[2].get(), sec[1].get(), bnctx));
        BN_CTX_free(bnctx);
        if (!ok || !qinv) return nullptr;
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_D, sec[0].get());
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, sec[1].get());
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, sec[2].get());
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, dp.get());
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, dq.get());
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv.get());
      }
      return FromData("RSA", bld.get(), secret != nullptr);
    }
    case kKRYPublicKeyAlgorithm_DSA: {
      if (!ReadBNs(r, 4, &pub)) return nullptr;
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_FFC_P, pub[0].get());
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_FFC_Q, pub[1].get());
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_FFC_G, pub[2].get());
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, pub[3].get());
      if (secret) {
        if (!ReadBNs(sr, 1, &sec)) return nullptr;
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, sec[0].get());
      }
      return FromData("DSA", bld.get(), secret != nullptr);
    }
    case kKRYPublicKeyAlgorithm_ECDSA: {
      const Curve* c = FindCurve(info.curveOID);
      Bytes oid;
      const uint8_t* point;
      size_t plen;
      if (c == nullptr || !ReadOID(r, &oid) || !ReadMPI(r, &point, &plen)) return nullptr;
      OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, c->name, 0);
      OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point, plen);
      if (secret) {
        if (!ReadBNs(sr, 1, &sec)) return nullptr;
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, sec[0].get());
      }
      return FromData("EC", bld.get(), secret != nullptr);
    }
    case kKRYPublicKeyAlgorithm_EdDSA: {
      Bytes oid;
      const uint8_t* point;
      size_t plen;
      if (!IsEd25519(info.curveOID) || !ReadOID(r, &oid) || !ReadMPI(r, &point, &plen))
        return nullptr;
      // The point is 0x40 followed by the 32-byte public key (native form).
      if (plen != 33 || point[0] != 0x40) return nullptr;
      if (secret) {
        const uint8_t* seed;
        size_t slen;
        if (!ReadMPI(sr, &seed, &slen) || slen > 32) return nullptr;
        uint8_t padded[32] = {0};
        std::memcpy(padded + 32 - slen, seed, slen);
        EVP_PKEY* k = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, padded, 32);
        OPENSSL_cleanse(padded, sizeof padded);
        return k;
      }
      return EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, point + 1, 32);
    }
    case kKRYPublicKeyAlgorithm_Ed25519:
    case kKRYPublicKeyAlgorithm_X25519: {
      // Native forms: 32 octets of public key, and 32 of secret key with no
      // MPI framing.
      const int type =
          info.algorithm == kKRYPublicKeyAlgorithm_Ed25519 ? EVP_PKEY_ED25519 : EVP_PKEY_X25519;
      const uint8_t* raw;
      if (!r.take(32, &raw)) return nullptr;
      if (secret) {
        const uint8_t* s;
        if (!sr.take(32, &s)) return nullptr;
        return EVP_PKEY_new_raw_private_key(type, nullptr, s, 32);
      }
      return EVP_PKEY_new_raw_public_key(type, nullptr, raw, 32);
    }
    default:
      return nullptr;
  }
}

// Size of the native key material of the RFC 9580 algorithms; 0 for others.
size_t NativeKeyLength(int alg) {
  switch (alg) {
    case kKRYPublicKeyAlgorithm_X25519: return 32;
    case 26: return 56;  // X448
    case kKRYPublicKeyAlgorithm_Ed25519: return 32;
    case 28: return 57;  // Ed448
    default: return 0;
  }
}

// Key material of the native algorithms, or of an algorithm we do not know,
// whose length only v6 states. `publicPacket`: parsing a public key packet
// (ParsePublicKey without publicLen).
KRYError ReadOtherMaterial(ByteReader& r, uint32_t materialLen, bool publicPacket,
                           PublicKeyInfo* out) {
  const int alg = out->algorithm;
  const size_t nativeLen = NativeKeyLength(alg);
  if (nativeLen != 0 && out->version >= 4) {
    const uint8_t* raw;
    if (!r.take(nativeLen, &raw)) return kKRYError_MalformedPacket;
    out->bits = alg == kKRYPublicKeyAlgorithm_X25519 || alg == kKRYPublicKeyAlgorithm_Ed25519 ? 255 : 448;
    return kKRYError_NoErr;
  }
  if (out->version == 6) {
    r.skip(materialLen);
    return kKRYError_NoErr;
  }
  // Unknown algorithm: a public key packet holds only public fields, so
  // the rest of the body is its material and stays as it is.
  if (publicPacket) return kKRYError_UnsupportedAlgorithm;
  r.skip(r.remaining());
  return kKRYError_NoErr;
}

// The fingerprint and key ID of a v4 or v6 key from its public body.
KRYError ModernFingerprint(PublicKeyInfo* out) {
  const size_t plen = out->body.size();
  Bytes pre;
  pre.reserve(plen + 5);
  unsigned int mdlen = 0;
  if (out->version == 6) {
    // SHA-256 over 0x9B, a four-octet length and the body; the key ID is
    // the fingerprint's first eight octets.
    pre.push_back(0x9B);
    PutU32(&pre, uint32_t(plen));
    pre.insert(pre.end(), out->body.begin(), out->body.end());
    if (EVP_Digest(pre.data(), pre.size(), out->fingerprint.data(), &mdlen, EVP_sha256(), nullptr) != 1)
      return kKRYError_CryptoFailure;
    out->fingerprintLen = 32;
    std::memcpy(out->keyID.data(), out->fingerprint.data(), 8);
    return kKRYError_NoErr;
  }
  pre.push_back(0x99);
  PutU16(&pre, uint32_t(plen));
  pre.insert(pre.end(), out->body.begin(), out->body.end());
  if (EVP_Digest(pre.data(), pre.size(), out->fingerprint.data(), &mdlen, EVP_sha1(), nullptr) != 1)
    return kKRYError_CryptoFailure;
  out->fingerprintLen = 20;
  std::memcpy(out->keyID.data(), out->fingerprint.data() + 12, 8);
  return kKRYError_NoErr;
}

}  // namespace

bool ReadMPI(ByteReader& r, const uint8_t** value, size_t* len, uint32_t* bitsOut) {
  uint32_t bits;
  if (!r.u16(&bits) || bits > kMaxMPIBits) return false;
  size_t n = (bits + 7) / 8;
  if (!r.take(n, value)) return false;
  *len = n;
  if (bitsOut) *bitsOut = bits;
  return true;
}

const char* CurveName(const Bytes& oid) {
  const Curve* c = FindCurve(oid);
  return c ? c->name : nullptr;
}
int CurveBits(const Bytes& oid) {
  const Curve* c = FindCurve(oid);
  return c ? c->bits : 0;
}
bool IsEd25519(const Bytes& oid) {
  const Curve* c = FindCurve(oid);
  return c != nullptr && std::strcmp(c->name, "Ed25519") == 0;
}

KRYError ParsePublicKey(const Bytes& body, PublicKeyInfo* out, size_t* publicLen) {
  ByteReader r(body);
  uint8_t version, alg;
  uint32_t created;
  if (!r.u8(&version)) return kKRYError_MalformedPacket;
  if (version != 2 && version != 3 && version != 4 && version != 6)
    return kKRYError_UnsupportedAlgorithm;
  if (!r.u32(&created)) return kKRYError_MalformedPacket;
  out->version = version;
  out->created = created;
  if (version < 4) {
    uint32_t days;
    if (!r.u16(&days)) return kKRYError_MalformedPacket;
    out->v3ValidDays = days;
  }
  if (!r.u8(&alg)) return kKRYError_MalformedPacket;
  out->algorithm = alg;
  // v6 states the length of the key material, so that keys of unknown
  // algorithms can be skipped and known ones checked for exact size.
  uint32_t materialLen = 0;
  if (version == 6 && (!r.u32(&materialLen) || materialLen > r.remaining()))
    return kKRYError_MalformedPacket;
  // The legacy 25519 forms are not allowed with v6 keys.
  if (version == 6 && alg == kKRYPublicKeyAlgorithm_EdDSA) return kKRYError_MalformedPacket;
  out->fieldsOffset = r.pos();
  const uint8_t* v;
  size_t len;
  const uint8_t* firstMPI = nullptr;
  size_t firstLen = 0;
  const uint8_t* secondMPI = nullptr;
  size_t secondLen = 0;
  switch (alg) {
    case kKRYPublicKeyAlgorithm_RSA:
    case kKRYPublicKeyAlgorithm_RSAEncryptOnly:
    case kKRYPublicKeyAlgorithm_RSASignOnly:
      if (!ReadMPI(r, &firstMPI, &firstLen) || !ReadMPI(r, &secondMPI, &secondLen))
        return kKRYError_MalformedPacket;
      out->bits = BitCount(firstMPI, firstLen);
      break;
    case kKRYPublicKeyAlgorithm_DSA:
      if (!ReadMPI(r, &firstMPI, &firstLen)) return kKRYError_MalformedPacket;
      for (int i = 0; i < 3; ++i)
        if (!ReadMPI(r, &v, &len)) return kKRYError_MalformedPacket;
      out->bits = BitCount(firstMPI, firstLen);
      break;
    case kKRYPublicKeyAlgorithm_ElGamal:
    case 20:  // ElGamal sign+encrypt, long obsolete but still parsed
      if (!ReadMPI(r, &firstMPI, &firstLen)) return kKRYError_MalformedPacket;
      for (int i = 0; i < 2; ++i)
        if (!ReadMPI(r, &v, &len)) return kKRYError_MalformedPacket;
      out->bits = BitCount(firstMPI, firstLen);
      break;
    case kKRYPublicKeyAlgorithm_ECDSA:
    case kKRYPublicKeyAlgorithm_EdDSA:
    case kKRYPublicKeyAlgorithm_ECDH: {
      if (version < 4) return kKRYError_MalformedPacket;
      if (!ReadOID(r, &out->curveOID) || !ReadMPI(r, &v, &len)) return kKRYError_MalformedPacket;
      if (alg == kKRYPublicKeyAlgorithm_ECDH) {
        uint8_t kdfLen;
        const uint8_t* kdf;
        if (!r.u8(&kdfLen) || kdfLen == 0 || kdfLen == 0xFF || !r.take(kdfLen, &kdf))
          return kKRYError_MalformedPacket;
      }
      out->bits = CurveBits(out->curveOID);
      break;
    }
    default: {
      KRYError err = ReadOtherMaterial(r, materialLen, publicLen == nullptr, out);
      if (err != kKRYError_NoErr) return err;
      break;
    }
  }
  if (version == 6 && r.pos() - out->fieldsOffset != materialLen) return kKRYError_MalformedPacket;
  size_t plen = r.pos();
  if (publicLen) *publicLen = plen;
  out->body.assign(body.begin(), body.begin() + plen);

  if (version >= 4) {
    KRYError err = ModernFingerprint(out);
    if (err != kKRYError_NoErr) return err;
  } else {
    // v3: MD5 over the bodies of n and e; the key ID is the low 64 bits of n.
    if (firstMPI == nullptr || secondMPI == nullptr || firstLen < 8)
      return kKRYError_MalformedPacket;
    Bytes pre(firstMPI, firstMPI + firstLen);
    pre.insert(pre.end(), secondMPI, secondMPI + secondLen);
    unsigned int mdlen = 0;
    if (EVP_Digest(pre.data(), pre.size(), out->fingerprint.data(), &mdlen, EVP_md5(), nullptr) != 1)
      return kKRYError_CryptoFailure;
    out->fingerprintLen = 16;
    std::memcpy(out->keyID.data(), firstMPI + firstLen - 8, 8);
  }
  out->keyID64 = LoadU64(out->keyID.data());
  return kKRYError_NoErr;
}

EVP_PKEY* PublicEVP(PublicKeyInfo& info) {
  if (info.evp) return info.evp.get();
  if (info.evpFailed) return nullptr;
  EVP_PKEY* k = BuildEVP(info, nullptr);
  if (k == nullptr) {
    info.evpFailed = true;
    return nullptr;
  }
  info.evp.reset(k, EVP_PKEY_free);
  return k;
}

KRYError PrivateEVP(const PublicKeyInfo& info, const Bytes& secret, EVP_PKEY** out) {
  *out = BuildEVP(info, &secret);
  return *out ? kKRYError_NoErr : kKRYError_UnsupportedAlgorithm;
}

}  // namespace krypgp
