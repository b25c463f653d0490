// TLS contexts and sessions: the handshake on an accepted socket, the
// peer's key, and the byte transport KRYSend / KRYReceive use once the
// socket carries a session.
#include <poll.h>
#include <sys/socket.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "platform/net/net_internal.h"
#include "platform/net/tls_internal.h"
#include "platform/net/tls_local.h"

struct KRYtlsContext {
  KRYContextRef keyContext = nullptr;
  std::atomic<int> sessions{0};
};

struct KRYtlsSession {
  KRYtlsContext* owner = nullptr;
  uint32_t flags = 0;
  long handshakeTimeoutMs = 300 * 1000;
  SSL_CTX* ctx = nullptr;  // the local key's shared set-up (own reference)
  SSL* ssl = nullptr;
  KRYSocketRef socket = kKRYInvalidSocket;
  KRYtlsReceiveProc receive = nullptr;
  KRYSocketRef receiveSocket = kKRYInvalidSocket;
  KRYtlsKeyLookupProc lookup = nullptr;
  void* lookupData = nullptr;
  KRYKeyRef remoteKey = nullptr;
  bool established = false;
  bool broken = false;     // a fatal TLS error: no more records, not even close_notify
  bool attached = false;   // present in the socket map
  int ioError = 0;         // code of the last raw receive or send failure
};

namespace krytls_internal {

namespace {

thread_local std::string t_detail;

// ---------------------------------------------------------------- socket map
// Sockets that carry a session. The map lives as long as the process (it is
// reached from every KRYSend); g_attached mirrors its size so that plain
// sockets skip the lock while no session exists.
std::shared_mutex g_mapLock;
std::unordered_map<int, KRYtlsSession*>* g_map = nullptr;  // guarded by g_mapLock
std::atomic<size_t> g_attached{0};

void Attach(KRYtlsSession* s) {
  std::unique_lock<std::shared_mutex> lock(g_mapLock);
  if (g_map == nullptr) g_map = new std::unordered_map<int, KRYtlsSession*>();
  // A descriptor still mapped to an older session was closed without its
  // session being closed first; the new session takes the number over.
  auto it = g_map->find(s->socket);
  if (it != g_map->end()) it->second->attached = false;
  (*g_map)[s->socket] = s;
  s->attached = true;
  g_attached.store(g_map->size(), std::memory_order_release);
}

void Detach(KRYtlsSession* s) {
  std::unique_lock<std::shared_mutex> lock(g_mapLock);
  if (!s->attached) return;
  auto it = g_map->find(s->socket);
  if (it != g_map->end() && it->second == s) g_map->erase(it);
  s->attached = false;
  g_attached.store(g_map->size(), std::memory_order_release);
}

// ---------------------------------------------------------------- raw I/O
// Waits until fd is readable (events POLLIN) or writable (POLLOUT): 1
// ready, 0 time-out, -1 error (errno set).
int WaitFor(int fd, short events, long timeoutMs) {
  struct pollfd p = {fd, events, 0};
  for (;;) {
    int n = ::poll(&p, 1, timeoutMs < 0 ? -1 : static_cast<int>(timeoutMs));
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : n;
  }
}

// Raw receive before the callback is installed (the handshake): bounded by
// the session's handshake time-out.
long DefaultReceive(KRYtlsSession* s, void* buffer, size_t size) {
  int w = WaitFor(s->socket, POLLIN, s->handshakeTimeoutMs);
  if (w == 0) return kKRYNetError_ReceiveTimeout;
  if (w < 0) return -1;
  ssize_t n;
  do {
    n = ::recv(s->socket, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

int BioRead(BIO* bio, char* buffer, int size) {
  auto* s = static_cast<KRYtlsSession*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (size <= 0) return 0;
  errno = 0;
  long n = s->receive ? s->receive(s->receiveSocket, buffer, static_cast<size_t>(size))
                      : DefaultReceive(s, buffer, static_cast<size_t>(size));
  if (n > 0) return static_cast<int>(n);
  if (n == 0) return 0;
  s->ioError = n == kKRYNetError_ReceiveTimeout ? kKRYNetError_ReceiveTimeout : (errno ? errno : EIO);
  return -1;
}

// Sends never block: a full socket buffer is a retry, which the caller
// waits out (bounded) before calling again with the same data.
int BioWrite(BIO* bio, const char* data, int size) {
  auto* s = static_cast<KRYtlsSession*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  ssize_t n;
  do {
    n = ::send(s->socket, data, static_cast<size_t>(size), MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK) {
    BIO_set_retry_write(bio);
    return -1;
  }
  s->ioError = errno;
  return -1;
}

long BioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

BIO_METHOD* g_method = nullptr;
std::once_flag g_methodOnce;

BIO_METHOD* SocketMethod() {
  std::call_once(g_methodOnce, [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kry socket");
    if (m && BIO_meth_set_read(m, BioRead) == 1 && BIO_meth_set_write(m, BioWrite) == 1 &&
        BIO_meth_set_ctrl(m, BioCtrl) == 1 && BIO_meth_set_create(m, BioCreate) == 1) {
      g_method = m;
    } else {
      BIO_meth_free(m);
    }
  });
  return g_method;
}

// ---------------------------------------------------------------- helpers
// What to do after an SSL call returned `rc`: 1 retry (after a wait that
// succeeded), 0 end of stream, -1 failure with *code set.
int AfterSSLCall(KRYtlsSession* s, int rc, long waitMs, int failureCode, int* code) {
  int e = SSL_get_error(s->ssl, rc);
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
    int w = WaitFor(s->socket, e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, waitMs);
    if (w > 0) return 1;
    *code = w == 0 ? kKRYNetError_ReceiveTimeout : errno;
    return -1;
  }
  if (e == SSL_ERROR_ZERO_RETURN) return 0;
  if (e == SSL_ERROR_SYSCALL && s->ioError == 0 && ERR_peek_error() == 0) {
    s->broken = true;
    return 0;  // the peer went away
  }
  s->broken = true;
  if (s->ioError != 0) {
    *code = s->ioError;
  } else {
    SetTLSDetailFromErrors(nullptr);
    *code = failureCode;
  }
  return -1;
}

}  // namespace

const std::string& LastTLSDetail() { return t_detail; }

void SetTLSDetail(const char* text) { t_detail = text ? text : ""; }

void SetTLSDetailFromErrors(const char* fallback) {
  unsigned long e = ERR_peek_last_error();
  if (e != 0) {
    const char* reason = ERR_reason_error_string(e);
    t_detail = reason ? reason : "unknown TLS failure";
  } else {
    t_detail = fallback ? fallback : "";
  }
  ERR_clear_error();
}

KRYtlsSession* SessionOfSocket(KRYSocketRef socket) {
  if (g_attached.load(std::memory_order_acquire) == 0) return nullptr;
  std::shared_lock<std::shared_mutex> lock(g_mapLock);
  if (g_map == nullptr) return nullptr;
  auto it = g_map->find(socket);
  return it == g_map->end() ? nullptr : it->second;
}

long SessionSend(KRYtlsSession* s, const void* data, size_t length, int flags) {
  using krynet_internal::Fail;
  if (!s->established || s->broken) return Fail(s->broken ? kKRYNetError_TLSClosed : kKRYNetError_TLSNotReady);
  if (length == 0) return 0;
  int chunk = length > (1u << 30) ? (1 << 30) : static_cast<int>(length);
  for (;;) {
    s->ioError = 0;
    ERR_clear_error();
    int n = SSL_write(s->ssl, data, chunk);
    if (n > 0) return n;
    if ((flags & kKRYSocketNoWait) && SSL_get_error(s->ssl, n) == SSL_ERROR_WANT_WRITE) return Fail(EAGAIN);
    int code = 0;
    int r = AfterSSLCall(s, n, s->handshakeTimeoutMs, kKRYNetError_TLSProtocolError, &code);
    if (r == 1) continue;
    return Fail(r == 0 ? EPIPE : code);
  }
}

long SessionReceive(KRYtlsSession* s, void* data, size_t length, int flags) {
  using krynet_internal::Fail;
  if (!s->established) return Fail(kKRYNetError_TLSNotReady);
  if (s->broken) return 0;
  if (length == 0) return 0;
  if ((flags & kKRYSocketNoWait) && SSL_pending(s->ssl) == 0 && WaitFor(s->socket, POLLIN, 0) == 0)
    return Fail(EAGAIN);
  int want = length > (1u << 30) ? (1 << 30) : static_cast<int>(length);
  for (;;) {
    s->ioError = 0;
    ERR_clear_error();
    int n = (flags & kKRYSocketPeek) ? SSL_peek(s->ssl, data, want) : SSL_read(s->ssl, data, want);
    if (n > 0) return n;
    int code = 0;
    int r = AfterSSLCall(s, n, s->handshakeTimeoutMs, kKRYNetError_TLSProtocolError, &code);
    if (r == 1) continue;
    if (r == 0) return 0;
    return Fail(code);
  }
}

}  // namespace krytls_internal

using krytls_internal::AfterSSLCall;
using krytls_internal::SetTLSDetailFromErrors;

bool KRYtlsIsAuthenticationOnlySuite(int suite) {
  // TLS_RSA_WITH_NULL_SHA256, TLS_ECDHE_ECDSA_WITH_NULL_SHA, TLS_ECDHE_RSA_WITH_NULL_SHA,
  // TLS_SHA256_SHA384 and TLS_SHA384_SHA384 (integrity-only TLS 1.3).
  return suite == 0x003B || suite == 0xC006 || suite == 0xC010 || suite == 0xC0B4 || suite == 0xC0B5;
}

KRYError KRYNewTLSContext(KRYContextRef context, KRYtlsContextRef* outContext) {
  if (context == nullptr || outContext == nullptr) return kKRYError_BadParams;
  *outContext = new (std::nothrow) KRYtlsContext();
  if (*outContext == nullptr) return kKRYError_OutOfMemory;
  (*outContext)->keyContext = context;
  return kKRYError_NoErr;
}

KRYError KRYFreeTLSContext(KRYtlsContextRef context) {
  if (context == nullptr) return kKRYError_NoErr;
  if (context->sessions.load() != 0) return kKRYError_BadParams;  // free its sessions first
  delete context;
  return kKRYError_NoErr;
}

KRYError KRYNewTLSSession(KRYtlsContextRef context, KRYtlsSessionRef* outSession) {
  if (context == nullptr || outSession == nullptr) return kKRYError_BadParams;
  *outSession = new (std::nothrow) KRYtlsSession();
  if (*outSession == nullptr) return kKRYError_OutOfMemory;
  (*outSession)->owner = context;
  context->sessions.fetch_add(1);
  return kKRYError_NoErr;
}

KRYError KRYFreeTLSSession(KRYtlsSessionRef session) {
  if (session == nullptr) return kKRYError_NoErr;
  krytls_internal::Detach(session);
  SSL_free(session->ssl);
  SSL_CTX_free(session->ctx);
  session->owner->sessions.fetch_sub(1);
  delete session;
  return kKRYError_NoErr;
}

KRYError KRYtlsSetProtocolOptions(KRYtlsSessionRef session, const KRYtlsProtocolOptions* options) {
  if (session == nullptr || options == nullptr || !(options->flags & kKRYtlsFlags_ServerSide) ||
      (options->flags & ~uint32_t(kKRYtlsFlags_ServerSide | kKRYtlsFlags_RequestRemoteAuth)) || session->ssl)
    return kKRYError_BadParams;
  session->flags = options->flags;
  session->handshakeTimeoutMs = options->handshakeTimeoutMs > 0 ? options->handshakeTimeoutMs : 300 * 1000;
  return kKRYError_NoErr;
}

KRYError KRYtlsSetLocalPrivateKey(KRYtlsSessionRef session, KRYKeyRef key, void* reserved1, void* reserved2,
                                  const KRYtlsKeyOptions* options) {
  if (session == nullptr || key == nullptr || reserved1 || reserved2 || session->ssl) return kKRYError_BadParams;
  SSL_CTX* ctx = nullptr;
  KRYError err = krytls_internal::LocalServerContext(key, options ? options->passphrase : nullptr, &ctx);
  if (err != kKRYError_NoErr) return err;
  SSL_CTX_free(session->ctx);
  session->ctx = ctx;
  return kKRYError_NoErr;
}

KRYError KRYtlsSetRemoteKeyLookup(KRYtlsSessionRef session, KRYtlsKeyLookupProc lookup, void* userData) {
  if (session == nullptr) return kKRYError_BadParams;
  session->lookup = lookup;
  session->lookupData = userData;
  return kKRYError_NoErr;
}

namespace {

// The peer's certificate as a key, when it counts.
void MapRemoteKey(KRYtlsSession* s) {
  s->remoteKey = nullptr;
  X509* cert = SSL_get1_peer_certificate(s->ssl);
  if (cert == nullptr) return;
  if (s->lookup != nullptr) KRYtlsCertificateToKey(cert, s->lookup, s->lookupData, &s->remoteKey);
  X509_free(cert);
}

KRYError RunHandshake(KRYtlsSession* s) {
  for (;;) {
    s->ioError = 0;
    ERR_clear_error();
    int rc = SSL_accept(s->ssl);
    if (rc == 1) return kKRYError_NoErr;
    int code = 0;
    int r = AfterSSLCall(s, rc, s->handshakeTimeoutMs, kKRYNetError_TLSHandshakeFailed, &code);
    if (r == 1) continue;
    if (r == 0) {
      krytls_internal::SetTLSDetailFromErrors("the peer closed the connection");
      return kKRYNetError_TLSHandshakeFailed;
    }
    if (code == kKRYNetError_ReceiveTimeout) krytls_internal::SetTLSDetail("the peer stopped in the handshake");
    else if (code > 0) krytls_internal::SetTLSDetail(std::strerror(code));
    return code > 0 || code == kKRYNetError_ReceiveTimeout ? kKRYNetError_TLSHandshakeFailed : code;
  }
}

}  // namespace

KRYError KRYSocketsEstablishTLSSession(KRYSocketRef socket, KRYtlsSessionRef session) {
  if (session == nullptr || socket < 0) return kKRYError_BadParams;
  if (session->ctx == nullptr || !(session->flags & kKRYtlsFlags_ServerSide) || session->ssl)
    return kKRYNetError_TLSNotReady;
  BIO_METHOD* method = krytls_internal::SocketMethod();
  if (method == nullptr) return kKRYError_OutOfMemory;
  session->ssl = SSL_new(session->ctx);
  BIO* bio = session->ssl ? BIO_new(method) : nullptr;
  if (bio == nullptr) return kKRYError_OutOfMemory;
  BIO_set_data(bio, session);
  SSL_set_bio(session->ssl, bio, bio);
  if (!(session->flags & kKRYtlsFlags_RequestRemoteAuth)) SSL_set_verify(session->ssl, SSL_VERIFY_NONE, nullptr);
  session->socket = socket;
  KRYError err = RunHandshake(session);
  if (err != kKRYError_NoErr) {
    session->broken = true;
    return err;
  }
  session->established = true;
  MapRemoteKey(session);
  krytls_internal::Attach(session);
  return kKRYError_NoErr;
}

KRYError KRYtlsSetReceiveCallback(KRYtlsSessionRef session, KRYtlsReceiveProc receive, KRYSocketRef socket) {
  if (session == nullptr) return kKRYError_BadParams;
  session->receive = receive;
  session->receiveSocket = socket;
  return kKRYError_NoErr;
}

KRYError KRYtlsGetRemoteAuthenticatedKey(KRYtlsSessionRef session, KRYKeyRef* outKey, void* reserved) {
  if (session == nullptr || outKey == nullptr || reserved) return kKRYError_BadParams;
  *outKey = nullptr;
  if (!session->established) return kKRYNetError_TLSNotReady;
  *outKey = session->remoteKey;
  return kKRYError_NoErr;
}

KRYError KRYtlsGetNegotiatedCipherSuite(KRYtlsSessionRef session, int* outSuite) {
  if (session == nullptr || outSuite == nullptr) return kKRYError_BadParams;
  *outSuite = 0;
  const SSL_CIPHER* c = session->established ? SSL_get_current_cipher(session->ssl) : nullptr;
  if (c == nullptr) return kKRYNetError_TLSNotReady;
  *outSuite = SSL_CIPHER_get_protocol_id(c);
  return kKRYError_NoErr;
}

const char* KRYtlsGetProtocolVersionName(KRYtlsSessionRef session) {
  return session && session->established ? SSL_get_version(session->ssl) : "";
}

size_t KRYtlsPendingBytes(KRYtlsSessionRef session) {
  if (session == nullptr || !session->established || session->broken) return 0;
  int n = SSL_pending(session->ssl);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

KRYError KRYtlsClose(KRYtlsSessionRef session, KRYBoolean sendCloseNotify) {
  if (session == nullptr) return kKRYError_BadParams;
  krytls_internal::Detach(session);
  if (sendCloseNotify && session->established && !session->broken) {
    ERR_clear_error();
    SSL_shutdown(session->ssl);  // one non-blocking attempt; the peer's answer is not awaited
    ERR_clear_error();
  }
  session->broken = true;
  return kKRYError_NoErr;
}
