// Completing key adds that a stop cut short: a certificate entry is stored
// before its user-ID entries, so a kill in between leaves a key that no
// key-ID or user-ID search finds, or user-ID entries that describe the
// block before the add. After recovery those user-ID entries are rebuilt
// from the stored key block, the way an add builds them.
#pragma once

#include <string>

#include "platform/pgp/kry.h"

namespace kry {

struct Backend;

// How many named user IDs of the certificate in `set` (stored at `certDN`)
// have no entry (user IDs without a text form never have one).
int CountMissingUserIDEntries(Backend* be, KRYKeySetRef set, const std::string& certDN);

// Walks every certificate under OU=ACTIVE and OU=PENDING that is not
// disabled, writes the user-ID entries it lacks or whose key size, subkeys,
// revocation or signers differ from its stored block, and then the add's
// replication record, which an add cut short never wrote. Uses the main
// key-library context; does nothing without one. Runs alone on the backend
// (start-up). Returns the number of certificates completed; each one and
// each failure is logged.
int CompleteInterruptedAdds(Backend* be);

}  // namespace kry
