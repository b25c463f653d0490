#include "platform/pgp/sigcheck.h"

#include <atomic>
#include <cstring>

#include <openssl/ecdsa.h>
#include <openssl/dsa.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "platform/pgp/pubkey.h"
#include "platform/pgp/sigpacket.h"

namespace krypgp {

namespace {

std::atomic<uint64_t> g_checksMade{0};

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};

// MD5 is refused: collisions make its signatures worthless.
const EVP_MD* HashFor(int alg) {
  switch (alg) {
    case 2: return EVP_sha1();
    case 3: return EVP_ripemd160();
    case 8: return EVP_sha256();
    case 9: return EVP_sha384();
    case 10: return EVP_sha512();
    case 11: return EVP_sha224();
    default: return nullptr;
  }
}

void HashKey(EVP_MD_CTX* md, const PublicKeyInfo& k) {
  const size_t n = k.body.size();
  if (k.version == 6) {
    uint8_t pre[5] = {0x9B, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    EVP_DigestUpdate(md, pre, 5);
  } else {
    uint8_t pre[3] = {0x99, uint8_t(n >> 8), uint8_t(n)};
    EVP_DigestUpdate(md, pre, 3);
  }
  EVP_DigestUpdate(md, k.body.data(), n);
}

bool VerifyDigest(PublicKeyInfo& signer, const EVP_MD* md, const uint8_t* digest,
                  unsigned int dlen, ByteReader& mpis) {
  EVP_PKEY* pkey = PublicEVP(signer);
  if (pkey == nullptr) return false;
  const uint8_t* a;
  size_t alen;
  const uint8_t* b;
  size_t blen;
  switch (signer.algorithm) {
    case kKRYPublicKeyAlgorithm_RSA:
    case kKRYPublicKeyAlgorithm_RSASignOnly: {
      if (!ReadMPI(mpis, &a, &alen)) return false;
      size_t modBytes = size_t(EVP_PKEY_get_size(pkey));
      if (alen > modBytes) return false;
      // The MPI drops leading zeros; RSA wants the full modulus length.
      Bytes sig(modBytes - alen, 0);
      sig.insert(sig.end(), a, a + alen);
      std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(pkey, nullptr));
      return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
             EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
             EVP_PKEY_CTX_set_signature_md(ctx.get(), md) == 1 &&
             EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), digest, dlen) == 1;
    }
    case kKRYPublicKeyAlgorithm_DSA:
    case kKRYPublicKeyAlgorithm_ECDSA: {
      if (!ReadMPI(mpis, &a, &alen) || !ReadMPI(mpis, &b, &blen)) return false;
      BIGNUM* r = BN_bin2bn(a, int(alen), nullptr);
      BIGNUM* s = BN_bin2bn(b, int(blen), nullptr);
      unsigned char* der = nullptr;
      int derLen = -1;
      if (signer.algorithm == kKRYPublicKeyAlgorithm_DSA) {
        DSA_SIG* ds = DSA_SIG_new();
        if (ds && r && s && DSA_SIG_set0(ds, r, s) == 1) {
          r = s = nullptr;
          derLen = i2d_DSA_SIG(ds, &der);
        }
        DSA_SIG_free(ds);
      } else {
        ECDSA_SIG* es = ECDSA_SIG_new();
        if (es && r && s && ECDSA_SIG_set0(es, r, s) == 1) {
          r = s = nullptr;
          derLen = i2d_ECDSA_SIG(es, &der);
        }
        ECDSA_SIG_free(es);
      }
      BN_free(r);
      BN_free(s);
      if (derLen <= 0) return false;
      std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(pkey, nullptr));
      bool ok = ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
                EVP_PKEY_verify(ctx.get(), der, size_t(derLen), digest, dlen) == 1;
      OPENSSL_free(der);
      return ok;
    }
    case kKRYPublicKeyAlgorithm_EdDSA: {
      if (!ReadMPI(mpis, &a, &alen) || !ReadMPI(mpis, &b, &blen) || alen > 32 || blen > 32)
        return false;
      uint8_t sig[64] = {0};
      std::memcpy(sig + 32 - alen, a, alen);
      std::memcpy(sig + 64 - blen, b, blen);
      std::unique_ptr<EVP_MD_CTX, MdCtxFree> mctx(EVP_MD_CTX_new());
      // EdDSA in OpenPGP signs the digest itself as the message.
      return mctx && EVP_DigestVerifyInit(mctx.get(), nullptr, nullptr, nullptr, pkey) == 1 &&
             EVP_DigestVerify(mctx.get(), sig, 64, digest, dlen) == 1;
    }
    case kKRYPublicKeyAlgorithm_Ed25519: {
      // The native form: 64 octets, no MPIs.
      const uint8_t* sig;
      if (mpis.remaining() != 64 || !mpis.take(64, &sig)) return false;
      std::unique_ptr<EVP_MD_CTX, MdCtxFree> mctx(EVP_MD_CTX_new());
      return mctx && EVP_DigestVerifyInit(mctx.get(), nullptr, nullptr, nullptr, pkey) == 1 &&
             EVP_DigestVerify(mctx.get(), sig, 64, digest, dlen) == 1;
    }
    default:
      return false;
  }
}

// Whether a check can be run at all. Signatures by algorithms or with hashes
// we do not implement stay untried rather than being called bad; MD5 is
// known and refused, so it is checked (and fails).
bool Checkable(const SigInfo& info, const PublicKeyInfo& signer) {
  if (HashFor(info.hashAlgorithm) == nullptr && info.hashAlgorithm != 1) return false;
  switch (signer.algorithm) {
    case kKRYPublicKeyAlgorithm_RSA:
    case kKRYPublicKeyAlgorithm_RSASignOnly:
    case kKRYPublicKeyAlgorithm_DSA:
    case kKRYPublicKeyAlgorithm_ECDSA:
    case kKRYPublicKeyAlgorithm_Ed25519:
      return true;
    case kKRYPublicKeyAlgorithm_EdDSA:
      return IsEd25519(signer.curveOID);
    default:
      return false;
  }
}

}  // namespace

bool SignatureDigest(const Bytes& body, const SigInfo& info, const SigTarget& t, uint8_t* out,
                     unsigned int* outLen, const EVP_MD** mdOut) {
  const EVP_MD* mdType = HashFor(info.hashAlgorithm);
  if (mdType == nullptr) return false;
  *mdOut = mdType;
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> md(EVP_MD_CTX_new());
  if (!md || EVP_DigestInit_ex(md.get(), mdType, nullptr) != 1) return false;
  // v6: the salt goes first, so that what is signed cannot be chosen.
  if (info.version == 6) EVP_DigestUpdate(md.get(), body.data() + info.saltOffset, info.saltLen);
  int type = info.type;
  if (type == kSigBinary || type == kSigText) {
    if (t.data == nullptr && t.dataLen != 0) return false;
    EVP_DigestUpdate(md.get(), t.data, t.dataLen);
  } else {
    if (t.primary == nullptr) return false;
    HashKey(md.get(), *t.primary);
    if (type == kSigSubkeyBinding || type == kSigSubkeyRevocation || type == kSigPrimaryBinding) {
      if (t.subkey == nullptr) return false;
      HashKey(md.get(), *t.subkey);
    } else if (IsCertification(type) || type == kSigCertRevocation) {
      if (t.userID == nullptr) return false;
      const Bytes& u = t.userID->body;
      if (info.version >= 4) {
        uint8_t pre[5] = {uint8_t(t.userID->tag == 17 ? 0xD1 : 0xB4), uint8_t(u.size() >> 24),
                          uint8_t(u.size() >> 16), uint8_t(u.size() >> 8), uint8_t(u.size())};
        EVP_DigestUpdate(md.get(), pre, 5);
      }
      EVP_DigestUpdate(md.get(), u.data(), u.size());
    } else if (type != kSigDirectKey && type != kSigKeyRevocation) {
      return false;
    }
  }
  if (info.version >= 4) {
    EVP_DigestUpdate(md.get(), body.data(), info.hashedEnd);
    uint32_t n = uint32_t(info.hashedEnd);
    uint8_t trailer[6] = {uint8_t(info.version), 0xFF, uint8_t(n >> 24), uint8_t(n >> 16),
                          uint8_t(n >> 8), uint8_t(n)};
    EVP_DigestUpdate(md.get(), trailer, 6);
  } else {
    EVP_DigestUpdate(md.get(), body.data() + 2, 5);  // type and creation time
  }
  return EVP_DigestFinal_ex(md.get(), out, outLen) == 1;
}

bool VerifySignature(const Bytes& body, const SigInfo& info, PublicKeyInfo& signer,
                     const SigTarget& t) {
  if (!info.parsed || info.pkAlgorithm != signer.algorithm) return false;
  // v6 keys make only v6 signatures and v6 signatures come only from v6
  // keys; a mix would hash the key in the wrong framing.
  if ((info.version == 6) != (signer.version == 6)) return false;
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int dlen = 0;
  const EVP_MD* md = nullptr;
  if (!SignatureDigest(body, info, t, digest, &dlen, &md)) return false;
  if (digest[0] != info.left16[0] || digest[1] != info.left16[1]) return false;
  ByteReader mpis(body.data() + info.mpiOffset, body.size() - info.mpiOffset);
  g_checksMade.fetch_add(1, std::memory_order_relaxed);
  return VerifyDigest(signer, md, digest, dlen, mpis);
}

namespace {

PublicKeyInfo* FindInKey(KRYKey* key, uint64_t id) {
  if (key->info.keyID64 == id) return &key->info;
  for (auto& sub : key->subKeys)
    if (!sub->removed && sub->info.keyID64 == id) return &sub->info;
  return nullptr;
}

void Record(KRYSig* sig, bool ok) {
  sig->tried = true;
  sig->verified = ok;
  sig->notCorrupt = ok;
}

// A subkey binding of a signing-capable subkey may carry a back signature
// made by the subkey; when present it must verify too.
bool CheckBackSig(const KRYSig* sig, KRYKey* key, KRYSubKey* sub) {
  if (sig->info.embedded.empty()) return true;
  SigInfo back;
  if (!ParseSignature(sig->info.embedded, &back) || back.type != kSigPrimaryBinding) return false;
  SigTarget t;
  t.primary = &key->info;
  t.subkey = &sub->info;
  return VerifySignature(sig->info.embedded, back, sub->info, t);
}

}  // namespace

void CheckKeySignatures(KRYKey* key, const SignerLookup& lookup, bool all) {
  auto signerFor = [&](KRYSig* sig, bool selfDefault) -> PublicKeyInfo* {
    uint64_t id;
    if (!SigIssuer(sig->info, &id)) return selfDefault ? &key->info : nullptr;
    if (PublicKeyInfo* own = FindInKey(key, id)) return own;
    if (!lookup) return nullptr;
    KRYKey* owner = nullptr;
    return lookup(id, &owner);
  };
  auto check = [&](KRYSig* sig, const SigTarget& t, bool selfDefault, KRYSubKey* sub) {
    if (sig->removed || (!all && sig->tried)) return;
    if (!sig->info.parsed) {
      sig->notCorrupt = false;
      return;
    }
    PublicKeyInfo* signer = signerFor(sig, selfDefault);
    if (signer == nullptr) return;  // not tried: the signer is not here
    if (!Checkable(sig->info, *signer)) return;
    bool ok = VerifySignature(sig->packet.body, sig->info, *signer, t);
    if (ok && sub != nullptr && sig->info.type == kSigSubkeyBinding) ok = CheckBackSig(sig, key, sub);
    Record(sig, ok);
  };
  SigTarget keyOnly;
  keyOnly.primary = &key->info;
  for (auto& sig : key->sigs) check(sig.get(), keyOnly, true, nullptr);
  for (auto& uid : key->userIDs) {
    if (uid->removed) continue;
    SigTarget t;
    t.primary = &key->info;
    t.userID = &uid->packet;
    for (auto& sig : uid->sigs) check(sig.get(), t, false, nullptr);
  }
  for (auto& sub : key->subKeys) {
    if (sub->removed) continue;
    SigTarget t;
    t.primary = &key->info;
    t.subkey = &sub->info;
    for (auto& sig : sub->sigs) check(sig.get(), t, true, sub.get());
  }
}

}  // namespace krypgp

uint64_t KRYSignatureChecksMade() { return krypgp::g_checksMade.load(std::memory_order_relaxed); }
