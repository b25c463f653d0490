#include "runtime/globals.h"

#include <new>

#include "ldap/entry.h"
#include "log/accesslog.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "util/clock.h"
#include "runtime/keycontext.h"

namespace kry {

Globals* g_globals = nullptr;
std::atomic<int> dird_shutdown{0};
bool serviceMode = true;

int InitGlobals(Globals** globals) {
  Debug(LDAP_DEBUG_TRACE, "=> InitGlobals\n");
  Globals* g = new (std::nothrow) Globals();
  if (!g) {
    LogError(EVENTLOG_ERROR, "Out of memory.");
    return 1;
  }
  g->startTime = ClockNow();
  g->currentTime.store(g->startTime, std::memory_order_relaxed);
  // The key library always offers RSA (algorithms 1, 2 and 3).
  g->rsaAvailable = true;
  *globals = g;
  return 0;
}

void ReleaseGlobals(Globals** globals) {
  if (!globals || !*globals) return;
  FreeKRYSDKCtxPool();
  entry_text_release();
  ResetAccessLog(*globals);
  delete *globals;
  *globals = nullptr;
}

void ResetGlobals(Globals* g) {
  // Settings that only the command pass reads survive a restart.
  int commandPort = g->CommandPort;
  uint16_t commandTimeout = g->CommandTimeout;
  std::string pub = g->PublicKeyRing, priv = g->PrivateKeyRing;
  int secureMode = g->SecureMode;
  KeyIDList allowCommand = g->allowCommand;
  std::vector<uint8_t> serverKey = g->ServerSecureKeyID;
  std::string passphraseFile = g->ServerKeyPassphraseFile;
  std::string configFile = g->configFile;
  void* keyContext = g->keyContext;
  std::vector<std::unique_ptr<Backend>> backends = std::move(g->backends);
  bool checkSignatures = g->checkSignatures;

  ErrorLogClose();
  entry_text_release();
  ResetAccessLog(g);
  // Blocks carry copies of the policy key sets, which a restart rebuilds.
  FreeKRYSDKCtxPool();
  // Rebuild every other field from its default without touching the locks,
  // which other threads may still reference.
  g->DefaultAccess = 16;
  g->accessList.clear();
  g->AccessLogDetails = 0xF8;
  g->AccessLogFile.clear();
  g->AccessLogMode = 0666;
  g->LogLevel = 4;
  g->PolicyFailures = POLICY_PENDING;
  g->MustSignAdds = false;
  g->TrimUsers = g->TrimSigs = g->TrimPhotoIDs = false;
  g->AcceptModernKeys = false;
  g->MaxKeyLength = 1048576;
  g->MaxPacketLength = 8192;
  g->MaxSigPacketLength = 65536;
  g->MaxSignatures = 10000;
  g->MaxSignaturesPerUserID = 1000;
  g->ServeOwnSignaturesOnly = false;
  g->BlockListFile.clear();
  g->MustSigID.clear();
  g->AllowSigID.clear();
  g->allowAdd.clear();
  g->allowDelete.clear();
  g->allowGroupUpdate.clear();
  g->selfDeleteAllowed = false;
  g->IdleSyncTimeout = 10;
  g->MaxMessageSize = 16777216;
  g->HKPPort = 0;
  g->HKPMaxConnections = 100;
  g->HKPMaxConnectionsPerAddress = 10;
  g->HKPMaxBodyBytes = 67108864;
  g->HKPRequestTimeout = 30;
  g->MaxConnections = 4096;
  g->MaxConnectionsPerAddress = 64;
  g->WKDDomains.clear();
  g->ReconPort = 0;
  g->ReconPartners.clear();
  g->ReconAllow.clear();
  g->ReconInterval = 60;
  for (RateSpec& r : g->rateLimits) r = RateSpec{};
  g->RateLimitTable = 65536;
  g->MetricsPort = 0;
  g->MetricsAddress = "127.0.0.1";
  g->SizeLimit = 500;
  g->TimeLimit = 300;
  g->Port = 389;
  g->SecurePort = 636;
  g->LookupHostname = true;
  g->CycleLogDay = CYCLE_NEVER;
  g->CycleLogTime = 1439;
  g->CycleLogKeep = 10;
  g->RandSeedFile.clear();
  g->RepLogFile.clear();
  g->serverKeyID.clear();
  g->passphrase.clear();
  g->maxConnections = 0;
  g->highestSlot = -1;
  g->iActiveThreads = 0;
  g->activeOperations = 0;
  g->opsInitiated = g->opsCompleted = g->entriesSent = g->bytesSent = 0;
  g->startTime = time(nullptr);

  g->CommandPort = commandPort;
  g->CommandTimeout = commandTimeout;
  g->PublicKeyRing = pub;
  g->PrivateKeyRing = priv;
  g->SecureMode = secureMode;
  g->allowCommand = allowCommand;
  g->ServerSecureKeyID = serverKey;
  g->ServerKeyPassphraseFile = passphraseFile;
  g->configFile = configFile;
  g->keyContext = keyContext;
  g->backends = std::move(backends);
  g->checkSignatures = checkSignatures;
  Debug(LDAP_DEBUG_TRACE, "<= ResetGlobals\n");
}

time_t GetCurrentTime() { return g_globals->currentTime.load(std::memory_order_relaxed); }

time_t RefreshCurrentTime() {
  const time_t now = ClockNow();
  g_globals->currentTime.store(now, std::memory_order_relaxed);
  return now;
}

}  // namespace kry
