// The one process-wide record of settings, statistics, locks and handles.
// InitGlobals creates it with the defaults below; ResetGlobals restores the
// defaults of every setting the main configuration pass reads (the console's
// restart); ReleaseGlobals destroys it. Reached through g_globals.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "back-ldbm/backend.h"
#include "log/cycle.h"
#include "util/ratelimit.h"
#include "util/thread.h"

namespace kry {

struct AccessRule;

// SecureMode values.
enum SecureModeValue : int { SECURE_REQUIRED = 0, SECURE_OPTIONAL = 1, SECURE_DISABLED = 2 };

// Access-log descriptor states besides an open descriptor.
constexpr int kAccessLogClosed = -2;  // open at the next line
constexpr int kAccessLogFailed = -1;  // logging stopped after an error

// CycleLogDay values: 0 Sunday .. 6 Saturday, 7 daily, 8 never.
constexpr int CYCLE_DAILY = 7;
constexpr int CYCLE_NEVER = 8;

// Policy failures: 1 files a failing key as pending, 0 refuses it.
constexpr int POLICY_PENDING = 1;
constexpr int POLICY_ERROR = 0;

// Maximum number of MustSigID / AllowSigID groups.
constexpr int kMaxSigGroups = 100;

// A list of configured key IDs (text without "0x", 8 or 16 hex digits).
// Each configuration line prepends its IDs, so a list holds the IDs of a line
// in reverse order.
using KeyIDList = std::vector<std::string>;

struct Globals {
  // Signature checks (-a clears it).
  bool checkSignatures = true;

  // Key library main context (opaque handle of the key library).
  void* keyContext = nullptr;

  // Access.
  int DefaultAccess = 16;
  std::vector<std::shared_ptr<AccessRule>> accessList;  // ip/host rules in file order

  // Access log. The mask drops to 0 when logging fails; the descriptor
  // (accessLogLock) is kAccessLogClosed, kAccessLogFailed or open.
  std::atomic<uint32_t> AccessLogDetails{0xF8};
  std::string AccessLogFile;
  int AccessLogMode = 0666;
  int accessLogFd = kAccessLogClosed;

  // Event log.
  int LogLevel = 4;

  // Policy.
  int PolicyFailures = POLICY_PENDING;
  bool MustSignAdds = false;
  bool TrimUsers = false, TrimSigs = false, TrimPhotoIDs = false;
  // "AcceptModernKeys": store ECDSA (19) and EdDSA (22) primary keys too.
  bool AcceptModernKeys = false;
  // Size caps on a submitted key and on the merged result ("MaxKeyLength",
  // "MaxPacketLength", "MaxSigPacketLength", "MaxSignatures",
  // "MaxSignaturesPerUserID").
  uint64_t MaxKeyLength = 1048576;
  uint64_t MaxPacketLength = 8192;
  uint64_t MaxSigPacketLength = 65536;
  long MaxSignatures = 10000;
  long MaxSignaturesPerUserID = 1000;
  // "ServeSignatures self": served key blocks carry only their owner's
  // signatures (and those of its designated revokers).
  bool ServeOwnSignaturesOnly = false;
  // "BlockListFile": fingerprints added to the blocklist at start-up.
  std::string BlockListFile;
  std::vector<KeyIDList> MustSigID;   // one list per line, at most kMaxSigGroups
  std::vector<KeyIDList> AllowSigID;

  // Key-ID lists of the "Allow keyid" lines.
  KeyIDList allowAdd, allowDelete, allowGroupUpdate, allowCommand;
  bool selfDeleteAllowed = false;

  // Idle flush and limits.
  int IdleSyncTimeout = 10;
  int SizeLimit = 500;
  int TimeLimit = 300;
  // Largest incoming LDAP message in bytes ("MaxMessageSize", >= 1024).
  uint32_t MaxMessageSize = 16777216;
  // HKP listener: "HKPPort" (0: off) and "HKPMaxConnections".
  int HKPPort = 0;
  int HKPMaxConnections = 100;
  // Connections one client address may hold on the HKP port.
  int HKPMaxConnectionsPerAddress = 10;
  // Bytes all HKP request bodies in memory may hold together.
  uint64_t HKPMaxBodyBytes = 67108864;
  // Seconds an HKP request may take to arrive whole, from its first byte
  // (or the connection's start) to its last.
  int HKPRequestTimeout = 30;
  // Slots of the LDAP connection table, and how many of them one client
  // address may hold.
  int MaxConnections = 4096;
  int MaxConnectionsPerAddress = 64;
  // "RateLimit" lines, one rate per bucket (off when perSecond is 0), and
  // "RateLimitTable", the most client addresses the buckets are kept for.
  RateSpec rateLimits[kRateBuckets];
  int RateLimitTable = 65536;
  // Prometheus text endpoint: "MetricsPort" (0: off) on "MetricsAddress".
  int MetricsPort = 0;
  std::string MetricsAddress = "127.0.0.1";
  // Mail domains whose Web Key Directory the HKP port serves ("WKDDomain").
  std::vector<std::string> WKDDomains;
  // Key reconciliation with other keyservers: the port peers gossip to
  // ("ReconPort", 0: off), the peers gossiped with ("ReconPartner" lines),
  // addresses allowed to connect besides them ("ReconAllow" patterns, as
  // written in "Allow ip" lines) and the seconds between rounds.
  struct ReconPartnerSetting {
    std::string host;
    int reconPort = 0;
    int httpPort = 0;
  };
  int ReconPort = 0;
  std::vector<ReconPartnerSetting> ReconPartners;
  std::vector<std::string> ReconAllow;
  int ReconInterval = 60;

  // Ports.
  int Port = 389;
  int SecurePort = 636;
  int SecureMode = SECURE_DISABLED;
  int CommandPort = 4000;
  uint16_t CommandTimeout = 0;
  bool LookupHostname = true;

  // Log cycling.
  int CycleLogDay = CYCLE_NEVER;
  int CycleLogTime = 1439;
  int CycleLogKeep = 10;
  std::unique_ptr<CycleContext> cycleContext;

  // Files.
  std::string configFile;
  std::string PublicKeyRing, PrivateKeyRing, RandSeedFile;
  std::string RepLogFile;

  // Server key: the configured key ID (binary, 8 bytes when set; empty when
  // not configured), the chosen key's ID and its passphrase.
  std::vector<uint8_t> ServerSecureKeyID;
  std::vector<uint8_t> serverKeyID;
  std::string passphrase;
  // "ServerKeyPassphraseFile": where the server key's passphrase is read.
  std::string ServerKeyPassphraseFile;

  // Library capability.
  bool rsaAvailable = false;

  // Backends.
  std::vector<std::unique_ptr<Backend>> backends;

  // Runtime (listener and connections).
  int maxConnections = 0;
  int highestSlot = -1;
  uint32_t nextConnectionID = 0;
  int iActiveThreads = 0;
  int activeOperations = 0;
  std::atomic<time_t> currentTime{0};  // read on every request, so without a lock
  time_t startTime = 0;

  // Statistics, counted without a lock on every request.
  std::atomic<uint64_t> opsInitiated{0}, opsCompleted{0}, entriesSent{0}, bytesSent{0};

  // Threads.
  std::thread listenerThread;

  // Locks.
  Mutex connectionTableLock, countersLock, threadCountLock;
  SpinningMutex operationCountLock;  // taken twice by every request
  Mutex contextLock, poolLock;
  Mutex timeLock, regexLock, entryTextLock, accessLogLock, replogLock;
};

extern Globals* g_globals;

// Creates the record with its defaults; 0 on success, 1 on failure.
int InitGlobals(Globals** globals);
// Frees everything the record owns and the record itself.
void ReleaseGlobals(Globals** globals);
// Releases what the main configuration pass set and restores its defaults,
// keeping the command-pass settings (command port and timeout, keyrings,
// secure mode, command key list) and the key library context.
void ResetGlobals(Globals* globals);

// Process-wide values outside Globals.
extern std::atomic<int> dird_shutdown;
extern bool serviceMode;

// The server's current time, as last refreshed.
time_t GetCurrentTime();
time_t RefreshCurrentTime();

}  // namespace kry
