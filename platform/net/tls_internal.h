// Helpers shared by the TLS files of the network library, and the hooks
// through which KRYSend and KRYReceive reach a socket's TLS session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/net/krytls.h"

namespace krytls_internal {

inline std::string Hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

// The session a socket carries, or null. Cheap when no session exists.
KRYtlsSession* SessionOfSocket(KRYSocketRef socket);
// KRYSend / KRYReceive through a session: same results and last errors.
long SessionSend(KRYtlsSession* session, const void* data, size_t length, int flags);
long SessionReceive(KRYtlsSession* session, void* data, size_t length, int flags);

// Detail of the calling thread's last TLS failure (OpenSSL's reason), shown
// in the texts of the TLS codes; empty when none.
const std::string& LastTLSDetail();

}  // namespace krytls_internal
