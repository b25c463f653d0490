// Signature verification (RFC 4880 5.2.4): what each signature type hashes,
// the trailers, and the public-key check through OpenSSL. Also the walk that
// sets the tried/verified/not-corrupt flags of a key's signatures.
#pragma once

#include <functional>

#include "platform/pgp/model.h"

typedef struct evp_md_st EVP_MD;

namespace krypgp {

// What a signature covers. Fields not used by the type stay null.
struct SigTarget {
  const PublicKeyInfo* primary = nullptr;
  const PublicKeyInfo* subkey = nullptr;
  const Packet* userID = nullptr;   // tag 13 or 17
  const uint8_t* data = nullptr;    // documents: the (canonical) data
  size_t dataLen = 0;
};

// The digest a v6, v4 or v3 signature of info.type covers over t: the target's
// key/user-ID/data hashing, then body's hashed part and trailer. False for an
// unknown hash or a target that lacks what the type needs.
bool SignatureDigest(const Bytes& body, const SigInfo& info, const SigTarget& t, uint8_t* out,
                     unsigned int* outLen, const EVP_MD** md);

// True when sig (body + parsed info) is a good signature by signer over t.
bool VerifySignature(const Bytes& body, const SigInfo& info, PublicKeyInfo& signer,
                     const SigTarget& t);

// Finds a signer by 64-bit key ID; returns its public key (primary or
// subkey) and the key that holds it, or null.
using SignerLookup = std::function<PublicKeyInfo*(uint64_t id, KRYKey** owner)>;

// Checks the signatures of key. With all=false only those not tried yet.
// Signers are looked up in key itself first, then through lookup (may be
// empty).
void CheckKeySignatures(KRYKey* key, const SignerLookup& lookup, bool all);

}  // namespace krypgp
