// Public-key packet bodies (RFC 4880 5.5.2, RFC 6637, Ed25519/cv25519 as
// GnuPG writes them, v6 keys and native Ed25519/X25519 of RFC 9580):
// parsing, fingerprints and key IDs, and the OpenSSL key objects made from
// them.
#pragma once

#include "platform/pgp/model.h"

namespace krypgp {

// Largest MPI accepted anywhere (bits). RSA and DSA keys beyond this are not
// in use, and the cap keeps absurd lengths from costing anything.
constexpr uint32_t kMaxMPIBits = 16384;

// Reads an MPI at r: its value bytes (without leading zero bytes the count
// does not cover) in *value and its bit count. False when malformed.
bool ReadMPI(ByteReader& r, const uint8_t** value, size_t* len, uint32_t* bits = nullptr);

// Parses the public fields at the start of body (a public or secret key
// packet body). *publicLen gets the length of the public part. Computes
// fingerprint, key ID and size. MalformedPacket or UnsupportedAlgorithm.
KRYError ParsePublicKey(const Bytes& body, PublicKeyInfo* out, size_t* publicLen);

// The verification key (cached in info). Null when it cannot be made.
EVP_PKEY* PublicEVP(PublicKeyInfo& info);
// A key with the private fields `secret` (the decrypted secret MPIs).
KRYError PrivateEVP(const PublicKeyInfo& info, const Bytes& secret, EVP_PKEY** out);

// Curve names for an OID; null when unknown.
const char* CurveName(const Bytes& oid);
int CurveBits(const Bytes& oid);
bool IsEd25519(const Bytes& oid);

}  // namespace krypgp
