#include "bench/gen-keys/keypool.h"

#include <cstdio>

#include "platform/pgp/armor.h"
#include "platform/pgp/pubkey.h"
#include "platform/pgp/sigpacket.h"

namespace krybench {

using krypgp::Bytes;
using krypgp::PublicKeyInfo;

namespace {

const char* const kFirstNames[] = {"Alice", "Bruno", "Carla", "Dmitri", "Elena", "Farid", "Greta", "Hiro",
                                   "Ingrid", "Jonas", "Keiko", "Luis", "Maren", "Nils", "Olga", "Pavel"};

bool IsRSA(long i) { return i % 2 == 0; }

// The primary key of key i: its public info and the private key that signs.
bool Primary(const KeyPool& pool, long i, uint32_t baseTime, PublicKeyInfo* info, EVP_PKEY** priv) {
  const auto& from = IsRSA(i) ? pool.rsaPrimary : pool.dsaPrimary;
  *priv = from[size_t(i / 2) % from.size()].get();
  const int alg = IsRSA(i) ? kKRYPublicKeyAlgorithm_RSA : kKRYPublicKeyAlgorithm_DSA;
  Bytes body;
  size_t publicLen = 0;
  return krypgp::PublicKeyBody(alg, baseTime + uint32_t(i), *priv, &body) &&
         krypgp::ParsePublicKey(body, info, &publicLen) == 0;
}

bool Subkey(const KeyPool& pool, long i, uint32_t created, PublicKeyInfo* info) {
  Bytes body;
  if (IsRSA(i)) {
    if (!krypgp::PublicKeyBody(kKRYPublicKeyAlgorithm_RSA, created,
                               pool.rsaSub[size_t(i / 2) % pool.rsaSub.size()].get(), &body))
      return false;
  } else {
    body = krypgp::ElGamalBody(created, pool.elgSub[size_t(i / 2) % pool.elgSub.size()]);
  }
  size_t publicLen = 0;
  return krypgp::ParsePublicKey(body, info, &publicLen) == 0;
}

std::string UserID(long i, int j, const std::string& word) {
  std::string first = kFirstNames[(i + j * 7) % 16];
  std::string lower = first;
  for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
  std::string lowerWord = word;
  for (char& c : lowerWord) c = char(std::tolower(static_cast<unsigned char>(c)));
  if (j == 2) return word + " (bench key " + std::to_string(i) + ") <" + lowerWord + "@example.net>";
  return first + " " + word + " <" + lower + "." + lowerWord + "." + std::to_string(i) + "@example.org>";
}

void Append(int tag, Bytes body, Bytes* out) { krypgp::WritePacket(krypgp::MakePacket(tag, std::move(body)), out); }

}  // namespace

bool FillPool(KeyPool* pool, int size, int bits) {
  for (int n = 0; n < size; ++n) {
    pool->rsaPrimary.push_back(krypgp::GenerateRSA(bits));
    pool->rsaSub.push_back(krypgp::GenerateRSA(bits));
    pool->dsaPrimary.push_back(krypgp::GenerateDSA(bits, bits >= 2048 ? 256 : 160));
    krypgp::ElGamalKey elg;
    if (!pool->rsaPrimary.back() || !pool->rsaSub.back() || !pool->dsaPrimary.back() ||
        !krypgp::GenerateElGamal(&elg))
      return false;
    pool->elgSub.push_back(std::move(elg));
  }
  return size > 0;
}

std::string WordFor(long i) {
  static const char kCons[] = "bdfgklmnprstvwxz";
  static const char kVowels[] = "aeiou";
  // 80 syllables, three to a word: 512,000 words before one repeats. The
  // multiplier spreads neighbouring keys over different first syllables.
  long n = (i * 7919) % 512000;
  std::string w;
  for (int s = 0; s < 3; ++s) {
    const long syl = n % 80;
    n /= 80;
    w += kCons[syl / 5];
    w += kVowels[syl % 5];
  }
  w[0] = char(std::toupper(static_cast<unsigned char>(w[0])));
  return w;
}

bool MakeKey(const KeyPool& pool, long i, uint32_t baseTime, GeneratedKey* out) {
  PublicKeyInfo primary, sub;
  EVP_PKEY* priv = nullptr;
  if (!Primary(pool, i, baseTime, &primary, &priv) || !Subkey(pool, i, primary.created, &sub)) return false;
  out->word = WordFor(i);
  char id[9];
  std::snprintf(id, sizeof id, "%08llX", static_cast<unsigned long long>(primary.keyID64 & 0xFFFFFFFFu));
  out->shortID = id;

  Bytes data;
  Append(krypgp::kTagPublicKey, primary.body, &data);
  krypgp::SigSpec params;
  params.created = primary.created;
  for (int j = 0; j < 1 + int(i % 3); ++j) {
    const std::string uid = UserID(i, j, out->word);
    const krypgp::Packet uidPacket = krypgp::MakePacket(krypgp::kTagUserID, Bytes(uid.begin(), uid.end()));
    krypgp::WritePacket(uidPacket, &data);
    krypgp::SigTarget t;
    t.primary = &primary;
    t.userID = &uidPacket;
    params.type = krypgp::kSigCertPositive;
    params.keyFlags = 0x03;  // certify and sign
    params.primaryUserID = j == 0;
    Bytes sig;
    if (!krypgp::MakeSignature(params, primary, priv, t, &sig)) return false;
    Append(krypgp::kTagSignature, std::move(sig), &data);
    if (j == 0 && i % 5 == 4) {
      // Certified by the previous key of the set.
      PublicKeyInfo certifier;
      EVP_PKEY* certPriv = nullptr;
      krypgp::SigSpec cert;
      cert.type = krypgp::kSigCertGeneric;
      cert.created = primary.created;
      if (!Primary(pool, i - 1, baseTime, &certifier, &certPriv) ||
          !krypgp::MakeSignature(cert, certifier, certPriv, t, &sig))
        return false;
      Append(krypgp::kTagSignature, std::move(sig), &data);
    }
  }
  Append(krypgp::kTagPublicSubkey, sub.body, &data);
  krypgp::SigTarget t;
  t.primary = &primary;
  t.subkey = &sub;
  params.type = krypgp::kSigSubkeyBinding;
  params.keyFlags = 0x0C;  // encrypt communications and storage
  params.primaryUserID = false;
  Bytes sig;
  if (!krypgp::MakeSignature(params, primary, priv, t, &sig)) return false;
  Append(krypgp::kTagSignature, std::move(sig), &data);
  out->armored = krypgp::Armor("PGP PUBLIC KEY BLOCK", data);
  return true;
}

}  // namespace krybench
