// The per-thread last error and the texts of the library's codes.
#include <cstdio>
#include <cstring>

#include "platform/net/krynet.h"
#include "platform/net/net_internal.h"
#include "platform/net/tls_internal.h"
#include "platform/pgp/kry.h"

namespace {

thread_local int t_lastError = 0;

// strerror_r comes in two flavours; these overloads accept either.
[[maybe_unused]] const char* StrerrorResult(int rc, const char* buf) { return rc == 0 ? buf : nullptr; }
[[maybe_unused]] const char* StrerrorResult(const char* text, const char*) { return text; }

}  // namespace

namespace krynet_internal {
void SetLastError(int code) { t_lastError = code; }
}  // namespace krynet_internal

int KRYGetLastSocketsError() { return t_lastError; }

void KRYSetLastSocketsError(int code) { t_lastError = code; }

int KRYGetSocketsErrorString(int code, char* buf, size_t size) {
  char scratch[256];
  const char* text = nullptr;
  switch (code) {
    case kKRYNetError_NoErr: text = "No error"; break;
    case kKRYNetError_ReceiveTimeout: text = "Socket operation timed out"; break;
    case kKRYNetError_HostNotFound: text = "Host not found"; break;
    case kKRYNetError_TryAgain: text = "Temporary failure in name resolution"; break;
    case kKRYNetError_LookupFailed: text = "Name resolution failed"; break;
    case kKRYNetError_TLSHandshakeFailed: text = "TLS handshake failed"; break;
    case kKRYNetError_TLSProtocolError: text = "TLS protocol error"; break;
    case kKRYNetError_TLSUnsupportedKey: text = "The key cannot authenticate a TLS server"; break;
    case kKRYNetError_TLSNotReady: text = "TLS session not ready"; break;
    case kKRYNetError_TLSClosed: text = "TLS session closed"; break;
    case kKRYNetError_TLSBadPassphrase: text = "Passphrase differs from the one the TLS key was prepared with"; break;
    default:
      // Key-library codes reach here through the TLS calls.
      if (code <= -11300 && code >= -11999 && KRYGetErrorString(code, scratch, sizeof scratch) == 0 &&
          std::strncmp(scratch, "Unknown error", 13) != 0) {
        text = scratch;
        break;
      }
      if (code > 0) {
        scratch[0] = '\0';
        text = StrerrorResult(strerror_r(code, scratch, sizeof scratch), scratch);
      }
      if (!text || !*text) {
        std::snprintf(scratch, sizeof scratch, "Unknown error (%d)", code);
        text = scratch;
      }
  }
  std::string withDetail;
  if (code == kKRYNetError_TLSHandshakeFailed || code == kKRYNetError_TLSProtocolError ||
      code == kKRYNetError_TLSUnsupportedKey) {
    const std::string& detail = krytls_internal::LastTLSDetail();
    if (!detail.empty()) {
      withDetail = std::string(text) + ": " + detail;
      text = withDetail.c_str();
    }
  }
  if (!buf || size == 0) return -11998;
  size_t n = std::strlen(text);
  if (n >= size) {
    std::memcpy(buf, text, size - 1);
    buf[size - 1] = '\0';
    return -11998;
  }
  std::memcpy(buf, text, n + 1);
  return 0;
}

std::string KRYSocketsErrorText(int code) {
  char buf[200];
  KRYGetSocketsErrorString(code, buf, sizeof buf);
  return buf;
}
