// TLS sessions of the network library (TLS 1.2 and 1.3 over OpenSSL 3
// libssl), authenticated by OpenPGP keys of the key library.
//
// A side presents its OpenPGP key as a self-signed X.509 certificate whose
// subject common name is "0x" and the key's 16-digit key ID and whose
// subjectAltName carries the fingerprint as the URI "openpgp4fpr:<hex>".
// The server asks every client for such a certificate without requiring
// one; a client certificate counts only when the key it names is found
// through the session's key look-up and that key's public material is the
// certificate's public key (the handshake then proved possession of it).
//
// Conventions: calls return 0 or a status code (kKRYNetError_* below or a
// key-library code); KRYGetSocketsErrorString gives the text of either.
// A session is used by one thread at a time. Once KRYSocketsEstablishTLSSession
// has succeeded, KRYSend and KRYReceive on that socket go through the
// session until KRYtlsClose or KRYFreeTLSSession.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/net/krynet.h"
#include "platform/pgp/kry.h"

struct x509_st;     // OpenSSL's X509
struct evp_pkey_st; // OpenSSL's EVP_PKEY

struct KRYtlsContext;
typedef KRYtlsContext* KRYtlsContextRef;
struct KRYtlsSession;
typedef KRYtlsSession* KRYtlsSessionRef;

// Codes of TLS failures (beside the kKRYNetError_* codes of krynet.h).
enum : int {
  kKRYNetError_TLSHandshakeFailed = -11090,  // the peer failed or broke the handshake
  kKRYNetError_TLSProtocolError = -11091,    // a TLS failure after the handshake
  kKRYNetError_TLSUnsupportedKey = -11092,   // the key cannot authenticate a TLS server
  kKRYNetError_TLSNotReady = -11093,         // a call out of order (no key, no handshake)
  kKRYNetError_TLSClosed = -11094,           // the session was closed
  kKRYNetError_TLSBadPassphrase = -11095,    // passphrase differs from the one the key was prepared with
};

// Protocol option flags.
enum : uint32_t {
  kKRYtlsFlags_ServerSide = 0x01,
  kKRYtlsFlags_RequestRemoteAuth = 0x02,  // ask the client for its key, not requiring one
};

// The library's authentication-only (null-cipher) suite numbers; OpenSSL
// never offers them by default, so this stays false in practice.
bool KRYtlsIsAuthenticationOnlySuite(int suite);

struct KRYtlsProtocolOptions {
  uint32_t flags;            // kKRYtlsFlags_*; ServerSide is required
  long handshakeTimeoutMs;   // longest wait for one handshake read or write; 0 means 300 s
};

struct KRYtlsKeyOptions {
  const char* passphrase;  // the key's passphrase; null or "" for an unprotected key
};

// Receives raw bytes for the session: the result of recv (bytes, 0 at end
// of stream, -1 on error) or kKRYNetError_ReceiveTimeout.
typedef long (*KRYtlsReceiveProc)(KRYSocketRef socket, void* buffer, size_t size);

// Finds the key with key ID `id` (a full or short ID) for a peer's
// certificate. The key must stay valid while the session lives. Returns 0,
// or kKRYError_ItemNotFound.
typedef KRYError (*KRYtlsKeyLookupProc)(const KRYKeyID* id, void* userData, KRYKeyRef* outKey);

// ---------------------------------------------------------------- contexts and sessions
// A TLS context for one key-library context (one thread's).
KRYError KRYNewTLSContext(KRYContextRef context, KRYtlsContextRef* outContext);
KRYError KRYFreeTLSContext(KRYtlsContextRef context);  // null allowed; after its sessions
KRYError KRYNewTLSSession(KRYtlsContextRef context, KRYtlsSessionRef* outSession);
// Forgets the socket's session (if still attached) and frees it. Null allowed.
KRYError KRYFreeTLSSession(KRYtlsSessionRef session);

KRYError KRYtlsSetProtocolOptions(KRYtlsSessionRef session, const KRYtlsProtocolOptions* options);
// The key the session presents. The unlocked key and its certificate are
// made once per key and process and shared by later sessions; a later call
// must give the same passphrase (else kKRYNetError_TLSBadPassphrase). The
// two reserved arguments must be null.
KRYError KRYtlsSetLocalPrivateKey(KRYtlsSessionRef session, KRYKeyRef key, void* reserved1, void* reserved2,
                                  const KRYtlsKeyOptions* options);
// Makes the shared certificate and TLS set-up of a key ahead of any session
// (at start-up), so that a key TLS cannot use is reported there.
KRYError KRYtlsPrepareLocalKey(KRYKeyRef key, const KRYtlsKeyOptions* options);
// How the peer's certificate names are turned into keys (see above).
KRYError KRYtlsSetRemoteKeyLookup(KRYtlsSessionRef session, KRYtlsKeyLookupProc lookup, void* userData);

// The handshake on an accepted socket. 0 when it completed; the socket then
// carries the session. A failure leaves the socket usable only for closing.
KRYError KRYSocketsEstablishTLSSession(KRYSocketRef socket, KRYtlsSessionRef session);
// Raw receives of the established session go through `receive(socket, ...)`.
KRYError KRYtlsSetReceiveCallback(KRYtlsSessionRef session, KRYtlsReceiveProc receive, KRYSocketRef socket);
// The peer's authenticated key, or null (still 0) when it presented no
// certificate or one that does not count. The reserved argument must be null.
KRYError KRYtlsGetRemoteAuthenticatedKey(KRYtlsSessionRef session, KRYKeyRef* outKey, void* reserved);
// The negotiated suite's IANA number (0x1301 for TLS_AES_128_GCM_SHA256, ...).
KRYError KRYtlsGetNegotiatedCipherSuite(KRYtlsSessionRef session, int* outSuite);
// "TLSv1.3", "TLSv1.2", or "" before the handshake.
const char* KRYtlsGetProtocolVersionName(KRYtlsSessionRef session);
// Decrypted bytes held in the session that a receive delivers without
// waiting for the socket.
size_t KRYtlsPendingBytes(KRYtlsSessionRef session);
// Ends the session: with sendCloseNotify a close_notify alert is sent when
// the session is still sound (never waiting on the peer); the socket no
// longer carries the session afterwards.
KRYError KRYtlsClose(KRYtlsSessionRef session, KRYBoolean sendCloseNotify);

// ---------------------------------------------------------------- certificates
// The self-signed certificate of an OpenPGP key as above, and its unlocked
// private key (caller frees both with X509_free / EVP_PKEY_free). The
// certificate depends only on the key (serial from the fingerprint, validity
// from the key's creation and expiration), so it can be made again for
// clients to pin. RSA, DSA, ECDSA (P-256/384/521) and Ed25519 keys.
KRYError KRYtlsMakeKeyCertificate(KRYKeyRef key, const char* passphrase, x509_st** outCert,
                                  evp_pkey_st** outPKey);
// The key ID a certificate's subject names: exactly one common name of "0x"
// and 16 (or 8) hexadecimal digits. kKRYError_ItemNotFound otherwise.
KRYError KRYtlsCertificateKeyID(const x509_st* cert, KRYKeyID* outID);
// The key a peer certificate stands for: the named key, found by `lookup`,
// whose primary key (or the subkey with that ID) has exactly the
// certificate's public key. kKRYError_ItemNotFound when it does not count.
KRYError KRYtlsCertificateToKey(const x509_st* cert, KRYtlsKeyLookupProc lookup, void* userData,
                                KRYKeyRef* outKey);
