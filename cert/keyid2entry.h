// Finding an ACTIVE certificate by its full or short key ID.
#pragma once

#include <string>

namespace kry {

struct Backend;

// Looks up the ACTIVE certificate named by `keyID` (16 digits, or 8 for a
// short ID, which is then replaced by the full certificate ID) and copies
// its first kryKey value into *block; *disabled (when given) tells whether
// the certificate is marked kryDisabled "1". 0, or -11984 when not found.
int KeyID2Entry(Backend* be, std::string* keyID, std::string* block, bool* disabled = nullptr);

}  // namespace kry
