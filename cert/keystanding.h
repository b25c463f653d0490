// Whether a key may still act as an authority: as a TLS client key, as the
// signer of a request, or as the owner asking for its own deletion. A
// revoked or disabled key authorises nothing.
#pragma once

#include <string>

#include "platform/pgp/kry.h"

namespace kry {

struct Backend;

// False when `key` carries a revocation that verified, or when the
// directory's ACTIVE copy of it (if `be` holds one) is disabled, revoked or
// unreadable. The stored copy is imported into `context`.
bool KeyMayAuthorise(Backend* be, KRYContextRef context, KRYKeyRef key);

// KeyMayAuthorise for the key of `set` whose full ID is `fullID` (16
// digits, no "0x"); false when the set has no such key.
bool SignerMayAuthorise(Backend* be, KRYContextRef context, KRYKeySetRef set, const std::string& fullID);

}  // namespace kry
