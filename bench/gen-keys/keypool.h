// The small pool of key material the data-set generator reuses, and the
// making of one generated key from it: key i always gets the same pool
// slot, creation time, user IDs and certifier.
#pragma once

#include <string>
#include <vector>

#include "platform/pgp/keymake.h"

namespace krybench {

struct KeyPool {
  std::vector<krypgp::EvpPtr> rsaPrimary, rsaSub, dsaPrimary;
  std::vector<krypgp::ElGamalKey> elgSub;
};

// Generates `size` keys of each kind: RSA and DSA of `bits` (2048: DSA with
// a 256-bit q; 1024, for quick tests: a 160-bit q), ElGamal 2048.
bool FillPool(KeyPool* pool, int size, int bits = 2048);

struct GeneratedKey {
  std::string armored;  // one "PGP PUBLIC KEY BLOCK"
  std::string shortID;  // the low 8 hex digits of the key ID, upper case
  std::string word;     // the surname every user ID of the key carries
};

// Key number i of a data set whose creation times count from baseTime.
// Even numbers are RSA with an RSA subkey, odd ones DSA with an ElGamal
// subkey; 1 to 3 user IDs; every fifth key is certified by key i-1.
bool MakeKey(const KeyPool& pool, long i, uint32_t baseTime, GeneratedKey* out);

// A pronounceable word unique to i (for substring searches).
std::string WordFor(long i);

}  // namespace krybench
