// Secret-key packets (RFC 4880 5.5.3): the protection fields, string-to-key
// (3.7: simple, salted, iterated and salted) and unlocking with a passphrase.
#pragma once

#include "platform/pgp/model.h"

namespace krypgp {

// Reads the protection fields that follow the public part (at publicLen).
KRYError ParseSecretInfo(const Bytes& body, size_t publicLen, SecretInfo* out);

// Decrypts (or just checks, when unprotected) the secret fields; *plain gets
// the secret MPIs without the trailing check value. BadPassphrase when the
// check fails, UnsupportedAlgorithm for ciphers we cannot run, NoPrivateKey
// for stubs without secret material.
KRYError UnlockSecret(const Bytes& body, const SecretInfo& info, const char* passphrase,
                      Bytes* plain);

}  // namespace krypgp
