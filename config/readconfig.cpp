// The main configuration pass and its checks after reading.
#include <vector>

#include "back-ldbm/backend.h"
#include "config/config.h"
#include "config/passes.h"
#include "config/paths.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "runtime/globals.h"

namespace kry {

namespace {

constexpr const char* kDefaultDirectory = "../data";

int ChecksAfterReading(const char* path, int lastLine, Backend* be, MainPass* pass, int portOverride,
                       int securePortOverride, int commandTimeoutOverride) {
  Globals* g = pass->g;
  for (const KeyIDList& group : g->MustSigID)
    for (const std::string& id : group) Debug(LDAP_DEBUG_CONFIG, "Must Sig ID: %s", id.c_str());
  for (const KeyIDList& group : g->AllowSigID)
    for (const std::string& id : group) Debug(LDAP_DEBUG_CONFIG, "Allow Sig ID: %s", id.c_str());

  if (g->TrimSigs && g->MustSigID.empty() && g->AllowSigID.empty()) {
    LogError(EVENTLOG_ERROR, "%s: TrimSigs was enabled but no AllowSigID or MustSigID Key IDs were specified.\n", path);
    return 1;
  }
  if (!pass->sawDirectory) {
    std::string dir = kDefaultDirectory;
    if (!IsExistingDirectory(dir)) {
      LogError(EVENTLOG_ERROR, "%s(%d): Directory '%s' does not exist.\n", path, lastLine, dir.c_str());
      return 1;
    }
    backend_set_directory(be, dir);
  }
  bool haveReplicas = be != nullptr && !be->replicas.empty();
  if (g->RepLogFile.empty() == haveReplicas) {
    LogError(EVENTLOG_ERROR, "%s: To perform replication, both RepLogFile and Replica must be specified.\n", path);
    return 1;
  }
  if (portOverride == -1) {
    g->Port = 0;
  } else if (portOverride != 0) {
    g->Port = portOverride;
  }
  if (securePortOverride == -1) {
    g->SecurePort = 0;
    g->SecureMode = SECURE_DISABLED;
  } else if (securePortOverride != 0) {
    g->SecurePort = securePortOverride;
  }
  if (commandTimeoutOverride != 0) g->CommandTimeout = static_cast<uint16_t>(commandTimeoutOverride);

  if (g->Port == 0 && (g->SecurePort == 0 || g->SecureMode == SECURE_DISABLED)) {
    LogError(EVENTLOG_ERROR, "%s(%d): You must enable either the regular port or the secure port.\n", path, lastLine);
    return 1;
  }
  if (g->Port != 0 && g->SecurePort != 0 && g->SecureMode != SECURE_DISABLED && g->Port == g->SecurePort) {
    LogError(EVENTLOG_ERROR, "The regular port and the secure port cannot be the same value.");
    return 1;
  }
  if (portOverride == 0 && g->SecureMode != SECURE_DISABLED) UpdateErrorLogValues(-1, g->SecurePort, -1);
  return 0;
}

}  // namespace

int ReadConfig(const char* path, Backend** backend, std::FILE* openFile, int portOverride, int securePortOverride,
               int commandTimeoutOverride) {
  Debug(LDAP_DEBUG_TRACE, "=> ReadConfig\n");
  Globals* g = g_globals;
  if (g == nullptr || path == nullptr) return 1;
  if (*backend == nullptr && !g->backends.empty()) *backend = g->backends.front().get();
  Backend* be = *backend;

  MainPass pass;
  pass.g = g;
  pass.be = be;
  pass.portOverridden = portOverride != 0;

  int lastLine = 0;
  int rc = ForEachConfigLine(
      path, openFile,
      [&](const ConfigLine& line) {
        int r = HandleMainKeyword(line, &pass);
        if (r != kNotMine) return r;
        std::vector<char*> argv;
        for (const std::string& t : line.tokens) argv.push_back(const_cast<char*>(t.c_str()));
        argv.push_back(nullptr);
        return backend_config(be, line.path, line.lineNumber, line.argc(), argv.data()) == 0 ? 0 : 2;
      },
      &lastLine);
  if (rc == 0) rc = ChecksAfterReading(path, lastLine, be, &pass, portOverride, securePortOverride,
                                       commandTimeoutOverride);
  Debug(LDAP_DEBUG_TRACE, "<= ReadConfig, rc=%d\n", rc);
  return rc;
}

}  // namespace kry
