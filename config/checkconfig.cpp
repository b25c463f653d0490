// The configuration check of the console: every line is checked with the
// rules of the two reading passes, against a scratch settings record, so the
// running server's settings stay untouched.
#include <memory>
#include <new>

#include "back-ldbm/backend.h"
#include "config/config.h"
#include "config/passes.h"
#include "config/paths.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

namespace {

// The backend's keywords, checked with its handler's messages. Only the
// database directory, cache entries and cache size reach the scratch backend
// (the last two through its handler, once they are known to be numbers).
int StoreInBackend(const ConfigLine& l, Backend* be) {
  if (be == nullptr) return 0;
  std::vector<char*> argv;
  for (const std::string& t : l.tokens) argv.push_back(const_cast<char*>(t.c_str()));
  argv.push_back(nullptr);
  return backend_config(be, l.path, l.lineNumber, l.argc(), argv.data()) == 0 ? 0 : 1;
}

int BackendKeyword(const ConfigLine& l, Backend* be) {
  long v = 0;
  if (l.Is("Mode")) {
    if (l.argc() < 2) {
      LineMessage(EVENTLOG_ERROR, l, "Missing Mode in \"Mode <Mode>\" line.\n");
      return 1;
    }
    std::string text = l.tokens[1];
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::string digits = text.substr(i);
    bool ok;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
      ok = digits.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos;
    } else {
      ok = !digits.empty() && IsNumeric(digits);
    }
    if (!ok) {
      LineMessage(EVENTLOG_ERROR, l, "Invalid Mode argument in \"Mode <Mode>\" line.\n");
      return 1;
    }
    return 0;
  }
  if (l.Is("Index")) {
    if (l.argc() < 2) {
      LineMessage(EVENTLOG_ERROR, l, "Missing Attribute in \"Index <Attribute> [pres,eq,approx,sub]\" line.\n");
      return 1;
    }
    if (l.argc() > 3) {
      LineMessage(EVENTLOG_ERROR, l, "Too many parameters in \"Index <Attribute> [pres,eq,approx,sub]\" line.\n");
      return 1;
    }
    return 0;
  }
  if (l.Is("CacheEntries")) {
    if (l.argc() < 2) {
      LineMessage(EVENTLOG_ERROR, l, "Missing Number in \"CacheEntries <Number>\" line.\n");
      return 1;
    }
    if (l.tokens[1].empty() || !ParseDigits(l.tokens[1], &v)) {
      LineMessage(EVENTLOG_ERROR, l, "CacheEntries should be an integer. Currently it is %s.\n", l.arg(1));
      return 1;
    }
    // The handler stores the value and records the range warning itself;
    // after a warning the check goes on with the next line.
    return StoreInBackend(l, be);
  }
  if (l.Is("DBCacheSize")) {
    if (l.argc() < 2) {
      LineMessage(EVENTLOG_ERROR, l, "Missing Size in \"DBCacheSize <Size>\" line.\n");
      return 1;
    }
    if (l.tokens[1].empty() || !ParseDigits(l.tokens[1], &v)) {
      LineMessage(EVENTLOG_ERROR, l, "DBCacheSize should be an integer. Currently it is %s.\n", l.arg(1));
      return 1;
    }
    return StoreInBackend(l, be);
  }
  // The memory budgets are checked by the backend's handler, which gives
  // their messages.
  if (l.Is("CacheMemory") || l.Is("DBCacheTotal")) return StoreInBackend(l, be);
  LineMessage(EVENTLOG_ERROR, l, "Unknown configuration value (%s).\n", l.arg(0));
  return 1;
}

}  // namespace

int CheckConfig(const char* path, Backend* scratchBackend) {
  Debug(LDAP_DEBUG_TRACE, "=> ReadConfig\n");
  int rc = 1;
  std::unique_ptr<Globals> scratch(new (std::nothrow) Globals);
  if (!scratch || path == nullptr) {
    if (!scratch) LogError(EVENTLOG_ERROR, "Out of memory");
    Debug(LDAP_DEBUG_TRACE, "<= CheckConfig, rc=%d\n", rc);
    return rc;
  }
  scratch->Port = 389;
  scratch->SecurePort = 636;
  scratch->CommandPort = 0;
  scratch->SecureMode = SECURE_DISABLED;

  MainPass pass;
  pass.g = scratch.get();
  pass.be = scratchBackend;
  pass.check = true;
  bool haveCwd = false;

  int lastLine = 0;
  rc = ForEachConfigLine(
      path, nullptr,
      [&](const ConfigLine& l) -> int {
        if (l.Is("CommandPort")) {
          if (l.argc() != 2) {
            LineMessage(EVENTLOG_ERROR, l, "Missing port number in \"CommandPort <Number>\" line\n");
            return 1;
          }
          int port = 0;
          if (!ParsePortNumber(l.tokens[1], &port)) {
            LineMessage(EVENTLOG_ERROR, l, "Port number of '%s' is invalid.\n  Valid CommandPort values: 1 - 65534.\n",
                        l.arg(1));
            return 1;
          }
          scratch->CommandPort = port;
          return 0;
        }
        if (l.Is("PublicKeyRing") || l.Is("PrivateKeyRing") || l.Is("SecureMode") || l.Is("ServerSecureKeyID") ||
            l.Is("ServerKeyPassphraseFile"))
          return HandleCommandKeyword(l, scratch.get()) == 0 ? 0 : 1;
        if (l.Is("LookupHostname")) {
          if (l.argc() < 2) {
            LineMessage(EVENTLOG_ERROR, l, "Missing On|Off in \"LookupHostname <On|Off>\" line\n");
            return 1;
          }
          if (l.argc() != 2 || (!StrIEquals(l.tokens[1], "on") && !StrIEquals(l.tokens[1], "off"))) {
            LineMessage(EVENTLOG_ERROR, l, "Invalid permission in \"LookupHostname <On|Off>\" line\n");
            return 1;
          }
          return 0;
        }
        if (l.Is("Directory") && !haveCwd) {
          std::string cwd;
          if (GetCurrentDir(&cwd) != 0) return 1;
          haveCwd = true;
        }
        int r = HandleMainKeyword(l, &pass);
        if (r != kNotMine) return r == 0 ? 0 : 1;
        return BackendKeyword(l, scratchBackend);
      },
      &lastLine);
  if (rc != 0) rc = 1;

  if (rc == 0) {
    const Globals& s = *scratch;
    bool secureOn = s.SecureMode != SECURE_DISABLED;
    if ((s.Port == s.SecurePort && secureOn) || s.Port == s.CommandPort || (s.CommandPort == s.SecurePort && secureOn)) {
      LogError(EVENTLOG_ERROR, "The regular port, secure port, and command port must have unique values.");
      rc = 1;
    }
  }
  Debug(LDAP_DEBUG_TRACE, "<= CheckConfig, rc=%d\n", rc);
  return rc;
}

}  // namespace kry
