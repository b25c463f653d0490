#include "runtime/tlsconn.h"

#include <sys/socket.h>

#include <cerrno>
#include <string>

#include "cert/keyid2entry.h"
#include "cert/keysets.h"
#include "cert/keystanding.h"
#include "cert/tlsclient.h"
#include "ldap/sockbuf.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "runtime/connection.h"
#include "runtime/globals.h"

namespace kry {

namespace {

// What the client-key look-up needs during one handshake.
struct KeyLookup {
  const KeyContextBlock* block;
  ServerTLS* tls;
};

// The directory's ACTIVE certificate with that key ID, imported into the
// connection's context.
KRYError LookupInDirectory(const KRYKeyID* id, KeyLookup* l, KRYKeyRef* outKey) {
  Globals* g = g_globals;
  if (g->backends.empty() || l->block->context == nullptr) return kKRYError_ItemNotFound;
  char text[24];
  int format = id->bytes[0] == 4 ? kKRYKeyIDString_Abbreviated : kKRYKeyIDString_Full;
  if (KRYGetKeyIDString(id, format, text, sizeof text) != 0) return kKRYError_ItemNotFound;
  std::string digits = text + 2, block;
  if (KeyID2Entry(g->backends.front().get(), &digits, &block) != 0) return kKRYError_ItemNotFound;
  KRYImportOptions o{};
  o.inputBuffer = block.data();
  o.inputLength = block.size();
  KRYKeySetRef set = nullptr;
  if (KRYImportKeySet(l->block->context, &o, &set) != 0) return kKRYError_ItemNotFound;
  KRYKeyRef key = nullptr;
  if (KRYGetKeyByKeyID(set, id, -1, &key) != 0 || key == nullptr) {
    KRYFreeKeySet(set);
    return kKRYError_ItemNotFound;
  }
  KRYFreeKeySet(l->tls->clientKeySet);
  l->tls->clientKeySet = set;
  *outKey = key;
  return kKRYError_NoErr;
}

// The server's keyrings first, then the directory. A revoked or disabled
// key is no client key at all: it authorises nothing.
KRYError LookupClientKey(const KRYKeyID* id, void* userData, KRYKeyRef* outKey) {
  auto* l = static_cast<KeyLookup*>(userData);
  *outKey = nullptr;
  KRYError rc = kKRYError_NoErr;
  if (!l->block->serverKeySet || KRYGetKeyByKeyID(l->block->serverKeySet, id, -1, outKey) != 0 || !*outKey)
    rc = LookupInDirectory(id, l, outKey);
  if (rc != kKRYError_NoErr || *outKey == nullptr) return kKRYError_ItemNotFound;
  Backend* be = g_globals->backends.empty() ? nullptr : g_globals->backends.front().get();
  if (KeyMayAuthorise(be, l->block->context, *outKey)) return kKRYError_NoErr;
  LogError(EVENTLOG_WARNING, "TLS client key 0x%s is revoked or disabled; the client has no key.",
           FullKeyIDText(*outKey).c_str());
  *outKey = nullptr;
  return kKRYError_ItemNotFound;
}

void LogTLSFailure(int kind, const char* what, int rc) {
  LogError(kind, "%s failed with error %d (%s)", what, rc, KRYSocketsErrorText(rc).c_str());
}

// Which key the client proved, for the operator and for audits.
void LogClientKey(KRYKeyRef key) {
  KRYKeyID id;
  char text[24];
  if (key == nullptr) {
    LogError(EVENTLOG_VERBOSE, "TLS client authenticated with no key.");
  } else if (KRYGetKeyIDFromKey(key, &id) == 0 && KRYGetKeyIDString(&id, kKRYKeyIDString_Full, text, sizeof text) == 0) {
    LogError(EVENTLOG_VERBOSE, "TLS client authenticated with key %s.", text);
  }
}

void LogNegotiatedSuite(KRYtlsSessionRef session) {
  int suite = 0;
  if (KRYtlsGetNegotiatedCipherSuite(session, &suite) != 0) return;
  if (KRYtlsIsAuthenticationOnlySuite(suite))
    LogError(EVENTLOG_VERBOSE, "Negotiated authentication-only cipher suite number %d", suite);
  else
    LogError(EVENTLOG_VERBOSE, "Negotiated cipher suite number %d", suite);
}

}  // namespace

long TLSReceiveTimeoutSeconds(int timeLimit) {
  long twice = 2L * timeLimit;
  return twice < 300 ? 300 : twice;
}

long TLSReceive(KRYSocketRef socket, void* buffer, size_t size) {
  SocketSet set;
  KRYAddToSocketSet(&set, socket, kKRYSocketSetRead);
  int n = KRYSelect(&set, TLSReceiveTimeoutSeconds(g_globals->TimeLimit) * 1000);
  if (n == 0) return kKRYError_ReceiveTimeout;
  if (n < 0) return -1;
  ssize_t got;
  do {
    got = ::recv(socket, buffer, size, 0);
  } while (got < 0 && errno == EINTR);
  return static_cast<long>(got);
}

int SetUpServerTLS(KRYSocketRef sd, const KeyContextBlock& block, ServerTLS* tls, long handshakeTimeoutMs) {
  Globals* g = g_globals;
  int rc = KRYNewTLSContext(block.context, &tls->context);
  if (rc != 0) {
    LogTLSFailure(EVENTLOG_ERROR, "Creating a TLS context", rc);
    return 1;
  }
  rc = KRYNewTLSSession(tls->context, &tls->session);
  if (rc != 0) {
    LogTLSFailure(EVENTLOG_ERROR, "Creating a TLS session", rc);
    return 1;
  }
  KRYtlsProtocolOptions options{};
  options.flags = kKRYtlsFlags_ServerSide | kKRYtlsFlags_RequestRemoteAuth;
  options.handshakeTimeoutMs = handshakeTimeoutMs > 0 ? handshakeTimeoutMs : g_berSocketTimeoutMs.load();
  rc = KRYtlsSetProtocolOptions(tls->session, &options);
  if (rc != 0) {
    LogTLSFailure(EVENTLOG_ERROR, "Setting TLS options", rc);
    return 1;
  }
  KRYtlsKeyOptions keyOptions{};
  keyOptions.passphrase = g->passphrase.c_str();
  rc = block.serverKey ? KRYtlsSetLocalPrivateKey(tls->session, block.serverKey, nullptr, nullptr, &keyOptions)
                       : kKRYError_NoPrivateKey;
  if (rc != 0) {
    LogTLSFailure(EVENTLOG_ERROR, "Setting the TLS private key", rc);
    return 1;
  }
  KeyLookup lookup{&block, tls};
  KRYtlsSetRemoteKeyLookup(tls->session, LookupClientKey, &lookup);
  rc = KRYSocketsEstablishTLSSession(sd, tls->session);
  KRYtlsSetRemoteKeyLookup(tls->session, nullptr, nullptr);
  if (rc != 0) {
    LogTLSFailure(EVENTLOG_WARNING, "Establishing a TLS connection", rc);
    return 1;
  }
  KRYtlsSetReceiveCallback(tls->session, TLSReceive, sd);
  rc = KRYtlsGetRemoteAuthenticatedKey(tls->session, &tls->clientKey, nullptr);
  if (rc != 0) {
    LogTLSFailure(EVENTLOG_WARNING, "Getting client TLS key", rc);
    return 1;
  }
  LogClientKey(tls->clientKey);
  LogNegotiatedSuite(tls->session);
  return 0;
}

void CloseServerTLS(ServerTLS* tls) {
  if (tls->session) KRYtlsClose(tls->session, 1);
  KRYFreeTLSSession(tls->session);
  KRYFreeTLSContext(tls->context);
  KRYFreeKeySet(tls->clientKeySet);
  *tls = ServerTLS();
}

int SetUpConnectionTLS(Connection* conn) {
  ServerTLS tls;
  int rc = SetUpServerTLS(conn->c_sb.sd.load(), conn->c_keyContext, &tls);
  conn->c_tlsContext = tls.context;
  conn->c_tlsSession = tls.session;
  conn->c_clientKeySet = tls.clientKeySet;
  conn->c_clientKey = tls.clientKey;
  if (rc != 0) return rc;
  conn->c_tlsTransport.session = tls.session;
  conn->c_sb.transport = &conn->c_tlsTransport;
  return 0;
}

void CloseConnectionTLS(Connection* conn) {
  ServerTLS tls;
  tls.context = static_cast<KRYtlsContextRef>(conn->c_tlsContext);
  tls.session = static_cast<KRYtlsSessionRef>(conn->c_tlsSession);
  tls.clientKeySet = conn->c_clientKeySet;
  if (conn->c_sb.transport == &conn->c_tlsTransport) conn->c_sb.transport = nullptr;
  conn->c_tlsTransport.session = nullptr;
  conn->c_tlsContext = nullptr;
  conn->c_tlsSession = nullptr;
  conn->c_clientKeySet = nullptr;
  conn->c_clientKey = nullptr;
  CloseServerTLS(&tls);
}

}  // namespace kry
