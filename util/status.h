// Status codes shared by every subsystem. Functions return 0 for success;
// storage functions return -1 for failure; certificate and key functions
// return the key library's numbers, which the server also uses for its own
// failures.
#pragma once

namespace kry {

constexpr int kOk = 0;
constexpr int kStorageError = -1;

constexpr int kErrOutOfMemory = -11999;
constexpr int kErrBufferTooSmall = -11998;   // the shortened text is used
constexpr int kErrFileNotFound = -11997;
constexpr int kErrPassphraseCancelled = -11987;
constexpr int kErrMalformedHeader = -11986;  // malformed request header
constexpr int kErrNotFound = -11984;         // also a malformed request body
constexpr int kErrCannotAskPassphrase = -11980;
constexpr int kErrEndOfWalk = -11978;
constexpr int kErrBadSignature = -11494;     // invalid or required signatures missing
constexpr int kErrOutputTooBig = -11491;
constexpr int kErrNoKeyrings = -11479;
constexpr int kErrNoPrivateKey = -11402;
constexpr int kErrUserIDNoName = -11318;
constexpr int kErrReceiveTimeout = -11086;

// LDAP result code meaning "Server out of memory." in request handlers.
constexpr int kLdapServerOutOfMemory = 90;

}  // namespace kry
