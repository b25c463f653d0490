// The keywords of the main configuration pass, shared by ReadConfig (which
// stores them) and CheckConfig (which only checks them).
#include <arpa/inet.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "back-ldbm/backend.h"
#include "cert/access.h"
#include "config/config.h"
#include "config/passes.h"
#include "config/paths.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

namespace {

constexpr int kMinMessageSize = 1024;

// A keyword with exactly one argument and a digits-only value.
int DigitsSetting(const ConfigLine& l, long* out, const char* missing, const char* invalid) {
  if (l.argc() != 2) {
    LineMessage(EVENTLOG_ERROR, l, "%s", missing);
    return 1;
  }
  if (!ParseDigits(l.tokens[1], out)) {
    LineMessage(EVENTLOG_ERROR, l, "%s", invalid);
    return 1;
  }
  return 0;
}

// "yes"/"no" switches.
int YesNoSetting(const ConfigLine& l, bool* out, const char* missing, const char* invalidFmt) {
  if (l.argc() != 2) {
    LineMessage(EVENTLOG_ERROR, l, "%s", missing);
    return 1;
  }
  if (StrIEquals(l.tokens[1], "yes")) {
    *out = true;
  } else if (StrIEquals(l.tokens[1], "no")) {
    *out = false;
  } else {
    LineMessage(EVENTLOG_ERROR, l, invalidFmt, l.arg(1));
    return 1;
  }
  return 0;
}

int PathSetting(const ConfigLine& l, std::string* out, const char* missing) {
  if (l.argc() != 2) {
    LineMessage(EVENTLOG_ERROR, l, "%s", missing);
    return 1;
  }
  if (AdjustPath(nullptr, l.arg(1), out) != 0) {
    LineMessage(EVENTLOG_ERROR, l, "Out of memory\n");
    return 1;
  }
  return 0;
}

// MustSigID / AllowSigID: the line's IDs, prepended, form the next group.
int SigGroupSetting(const ConfigLine& l, std::vector<KeyIDList>* groups, const char* name) {
  if (l.argc() < 2) {
    LineMessage(EVENTLOG_ERROR, l, "Missing KeyIDs in \"%s <KeyIDs> ...\" line\n", name);
    return 1;
  }
  if (static_cast<int>(groups->size()) >= kMaxSigGroups) {
    LineMessage(EVENTLOG_ERROR, l, "Total number of KeyIDs exceeds limit with \"%s <KeyIDs> ...\" line\n", name);
    return 1;
  }
  KeyIDList ids;
  for (int i = 1; i < l.argc(); ++i) {
    if (CheckConfigKeyID(l.arg(i), l.path, l.lineNumber) != 0) {
      LineMessage(EVENTLOG_ERROR, l, "Invalid KeyID (%s) found in %s\n", l.arg(i), name);
      return 1;
    }
    ids.insert(ids.begin(), l.tokens[static_cast<size_t>(i)].substr(2));
  }
  groups->push_back(std::move(ids));
  return 0;
}

int AllowLine(const ConfigLine& l, MainPass* p) {
  Globals* g = p->g;
  if (l.argc() != 4) {
    LineMessage(EVENTLOG_ERROR, l, "Invalid syntax on \"Allow <type> <pattern> <access level>\" line.\n");
    return 1;
  }
  const std::string& type = l.tokens[1];
  const std::string& pattern = l.tokens[2];
  const std::string& level = l.tokens[3];
  if (StrIEquals(type, "ip") || StrIEquals(type, "host")) {
    if (StrIEquals(level, "command")) {
      LineMessage(EVENTLOG_ERROR, l, "Invalid syntax on \"Allow <type> <pattern> <access level>\" line.\n");
      return 1;
    }
    std::vector<const char*> argv;
    for (const std::string& t : l.tokens) argv.push_back(t.c_str());
    if (p->check) {
      // Checked like the list builder does, without building the rule.
      AccessList scratch;
      return AddAccessAllow(&scratch, l.path, l.lineNumber, l.argc(), argv.data()) == 0 ? 0 : 1;
    }
    return AddAccessAllow(&g->accessList, l.path, l.lineNumber, l.argc(), argv.data()) == 0 ? 0 : 1;
  }
  if (!StrIEquals(type, "keyid")) {
    LineMessage(EVENTLOG_ERROR, l, "Allow Type of '%s' is invalid.\n  Valid Types: 'ip', 'host', 'keyid'.\n",
                type.c_str());
    return 1;
  }
  KeyIDList* list = nullptr;
  if (StrIEquals(level, "add")) {
    list = &g->allowAdd;
  } else if (StrIEquals(level, "delete")) {
    list = &g->allowDelete;
  } else if (StrIEquals(level, "groupupdate")) {
    list = &g->allowGroupUpdate;
  } else if (StrIEquals(level, "command")) {
    // The command pass takes these; the check pass checks them its way.
    return p->check ? (HandleCommandKeyword(l, g) == 0 ? 0 : 1) : 0;
  } else {
    LineMessage(EVENTLOG_ERROR, l,
                "Allow Access Level of '%s' is invalid.\n  Valid Levels: 'add', 'GroupUpdate', 'delete', 'command'.\n",
                level.c_str());
    return 1;
  }
  if (list == &g->allowDelete && StrIEquals(pattern, "self")) {
    g->selfDeleteAllowed = true;
    return 0;
  }
  if (CheckConfigKeyID(pattern.c_str(), l.path, l.lineNumber) != 0) {
    LineMessage(EVENTLOG_ERROR, l, "Invalid KeyID (%s) found in Allow\n", pattern.c_str());
    return 1;
  }
  list->insert(list->begin(), pattern.substr(2));
  return 0;
}

int AccessLogDetailsLine(const ConfigLine& l, Globals* g) {
  if (l.argc() < 2) {
    LineMessage(EVENTLOG_ERROR, l, "Missing Type in \"AccessLogDetails <type> ...\" line.\n");
    return 1;
  }
  static const struct {
    const char* name;
    uint32_t bit;
  } kBits[] = {{"bind", 0x2},   {"unbind", 0x4}, {"abandon", 0x8},  {"add", 0x10},
               {"modify", 0x20}, {"search", 0x40}, {"delete", 0x80}, {"ldap", 0x100}};
  uint32_t details = 0;
  for (int i = 1; i < l.argc(); ++i) {
    const std::string& w = l.tokens[static_cast<size_t>(i)];
    if (StrIEquals(w, "none")) {
      details = 0;
      break;
    }
    if (StrIEquals(w, "all")) {
      details = 0xFFFFFFFFu;
      break;
    }
    bool known = false;
    for (const auto& b : kBits) {
      if (StrIEquals(w, b.name)) {
        details |= b.bit;
        known = true;
      }
    }
    if (!known) {
      LineMessage(EVENTLOG_ERROR, l, "Invalid value (%s) found on \"AccessLogDetails <type> ...\" line.\n", w.c_str());
      return 1;
    }
  }
  g->AccessLogDetails = details;
  return 0;
}

int AccessLogFileLine(const ConfigLine& l, MainPass* p) {
  if (l.argc() < 2 || l.argc() > 3) {
    LineMessage(EVENTLOG_ERROR, l, "Missing Filename in \"AccessLogFile <Filename> ...\" line.\n");
    return 1;
  }
  if (AdjustPath(nullptr, l.arg(1), &p->g->AccessLogFile) != 0) {
    LineMessage(EVENTLOG_ERROR, l, "Out of memory\n");
    return 1;
  }
  if (l.argc() == 3) {
    long mode = 0;
    // Only permission and mode bits make sense for a created file; anything
    // else (negative, huge) is treated like an unreadable mode.
    if (ParseIntegerAuto(l.tokens[2], &mode) && mode > 0 && mode <= 07777) p->g->AccessLogMode = static_cast<int>(mode);
  }
  return 0;
}

int ReplicaLine(const ConfigLine& l, MainPass* p) {
  if (l.argc() < 2) {
    LineMessage(EVENTLOG_ERROR, l, "Missing Host in \"Replica <Host[:Port]>\" line\n");
    return 1;
  }
  for (int i = 1; i < l.argc(); ++i) {
    if (!p->check && p->be) p->be->replicas.push_back(l.tokens[static_cast<size_t>(i)]);
    int protocol = -1;
    switch (ParseReplicaAddress(l.arg(i), &protocol)) {
      case 0:
        break;
      case 1:
        LineMessage(EVENTLOG_ERROR, l, "Missing Host in \"Replica <Host[:Port]>\" line\n");
        return 1;
      case 2:
        LineMessage(EVENTLOG_ERROR, l, "Invalid Protocol in \"Replica <Host[:Port]>\" line\n");
        return 1;
      default:
        LineMessage(EVENTLOG_ERROR, l, "Invalid Port Number in \"Replica <Host[:Port]>\" line\n");
        return 1;
    }
  }
  return 0;
}

int OneWord(const ConfigLine& l, const char* missing) {
  if (l.argc() != 2) {
    LineMessage(EVENTLOG_ERROR, l, "%s", missing);
    return 1;
  }
  return 0;
}

// One handler per keyword of the main pass. Each checks its line and,
// outside check mode where it matters, stores the setting.
int SizeLimitLine(const ConfigLine& l, MainPass* p) {
  long v = 0;
  int rc = DigitsSetting(l, &v, "Missing Limit in \"SizeLimit <Limit>\" line\n",
                         "Invalid Limit in \"SizeLimit <Limit>\" line\n");
  if (rc == 0) p->g->SizeLimit = static_cast<int>(v);
  return rc;
}

int TimeLimitLine(const ConfigLine& l, MainPass* p) {
  long v = 0;
  int rc = DigitsSetting(l, &v, "Missing Limit in \"TimeLimit <Limit>\" line\n",
                         "Invalid Limit in \"TimeLimit <Limit>\" line\n");
  if (rc == 0) p->g->TimeLimit = static_cast<int>(v);
  return rc;
}

int CycleLogDayLine(const ConfigLine& l, MainPass* p) {
  if (OneWord(l, "Missing Day in \"CycleLogDay <Day>\" line\n")) return 1;
  int day = ParseCycleDay(l.tokens[1]);
  if (day < 0) {
    LineMessage(EVENTLOG_ERROR, l,
                "CycleLogDay of '%s' is invalid.\n  Valid values: Sun, Mon, Tues, Weds, Thurs, Fri, Sat, Daily, "
                "Never.\n",
                l.arg(1));
    return 1;
  }
  p->g->CycleLogDay = day;
  return 0;
}

int CycleLogTimeLine(const ConfigLine& l, MainPass* p) {
  if (OneWord(l, "Missing Time in \"CycleLogTime <Time>\" line\n")) return 1;
  int minutes = 0;
  if (!ParseCycleTime(l.tokens[1], &minutes)) {
    LineMessage(EVENTLOG_ERROR, l,
                "Time of '%s' is invalid.\n  Valid format: HH:MM where HH is the hour in 24-hour time.\n", l.arg(1));
    return 1;
  }
  p->g->CycleLogTime = minutes;
  return 0;
}

int CycleLogKeepLine(const ConfigLine& l, MainPass* p) {
  long v = 0;
  if (OneWord(l, "Missing NumberToKeep in \"CycleLogHistory <NumberToKeep>\" line\n")) return 1;
  if (!ParseDigits(l.tokens[1], &v) || v > 99) {
    LineMessage(EVENTLOG_ERROR, l,
                "History of '%s' is invalid.\n  Valid values: 0 - %d where 0 means do not keep any log file "
                "copies.\n",
                l.arg(1), 99);
    return 1;
  }
  p->g->CycleLogKeep = static_cast<int>(v);
  return 0;
}

int DirectoryLine(const ConfigLine& l, MainPass* p) {
  if (OneWord(l, "Missing Path in \"Directory <Path>\" line.\n")) return 1;
  std::string dir;
  if (AdjustPath(nullptr, l.arg(1), &dir) != 0) {
    LineMessage(EVENTLOG_ERROR, l, "Out of memory\n");
    return 1;
  }
  if (!IsExistingDirectory(dir)) {
    LineMessage(EVENTLOG_ERROR, l, "Directory '%s' does not exist.\n", l.arg(1));
    return 1;
  }
  backend_set_directory(p->be, dir);
  p->sawDirectory = true;
  return 0;
}

// A port-number line; *port gets the number. `keyword` names it in the
// message.
int PortNumber(const ConfigLine& l, const char* missing, const char* keyword, int* port) {
  if (OneWord(l, missing)) return 1;
  if (!ParsePortNumber(l.tokens[1], port)) {
    LineMessage(EVENTLOG_ERROR, l, "Port number of '%s' is invalid.\n  Valid %s values: 1 - 65534.\n", l.arg(1),
                keyword);
    return 1;
  }
  return 0;
}

int PortLine(const ConfigLine& l, MainPass* p) {
  int port = 0;
  if (PortNumber(l, "Missing port number in \"Port <Number>\" line\n", "Port", &port)) return 1;
  p->g->Port = port;
  if (!p->check && !p->portOverridden) UpdateErrorLogValues(-1, port, -1);
  return 0;
}

int SecurePortLine(const ConfigLine& l, MainPass* p) {
  int port = 0;
  if (PortNumber(l, "Missing port number in \"SecurePort <Number>\" line\n", "SecurePort", &port)) return 1;
  p->g->SecurePort = port;
  return 0;
}

int CommandPortLine(const ConfigLine& l, MainPass*) {
  int port = 0;
  return PortNumber(l, "Missing port number in \"CommandPort <Number>\" line\n", "CommandPort", &port);
}

// Keywords read by another pass.
int IgnoredLine(const ConfigLine&, MainPass*) { return 0; }

int RandSeedFileLine(const ConfigLine& l, MainPass* p) {
  return PathSetting(l, &p->g->RandSeedFile, "Missing Filename in \"RandSeedFile <Filename>\" line\n");
}

int ReplicationKeyIDLine(const ConfigLine& l, MainPass*) {
  if (OneWord(l, "Missing Key ID in \"ReplicationSecureKeyID <KeyID>\" line\n")) return 1;
  if (CheckConfigKeyID(l.arg(1), l.path, l.lineNumber) != 0) {
    LineMessage(EVENTLOG_ERROR, l, "Invalid KeyID (%s) found in ReplicationSecureKeyID\n", l.arg(1));
    return 1;
  }
  return 0;
}

int ReadOnlyLine(const ConfigLine& l, MainPass* p) {
  if (OneWord(l, "Missing On|Off in \"ReadOnly <On|Off>\" line\n")) return 1;
  int ro = StrIEquals(l.tokens[1], "on") ? 1 : StrIEquals(l.tokens[1], "off") ? 0 : -1;
  if (ro < 0) {
    LineMessage(EVENTLOG_ERROR, l, "Invalid permission in \"ReadOnly <On|Off>\" line\n");
    return 1;
  }
  if (!p->check && p->be) p->be->readOnly = ro;
  return 0;
}

int LogLevelLine(const ConfigLine& l, MainPass* p) {
  if (OneWord(l, "Missing Level in \"LogLevel <Level>\" line\n")) return 1;
  static const struct {
    const char* name;
    int kind;
  } kLevels[] = {{"error", 8}, {"warning", 4}, {"info", 2}, {"verbose", 1}};
  int kind = 0;
  for (const auto& k : kLevels)
    if (StrIEquals(l.tokens[1], k.name)) kind = k.kind;
  if (kind == 0) {
    LineMessage(EVENTLOG_ERROR, l,
                "LogLevel of '%s' is invalid.\n  Valid LogLevels: 'error', 'warning', 'info', 'verbose'.\n",
                l.arg(1));
    return 1;
  }
  p->g->LogLevel = kind;
  if (!p->check) UpdateErrorLogValues(kind, -1, -1);
  return 0;
}

int RepLogFileLine(const ConfigLine& l, MainPass* p) {
  return PathSetting(l, &p->g->RepLogFile, "Missing Filename in \"RepLogFile <Filename>\" line\n");
}

int TrimUsersLine(const ConfigLine& l, MainPass* p) {
  return YesNoSetting(l, &p->g->TrimUsers, "Missing Yes|No in \"TrimUsers <Yes|No>\" line\n",
                      "Invalid value (%s) found on \"TrimUsers <Yes|No>\" line\n");
}

int TrimSigsLine(const ConfigLine& l, MainPass* p) {
  return YesNoSetting(l, &p->g->TrimSigs, "Missing Yes|No in \"TrimSigs <Yes|No>\" line\n",
                      "Invalid value (%s) found on \"TrimSigs <Yes|No>\" line\n");
}

int TrimPhotoIDsLine(const ConfigLine& l, MainPass* p) {
  return YesNoSetting(l, &p->g->TrimPhotoIDs, "Missing Yes|No in \"TrimPhotoIDs <Yes|No>\" line\n",
                      "Invalid value (%s) found on \"TrimPhotoIDs <Yes|No>\" line\n");
}

int AcceptModernKeysLine(const ConfigLine& l, MainPass* p) {
  return YesNoSetting(l, &p->g->AcceptModernKeys, "Missing Yes|No in \"AcceptModernKeys <Yes|No>\" line\n",
                      "Invalid value (%s) found on \"AcceptModernKeys <Yes|No>\" line\n");
}

int MustSigIDLine(const ConfigLine& l, MainPass* p) { return SigGroupSetting(l, &p->g->MustSigID, "MustSigID"); }
int AllowSigIDLine(const ConfigLine& l, MainPass* p) { return SigGroupSetting(l, &p->g->AllowSigID, "AllowSigID"); }

int MustSignAddsLine(const ConfigLine& l, MainPass* p) {
  return YesNoSetting(l, &p->g->MustSignAdds, "Missing Yes|No in \"MustSignAdds <Yes|No>\" line.\n",
                      "Invalid value (%s) found on \"MustSignAdds <Yes|No>\" line.\n");
}

int AccessLogDetailsKeyword(const ConfigLine& l, MainPass* p) { return AccessLogDetailsLine(l, p->g); }

int PolicyFailuresLine(const ConfigLine& l, MainPass* p) {
  if (OneWord(l, "Missing Pending|Error in \"PolicyFailures <Pending|Error>\" line.\n")) return 1;
  if (StrIEquals(l.tokens[1], "pending")) {
    p->g->PolicyFailures = POLICY_PENDING;
  } else if (StrIEquals(l.tokens[1], "error")) {
    p->g->PolicyFailures = POLICY_ERROR;
  } else {
    LineMessage(EVENTLOG_ERROR, l, "Invalid value (%s) found on \"PolicyFailures <Pending|Error>\" line.\n",
                l.arg(1));
    return 1;
  }
  return 0;
}

int DefaultAccessLine(const ConfigLine& l, MainPass* p) {
  if (OneWord(l, "Missing Access in \"DefaultAccess <Access>\" line.\n")) return 1;
  int level = ParseAccessLevel(l.tokens[1]);
  if (level < 0) {
    LineMessage(EVENTLOG_ERROR, l,
                "Default Access level of '%s' is invalid.\n  Valid levels: 'none', 'compare', 'search', 'read', "
                "'add', 'delete', 'all'.\n",
                l.arg(1));
    return 1;
  }
  p->g->DefaultAccess = level;
  return 0;
}

int IdleSyncTimeoutLine(const ConfigLine& l, MainPass* p) {
  long v = 0;
  int rc = DigitsSetting(l, &v, "Missing Seconds in \"IdleSyncTimeout <Seconds>\" line\n",
                         "Invalid Seconds in \"IdleSyncTimeout <Seconds>\" line\n");
  if (rc == 0) p->g->IdleSyncTimeout = static_cast<int>(v);
  return rc;
}

int CommandTimeoutLine(const ConfigLine& l, MainPass* p) {
  long v = 0;
  int rc = DigitsSetting(l, &v, "Missing Seconds in \"CommandTimeout <Seconds>\" line\n",
                         "Invalid Seconds in \"CommandTimeout <Seconds>\" line\n");
  if (rc != 0) return rc;
  // The setting is 16 bits wide; a larger value would wrap to a short or
  // zero timeout, so it is refused.
  if (l.Is("CommandTimeout") && v > 65535) {
    LineMessage(EVENTLOG_ERROR, l, "Invalid Seconds in \"CommandTimeout <Seconds>\" line\n");
    return 1;
  }
  if (l.Is("CommandTimeout")) p->g->CommandTimeout = static_cast<uint16_t>(v);
  return 0;
}

int LookupHostnameLine(const ConfigLine& l, MainPass* p) {
  if (l.argc() != 2) {
    LineMessage(EVENTLOG_ERROR, l, "Invalid value specified for LookupHostname.\n");
    return 1;
  }
  p->g->LookupHostname = !StrIEquals(l.tokens[1], "off");
  return 0;
}

// DigitsSetting, with values outside lo..hi refused with `invalid` too.
int DigitsInRange(const ConfigLine& l, long* out, const char* missing, const char* invalid, long lo, long hi) {
  int rc = DigitsSetting(l, out, missing, invalid);
  if (rc == 0 && (*out < lo || *out > hi)) {
    LineMessage(EVENTLOG_ERROR, l, "%s", invalid);
    rc = 1;
  }
  return rc;
}

int MaxMessageSizeLine(const ConfigLine& l, MainPass* p) {
  long v = 0;
  int rc = DigitsInRange(l, &v, "Missing Size in \"MaxMessageSize <Bytes>\" line\n",
                         "Invalid Size in \"MaxMessageSize <Bytes>\" line\n", kMinMessageSize, LONG_MAX);
  if (rc == 0) p->g->MaxMessageSize = static_cast<uint32_t>(v);
  return rc;
}

// "HKPPort": 0 (off) or a port; "HKPMaxConnections": 1 to 1000, each
// connection being served by a thread of its own.
int HKPPortLine(const ConfigLine& l, MainPass* p) {
  long v = 0;
  int rc = DigitsInRange(l, &v, "Missing port number in \"HKPPort <Number>\" line\n",
                         "Invalid port number in \"HKPPort <Number>\" line (0 for none, 1 - 65534)\n", 0, 65534);
  if (rc == 0) p->g->HKPPort = static_cast<int>(v);
  return rc;
}

int HKPMaxConnectionsLine(const ConfigLine& l, MainPass* p) {
  long v = 0;
  int rc = DigitsInRange(l, &v, "Missing Number in \"HKPMaxConnections <Number>\" line\n",
                         "Invalid Number in \"HKPMaxConnections <Number>\" line (1 - 1000)\n", 1, 1000);
  if (rc == 0) p->g->HKPMaxConnections = static_cast<int>(v);
  return rc;
}

int HKPMaxConnectionsPerAddressLine(const ConfigLine& l, MainPass* p) {
  long v = 0;
  int rc = DigitsInRange(l, &v, "Missing Number in \"HKPMaxConnectionsPerAddress <Number>\" line\n",
                         "Invalid Number in \"HKPMaxConnectionsPerAddress <Number>\" line (1 - 1000)\n", 1, 1000);
  if (rc == 0) p->g->HKPMaxConnectionsPerAddress = static_cast<int>(v);
  return rc;
}

// What HKP request bodies may hold together; at least one small body.
int HKPMaxBodyBytesLine(const ConfigLine& l, MainPass* p) {
  long v = 0;
  int rc = DigitsInRange(l, &v, "Missing Size in \"HKPMaxBodyBytes <Bytes>\" line\n",
                         "Invalid Size in \"HKPMaxBodyBytes <Bytes>\" line (at least 1024)\n", 1024, LONG_MAX);
  if (rc == 0) p->g->HKPMaxBodyBytes = static_cast<uint64_t>(v);
  return rc;
}

int HKPRequestTimeoutLine(const ConfigLine& l, MainPass* p) {
  long v = 0;
  int rc = DigitsInRange(l, &v, "Missing Seconds in \"HKPRequestTimeout <Seconds>\" line\n",
                         "Invalid Seconds in \"HKPRequestTimeout <Seconds>\" line (1 - 3600)\n", 1, 3600);
  if (rc == 0) p->g->HKPRequestTimeout = static_cast<int>(v);
  return rc;
}

// The LDAP connection table: one thread and one descriptor per slot. The
// console's statistics carry the size in 16 bits.
int MaxConnectionsLine(const ConfigLine& l, MainPass* p) {
  long v = 0;
  int rc = DigitsInRange(l, &v, "Missing Number in \"MaxConnections <Number>\" line\n",
                         "Invalid Number in \"MaxConnections <Number>\" line (1 - 65535)\n", 1, 65535);
  if (rc == 0) p->g->MaxConnections = static_cast<int>(v);
  return rc;
}

int MaxConnectionsPerAddressLine(const ConfigLine& l, MainPass* p) {
  long v = 0;
  int rc = DigitsInRange(l, &v, "Missing Number in \"MaxConnectionsPerAddress <Number>\" line\n",
                         "Invalid Number in \"MaxConnectionsPerAddress <Number>\" line (1 - 65535)\n", 1, 65535);
  if (rc == 0) p->g->MaxConnectionsPerAddress = static_cast<int>(v);
  return rc;
}

// "WKDDomain": one mail domain a line, a host name's letters, digits,
// hyphens and dots; the domain is compared ignoring case.
int WKDDomainLine(const ConfigLine& l, MainPass* p) {
  if (l.argc() != 2) {
    LineMessage(EVENTLOG_ERROR, l, "Missing Domain in \"WKDDomain <Domain>\" line\n");
    return 1;
  }
  const std::string domain = l.tokens[1];
  const bool valid = domain.front() != '.' && domain.back() != '.' && domain.find("..") == std::string::npos &&
                     domain.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-.") ==
                         std::string::npos;
  if (!valid) {
    LineMessage(EVENTLOG_ERROR, l, "Invalid Domain in \"WKDDomain <Domain>\" line\n");
    return 1;
  }
  p->g->WKDDomains.push_back(ToLower(domain));
  return 0;
}

// Size caps of submitted keys ("MaxKeyLength" and the others): a number
// from 1 up, stored in the setting of the line's keyword.
int KeyCapLine(const ConfigLine& l, MainPass* p) {
  struct Cap {
    const char* name;
    long low, high;
  };
  static const Cap kCaps[] = {{"MaxKeyLength", 1024, 268435456}, {"MaxPacketLength", 64, 16777216},
                              {"MaxSigPacketLength", 64, 16777216}, {"MaxSignatures", 1, 10000000},
                              {"MaxSignaturesPerUserID", 1, 10000000}};
  for (const Cap& c : kCaps) {
    if (!l.Is(c.name)) continue;
    const std::string missing = StrFormat("Missing Number in \"%s <Number>\" line\n", c.name);
    const std::string invalid =
        StrFormat("Invalid Number in \"%s <Number>\" line (%ld - %ld)\n", c.name, c.low, c.high);
    long v = 0;
    const int rc = DigitsInRange(l, &v, missing.c_str(), invalid.c_str(), c.low, c.high);
    if (rc != 0) return rc;
    Globals* g = p->g;
    if (l.Is("MaxKeyLength")) g->MaxKeyLength = static_cast<uint64_t>(v);
    if (l.Is("MaxPacketLength")) g->MaxPacketLength = static_cast<uint64_t>(v);
    if (l.Is("MaxSigPacketLength")) g->MaxSigPacketLength = static_cast<uint64_t>(v);
    if (l.Is("MaxSignatures")) g->MaxSignatures = v;
    if (l.Is("MaxSignaturesPerUserID")) g->MaxSignaturesPerUserID = v;
    return 0;
  }
  return kNotMine;
}

int ServeSignaturesLine(const ConfigLine& l, MainPass* p) {
  if (l.argc() != 2 || !(StrIEquals(l.tokens[1], "all") || StrIEquals(l.tokens[1], "self"))) {
    LineMessage(EVENTLOG_ERROR, l, "Invalid value in \"ServeSignatures <all|self>\" line\n");
    return 1;
  }
  p->g->ServeOwnSignaturesOnly = StrIEquals(l.tokens[1], "self");
  return 0;
}

int BlockListFileLine(const ConfigLine& l, MainPass* p) {
  if (l.argc() != 2) {
    LineMessage(EVENTLOG_ERROR, l, "Missing File in \"BlockListFile <File>\" line\n");
    return 1;
  }
  p->g->BlockListFile = l.tokens[1];
  return 0;
}

// "RateLimit ldap|hkp read|write <per second> <burst>": one line per
// bucket, a later line for the same bucket replacing the earlier one.
int RateLimitLine(const ConfigLine& l, MainPass* p) {
  static const char kUsage[] = "Invalid \"RateLimit ldap|hkp read|write <PerSecond> <Burst>\" line\n";
  if (l.argc() != 5) {
    LineMessage(EVENTLOG_ERROR, l, "Missing arguments in \"RateLimit ldap|hkp read|write <PerSecond> <Burst>\" line\n");
    return 1;
  }
  const std::string proto = ToLower(l.tokens[1]), kind = ToLower(l.tokens[2]);
  const bool protoOk = proto == "ldap" || proto == "hkp", kindOk = kind == "read" || kind == "write";
  const char* rate = l.tokens[3].c_str();
  const char* burst = l.tokens[4].c_str();
  if (!protoOk || !kindOk || !IsSignedDigits(rate) || !IsSignedDigits(burst) || *rate == '-' || *burst == '-') {
    LineMessage(EVENTLOG_ERROR, l, "%s", kUsage);
    return 1;
  }
  const long perSecond = AtoiSaturating(rate), size = AtoiSaturating(burst);
  if (perSecond < 1 || perSecond > 1000000 || size < 1 || size > 1000000) {
    LineMessage(EVENTLOG_ERROR, l, "%s", kUsage);
    return 1;
  }
  const int bucket = (proto == "hkp" ? kRateHkpRead : kRateLdapRead) + (kind == "write" ? 1 : 0);
  p->g->rateLimits[bucket] = RateSpec{static_cast<double>(perSecond), static_cast<double>(size)};
  return 0;
}

int RateLimitTableLine(const ConfigLine& l, MainPass* p) {
  long v = 0;
  int rc = DigitsInRange(l, &v, "Missing Number in \"RateLimitTable <Number>\" line\n",
                         "Invalid Number in \"RateLimitTable <Number>\" line (1024 - 16777216)\n", 1024, 16777216);
  if (rc == 0) p->g->RateLimitTable = static_cast<int>(v);
  return rc;
}

// "MetricsPort": 0 (off) or the port of the Prometheus endpoint;
// "MetricsAddress": the dotted IPv4 address it binds.
int MetricsPortLine(const ConfigLine& l, MainPass* p) {
  long v = 0;
  int rc = DigitsInRange(l, &v, "Missing port number in \"MetricsPort <Number>\" line\n",
                         "Invalid port number in \"MetricsPort <Number>\" line (0 for none, 1 - 65534)\n", 0, 65534);
  if (rc == 0) p->g->MetricsPort = static_cast<int>(v);
  return rc;
}

int MetricsAddressLine(const ConfigLine& l, MainPass* p) {
  in_addr a{};
  if (l.argc() != 2 || inet_pton(AF_INET, l.tokens[1].c_str(), &a) != 1) {
    LineMessage(EVENTLOG_ERROR, l, "Invalid Address in \"MetricsAddress <IPv4 address>\" line\n");
    return 1;
  }
  p->g->MetricsAddress = l.tokens[1];
  return 0;
}

// "ReconPort": 0 (off) or the port peers reconcile with.
int ReconPortLine(const ConfigLine& l, MainPass* p) {
  long v = 0;
  int rc = DigitsInRange(l, &v, "Missing port number in \"ReconPort <Number>\" line\n",
                         "Invalid port number in \"ReconPort <Number>\" line (0 for none, 1 - 65534)\n", 0, 65534);
  if (rc == 0) p->g->ReconPort = static_cast<int>(v);
  return rc;
}

bool IsHostName(const std::string& host) {
  return !host.empty() && host.front() != '.' && host.front() != '-' && host.back() != '.' &&
         host.find("..") == std::string::npos &&
         host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-.") ==
             std::string::npos;
}

// "ReconPartner <host> <reconport> <httpport>": one peer a line; the HTTP
// port is where its keys are fetched when its own handshake names none.
int ReconPartnerLine(const ConfigLine& l, MainPass* p) {
  static const char kUsage[] = "\"ReconPartner <Host> <ReconPort> <HTTPPort>\" line\n";
  if (l.argc() != 4) {
    LineMessage(EVENTLOG_ERROR, l, "Missing arguments in %s", kUsage);
    return 1;
  }
  Globals::ReconPartnerSetting partner;
  partner.host = l.tokens[1];
  if (!IsHostName(partner.host)) {
    LineMessage(EVENTLOG_ERROR, l, "Invalid Host in %s", kUsage);
    return 1;
  }
  if (!ParsePortNumber(l.tokens[2], &partner.reconPort) || !ParsePortNumber(l.tokens[3], &partner.httpPort)) {
    LineMessage(EVENTLOG_ERROR, l, "Invalid port number in %s", kUsage);
    return 1;
  }
  p->g->ReconPartners.push_back(std::move(partner));
  return 0;
}

// "ReconAllow <pattern>": an IPv4 address pattern with '*' and '?', matched
// like the patterns of "Allow ip" lines.
int ReconAllowLine(const ConfigLine& l, MainPass* p) {
  if (l.argc() != 2 || l.tokens[1].find_first_not_of("0123456789.*?") != std::string::npos) {
    LineMessage(EVENTLOG_ERROR, l, "Invalid Pattern in \"ReconAllow <Pattern>\" line\n");
    return 1;
  }
  p->g->ReconAllow.push_back(l.tokens[1]);
  return 0;
}

// "ReconInterval": seconds between gossip rounds, 1 to one day.
int ReconIntervalLine(const ConfigLine& l, MainPass* p) {
  long v = 0;
  int rc = DigitsInRange(l, &v, "Missing Seconds in \"ReconInterval <Seconds>\" line\n",
                         "Invalid Seconds in \"ReconInterval <Seconds>\" line (1 - 86400)\n", 1, 86400);
  if (rc == 0) p->g->ReconInterval = static_cast<int>(v);
  return rc;
}

using MainHandler = int (*)(const ConfigLine&, MainPass*);

struct MainKeyword {
  const char* name;
  MainHandler handler;
};

const MainKeyword kMainKeywords[] = {
    {"SizeLimit", SizeLimitLine},
    {"TimeLimit", TimeLimitLine},
    {"CycleLogDay", CycleLogDayLine},
    {"CycleLogTime", CycleLogTimeLine},
    {"CycleLogKeep", CycleLogKeepLine},
    {"Directory", DirectoryLine},
    {"Port", PortLine},
    {"SecurePort", SecurePortLine},
    {"PublicKeyRing", IgnoredLine},
    {"PrivateKeyRing", IgnoredLine},
    {"SecureMode", IgnoredLine},
    {"RandSeedFile", RandSeedFileLine},
    {"ServerSecureKeyID", IgnoredLine},
    {"ServerKeyPassphraseFile", IgnoredLine},
    {"ReplicationSecureKeyID", ReplicationKeyIDLine},
    {"ReadOnly", ReadOnlyLine},
    {"LogLevel", LogLevelLine},
    {"Replica", ReplicaLine},
    {"RepLogFile", RepLogFileLine},
    {"TrimUsers", TrimUsersLine},
    {"TrimSigs", TrimSigsLine},
    {"TrimPhotoIDs", TrimPhotoIDsLine},
    {"AcceptModernKeys", AcceptModernKeysLine},
    {"MustSigID", MustSigIDLine},
    {"AllowSigID", AllowSigIDLine},
    {"Allow", AllowLine},
    {"MustSignAdds", MustSignAddsLine},
    {"AccessLogDetails", AccessLogDetailsKeyword},
    {"AccessLogFile", AccessLogFileLine},
    {"PolicyFailures", PolicyFailuresLine},
    {"DefaultAccess", DefaultAccessLine},
    {"IdleSyncTimeout", IdleSyncTimeoutLine},
    {"CommandPort", IgnoredLine},
    {"CommandTimeout", CommandTimeoutLine},
    {"repdCommandTimeout", CommandTimeoutLine},
    {"repdCommandPort", CommandPortLine},
    {"LookupHostname", LookupHostnameLine},
    {"MaxMessageSize", MaxMessageSizeLine},
    {"HKPPort", HKPPortLine},
    {"HKPMaxConnections", HKPMaxConnectionsLine},
    {"HKPMaxConnectionsPerAddress", HKPMaxConnectionsPerAddressLine},
    {"HKPMaxBodyBytes", HKPMaxBodyBytesLine},
    {"HKPRequestTimeout", HKPRequestTimeoutLine},
    {"MaxConnections", MaxConnectionsLine},
    {"MaxConnectionsPerAddress", MaxConnectionsPerAddressLine},
    {"WKDDomain", WKDDomainLine},
    {"MaxKeyLength", KeyCapLine},
    {"MaxPacketLength", KeyCapLine},
    {"MaxSigPacketLength", KeyCapLine},
    {"MaxSignatures", KeyCapLine},
    {"MaxSignaturesPerUserID", KeyCapLine},
    {"ServeSignatures", ServeSignaturesLine},
    {"BlockListFile", BlockListFileLine},
    {"RateLimit", RateLimitLine},
    {"RateLimitTable", RateLimitTableLine},
    {"MetricsPort", MetricsPortLine},
    {"MetricsAddress", MetricsAddressLine},
    {"ReconPort", ReconPortLine},
    {"ReconPartner", ReconPartnerLine},
    {"ReconAllow", ReconAllowLine},
    {"ReconInterval", ReconIntervalLine},
};

}  // namespace

int HandleMainKeyword(const ConfigLine& l, MainPass* p) {
  for (const MainKeyword& k : kMainKeywords)
    if (l.Is(k.name)) return k.handler(l, p);
  return kNotMine;
}

}  // namespace kry
