// The in-memory form of keys: what the opaque handles of kry.h point at.
// A key set owns its keys; a key owns its user IDs, subkeys and signatures.
// Every object keeps its packet bytes, so what is written back is exactly
// what was read, unknown packets and subpackets included.
#pragma once

#include <array>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/pgp/packet.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace krypgp {

struct EvpFree {
  void operator()(EVP_PKEY* k) const;
};
using EvpPtr = std::unique_ptr<EVP_PKEY, EvpFree>;

// The public part of a primary key or subkey (RFC 4880 5.5.2).
struct PublicKeyInfo {
  int version = 0;
  KRYTime created = 0;
  uint32_t v3ValidDays = 0;
  int algorithm = 0;
  int bits = 0;
  Bytes body;             // the public-key packet body
  size_t fieldsOffset = 0;  // where the algorithm-specific fields start
  Bytes curveOID;         // ECC keys
  std::array<uint8_t, 32> fingerprint{};  // v6: 32 bytes, v4: 20, v3: 16
  int fingerprintLen = 0;
  std::array<uint8_t, 8> keyID{};
  uint64_t keyID64 = 0;
  // The verification key, made when first needed.
  std::shared_ptr<EVP_PKEY> evp;
  bool evpFailed = false;
};

// How a secret part is protected (RFC 4880 5.5.3, 3.7).
struct SecretInfo {
  bool present = false;
  int usage = 0;       // 0 none, 254 SHA-1 check, 255 checksum, else cipher
  int cipher = 0;
  int s2kType = 0;     // 0 simple, 1 salted, 3 iterated+salted, 101 GNU
  int s2kHash = 0;
  std::array<uint8_t, 8> salt{};
  uint32_t s2kCount = 0;
  bool gnuDummy = false;
  Bytes iv;
  size_t dataOffset = 0;  // offset of the (encrypted) secret fields in the body
};

// Parsed fields of a signature packet (RFC 4880 5.2).
struct RevokerInfo {
  uint8_t cls = 0;
  uint8_t algorithm = 0;
  std::array<uint8_t, 20> fingerprint{};
};
struct SigInfo {
  bool parsed = false;
  int version = 0;
  int type = 0;
  int pkAlgorithm = 0;
  int hashAlgorithm = 0;
  KRYTime created = 0;
  bool hasIssuer = false;
  std::array<uint8_t, 8> issuer{};
  bool hasIssuerFpr = false;
  std::array<uint8_t, 32> issuerFpr{};
  int issuerFprLen = 0;     // 32 for a v6 issuer, 20 for v4
  uint32_t sigExpiresAfter = 0;  // 0 never
  bool hasKeyExpiry = false;
  uint32_t keyExpiresAfter = 0;
  bool exportable = true;
  bool revocable = true;
  bool primaryUserID = false;
  int keyFlags = -1;
  int trustLevel = 0;
  std::vector<RevokerInfo> revokers;
  size_t hashedEnd = 0;     // v4, v6: body[0, hashedEnd) is hashed with the trailer
  size_t saltOffset = 0;    // v6: the salt, hashed first
  size_t saltLen = 0;
  std::array<uint8_t, 2> left16{};
  size_t mpiOffset = 0;     // signature MPIs
  Bytes embedded;           // an embedded signature (primary-key binding) body
};

}  // namespace krypgp

struct KRYKey;
struct KRYUserID;
struct KRYSubKey;

struct KRYSig {
  krypgp::Packet packet;
  krypgp::SigInfo info;
  std::vector<krypgp::Packet> trailing;  // trust and unknown packets after it
  bool tried = false;
  bool verified = false;
  bool notCorrupt = true;
  bool removed = false;
  KRYKey* key = nullptr;
  KRYUserID* userID = nullptr;   // set for certifications
  KRYSubKey* subKey = nullptr;   // set for bindings and subkey revocations
};
using SigList = std::vector<std::unique_ptr<KRYSig>>;

struct KRYUserID {
  krypgp::Packet packet;  // tag 13 or 17
  std::vector<krypgp::Packet> trailing;
  SigList sigs;
  bool removed = false;
  KRYKey* key = nullptr;
  bool isAttribute() const { return packet.tag == krypgp::kTagUserAttribute; }
};

struct KRYSubKey {
  krypgp::Packet publicPacket;   // tag 14
  krypgp::Packet secretPacket;   // tag 7 when present (tag 0 otherwise)
  krypgp::PublicKeyInfo info;
  krypgp::SecretInfo secret;
  std::vector<krypgp::Packet> trailing;
  SigList sigs;
  bool removed = false;
  KRYKey* key = nullptr;
};

struct KRYKey {
  krypgp::Packet publicPacket;   // tag 6
  krypgp::Packet secretPacket;   // tag 5 when present
  krypgp::PublicKeyInfo info;
  krypgp::SecretInfo secret;
  std::vector<krypgp::Packet> trailing;
  SigList sigs;                  // direct-key signatures and key revocations
  std::vector<std::unique_ptr<KRYUserID>> userIDs;
  std::vector<std::unique_ptr<KRYSubKey>> subKeys;
  KRYKeySet* set = nullptr;
};

struct KRYKeySet {
  KRYContext* context = nullptr;
  std::vector<std::unique_ptr<KRYKey>> keys;
  // Primary and subkey IDs to their key; fingerprints of primaries.
  std::unordered_multimap<uint64_t, KRYKey*> byKeyID;
  std::unordered_map<std::string, KRYKey*> byFingerprint;
  std::string ringPath;  // set for writable keyrings
  bool writable = false;
};

struct KRYKeyList {
  KRYContext* context = nullptr;
  std::vector<KRYKey*> keys;
};

struct KRYKeyIter {
  KRYContext* context = nullptr;
  KRYKeyList* list = nullptr;
  size_t keyIndex = 0;     // index of the next key
  KRYKey* key = nullptr;
  size_t subIndex = 0;
  KRYSubKey* sub = nullptr;
  size_t uidIndex = 0;
  KRYUserID* uid = nullptr;
  size_t uidSigIndex = 0;
  size_t keySigIndex = 0;
  size_t subSigIndex = 0;
};

struct KRYFileSpec {
  std::string path;
};

struct KRYContext {
  std::set<KRYKeySet*> sets;
  std::set<KRYKeyList*> lists;
  std::set<KRYKeyIter*> iters;
  std::string randomSeedFile;
};

namespace krypgp {

// Key set bookkeeping (keyset.cpp).
void IndexKey(KRYKeySet* set, KRYKey* key);
void ReindexSet(KRYKeySet* set);
// A new key owned by nobody yet: a deep copy without removed objects.
std::unique_ptr<KRYKey> CopyKey(const KRYKey& key);
// The key (primary or the owner of a subkey) with this 64-bit ID, and the
// public key that has it.
KRYKey* FindKeyByID(const KRYKeySet* set, uint64_t id, const PublicKeyInfo** info);
std::string FingerprintString(const PublicKeyInfo& info);

}  // namespace krypgp
