// Uniting two copies of the same key (same primary fingerprint): user IDs,
// user attributes, signatures and subkeys are joined without duplicates.
// Identity is by packet bytes (user IDs, signatures) and by public-key body
// (subkeys), so merging is idempotent and the union does not depend on the
// order in which copies arrive.
#pragma once

#include "platform/pgp/model.h"

namespace krypgp {

// Adds to target what source has and target lacks. Check flags of new
// signatures come along. Returns true when target changed.
bool MergeKey(KRYKey* target, const KRYKey& source);

}  // namespace krypgp
