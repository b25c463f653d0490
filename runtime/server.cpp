// The server's main routine: start-up in a fixed order, the command port,
// shutdown and the final release in reverse order.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "back-ldbm/backend.h"
#include "back-ldbm/recover.h"
#include "cert/complete.h"
#include "cert/keydigests.h"
#include "cert/keysets.h"
#include "cert/policy_init.h"
#include "config/config.h"
#include "config/paths.h"
#include "config/settings.h"
#include "hkp/hkp.h"
#include "ldap/sockbuf.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "platform/net/krynet.h"
#include "platform/pgp/kry.h"
#include "runtime/cmdport.h"
#include "runtime/daemon.h"
#include "runtime/globals.h"
#include "runtime/options.h"
#include "runtime/process.h"
#include "runtime/serverkey.h"
#include "runtime/startup_hooks.h"
#include "util/strutil.h"

namespace kry {

RegistrySettings g_registrySettings;

namespace {

const char kBanner[] = "KRY Certificate Server (NT) 2.5.1";

std::string ResolveAgainst(const std::string& base, const std::string& path) {
  if (path.empty() || path[0] == '/' || base.empty()) return path;
  return base + (base.back() == '/' ? "" : "/") + path;
}

// What start-up built, released in reverse order on every exit path.
struct ServerState {
  Options opts;
  std::string baseDir;
  std::string programName;
  bool keyLibInit = false, netLibInit = false, uiLibInit = false;
  bool socketsInit = false;
  std::unique_ptr<DBLock> dbLock;
  int commandSocket = -1;
  std::unique_ptr<Semaphore> daemonStarted;
  bool listenerStarted = false;
};

// Shutdown and final release; returns `result`.
int Finish(ServerState& st, int result) {
  Globals* g = g_globals;
  // Shutdown.
  if (st.commandSocket >= 0) {
    KRYCloseSocket(st.commandSocket);
    st.commandSocket = -1;
  }
  StopHkpListener();
  if (g && g->listenerThread.joinable()) {
    if (!dird_shutdown) {
      dird_shutdown = 1;
      WakeListener();
    }
    g->listenerThread.join();
  }
  // Final release.
  g_daemonStarted = nullptr;
  st.daemonStarted.reset();
  if (st.socketsInit) KRYSocketsCleanup();
  if (g) {
    backend_close_all(g->backends);
    if (g->keyContext) {
      ReleaseStartupKeys();
      KRYFreeContext(static_cast<KRYContextRef>(g->keyContext));
      g->keyContext = nullptr;
    }
    ReleaseGlobals(&g_globals);
  }
  ErrorLogClose();
  UnlockDBs(&st.dbLock);
  if (st.keyLibInit) KRYsdkCleanup();
  if (st.netLibInit) KRYsdkNetworkLibCleanup();
  if (st.uiLibInit) KRYsdkUILibCleanup();
  g_daemonResult = result;
  Debug(LDAP_DEBUG_TRACE, "<= main, rc=%d\n", result);
  return result;
}

// Each start-up step returns kContinue, or the process's exit code after
// the step has reported why start-up ends there.
constexpr int kContinue = -1;

// Settings file, working directory, error log and command-line options.
int ReadStartupOptions(ServerState& st, int argc, char** argv) {
  Globals* g = g_globals;
  // Settings file: configuration path and the ports as decimal text.
  ClearRegistrySettings(&g_registrySettings);
  ReadRegistrySettings(&g_registrySettings);
  ApplyRegistrySettings(g_registrySettings, g);

  if (GetCurrentDir(&st.baseDir) != 0) return 1;

  ErrorLogInit("krycertd", g->LogLevel, g->Port, 1);
  dird_shutdown = 0;

  st.programName = ProgramName(argc > 0 ? argv[0] : "krycertd");
  std::vector<std::string> args(argv, argv + argc);
  switch (ParseOptions(args, st.programName, &st.opts)) {
    case OptionsResult::kOk: break;
    case OptionsResult::kExit0: return 0;
    case OptionsResult::kExit1: return 1;
  }
  Options& o = st.opts;
  if (o.noSignatureCheck) g->checkSignatures = false;
  if (o.debugGiven) {
    g_debugLevel = o.debugLevel;
    g_berDebug = static_cast<int>(o.debugLevel & 0x10);
    UpdateErrorLogValues(-1, -1, 1);
  }
  if (!o.configFile.empty()) g->configFile = ResolveAgainst(st.baseDir, o.configFile);
  if (o.port == -1 && o.securePort > 0) UpdateErrorLogValues(-1, o.securePort, -1);
  if (g->configFile.empty()) g->configFile = ResolveAgainst(st.baseDir, "krycertd.cfg");
  if (serviceMode && !o.checkOnly && !o.createDatabases) o.startServer = true;
  return kContinue;
}

// The key library's three parts and the server's key-library context.
int InitKeyLibrary(ServerState& st) {
  Debug(LDAP_DEBUG_TRACE, "%s\n", kBanner);
  int rc = KRYsdkInit(0);
  if (rc == 0) st.keyLibInit = true;
  else LogError(EVENTLOG_ERROR, "Initializing the KRYsdk failed with error: %s", LibraryErrorText(rc).c_str());
  rc = KRYsdkNetworkLibInit(0);
  if (rc == 0) st.netLibInit = true;
  else LogError(EVENTLOG_ERROR, "Initializing the KRYsdk failed with error: %s", LibraryErrorText(rc).c_str());
  rc = KRYsdkUILibInit();
  if (rc == 0) st.uiLibInit = true;
  else LogError(EVENTLOG_ERROR, "Initializing the KRYsdk failed with error: %s", LibraryErrorText(rc).c_str());
  if (!st.keyLibInit || !st.netLibInit || !st.uiLibInit) return 1;

  KRYContextRef ctx = nullptr;
  rc = KRYNewContext(kKRYsdkAPIVersion, &ctx);
  if (rc != 0) {
    LogError(EVENTLOG_ERROR, "Initializing KRYsdk failed with error: %s", LibraryErrorText(rc).c_str());
    return 1;
  }
  g_globals->keyContext = ctx;
  return kContinue;
}

// The command pass and the main pass of the configuration file; *nonFatal
// is set when the main pass found errors that a service start survives.
int ReadConfiguration(ServerState& st, Backend* be, bool* nonFatal) {
  Globals* g = g_globals;
  const Options& o = st.opts;
  g->PrivateKeyRing = ResolveAgainst(st.baseDir, "../etc/KRYcertd-secring.skr");
  g->PublicKeyRing = ResolveAgainst(st.baseDir, "../etc/KRYcertd-pubring.pkr");

  Backend* cfgBackend = be;
  if (ReadCommand(g->configFile.c_str(), &cfgBackend, o.commandPort == -1 ? 0 : o.commandPort) != 0) {
    LogError(EVENTLOG_ERROR, "Required parameters not defined.  Server not started.");
    return 1;
  }
  if (!(o.checkOnly && serviceMode)) {
    int crc = ReadConfig(g->configFile.c_str(), &cfgBackend, nullptr, o.port, o.securePort,
                         o.commandTimeout == -1 ? 0 : o.commandTimeout);
    if (crc == 2 || (crc == 1 && !serviceMode)) {
      LogError(EVENTLOG_ERROR, "Errors processing configuration file.  Server not started.");
      return 1;
    }
    if (crc == 1) {
      *nonFatal = true;
      LogError(EVENTLOG_WARNING,
               "Non fatal error parsing configuration file.  Server not stated.  Check Event Viewer for additional "
               "info.\n");
    }
  }
  g_berMaxMessageSize = g->MaxMessageSize;
  // Socket waits of the connections (300 s); tests shorten them.
  if (const char* t = std::getenv("KRYCERTD_IO_TIMEOUT_MS")) {
    long ms = AtoiSaturating(t);
    if (ms > 0) g_berSocketTimeoutMs = static_cast<int>(ms);
  }
  return kContinue;
}

// Replication log, log cycling, database creation (-c), the database lock
// and the server's policies; ends here after -c and after a check (-k).
int PrepareDatabases(ServerState& st, Backend* be) {
  const Options& o = st.opts;
  if (o.checkOnly) be->checkMode = true;
  ldbm_set_recovery_finisher(CompleteInterruptedAdds);
  if (InitReplicationLog() != 0) {
    LogError(EVENTLOG_ERROR, "Initializing the replication system failed.");
    return 1;
  }
  if (InitLogCycling() != 0) return 1;

  if (o.createDatabases && !serviceMode) {
    int created = CreateDatabases(be);
    if (created < 0) return 1;
    if (created > 0) LogError(EVENTLOG_INFO, "Databases initialized.");
    else LogError(EVENTLOG_INFO, "The entire database already exists.");
    dird_shutdown = 1;
    return 0;
  }

  if (o.recoverDatabases && !serviceMode) return RecoverDatabasesCommand(be);

  if (o.startServer && !o.checkOnly) {
    if (LockDBs(be, &st.dbLock) != 0 && !serviceMode) return 1;
  }
  int prc = InitServerPolicies();
  if (prc != 0) {
    std::string text = prc == -1 ? "See earlier messages" : LibraryErrorText(prc);
    LogError(EVENTLOG_ERROR, "Initializing the server's policies failed with error: %s.", text.c_str());
    return 1;
  }
  if (o.checkOnly && !serviceMode) {
    LogError(EVENTLOG_ERROR, "No errors processing configuration file.");
    dird_shutdown = 1;
    return 0;
  }
  return kContinue;
}

// TCP/IP, the command port's socket and the secure-mode check.
int OpenCommandSocket(ServerState& st) {
  Globals* g = g_globals;
  if (KRYSocketsInit() != 0) {
    LogError(EVENTLOG_ERROR, "Initializing TCP/IP failed.");
    return 1;
  }
  st.socketsInit = true;

  if (g->CommandPort == 0) g->CommandPort = 4000;
  if (g->CommandTimeout == 0) g->CommandTimeout = 10;
  if ((g->Port != 0 && g->Port == g->CommandPort) ||
      (g->SecurePort != 0 && g->SecurePort == g->CommandPort && g->SecureMode != SECURE_DISABLED)) {
    LogError(EVENTLOG_ERROR, "The regular port and the secure port cannot have the same value as the command port.");
    return 1;
  }

  int sock = -1;
  int rc = CreateDaemonSocket(g->CommandPort, 0, &sock);
  if (rc != 0) {
    LogError(EVENTLOG_ERROR, "Opening a TCP/IP socket failed with error %d (%s)", rc, KRYSocketsErrorText(rc).c_str());
    return 1;
  }
  st.commandSocket = sock;
  return kContinue;
}

// The server key and its passphrase when TLS is on (its certificate made
// here, so that a key TLS cannot use stops start-up), the entropy check,
// and the console's key while TLS is off.
int PrepareServerKey(ServerState& st) {
  Globals* g = g_globals;
  if (ConfigurePassphraseSource() != 0) {
    LogError(EVENTLOG_ERROR, "Could not retrieve LDAPS signing key");
    return 1;
  }
  if (g->SecureMode != SECURE_DISABLED) {
    int rc = SelectServerKey(static_cast<KRYContextRef>(g->keyContext), g->ServerSecureKeyID, g_policy.keyrings,
                             st.opts.startServer, &g->SecureMode, &g->serverKeyID, &g->passphrase);
    if (rc != 0 && rc != kKRYError_UserAbort && rc != kKRYError_NoPrivateKey) {
      LogError(EVENTLOG_ERROR, "Could not retrieve LDAPS signing key");
      return 1;
    }
    if (g->SecureMode != SECURE_DISABLED && PrepareServerCertificate() != 0) return 1;
  }
  if (GatherEntropy(&g->SecureMode) != 0) return 1;
  if (!st.opts.debugGiven) UpdateErrorLogValues(-1, -1, 0);
  if (g->SecureMode == SECURE_DISABLED && !g->ServerSecureKeyID.empty() && PrepareIdleServerKey() != 0) {
    LogError(EVENTLOG_ERROR, "Out of memory!");
    return 1;
  }
  return kContinue;
}

// Starts the listener thread and waits until it listens or has failed.
int StartListener(ServerState& st, Backend* be, bool nonFatalConfigErrors) {
  Globals* g = g_globals;
  if (!st.opts.startServer) return kContinue;
  if (CheckRequiredDBs(be) != 0) {
    LogError(EVENTLOG_ERROR,
             "All required databases do not exist. Use the \"Create Database\" button to create them.");
    return serviceMode ? kContinue : 1;
  }
  if (nonFatalConfigErrors) return kContinue;
  if (RecoverDatabasesIfUnclean(be) != 0) return serviceMode ? kContinue : 1;
  if (ApplyBlockList(be) != 0) return serviceMode ? kContinue : 1;
  StampMissingKeyDigests(be);
  int port = g->Port;
  if (!StartThread(&g->listenerThread, [port] { daemon(port); })) {
    LogError(EVENTLOG_ERROR, "Creating daemon thread failed.");
    g_serverRunning = false;
    return serviceMode ? kContinue : 1;
  }
  g_daemonStarted->Acquire();
  if (g_daemonResult != 0) {
    LogError(EVENTLOG_WARNING, "Unable to autostart server!");
    g_serverRunning = false;
    g->listenerThread.join();
    return serviceMode ? kContinue : 1;
  }
  g_serverRunning = true;
  StartHkpListener();
  return kContinue;
}

}  // namespace

int ServerMain(int argc, char** argv) {
  ServerState st;
  Debug(LDAP_DEBUG_TRACE, "=> main\n");

  if (InitGlobals(&g_globals) != 0) return 1;
  Globals* g = g_globals;

  int rc = ReadStartupOptions(st, argc, argv);
  if (rc != kContinue) return Finish(st, rc);

  Backend* be = backend_new("ldbm", g->backends);
  if (!be) {
    LogError(EVENTLOG_ERROR, "Out of memory.");
    return Finish(st, 1);
  }
  bool nonFatalConfigErrors = false;
  if ((rc = InitKeyLibrary(st)) != kContinue || (rc = ReadConfiguration(st, be, &nonFatalConfigErrors)) != kContinue ||
      (rc = PrepareDatabases(st, be)) != kContinue)
    return Finish(st, rc);

  st.daemonStarted = std::make_unique<Semaphore>(0, 1);
  g_daemonStarted = st.daemonStarted.get();
  if ((rc = OpenCommandSocket(st)) != kContinue) return Finish(st, rc);

  if ((rc = PrepareServerKey(st)) != kContinue) return Finish(st, rc);

  if ((rc = StartListener(st, be, nonFatalConfigErrors)) != kContinue) return Finish(st, rc);

  return Finish(st, ServeCommandPort(&st.commandSocket));
}

}  // namespace kry
