// Reading and cutting down key blocks at the packet level, without importing
// them into a key set: no signature is checked, so these are cheap enough to
// run per request on blocks the directory already accepted.
#pragma once

#include <functional>
#include <string>

#include "platform/pgp/kry.h"

// The fingerprint bytes of the first primary key of `data` (armoured, any
// number of blocks, or binary packets). NoKeyData when there is no primary
// key; MalformedPacket or UnsupportedAlgorithm when it cannot be read.
KRYError KRYGetBlockFingerprint(const void* data, size_t len, std::string* fingerprint);

// Decides, from a user ID's bytes, whether it stays.
using KRYUserIDFilter = std::function<bool(const std::string& userID)>;

// Binary packets of the keys of `data` with only the user IDs `keep` accepts,
// each with the signatures that follow it. The other user IDs and their
// signatures, user attributes and theirs, and trust packets are left out;
// primary keys with their direct signatures and subkeys with their bindings
// stay. A key left without user IDs is left out whole. NoKeyData when no key
// is left.
KRYError KRYKeepUserIDs(const void* data, size_t len, const KRYUserIDFilter& keep, std::string* out);

// The keys of `data` with only the signatures their owner made and those of
// their designated revokers (as the owner's self-signatures name them), so
// that third-party certifications are left out; signatures that name no
// issuer stay only when their type can be the owner's alone (bindings,
// direct-key and key or subkey revocations). Trust packets are left out.
// Armoured ("PGP PUBLIC KEY BLOCK") when `armour`, else binary.
KRYError KRYKeepOwnSignatures(const void* data, size_t len, bool armour, std::string* out);
