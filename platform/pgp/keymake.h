// Making keys and signatures for keys whose private halves the caller holds:
// fresh key material, v4 public-key packet bodies, and v4 signatures over
// keys, user IDs and subkeys. For data-set generators and tests; the server
// itself never signs anything.
#pragma once

#include "platform/pgp/sigcheck.h"

namespace krypgp {

// New key material; null on failure. Prime generation makes these slow
// (DSA parameters take seconds), so callers keep a pool.
EvpPtr GenerateRSA(int bits);
EvpPtr GenerateDSA(int bits, int qbits);

// ElGamal has no OpenSSL key type. Keys made here use the 2048-bit MODP group
// of RFC 3526 with generator 2; only the public fields are kept, as the
// generators never decrypt.
struct ElGamalKey {
  Bytes p, g, y;  // big-endian, no leading zeros
};
bool GenerateElGamal(ElGamalKey* out);

// The v4 public-key packet body of an RSA (algorithm 1) or DSA (17) key,
// or of an ElGamal (16) key, created at `created`. False when the key's
// fields cannot be read.
bool PublicKeyBody(int algorithm, KRYTime created, EVP_PKEY* key, Bytes* body);
Bytes ElGamalBody(KRYTime created, const ElGamalKey& key);

// What a new signature says besides its target.
struct SigSpec {
  int type = 0;           // SigType
  KRYTime created = 0;
  int hashAlgorithm = 8;  // SHA-256
  int keyFlags = -1;      // key-flags subpacket; left out when negative
  bool primaryUserID = false;
};

// A v4 signature body of params.type by `signer` (its public key info and
// private key) over t: hashed creation time, issuer fingerprint and the
// optional flags, unhashed issuer key ID. RSA and DSA signers only; false
// when the digest or the private-key operation fails.
bool MakeSignature(const SigSpec& params, const PublicKeyInfo& signer, EVP_PKEY* priv,
                   const SigTarget& t, Bytes* body);

}  // namespace krypgp
