// Small operations between the certificate logic and the key library:
// opening the server's keyrings, the random-seed file, the first key of a
// set, exporting a set as one armoured block, and copying a set into another
// library context. Failures are written to the event log once and returned
// as the library's status code.
#pragma once

#include <string>

#include "platform/pgp/kry.h"

namespace kry {

// The key library's text for a status code, for event-log sentences.
std::string LibraryErrorText(int code);

// Opens the public keyring (and the private one when configured and
// present) as one key set. No public path: success and *set null.
int GetKeySetFromKeyRings(KRYContextRef context, const std::string& publicPath, const std::string& privatePath,
                          KRYKeySetRef* set);
// Points the library at the random-seed file ("RandSeedFile").
int SetRandSeedFile(KRYContextRef context, const std::string& path);
// The first key of a set; an empty set gives success and a null key.
int KeySet2Key(KRYKeySetRef set, KRYKeyRef* key);
// Exports the whole set as one armoured block (format 1 or 255).
int ConvertKeySet2KeyBlock(KRYKeySetRef set, bool exportPrivate, int format, size_t sizeHint, std::string* block);
// Copies a set into another context (exported in the complete format).
int TransferKeys(KRYContextRef target, KRYKeySetRef set, bool exportPrivate, KRYKeySetRef* out);

}  // namespace kry
