#include "runtime/cmdport.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

#include "log/eventlog.h"
#include "log/trace.h"
#include "platform/net/krynet.h"
#include "runtime/console_commands.h"
#include "runtime/console_session.h"
#include "runtime/console_tls.h"
#include "runtime/daemon.h"
#include "runtime/globals.h"
#include "runtime/peer_user.h"
#include "runtime/process.h"
#include "runtime/server_control.h"
#include "util/thread.h"

namespace kry {

namespace {

// A session ends after this long without a message from the console.
constexpr long kSessionIdleMs = 1800000;

// Shared by the main thread and RejectNewCnx while a session is open.
std::atomic<bool> g_sessionActive{false};
Semaphore g_rejectStarted(0, 1);

void LogSocketError(int kind, const char* fmt, int code) { LogError(kind, fmt, code, KRYSocketsErrorText(code).c_str()); }

// How a session's opening ended.
enum class Opening { kClosed, kServe, kShutdown };

// A remote console holds the one session from its TLS handshake through
// LOGON, up to CommandTimeout for each step, before it has proved anything.
// A local console that arrives meanwhile must not be turned away behind a
// peer that may never finish: RejectNewCnx cuts the remote opening short
// and hands the local connection to the main thread, which serves it next.
// Guarded by g_openingLock.
Mutex g_openingLock;
int g_remoteOpening = -1;  // socket of a remote session not yet logged on
int g_handoffSocket = -1;  // local console accepted by RejectNewCnx
std::string g_handoffPeer;

// Marks the session's socket as a remote opening for as long as it lives;
// declared after the session record, so the mark goes before the socket
// closes and a late shutdown can never reach a reused descriptor.
class RemoteOpening {
 public:
  explicit RemoteOpening(int socket) {
    MutexGuard lock(g_openingLock);
    g_remoteOpening = socket;
  }
  ~RemoteOpening() { Done(); }
  RemoteOpening(const RemoteOpening&) = delete;
  RemoteOpening& operator=(const RemoteOpening&) = delete;
  void Done() {
    MutexGuard lock(g_openingLock);
    g_remoteOpening = -1;
  }
};

bool LocalConsoleAllowed(int socket);

// A console accepted while a session is open: a permitted local console
// takes over from a remote one still opening; true when it was kept.
bool HandOffToLocal(KRYSocketRef s, const KRYSocketAddress& peer) {
  const std::string text = KRYInternetAddressToDottedString(peer.address);
  if (!IsLocalHost(text) || !LocalConsoleAllowed(s)) return false;
  MutexGuard lock(g_openingLock);
  if (g_remoteOpening < 0 || g_handoffSocket >= 0) return false;
  LogError(EVENTLOG_INFO, "Remote console on socket %d had not logged on; a local console takes the command port.",
           g_remoteOpening);
  ::shutdown(g_remoteOpening, SHUT_RDWR);
  g_handoffSocket = s;
  g_handoffPeer = text;
  return true;
}

// The local console handed over by RejectNewCnx, if any.
bool TakeHandoff(KRYSocketRef* s, std::string* peer) {
  MutexGuard lock(g_openingLock);
  if (g_handoffSocket < 0) return false;
  *s = g_handoffSocket;
  *peer = g_handoffPeer;
  g_handoffSocket = -1;
  return true;
}

// Turns every further console away while a session is open. It serves the
// command port's own listening socket, so the port never closes: a console
// learns at once that it was refused, and one that connects as the session
// ends stays queued for the next session instead of being refused.
// Returns through *failed whether the listening socket broke.
void RejectNewCnx(int listenSocket, bool* failed) {
  g_sessionActive = true;
  g_rejectStarted.Release();
  while (g_sessionActive) {
    WaitResult w = WaitReadable(listenSocket, 50, true);
    if (w == WaitResult::kStop) break;
    if (w == WaitResult::kError) {
      *failed = true;
      break;
    }
    if (w != WaitResult::kReady || !g_sessionActive) continue;
    KRYSocketAddress peer;
    int len = sizeof peer;
    KRYSocketRef s = KRYAccept(listenSocket, &peer, &len);
    if (s == kKRYInvalidSocket) {
      LogSocketError(EVENTLOG_WARNING, "TCP/IP accept failed with error %d (%s)", KRYGetLastSocketsError());
      *failed = true;
      break;
    }
    if (!HandOffToLocal(s, peer)) KRYCloseSocket(s);
  }
  Debug(LDAP_DEBUG_TRACE, "<= RejectNewCnx, rc=%d\n", 0);
}

// Local consoles are accepted from root and from the server's own user
// only: any other local user could otherwise stop the server or read its
// events.
bool LocalConsoleAllowed(int socket) {
  uid_t uid;
  if (!PeerUserOfConnection(socket, &uid)) return false;
  return uid == 0 || uid == geteuid();
}

bool Authenticate(ConsoleSession* s) {
  if (IsLocalHost(s->peer)) {
    LogError(EVENTLOG_INFO, "Received UNSECURE connection from localhost");
    if (LocalConsoleAllowed(s->socket)) return true;
    LogError(EVENTLOG_INFO, "Console authentication failed, disconnecting!");
    return false;
  }
  if (g_globals->SecureMode == SECURE_DISABLED) {
    LogError(EVENTLOG_INFO, "Remote connection rejected on socket %d.", s->socket);
    return false;
  }
  return AuthenticateRemoteConsole(s);
}

LogonReply MakeLogonReply(bool tooOld) {
  Globals* g = g_globals;
  LogonReply r;
  r.tooOld = tooOld;
  r.pid = static_cast<uint32_t>(getpid());
  r.configFile = g->configFile;
  r.stopInProgress = DirectoryServerStopping();
  r.running = DirectoryServerRunning();
  r.port = static_cast<uint16_t>(g->Port);
  r.securePort = static_cast<uint16_t>(g->SecurePort);
  r.secureMode = static_cast<uint16_t>(g->SecureMode);
  r.portDisabled = g->Port == 0;
  r.securePortDisabled = g->SecurePort == 0 || g->SecureMode == SECURE_DISABLED;
  r.sigCheckOff = !g->checkSignatures;
  return r;
}

Opening Logon(ConsoleSession* s) {
  int timeout = g_globals->CommandTimeout;
  if (!ReceiveConsoleMessage(s, timeout)) return Opening::kClosed;
  if (s->message.type != kMsgLogon) {
    LogError(EVENTLOG_ERROR, "LOGON message expected, none received");
    return Opening::kClosed;
  }
  LogonRequest logon = DecodeLogon(s->message.payload);
  s->kind = logon.kind;
  s->major = logon.major;
  s->minor = logon.minor;
  s->user = logon.user;
  if (s->user.find_first_not_of(' ') == std::string::npos) {
    LogError(EVENTLOG_INFO, "Shutdown requested by the console on socket %d.", s->socket);
    return Opening::kShutdown;
  }
  if (logon.kind != kConsoleKind) {
    LogError(EVENTLOG_ERROR, "Message is not from a KRYCertConsole");
    return Opening::kClosed;
  }
  bool tooOld = ConsoleVersionTooOld(logon.major, logon.minor);
  bool sent = SendConsoleMessage(s, kReplyLogon, EncodeLogonReply(MakeLogonReply(tooOld)), timeout);
  if (!sent || tooOld) return Opening::kClosed;
  s->active = true;
  return Opening::kServe;
}

void ServeConsoleSession(ConsoleSession* s) {
  while (s->active) {
    // A message received with the previous one is handled without waiting.
    if (!ConsoleInputBuffered(s) && WaitReadable(s->socket, kSessionIdleMs, true) != WaitResult::kReady) break;
    if (!ReceiveConsoleMessage(s, g_globals->CommandTimeout)) {
      if (s->socketFailed || s->timedOut) break;
      continue;  // not a console's message: ignored
    }
    if (!HandleConsoleCommand(s)) break;
  }
  s->active = false;
}

// One accepted console from its authentication to its end; true when the
// console asked for the process to shut down.
bool RunSession(int socket, const std::string& peer) {
  ConsoleSession session;
  session.socket = socket;
  session.peer = peer;
  LogError(EVENTLOG_VERBOSE, "New connection on socket %d.", socket);
  LogError(EVENTLOG_VERBOSE, "New connection from %s on %d.", peer.c_str(), socket);
  std::unique_ptr<RemoteOpening> opening;
  if (!IsLocalHost(peer)) opening = std::make_unique<RemoteOpening>(socket);
  if (!Authenticate(&session)) return false;
  Opening o = Logon(&session);
  if (opening) opening->Done();
  if (o == Opening::kServe) ServeConsoleSession(&session);
  return o == Opening::kShutdown;
}

}  // namespace

bool IsLocalHost(const std::string& addressText) {
  if (addressText == "127.0.0.1") return true;
  char name[256];
  if (KRYGetHostName(name, sizeof name) != 0) return false;
  KRYHostEntry host;
  if (KRYGetHostByName(name, &host) != 0 || host.addresses.empty()) return false;
  return KRYInternetAddressToDottedString(host.addresses[0]) == addressText;
}

int ServeCommandPort(int* listenSocket) {
  Debug(LDAP_DEBUG_TRACE, "=> ServeCommandPort\n");
  int result = 0;
  for (;;) {
    KRYSocketRef s = kKRYInvalidSocket;
    std::string peerText;
    if (!TakeHandoff(&s, &peerText)) {
      WaitResult w = WaitReadable(*listenSocket, -1, true);
      if (w != WaitResult::kReady) break;
      KRYSocketAddress peer;
      int len = sizeof peer;
      s = KRYAccept(*listenSocket, &peer, &len);
      if (s == kKRYInvalidSocket) {
        LogSocketError(EVENTLOG_WARNING, "TCP/IP accept failed with error %d (%s)", KRYGetLastSocketsError());
        result = 1;
        break;
      }
      peerText = peer.address ? KRYInternetAddressToDottedString(peer.address) : "unknown";
    }
    bool listenFailed = false;
    std::thread rejecter(RejectNewCnx, *listenSocket, &listenFailed);
    g_rejectStarted.Acquire();

    bool shutdown = RunSession(s, peerText);

    g_sessionActive = false;
    rejecter.join();
    if (shutdown) {
      RequestStop();
      break;
    }
    if (listenFailed) {
      KRYCloseSocket(*listenSocket);
      *listenSocket = -1;
      int rc = CreateDaemonSocket(g_globals->CommandPort, 0, listenSocket);
      if (rc != 0) {
        LogSocketError(EVENTLOG_ERROR, "Opening a TCP/IP socket failed with error %d (%s)", rc);
        result = 1;
        break;
      }
    }
  }
  KRYSocketRef left;
  std::string leftPeer;
  if (TakeHandoff(&left, &leftPeer)) KRYCloseSocket(left);
  ShutdownDirectoryServer();
  Debug(LDAP_DEBUG_TRACE, "<= ServeCommandPort\n");
  return result;
}

}  // namespace kry
