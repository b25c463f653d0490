// The signing policy applied to a submitted certificate before it is stored:
// signature checks, the required signer groups ("MustSigID") and the
// trimming of untrusted signatures and user IDs ("TrimSigs", "TrimUsers").
#pragma once

#include "platform/pgp/kry.h"

namespace kry {

// The key-library context a request works in and its copies of the policy
// key sets (any of them may be null when not configured).
struct RequestKeys {
  KRYContextRef context = nullptr;
  KRYKeySetRef signers = nullptr;        // every MustSigID / AllowSigID key
  KRYKeySetRef addSigners = nullptr;
  KRYKeySetRef deleteSigners = nullptr;
};

// Result of CheckPolicy besides library errors.
constexpr int POLICY_ALL_TRIMMED = 2;

// Checks `set` (one certificate, modified in place when trimming) against
// the configured policy. Returns 0 passed, -11494 required signatures
// missing or a signature invalid, 2 every user ID trimmed, or a library
// status. *trimmed tells whether anything was removed.
int CheckPolicy(KRYKeySetRef set, const RequestKeys& keys, bool* trimmed);

}  // namespace kry
