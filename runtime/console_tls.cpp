#include "runtime/console_tls.h"

#include <memory>
#include <string>

#include "cert/tlsclient.h"
#include "log/eventlog.h"
#include "runtime/console_session.h"
#include "runtime/globals.h"
#include "runtime/keycontext.h"
#include "runtime/tlsconn.h"

namespace kry {

struct ConsoleTLSState {
  KeyContextBlock keys;
  ServerTLS tls;
};

void ConsoleTLSFree::operator()(ConsoleTLSState* state) const {
  CloseServerTLS(&state->tls);
  ReleaseKRYSDKCtx(&state->keys);
  delete state;
}

namespace {

// The server key in a context block of this thread; false when the server
// has no usable key (TLS disabled at start-up, or the key is gone).
bool TakeServerKey(KeyContextBlock* keys) {
  const std::vector<uint8_t>& id = g_globals->serverKeyID;
  if (id.empty()) return false;
  return GetKRYSDKCtx(id, keys) == 0 && keys->serverKey != nullptr;
}

}  // namespace

bool AuthenticateRemoteConsole(ConsoleSession* s) {
  std::unique_ptr<ConsoleTLSState, ConsoleTLSFree> state(new ConsoleTLSState);
  if (!TakeServerKey(&state->keys)) {
    // A remote peer must not be able to end the process: the console is
    // refused and the command port stays open.
    LogError(EVENTLOG_ERROR, "Remote console on socket %d refused: the server has no usable key for TLS.",
             s->socket);
    return false;
  }
  // The main thread serves the command port: a client that stalls the
  // handshake holds it no longer than a console's silence would.
  const long handshakeMs = g_globals->CommandTimeout * 1000L;
  if (SetUpServerTLS(s->socket, state->keys, &state->tls, handshakeMs) != 0) return false;
  if (state->tls.clientKey == nullptr) {
    LogError(EVENTLOG_INFO, "Unable to retrieve console key to authenticate, disconnecting!");
    return false;
  }
  const std::string keyID = FullKeyIDText(state->tls.clientKey);
  if (keyID.empty()) {
    LogError(EVENTLOG_INFO, "Unable to get Key ID from remote console to continue, disconnecting!");
    return false;
  }
  if (!KeyIDAllowed(g_globals->allowCommand, keyID, /*acceptShort=*/false)) {
    LogError(EVENTLOG_INFO, "Console authentication failed, disconnecting!");
    return false;
  }
  s->tls = std::move(state);
  return true;
}

size_t ConsoleTLSPending(const ConsoleSession* s) {
  return s->tls ? KRYtlsPendingBytes(s->tls->tls.session) : 0;
}

}  // namespace kry
