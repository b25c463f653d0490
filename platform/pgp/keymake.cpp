#include "platform/pgp/keymake.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/dsa.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "platform/pgp/sigpacket.h"

namespace krypgp {

namespace {

struct BnFree {
  void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
struct CtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using CtxPtr = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;

Bytes BnBytes(const BIGNUM* bn) {
  Bytes b(size_t(BN_num_bytes(bn)));
  BN_bn2bin(bn, b.data());
  return b;
}

// An MPI: the bit count, then the value without leading zero bytes.
void PutMPI(Bytes* out, const uint8_t* v, size_t len) {
  while (len > 0 && *v == 0) {
    ++v;
    --len;
  }
  uint32_t bits = uint32_t(len) * 8;
  if (len > 0)
    for (uint8_t top = v[0]; !(top & 0x80); top <<= 1) --bits;
  PutU16(out, bits);
  out->insert(out->end(), v, v + len);
}
void PutMPI(Bytes* out, const Bytes& v) { PutMPI(out, v.data(), v.size()); }

bool PutParamMPI(Bytes* out, EVP_PKEY* key, const char* name) {
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return false;
  BnPtr bn(raw);
  PutMPI(out, BnBytes(bn.get()));
  return true;
}

void KeyHeader(Bytes* body, int algorithm, KRYTime created) {
  body->push_back(4);
  PutU32(body, created);
  body->push_back(uint8_t(algorithm));
}

void Subpacket(Bytes* out, int type, const Bytes& data) {
  out->push_back(uint8_t(data.size() + 1));  // every subpacket here is short
  out->push_back(uint8_t(type));
  out->insert(out->end(), data.begin(), data.end());
}

Bytes HashedSubpackets(const SigSpec& params, const PublicKeyInfo& signer) {
  Bytes out, v;
  PutU32(&v, params.created);
  Subpacket(&out, 2, v);
  v.assign(1, 4);
  v.insert(v.end(), signer.fingerprint.begin(), signer.fingerprint.begin() + signer.fingerprintLen);
  Subpacket(&out, 33, v);
  if (params.keyFlags >= 0) Subpacket(&out, 27, Bytes{uint8_t(params.keyFlags)});
  if (params.primaryUserID) Subpacket(&out, 25, Bytes{1});
  return out;
}

// The signature MPIs of a digest: RSA's PKCS#1 value, DSA's r and s.
bool SignDigest(int algorithm, EVP_PKEY* priv, const EVP_MD* md, const uint8_t* digest,
                unsigned dlen, Bytes* out) {
  CtxPtr ctx(EVP_PKEY_CTX_new(priv, nullptr));
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1) return false;
  if (algorithm == kKRYPublicKeyAlgorithm_RSA &&
      (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
       EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1))
    return false;
  size_t len = 0;
  if (EVP_PKEY_sign(ctx.get(), nullptr, &len, digest, dlen) != 1) return false;
  Bytes sig(len);
  if (EVP_PKEY_sign(ctx.get(), sig.data(), &len, digest, dlen) != 1) return false;
  sig.resize(len);
  if (algorithm == kKRYPublicKeyAlgorithm_RSA) {
    PutMPI(out, sig);
    return true;
  }
  const unsigned char* p = sig.data();
  DSA_SIG* ds = d2i_DSA_SIG(nullptr, &p, long(sig.size()));
  if (ds == nullptr) return false;
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  DSA_SIG_get0(ds, &r, &s);
  PutMPI(out, BnBytes(r));
  PutMPI(out, BnBytes(s));
  DSA_SIG_free(ds);
  return true;
}

}  // namespace

EvpPtr GenerateRSA(int bits) {
  CtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* key = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) != 1 || EVP_PKEY_keygen(ctx.get(), &key) != 1)
    return nullptr;
  return EvpPtr(key);
}

EvpPtr GenerateDSA(int bits, int qbits) {
  CtxPtr pctx(EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr));
  EVP_PKEY* params = nullptr;
  if (!pctx || EVP_PKEY_paramgen_init(pctx.get()) != 1 ||
      EVP_PKEY_CTX_set_dsa_paramgen_bits(pctx.get(), bits) != 1 ||
      EVP_PKEY_CTX_set_dsa_paramgen_q_bits(pctx.get(), qbits) != 1 ||
      EVP_PKEY_paramgen(pctx.get(), &params) != 1)
    return nullptr;
  EvpPtr paramHolder(params);
  CtxPtr kctx(EVP_PKEY_CTX_new(params, nullptr));
  EVP_PKEY* key = nullptr;
  if (!kctx || EVP_PKEY_keygen_init(kctx.get()) != 1 || EVP_PKEY_keygen(kctx.get(), &key) != 1)
    return nullptr;
  return EvpPtr(key);
}

bool GenerateElGamal(ElGamalKey* out) {
  BnPtr p(BN_get_rfc3526_prime_2048(nullptr)), g(BN_new()), x(BN_new()), y(BN_new());
  BN_CTX* bnctx = BN_CTX_new();
  // A 256-bit secret exponent: the group's strength is about 112 bits.
  bool ok = bnctx && p && g && x && y && BN_set_word(g.get(), 2) &&
            BN_priv_rand(x.get(), 256, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) &&
            BN_mod_exp(y.get(), g.get(), x.get(), p.get(), bnctx);
  BN_CTX_free(bnctx);
  if (!ok) return false;
  out->p = BnBytes(p.get());
  out->g = BnBytes(g.get());
  out->y = BnBytes(y.get());
  return true;
}

bool PublicKeyBody(int algorithm, KRYTime created, EVP_PKEY* key, Bytes* body) {
  body->clear();
  KeyHeader(body, algorithm, created);
  if (algorithm == kKRYPublicKeyAlgorithm_RSA)
    return PutParamMPI(body, key, OSSL_PKEY_PARAM_RSA_N) && PutParamMPI(body, key, OSSL_PKEY_PARAM_RSA_E);
  if (algorithm == kKRYPublicKeyAlgorithm_DSA)
    return PutParamMPI(body, key, OSSL_PKEY_PARAM_FFC_P) && PutParamMPI(body, key, OSSL_PKEY_PARAM_FFC_Q) &&
           PutParamMPI(body, key, OSSL_PKEY_PARAM_FFC_G) && PutParamMPI(body, key, OSSL_PKEY_PARAM_PUB_KEY);
  return false;
}

Bytes ElGamalBody(KRYTime created, const ElGamalKey& key) {
  Bytes body;
  KeyHeader(&body, kKRYPublicKeyAlgorithm_ElGamal, created);
  PutMPI(&body, key.p);
  PutMPI(&body, key.g);
  PutMPI(&body, key.y);
  return body;
}

bool MakeSignature(const SigSpec& params, const PublicKeyInfo& signer, EVP_PKEY* priv,
                   const SigTarget& t, Bytes* body) {
  if (signer.algorithm != kKRYPublicKeyAlgorithm_RSA && signer.algorithm != kKRYPublicKeyAlgorithm_DSA)
    return false;
  body->assign({4, uint8_t(params.type), uint8_t(signer.algorithm), uint8_t(params.hashAlgorithm)});
  const Bytes hashed = HashedSubpackets(params, signer);
  PutU16(body, uint32_t(hashed.size()));
  body->insert(body->end(), hashed.begin(), hashed.end());
  SigInfo info;
  info.version = 4;
  info.type = params.type;
  info.hashAlgorithm = params.hashAlgorithm;
  info.hashedEnd = body->size();
  Bytes unhashed;
  Subpacket(&unhashed, 16, Bytes(signer.keyID.begin(), signer.keyID.end()));
  PutU16(body, uint32_t(unhashed.size()));
  body->insert(body->end(), unhashed.begin(), unhashed.end());
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int dlen = 0;
  const EVP_MD* md = nullptr;
  if (!SignatureDigest(*body, info, t, digest, &dlen, &md)) return false;
  body->push_back(digest[0]);
  body->push_back(digest[1]);
  return SignDigest(signer.algorithm, priv, md, digest, dlen, body);
}

}  // namespace krypgp
