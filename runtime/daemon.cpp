// The listener thread: accepts connections on the regular and secure ports,
// flushes the databases when idle and cycles the access log when due.
#include "runtime/daemon.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "back-ldbm/backend.h"
#include "config/settings.h"
#include "ldap/dispatch.h"
#include "log/cycle.h"
#include "log/eventlog.h"
#include "log/metrics.h"
#include "log/trace.h"
#include "platform/net/krynet.h"
#include "runtime/connection.h"
#include "runtime/connlimits.h"
#include "runtime/globals.h"
#include "runtime/process.h"
#include "runtime/tlsconn.h"

namespace kry {

std::atomic<int> g_daemonResult{0};
Semaphore* g_daemonStarted = nullptr;
std::atomic<bool> g_serverRunning{false};
Connection* g_connections = nullptr;
std::atomic<int> g_wakePort{0};

namespace {

// While the table is full the pending connection stays queued and the
// listening socket stays readable. Rather than spinning on it and writing
// the warning on every pass, the listener pauses 100 ms between retries and
// repeats the warning at most every 10 seconds while the table stays full.
constexpr int kFullRetryMs = 100;
constexpr int kFullWarningSeconds = 10;
time_t g_lastFullWarning = 0;
bool g_tableFull = false;

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int GetClientHostname(uint32_t address, std::string* hostName, bool* has) {
  Debug(LDAP_DEBUG_TRACE, "=> GetClientHostname\n");
  KRYHostEntry host;
  if (KRYGetHostByAddress(&address, 4, 2, &host) != 0) {
    int code = KRYGetLastSocketsError();
    LogError(EVENTLOG_WARNING, "Getting client's hostname failed with error %d (%s).", code,
             KRYSocketsErrorText(code).c_str());
    return 1;
  }
  *hostName = host.name;
  *has = true;
  return 0;
}

int GetClientAddrInfo(uint32_t address, std::string* addressText, std::string* hostName, bool* hasHost) {
  addressText->clear();
  hostName->clear();
  *hasHost = false;
  *addressText = KRYInternetAddressToDottedString(address);
  if (g_globals->LookupHostname) GetClientHostname(address, hostName, hasHost);
  Debug(LDAP_DEBUG_TRACE, "<= GetClientAddrInfo, rc=%d\n", 0);
  return 0;
}

const char* OrUnknown(const std::string& s) { return s.empty() ? "unknown" : s.c_str(); }

// The peer names and bound DN of the slot's previous use go when the slot is
// taken again.
void ResetSlotForNewConnection(Connection* c) {
  c->c_addr.clear();
  c->c_domain.clear();
  c->c_hasDomain = false;
  MutexGuard dn(c->c_dnmutex);
  c->c_dn.clear();
  c->c_bound = false;
}

void JoinSlotThread(Connection* c) {
  if (c->c_thread.joinable()) c->c_thread.join();
}

// Every slot holds a descriptor, beside the listening sockets, the
// database files, the logs and the HKP port: the usual soft limit of 1024
// would refuse accepts long before a table of thousands is full.
void RaiseDescriptorLimit(int slots) {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
  const rlim_t wanted = static_cast<rlim_t>(slots) + 2048;
  if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < wanted) {
    lim.rlim_cur = lim.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, lim.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0)
      LogError(EVENTLOG_WARNING, "Raising the open-file limit to %lu failed with error %d",
               static_cast<unsigned long>(lim.rlim_cur), errno);
  }
}

}  // namespace

int CreateDaemonSocket(int port, int /*secure*/, int* socketOut) {
  *socketOut = -1;
  KRYSocketRef s = KRYOpenSocket(kKRYAddressFamilyInternet, kKRYSocketTypeStream, kKRYProtocolTCP);
  if (s == kKRYInvalidSocket) {
    int code = KRYGetLastSocketsError();
    LogError(EVENTLOG_ERROR, "Creating socket failed with error %d (%s)", code, KRYSocketsErrorText(code).c_str());
    return code;
  }
  int one = 1;
  if (KRYSetSocketOptions(s, kKRYSocketLevel, kKRYSocketReuseAddress, &one, 4) != 0) {
    int code = KRYGetLastSocketsError();
    LogError(EVENTLOG_ERROR, "Setting socket option failed with error %d (%s)", code, KRYSocketsErrorText(code).c_str());
    KRYCloseSocket(s);
    return code;
  }
  KRYSocketAddress addr;
  addr.address = KRYHostToNetLong(kKRYInternetAddressAny);
  addr.port = KRYHostToNetShort(static_cast<uint16_t>(port));
  if (port <= 0 || port > 65535 || KRYBindSocket(s, &addr, sizeof addr) != 0) {
    int code = port <= 0 || port > 65535 ? EINVAL : KRYGetLastSocketsError();
    LogError(EVENTLOG_ERROR,
             "Binding to port %hu failed with error %d (%s)\nAnother server may already be running on that port.\n",
             static_cast<unsigned short>(port), code, KRYSocketsErrorText(code).c_str());
    KRYCloseSocket(s);
    return code;
  }
  // The system's largest backlog: a burst of clients then waits in the
  // queue instead of for the SYN retries of an overflowing one.
  if (KRYListen(s, SOMAXCONN) != 0) {
    int code = KRYGetLastSocketsError();
    LogError(EVENTLOG_ERROR, "Listening on socket failed with error %d (%s)", code, KRYSocketsErrorText(code).c_str());
    KRYCloseSocket(s);
    return code;
  }
  *socketOut = s;
  return 0;
}

namespace {

// A free slot, or -1 when the table is full: then the connection idle
// longest is shut down to make room, or, when every connection is busy, the
// warning is logged (at most every 10 seconds). Only the listener takes
// slots, so the slot stays free until it is filled.
int FindFreeSlot(Connection* table, long now) {
  Globals* g = g_globals;
  MutexGuard tableLock(g->connectionTableLock);
  for (int i = 0; i < g->maxConnections; ++i)
    if (table[i].c_sb.sd.load() == -1) {
      g_tableFull = false;
      return i;
    }
  const bool wasFull = g_tableFull;
  g_tableFull = true;
  if (EvictLongestIdle(table, g->highestSlot)) return -1;
  if (!wasFull || now - g_lastFullWarning >= kFullWarningSeconds) {
    LogError(EVENTLOG_WARNING, "Exceeded maximum number of connections (%d).  New connection rejected. ",
             g->maxConnections);
    g_lastFullWarning = now;
  }
  return -1;
}

// Whether `address` may have one more connection; the refusal is logged at
// most every 10 seconds.
bool AddressBelowLimit(Connection* table, uint32_t address, const std::string& text, long now) {
  Globals* g = g_globals;
  MutexGuard tableLock(g->connectionTableLock);
  if (ConnectionsFromAddress(table, g->highestSlot, address) < g->MaxConnectionsPerAddress) return true;
  static time_t lastWarning = 0;
  if (now - lastWarning >= kFullWarningSeconds) {
    LogError(EVENTLOG_WARNING, "Exceeded maximum number of connections from %s (%d).  New connection rejected. ",
             text.c_str(), g->MaxConnectionsPerAddress);
    lastWarning = now;
  }
  return false;
}

}  // namespace

int AddNewConnection(Connection* table, int listenSocket, int secure, long now, Connection** connOut) {
  Debug(LDAP_DEBUG_TRACE, "=> AddNewConnection\n");
  Globals* g = g_globals;
  int slot = FindFreeSlot(table, now);
  if (slot < 0) return 1;

  KRYSocketAddress peer;
  int len = sizeof peer;
  KRYSocketRef s = KRYAccept(listenSocket, &peer, &len);
  if (s == kKRYInvalidSocket) {
    int code = KRYGetLastSocketsError();
    LogError(EVENTLOG_WARNING, "TCP/IP accept failed with error %d (%s)", code, KRYSocketsErrorText(code).c_str());
    return 1;
  }
  // Refused before the name look-up: the address alone decides.
  if (!AddressBelowLimit(table, peer.address, KRYInternetAddressToDottedString(peer.address), now)) {
    metrics::CountRefusedConnection(metrics::kLdap);
    KRYCloseSocket(s);
    return 1;
  }
  metrics::CountConnection(metrics::kLdap);
  LogError(EVENTLOG_VERBOSE, "New connection on socket %d.", s);
  // Responses are whole messages written at once; without this the last
  // small segment of each would wait for the client's delayed ack.
  int one = 1;
  if (KRYSetSocketOptions(s, kKRYTcpLevel, kKRYTcpNoDelay, &one, 4) != 0)
    LogError(EVENTLOG_WARNING, "Setting socket option failed with error %d (%s)", KRYGetLastSocketsError(),
             KRYSocketsErrorText(KRYGetLastSocketsError()).c_str());

  // The name look-up may wait on a slow resolver: it runs before the table
  // lock, which every response takes.
  std::string addressText, hostName;
  bool hasHost = false;
  GetClientAddrInfo(peer.address, &addressText, &hostName, &hasHost);

  Connection* c = &table[slot];
  MutexGuard tableLock(g->connectionTableLock);
  ResetSlotForNewConnection(c);
  c->c_addr = std::move(addressText);
  c->c_domain = std::move(hostName);
  c->c_hasDomain = hasHost;
  c->c_peer = peer.address;
  c->c_evicted = false;
  c->c_sb.options = 0;
  sockbuf_reset(&c->c_sb, s);
  if (slot > g->highestSlot) g->highestSlot = slot;
  {
    MutexGuard counters(g->countersLock);
    c->c_connid = g->nextConnectionID++;
  }
  c->c_entropy ^= peer.address;
  if (g->LookupHostname)
    LogError(EVENTLOG_VERBOSE, "New connection from %s (%s) on %d.", OrUnknown(c->c_addr), OrUnknown(c->c_domain), s);
  else
    LogError(EVENTLOG_VERBOSE, "New connection from %s on %d.", OrUnknown(c->c_addr), s);
  c->c_starttime = now;
  {
    MutexGuard activity(c->c_activitymutex);
    c->c_activitytime = now;
  }
  c->c_opsinitiated = 0;
  c->c_opscompleted = 0;
  c->c_secure = secure & 0xFF;
  *connOut = c;
  return 0;
}

void LaunchConnectionThread(Connection* conn) {
  Debug(LDAP_DEBUG_TRACE, "=> LaunchConnectionThread\n");
  Globals* g = g_globals;
  // The slot's previous thread has closed the slot before it ends; wait for
  // its last steps so that each slot owns at most one thread.
  JoinSlotThread(conn);
  {
    MutexGuard lock(g->threadCountLock);
    ++g->iActiveThreads;
  }
  if (!StartThread(&conn->c_thread, [conn] { connection_activity(conn); })) {
    Debug(LDAP_DEBUG_ANY, "KRYThreadCreate failed\n");
    {
      MutexGuard lock(g->threadCountLock);
      --g->iActiveThreads;
    }
    CloseConnection(conn, conn->c_connid, -1);
  }
}

void CloseConnection(Connection* conn, uint32_t connectionID, int opID) {
  MutexGuard tableLock(g_globals->connectionTableLock);
  CloseConnectionLocked(conn, connectionID, opID);
}

// The caller holds connectionTableLock.
void CloseConnectionLocked(Connection* conn, uint32_t connectionID, int opID) {
  Globals* g = g_globals;
  int sd = conn->c_sb.sd.load();
  if (sd == -1 || conn->c_connid != connectionID) return;
  LogError(EVENTLOG_VERBOSE, "conn=%d op=%d fd=%d closed.", static_cast<int>(connectionID), opID, sd);
  // At the forced close the connection's thread may still be working in
  // its context and session; the thread closes the session and gives the
  // block back itself when it ends. The session goes first: its client key
  // set belongs to the block's context.
  if (opID != -2) {
    CloseConnectionTLS(conn);
    ReleaseKRYSDKCtx(&conn->c_keyContext);
  }
  if (::shutdown(sd, SHUT_RDWR) != 0 && errno != ENOTCONN)
    LogError(EVENTLOG_WARNING, "Shutting down client connection failed with error %d\n", errno);
  if (opID != -2) {
    if (KRYCloseSocket(sd) != 0)
      LogError(EVENTLOG_WARNING, "Closing client connection failed with error %d\n", KRYGetLastSocketsError());
    conn->c_sb.sd = -1;
  } else {
    // Forced close at shutdown: the connection's own thread may still be
    // blocked on this descriptor. The shutdown above wakes it; the
    // descriptor itself is closed when its thread ends, so that its number
    // cannot be reused under the thread's feet.
    conn->c_sb.sd = -1;
    conn->c_deferredClose = sd;
  }
  conn->c_version = 0;
  conn->c_evicted = false;
  if (g->highestSlot >= 0 && g_connections[g->highestSlot].c_sb.sd.load() == -1) {
    int h = g->highestSlot;
    while (h >= 0 && g_connections[h].c_sb.sd.load() == -1) --h;
    g->highestSlot = h;
  }
}

int WakeListener() {
  // The port is published by the listener itself, so that a stop signal
  // arriving while start-up or shutdown rebuilds the settings never reads
  // them, and no stray byte goes to another service when no listener runs.
  int port = g_wakePort.load();
  if (port == 0) return -1;
  KRYSocketRef s = KRYOpenSocket(kKRYAddressFamilyInternet, kKRYSocketTypeStream, kKRYProtocolTCP);
  if (s == kKRYInvalidSocket) return -1;
  KRYSocketAddress addr;
  addr.address = KRYHostToNetLong(kKRYInternetAddressLoopback);
  addr.port = KRYHostToNetShort(static_cast<uint16_t>(port));
  int rc = KRYConnect(s, &addr, sizeof addr);
  if (rc == 0) rc = KRYSend(s, "0", 1, 0) == 1 ? 0 : -1;
  KRYCloseSocket(s);
  return rc;
}

namespace {

// How long shutdown waits for running operations before it shuts down the
// connections' sockets, which ends an operation stuck writing to a client
// that reads slowly or not at all.
constexpr int kDrainSeconds = 10;

// Opens the regular and the secure listening sockets; false (with the
// sockets closed and the reason logged) when the listener cannot start.
bool OpenListeners(int* regular, int* secure) {
  Globals* g = g_globals;
  bool failed = false;
  if (g->Port != 0) {
    int rc = CreateDaemonSocket(g->Port, 0, regular);
    if (rc != 0) {
      LogError(EVENTLOG_ERROR, "Opening a TCP/IP socket failed with error %d (%s)", rc, KRYSocketsErrorText(rc).c_str());
      failed = true;
    }
  }
  if (!failed && g->SecureMode != SECURE_DISABLED) {
    int rc = CreateDaemonSocket(g->SecurePort, 1, secure);
    if (rc != 0) {
      LogError(EVENTLOG_ERROR, "Opening a TCP/IP socket failed with error %d (%s)", rc, KRYSocketsErrorText(rc).c_str());
      failed = true;
    }
  }
  if (!failed && g->Port == 0 && g->SecureMode == SECURE_DISABLED) {
    LogError(EVENTLOG_ERROR, "Unsecure and secure ports disabled, server not started!\n");
    failed = true;
  }
  if (!failed) return true;
  if (*regular >= 0) KRYCloseSocket(*regular);
  if (*secure >= 0) KRYCloseSocket(*secure);
  *regular = *secure = -1;
  return false;
}

// Database flushing when the server goes idle: after a quiet wait with
// nothing done since the last flush, or once operations have kept running
// longer than the time limit.
struct IdleSync {
  int synced = 1;
  uint16_t idleTime = 0;

  long WaitMs() const {
    Globals* g = g_globals;
    if (g->IdleSyncTimeout != 0 && synced == 0) return static_cast<long>(g->IdleSyncTimeout) * 1000;
    if (g->CycleLogDay != CYCLE_NEVER) return 60 * 1000;
    return -1;
  }

  void Sync() {
    backend_sync_all(g_globals->backends);
    synced = 1;
  }

  // After a wait that timed out.
  void Quiet() {
    Globals* g = g_globals;
    int active;
    {
      SpinningGuard lock(g->operationCountLock);
      active = g->activeOperations;
    }
    if (active != 0) {
      idleTime = static_cast<uint16_t>(idleTime + g->IdleSyncTimeout);
      if (idleTime > g->TimeLimit) {
        idleTime = 0;
        if (synced == 0) Sync();
      }
    } else if (idleTime != 0) {
      idleTime = 0;
      Sync();
    } else if (synced == 0) {
      Sync();
    }
  }
};

// Accepts a connection on each listening socket the wait found readable.
void AcceptReady(Connection* table, const SocketSet* set, int regular, int secure, long now) {
  struct Listening {
    int sd;
    int secure;
  } sockets[2] = {{regular, 0}, {secure, 1}};
  for (const Listening& l : sockets) {
    if (l.sd < 0) continue;
    if (KRYTestSocketSet(set, l.sd) == 0) continue;
    Connection* conn = nullptr;
    if (AddNewConnection(table, l.sd, l.secure, now, &conn) == 0) LaunchConnectionThread(conn);
  }
  if (g_tableFull) SleepMs(kFullRetryMs);
}

// The listener's loop, until shutdown is asked for.
void ListenLoop(Connection* table, SocketSet* set, int regular, int secure) {
  Globals* g = g_globals;
  IdleSync idle;
  while (!dird_shutdown) {
    KRYClearSocketSet(set);
    if (regular >= 0) KRYAddToSocketSet(set, regular, kKRYSocketSetRead);
    if (secure >= 0) KRYAddToSocketSet(set, secure, kKRYSocketSetRead);
    {
      MutexGuard lock(g->threadCountLock);
      Debug(LDAP_DEBUG_CONNS, "before select iActiveThreads %d\n", g->iActiveThreads);
    }
    int n = KRYSelect(set, idle.WaitMs());
    if (n < 0) {
      if (!dird_shutdown) {
        int code = KRYGetLastSocketsError();
        LogError(EVENTLOG_VERBOSE, "TCP/IP select failed with error %d (%s)", code, KRYSocketsErrorText(code).c_str());
      }
      continue;
    }
    if (n == 0) idle.Quiet();
    if (dird_shutdown) break;
    time_t now = RefreshCurrentTime();
    if (AccessLogCycleDue(now)) CycleAccessLog(now);
    if (n == 0) continue;
    idle.synced = 0;
    AcceptReady(table, set, regular, secure, now);
  }
}

// Waits until `count` reads 0 or `deadline` passes (never when deadline is
// the epoch); true when it reached 0.
template <typename Lock>
bool WaitForZero(Lock& lock, const int& count, std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<Lock> held(lock);
  while (count > 0) {
    if (deadline.time_since_epoch().count() != 0 && std::chrono::steady_clock::now() >= deadline) return false;
    held.unlock();
    SleepMs(100);
    held.lock();
  }
  return true;
}

// Shutdown of the connections: running operations get kDrainSeconds to
// finish; then every connection's socket is shut down (which wakes a thread
// blocked reading or writing) and the threads are waited for.
void DrainConnections(Connection* table) {
  Globals* g = g_globals;
  {
    SpinningGuard lock(g->operationCountLock);
    LogError(EVENTLOG_VERBOSE, "Waiting for %d operations to complete.", g->activeOperations);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kDrainSeconds);
  if (!WaitForZero(g->operationCountLock, g->activeOperations, deadline))
    LogError(EVENTLOG_WARNING, "Operations still running after %d seconds; closing their connections.",
             kDrainSeconds);
  bool threadsLeft;
  {
    MutexGuard lock(g->threadCountLock);
    threadsLeft = g->iActiveThreads > 0;
  }
  if (threadsLeft) {
    SleepMs(100);
    MutexGuard tableLock(g->connectionTableLock);
    for (int i = g->highestSlot; i >= 0; --i) CloseConnectionLocked(&table[i], table[i].c_connid, -2);
  }
  {
    MutexGuard lock(g->threadCountLock);
    LogError(EVENTLOG_VERBOSE, "Waiting for %d threads to terminate.", g->iActiveThreads);
  }
  WaitForZero(g->threadCountLock, g->iActiveThreads, {});
  for (int i = 0; i < g->maxConnections; ++i) JoinSlotThread(&table[i]);
}

}  // namespace

int daemon(int /*port*/) {
  Debug(LDAP_DEBUG_TRACE, "=> daemon\n");
  Globals* g = g_globals;
  int regular = -1, secure = -1;
  std::unique_ptr<Connection[]> table;
  SocketSetPtr set;

  auto fail = [&]() {
    KRYSocketsCleanup();
    g_daemonResult = 1;
    if (g_daemonStarted) g_daemonStarted->Release();
    Debug(LDAP_DEBUG_TRACE, "<= daemon, rc=%d\n", 1);
    return 1;
  };

  if (KRYSocketsInit() != 0) {
    LogError(EVENTLOG_ERROR, "Initializing TCP/IP failed.");
    g_daemonResult = 1;
    if (g_daemonStarted) g_daemonStarted->Release();
    return 1;
  }
  g->maxConnections = g->MaxConnections;
  RaiseDescriptorLimit(g->maxConnections);
  table.reset(new (std::nothrow) Connection[g->maxConnections]);
  if (!table) {
    LogError(EVENTLOG_ERROR, "Out of memory.");
    return fail();
  }
  g->highestSlot = -1;
  set.reset(KRYNewSocketSet(0));
  if (!set) {
    LogError(EVENTLOG_ERROR, "Creating a socket event failed with error %d (%s)", ENOMEM,
             KRYSocketsErrorText(ENOMEM).c_str());
    return fail();
  }
  if (!OpenListeners(&regular, &secure)) {
    Debug(LDAP_DEBUG_TRACE, "krycertd shutting down - waiting for backends to close down\n");
    return fail();
  }

  g_connections = table.get();
  g_wakePort = g->Port != 0 ? g->Port : g->SecurePort;
  Debug(LDAP_DEBUG_ANY, "krycertd starting\n");
  RefreshRegistrySettings(*g, &g_registrySettings);
  WriteRegistrySettings(g_registrySettings);
  g_daemonResult = 0;
  if (g_daemonStarted) g_daemonStarted->Release();

  ListenLoop(table.get(), set.get(), regular, secure);

  // Drain: listening sockets, running operations, then connection threads.
  g_wakePort = 0;
  if (regular >= 0) KRYCloseSocket(regular);
  if (secure >= 0) KRYCloseSocket(secure);
  DrainConnections(table.get());
  Debug(LDAP_DEBUG_TRACE, "krycertd shutting down - waiting for backends to close down\n");
  g_connections = nullptr;
  table.reset();
  KRYSocketsCleanup();
  Debug(LDAP_DEBUG_ANY, "krycertd stopping\n");
  g_daemonResult = 0;
  Debug(LDAP_DEBUG_TRACE, "<= daemon, rc=%d\n", 0);
  return 0;
}

}  // namespace kry
