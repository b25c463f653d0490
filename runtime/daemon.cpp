// The listener thread: accepts connections on the regular and secure ports,
// flushes the databases when idle and cycles the access log when due.
#include "runtime/daemon.h"

#include <sys/socket.h>
#include <unistd.h>

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
#include "log/trace.h"
#include "platform/net/krynet.h"
#include "runtime/connection.h"
#include "runtime/globals.h"
#include "runtime/process.h"

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
             SocketErrorText(code).c_str());
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

template <typename Fn>
bool StartSlotThread(Connection* c, Fn fn) {
  try {
    c->c_thread = std::thread(fn);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

std::string SocketErrorText(int code) {
  char buf[200];
  KRYGetSocketsErrorString(code, buf, sizeof buf);
  return buf;
}

int CreateDaemonSocket(int port, int /*secure*/, int* socketOut) {
  *socketOut = -1;
  KRYSocketRef s = KRYOpenSocket(kKRYAddressFamilyInternet, kKRYSocketTypeStream, kKRYProtocolTCP);
  if (s == kKRYInvalidSocket) {
    int code = KRYGetLastSocketsError();
    LogError(EVENTLOG_ERROR, "Creating socket failed with error %d (%s)", code, SocketErrorText(code).c_str());
    return code;
  }
  int one = 1;
  if (KRYSetSocketOptions(s, kKRYSocketLevel, kKRYSocketReuseAddress, &one, 4) != 0) {
    int code = KRYGetLastSocketsError();
    LogError(EVENTLOG_ERROR, "Setting socket option failed with error %d (%s)", code, SocketErrorText(code).c_str());
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
             static_cast<unsigned short>(port), code, SocketErrorText(code).c_str());
    KRYCloseSocket(s);
    return code;
  }
  if (KRYListen(s, 5) != 0) {
    int code = KRYGetLastSocketsError();
    LogError(EVENTLOG_ERROR, "Listening on socket failed with error %d (%s)", code, SocketErrorText(code).c_str());
    KRYCloseSocket(s);
    return code;
  }
  *socketOut = s;
  return 0;
}

int AddNewConnection(Connection* table, int listenSocket, int secure, long now, Connection** connOut) {
  Debug(LDAP_DEBUG_TRACE, "=> AddNewConnection\n");
  Globals* g = g_globals;
  MutexGuard tableLock(g->connectionTableLock);
  int slot = -1;
  for (int i = 0; i < g->maxConnections; ++i) {
    if (table[i].c_sb.sd.load() == -1) {
      slot = i;
      break;
    }
  }
  if (slot < 0) {
    if (!g_tableFull || now - g_lastFullWarning >= kFullWarningSeconds) {
      LogError(EVENTLOG_WARNING, "Exceeded maximum number of connections (%d).  New connection rejected. ",
               g->maxConnections);
      g_lastFullWarning = now;
    }
    g_tableFull = true;
    return 1;
  }
  g_tableFull = false;

  KRYSocketAddress peer;
  int len = sizeof peer;
  KRYSocketRef s = KRYAccept(listenSocket, &peer, &len);
  if (s == kKRYInvalidSocket) {
    int code = KRYGetLastSocketsError();
    LogError(EVENTLOG_WARNING, "TCP/IP accept failed with error %d (%s)", code, SocketErrorText(code).c_str());
    return 1;
  }
  LogError(EVENTLOG_VERBOSE, "New connection on socket %d.", s);

  Connection* c = &table[slot];
  ResetSlotForNewConnection(c);
  c->c_sb.options = SOCKBUF_OPTION_NO_READ_AHEAD;
  sockbuf_reset(&c->c_sb, s);
  if (slot > g->highestSlot) g->highestSlot = slot;
  {
    MutexGuard counters(g->countersLock);
    c->c_connid = g->nextConnectionID++;
  }
  GetClientAddrInfo(peer.address, &c->c_addr, &c->c_domain, &c->c_hasDomain);
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
  if (!StartSlotThread(conn, [conn] { connection_activity(conn); })) {
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
  // its context; the thread gives the block back itself when it ends.
  if (opID != -2) ReleaseKRYSDKCtx(&conn->c_keyContext);
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
  if (opID != -2) {
    conn->c_tlsSession = nullptr;
    conn->c_tlsContext = nullptr;
  }
  conn->c_version = 0;
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

int daemon(int /*port*/) {
  Debug(LDAP_DEBUG_TRACE, "=> daemon\n");
  Globals* g = g_globals;
  int result = 1;
  int regular = -1, secure = -1;
  std::unique_ptr<Connection[]> table;
  SocketSetPtr set;

  auto finish = [&](int rc) {
    if (rc == 0) return rc;
    g_daemonResult = rc;
    if (g_daemonStarted) g_daemonStarted->Release();
    Debug(LDAP_DEBUG_TRACE, "<= daemon, rc=%d\n", rc);
    return rc;
  };

  if (KRYSocketsInit() != 0) {
    LogError(EVENTLOG_ERROR, "Initializing TCP/IP failed.");
    return finish(1);
  }
  g->maxConnections = kMaxConnections;
  table.reset(new (std::nothrow) Connection[kMaxConnections]);
  if (!table) {
    LogError(EVENTLOG_ERROR, "Out of memory.");
    KRYSocketsCleanup();
    return finish(1);
  }
  g->highestSlot = -1;
  set.reset(KRYNewSocketSet(0));
  if (!set) {
    LogError(EVENTLOG_ERROR, "Creating a socket event failed with error %d (%s)", ENOMEM,
             SocketErrorText(ENOMEM).c_str());
    KRYSocketsCleanup();
    return finish(1);
  }

  bool startFailed = false;
  if (g->Port != 0) {
    int rc = CreateDaemonSocket(g->Port, 0, &regular);
    if (rc != 0) {
      LogError(EVENTLOG_ERROR, "Opening a TCP/IP socket failed with error %d (%s)", rc, SocketErrorText(rc).c_str());
      startFailed = true;
    }
  }
  if (!startFailed && g->SecureMode != SECURE_DISABLED) {
    int rc = CreateDaemonSocket(g->SecurePort, 1, &secure);
    if (rc != 0) {
      LogError(EVENTLOG_ERROR, "Opening a TCP/IP socket failed with error %d (%s)", rc, SocketErrorText(rc).c_str());
      startFailed = true;
    }
  }
  if (!startFailed && g->Port == 0 && g->SecureMode == SECURE_DISABLED) {
    LogError(EVENTLOG_ERROR, "Unsecure and secure ports disabled, server not started!\n");
    startFailed = true;
  }
  if (startFailed) {
    if (regular >= 0) KRYCloseSocket(regular);
    if (secure >= 0) KRYCloseSocket(secure);
    Debug(LDAP_DEBUG_TRACE, "krycertd shutting down - waiting for backends to close down\n");
    KRYSocketsCleanup();
    return finish(1);
  }

  g_connections = table.get();
  g_wakePort = g->Port != 0 ? g->Port : g->SecurePort;
  Debug(LDAP_DEBUG_ANY, "krycertd starting\n");
  RefreshRegistrySettings(*g, &g_registrySettings);
  WriteRegistrySettings(g_registrySettings);
  g_daemonResult = 0;
  if (g_daemonStarted) g_daemonStarted->Release();

  int synced = 1;
  uint16_t idleTime = 0;
  while (!dird_shutdown) {
    KRYClearSocketSet(set.get());
    if (regular >= 0) KRYAddToSocketSet(set.get(), regular, kKRYSocketSetRead);
    if (secure >= 0) KRYAddToSocketSet(set.get(), secure, kKRYSocketSetRead);
    {
      MutexGuard lock(g->threadCountLock);
      Debug(LDAP_DEBUG_CONNS, "before select iActiveThreads %d\n", g->iActiveThreads);
    }
    long waitMs = -1;
    if (g->IdleSyncTimeout != 0 && synced == 0) waitMs = static_cast<long>(g->IdleSyncTimeout) * 1000;
    else if (g->CycleLogDay != CYCLE_NEVER) waitMs = 60 * 1000;

    int n = KRYSelect(set.get(), waitMs);
    if (n < 0) {
      if (!dird_shutdown) {
        int code = KRYGetLastSocketsError();
        LogError(EVENTLOG_VERBOSE, "TCP/IP select failed with error %d (%s)", code, SocketErrorText(code).c_str());
      }
      continue;
    }
    if (n == 0) {
      int active;
      {
        MutexGuard lock(g->operationCountLock);
        active = g->activeOperations;
      }
      if (active != 0) {
        idleTime = static_cast<uint16_t>(idleTime + g->IdleSyncTimeout);
        if (idleTime > g->TimeLimit) {
          idleTime = 0;
          if (synced == 0) {
            backend_sync_all(g->backends);
            synced = 1;
          }
        }
      } else if (idleTime != 0) {
        idleTime = 0;
        backend_sync_all(g->backends);
        synced = 1;
      } else if (synced == 0) {
        backend_sync_all(g->backends);
        synced = 1;
      }
    }
    if (dird_shutdown) break;
    time_t now = RefreshCurrentTime();
    if (AccessLogCycleDue(now)) CycleAccessLog(now);
    if (n == 0) continue;
    synced = 0;
    struct Listening {
      int sd;
      int secure;
    } sockets[2] = {{regular, 0}, {secure, 1}};
    for (const Listening& l : sockets) {
      if (l.sd < 0) continue;
      if (KRYTestSocketSet(set.get(), l.sd) == 0) continue;
      Connection* conn = nullptr;
      if (AddNewConnection(table.get(), l.sd, l.secure, now, &conn) == 0) LaunchConnectionThread(conn);
    }
    if (g_tableFull) SleepMs(kFullRetryMs);
  }

  // Drain: listening sockets, running operations, then connection threads.
  g_wakePort = 0;
  if (regular >= 0) KRYCloseSocket(regular);
  if (secure >= 0) KRYCloseSocket(secure);
  {
    MutexLock lock(g->operationCountLock);
    LogError(EVENTLOG_VERBOSE, "Waiting for %d operations to complete.", g->activeOperations);
    while (g->activeOperations > 0) {
      lock.unlock();
      std::this_thread::yield();
      SleepMs(100);
      lock.lock();
    }
  }
  {
    MutexLock lock(g->threadCountLock);
    if (g->iActiveThreads > 0) {
      lock.unlock();
      SleepMs(100);
      MutexGuard tableLock(g->connectionTableLock);
      for (int i = g->highestSlot; i >= 0; --i) CloseConnectionLocked(&table[i], table[i].c_connid, -2);
      lock.lock();
    }
    LogError(EVENTLOG_VERBOSE, "Waiting for %d threads to terminate.", g->iActiveThreads);
    while (g->iActiveThreads > 0) {
      lock.unlock();
      SleepMs(100);
      lock.lock();
    }
  }
  Debug(LDAP_DEBUG_TRACE, "krycertd shutting down - waiting for backends to close down\n");
  for (int i = 0; i < kMaxConnections; ++i) JoinSlotThread(&table[i]);
  g_connections = nullptr;
  table.reset();
  KRYSocketsCleanup();
  Debug(LDAP_DEBUG_ANY, "krycertd stopping\n");
  result = 0;
  g_daemonResult = result;
  Debug(LDAP_DEBUG_TRACE, "<= daemon, rc=%d\n", result);
  return result;
}

}  // namespace kry
