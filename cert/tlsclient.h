// The key a client authenticated with during the TLS handshake, as the
// key-ID rules see it: its ID text, membership in a signer set, and the
// "Allow keyid" lists.
#pragma once

#include <string>
#include <vector>

#include "platform/pgp/kry.h"

namespace kry {

struct Connection;

// True when the connection runs over TLS and the client proved a key.
bool HasTLSClientKey(const Connection* conn);

// The full 16-digit ID (upper case, without "0x") of `key`; empty when it
// cannot be read.
std::string FullKeyIDText(KRYKeyRef key);

// True when `fullID` (16 digits, without "0x") is named by one of the
// configured IDs (without "0x"): a 16-digit entry must equal it and, when
// `acceptShort` is set, an 8-digit entry its last 8 digits; case is ignored.
bool KeyIDAllowed(const std::vector<std::string>& allowed, const std::string& fullID, bool acceptShort = true);

// True when `key` is in `set`: a key of the set has its ID and the same
// fingerprint.
bool KeyInSet(KRYKeySetRef set, KRYKeyRef key);

}  // namespace kry
