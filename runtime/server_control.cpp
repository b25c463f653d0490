#include "runtime/server_control.h"

#include <atomic>
#include <string>
#include <thread>

#include "back-ldbm/backend.h"
#include "back-ldbm/recover.h"
#include "cert/keydigests.h"
#include "cert/keysets.h"
#include "config/config.h"
#include "hkp/hkp.h"
#include "ldap/sockbuf.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "runtime/daemon.h"
#include "runtime/globals.h"
#include "runtime/serverkey.h"
#include "runtime/startup_hooks.h"
#include "util/strutil.h"
#include "util/thread.h"

namespace kry {

namespace {

std::atomic<bool> g_stopInProgress{false};
std::thread g_stopThread;
Semaphore g_stopThreadStarted(0, 1);

void JoinStopThread() {
  if (g_stopThread.joinable()) g_stopThread.join();
}

// Settings rebuilt from the configuration file, keeping what only start-up
// knows (configuration path, server key, passphrase). 0, or 1 after logging
// the cause.
int RebuildSettings() {
  Globals* g = g_globals;
  std::string configFile = g->configFile;
  std::vector<uint8_t> serverKeyID = g->serverKeyID;
  std::string passphrase = g->passphrase;

  backend_close_all(g->backends);
  ReleaseStartupKeys();
  ResetGlobals(g);
  ErrorLogInit("krycertd", g->LogLevel, g->Port, 1);
  g->configFile = configFile;
  g->serverKeyID = serverKeyID;
  g->passphrase = passphrase;

  Backend* be = backend_new("ldbm", g->backends);
  if (!be) {
    LogError(EVENTLOG_ERROR, "Out of memory.");
    return 1;
  }
  if (ReadConfig(g->configFile.c_str(), &be, nullptr, 0, 0, 0) != 0) {
    LogError(EVENTLOG_ERROR, "Errors processing configuration file.  Server not started.");
    return 1;
  }
  g_berMaxMessageSize = g->MaxMessageSize;
  if (InitReplicationLog() != 0) {
    LogError(EVENTLOG_ERROR, "Unable to Initialize RepLogFile on start or restart.");
    return 1;
  }
  if (InitLogCycling() != 0) return 1;
  if (CheckRequiredDBs(be) != 0) {
    LogError(EVENTLOG_ERROR,
             "All required databases do not exist. Use the \"Create Database\" button to create them.");
    return 1;
  }
  // Databases left by an unclean stop are rebuilt before the server starts.
  if (RecoverDatabasesIfUnclean(be) != 0) return 1;
  if (ApplyBlockList(be) != 0) return 1;
  StampMissingKeyDigests(be);
  int prc = InitServerPolicies();
  if (prc != 0) {
    std::string text = prc == -1 ? "See earlier messages" : LibraryErrorText(prc);
    LogError(EVENTLOG_ERROR, "Initializing the server's policies failed with error: %s.", text.c_str());
    return 1;
  }
  return 0;
}

// A port text of the start parameters: -1 when it is not a port number.
long PortFromText(const std::string& text) {
  if (text.empty()) return 0;
  if (!IsSignedDigits(text)) return -1;
  long v = AtoiSaturating(text);
  return v < 0 || v > 65535 ? -1 : v;
}

// Applies the ports and the signature flag; 0, or 1 after logging.
int ApplyStartParams(const StartParams& p) {
  Globals* g = g_globals;
  long port = p.keepPort ? (g->Port != 0 ? g->Port : 389) : PortFromText(p.port);
  long secure = p.keepSecurePort ? (g->SecurePort != 0 ? g->SecurePort : 636) : PortFromText(p.securePort);
  bool bad = port < 0 || secure < 0 || (port == 0 && secure == 0);
  if (!bad && port == secure) {
    LogError(EVENTLOG_ERROR, "Error: Unsecure port and secure port cannot be the same!");
    bad = true;
  }
  if (bad) {
    LogError(EVENTLOG_ERROR, "Invalid server start parameter, unable to start server!");
    return 1;
  }
  g->Port = static_cast<int>(port);
  g->SecurePort = static_cast<int>(secure);
  g->checkSignatures = !p.noSignatureCheck;
  if (g->SecurePort != 0 && g->SecureMode == SECURE_DISABLED) {
    LogError(EVENTLOG_ERROR, "Secure port disabled.");
    return 1;
  }
  // The key is prepared once; later starts keep it and never ask again.
  if (g->SecurePort != 0 && g->serverKeyID.empty() && PrepareConsoleStartKey() != 0) return 1;
  if (g->SecurePort != 0 && PrepareServerCertificate() != 0) return 1;
  return 0;
}

int StartListener() {
  Globals* g = g_globals;
  int port = g->Port;
  try {
    g->listenerThread = std::thread([port] { daemon(port); });
  } catch (...) {
    LogError(EVENTLOG_ERROR, "Creating daemon thread failed.");
    return 1;
  }
  if (g_daemonStarted) g_daemonStarted->Acquire();
  if (g_daemonResult != 0) {
    LogError(EVENTLOG_WARNING, "Unable to start daemon!");
    g->listenerThread.join();
    return 1;
  }
  return 0;
}

}  // namespace

bool DirectoryServerRunning() { return g_serverRunning; }
bool DirectoryServerStopping() { return g_stopInProgress; }

StartReply StartDirectoryServer(const StartParams& params) {
  Debug(LDAP_DEBUG_TRACE, "=> StartDirectoryServer\n");
  StartReply reply;
  reply.status = kConsoleStartFailed;
  Globals* g = g_globals;
  if (g_stopInProgress) {
    // Clearing dird_shutdown now would keep the stopping listener running
    // and the stop thread waiting for it for ever.
    LogError(EVENTLOG_WARNING, "The server is still stopping; start it again once the stop has finished.");
  } else if (g_serverRunning) {
    dird_shutdown = 0;
    reply.status = kConsoleOk;
  } else {
    dird_shutdown = 0;
    JoinStopThread();
    if (RebuildSettings() == 0 && ApplyStartParams(params) == 0 && StartListener() == 0) {
      reply.status = kConsoleOk;
      g_serverRunning = true;
      StartHkpListener();
    }
  }
  reply.port = static_cast<uint16_t>(g->Port);
  reply.securePort = static_cast<uint16_t>(g->SecurePort);
  return reply;
}

bool StopDirectoryServer(int* result) {
  if (g_serverRunning && !dird_shutdown && !g_stopInProgress) {
    dird_shutdown = 1;
    WakeListener();
    g_stopInProgress = true;
    JoinStopThread();
    g_stopThread = std::thread([] {
      g_stopThreadStarted.Release();
      StopHkpListener();
      if (g_globals->listenerThread.joinable()) g_globals->listenerThread.join();
      g_serverRunning = false;
      g_stopInProgress = false;
    });
    g_stopThreadStarted.Acquire();
    // The command that began the stop always hears "in progress"; the
    // listener's result comes with the next one.
    return true;
  }
  if (g_stopInProgress) return true;
  // The listener's result when this process stopped it; a server that was
  // not running has nothing to report.
  *result = g_stopThread.joinable() ? g_daemonResult.load() : 0;
  JoinStopThread();
  return false;
}

void ShutdownDirectoryServer() {
  // A stop under way ends first; its thread owns the listener's handle
  // until then.
  JoinStopThread();
  StopHkpListener();
  if (g_serverRunning) {
    if (!dird_shutdown) {
      dird_shutdown = 1;
      WakeListener();
    }
    if (g_globals->listenerThread.joinable()) g_globals->listenerThread.join();
    g_serverRunning = false;
  }
}

}  // namespace kry
