// The policy key sets built once at start-up in the main library context:
// the server's keyrings, the trusted signers of the "MustSigID" and
// "AllowSigID" lines, and the keys allowed to sign add and delete requests.
#pragma once

#include "platform/pgp/kry.h"

namespace kry {

struct PolicyKeySets {
  KRYKeySetRef keyrings = nullptr;  // public and private keyring as one set
  KRYKeySetRef signers = nullptr;   // every MustSigID / AllowSigID key
  int signerCount = 0;
  KRYKeySetRef addSigners = nullptr;
  int addSignerCount = 0;
  KRYKeySetRef deleteSigners = nullptr;
  int deleteSignerCount = 0;
};

extern PolicyKeySets g_policy;

// Opens the keyrings and resolves every configured signer key ID into the
// policy sets, replacing each ID text by the key's full 16-digit ID. Returns
// 0, or the first failure's code (already logged).
int InitPolicy(KRYContextRef context);
// Frees the policy sets.
void ReleasePolicy();

}  // namespace kry
