// The shared server-side TLS set-up of each OpenPGP key (see tls_local.cpp).
#pragma once

#include <openssl/ssl.h>

#include "platform/net/krytls.h"

namespace krytls_internal {

// The SSL_CTX presenting `key` (a new reference; SSL_CTX_free it). Made on
// the first call for the key; later calls must give the same passphrase.
KRYError LocalServerContext(KRYKeyRef key, const char* passphrase, SSL_CTX** out);
// Frees every shared set-up (at library clean-up).
void ReleaseLocalKeys();
// Records OpenSSL's queued error reason (or `fallback`) as the thread's
// TLS detail and clears the queue.
void SetTLSDetailFromErrors(const char* fallback);
void SetTLSDetail(const char* text);

}  // namespace krytls_internal
