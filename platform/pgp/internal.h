// Helpers shared by the library's modules (not part of the interface).
#pragma once

#include "platform/pgp/sigcheck.h"

typedef struct ossl_lib_ctx_st OSSL_LIB_CTX;

namespace krypgp {

// OpenSSL's legacy algorithms (CAST5, Blowfish), or null when unavailable.
// Valid between KRYsdkInit and the last KRYsdkCleanup.
OSSL_LIB_CTX* LegacyLibCtx();

// Cap on any input handed to import, decode or keyring reading.
constexpr size_t kMaxInput = 256u << 20;

KRYError NewSet(KRYContext* ctx, KRYKeySet** out);
void DeleteSet(KRYKeySet* set);
KRYKey* AddKeyToSet(KRYKeySet* set, std::unique_ptr<KRYKey> key);
// Parses armoured (any number of blocks) or binary input into packets.
KRYError ReadAllPackets(const uint8_t* data, size_t len, std::vector<Packet>* packets);
KRYError ReadFile(const std::string& path, Bytes* out);
// Imports into an existing set and, with `check`, checks the new keys'
// signatures against the set and every other set of the context.
KRYError ImportInto(KRYContext* ctx, const uint8_t* data, size_t len, KRYKeySet* set, bool check = true);
KRYError ExportBytes(const KRYKeySet* set, int format, bool withSecret, bool binary,
                     std::string* out);
// Signers: `first` (may be null), then every other set of ctx but `skip`.
SignerLookup ContextLookup(KRYContext* ctx, const KRYKeySet* first, const KRYKeySet* skip);

}  // namespace krypgp
