// The first configuration pass: the settings the command port and the
// server's own key need before anything else starts.
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

int KeyringLine(const ConfigLine& l, std::string* setting, const char* missing) {
  if (l.argc() != 2) {
    LineMessage(EVENTLOG_ERROR, l, "%s", missing);
    return 1;
  }
  if (AdjustPath(nullptr, l.arg(1), setting) != 0) {
    LineMessage(EVENTLOG_ERROR, l, "Out of memory\n");
    return 2;
  }
  return 0;
}

}  // namespace

int HandleCommandKeyword(const ConfigLine& l, Globals* g) {
  if (l.Is("CommandPort")) {
    if (l.argc() != 2) {
      LineMessage(EVENTLOG_ERROR, l, "Missing port number in \"CommandPort <Number>\" line\n");
      return 1;
    }
    int port = 0;
    if (!ParsePortNumber(l.tokens[1], &port)) {
      LineMessage(EVENTLOG_ERROR, l, "CommandPort number of '%s' is invalid.\n  Valid Port values: 1 - 65534.\n",
                  l.arg(1));
      return 1;
    }
    g->CommandPort = port;
    return 0;
  }
  if (l.Is("PublicKeyRing"))
    return KeyringLine(l, &g->PublicKeyRing, "Missing Filename in \"PublicKeyRing <Filename>\" line\n");
  if (l.Is("PrivateKeyRing"))
    return KeyringLine(l, &g->PrivateKeyRing, "Missing Filename in \"PrivateKeyRing <Filename>\" line\n");
  if (l.Is("ServerKeyPassphraseFile"))
    return KeyringLine(l, &g->ServerKeyPassphraseFile,
                       "Missing Filename in \"ServerKeyPassphraseFile <Filename>\" line\n");
  if (l.Is("ServerSecureKeyID")) {
    if (l.argc() != 2) {
      LineMessage(EVENTLOG_ERROR, l, "Missing Key ID in \"ServerSecureKeyID <KeyID>\" line\n");
      return 1;
    }
    std::vector<uint8_t> id;
    if (CheckConfigKeyID(l.arg(1), l.path, l.lineNumber) != 0 || !ParseConfigKeyIDBytes(l.arg(1), &id)) {
      LineMessage(EVENTLOG_ERROR, l, "Invalid KeyID (%s) found in ServerSecureKeyID\n", l.arg(1));
      return 1;
    }
    g->ServerSecureKeyID = std::move(id);
    return 0;
  }
  if (l.Is("SecureMode")) {
    if (l.argc() != 2) {
      LineMessage(EVENTLOG_ERROR, l, "Missing Mode in \"SecureMode <Mode>\" line\n");
      return 1;
    }
    const std::string& m = l.tokens[1];
    if (StrIEquals(m, "required")) {
      g->SecureMode = SECURE_REQUIRED;
    } else if (StrIEquals(m, "optional")) {
      g->SecureMode = SECURE_OPTIONAL;
    } else if (StrIEquals(m, "disabled")) {
      g->SecureMode = SECURE_DISABLED;
    } else {
      LineMessage(EVENTLOG_ERROR, l,
                  "SecureMode of '%s' is invalid.\n  Valid SecureModes: 'Required', 'Optional', 'Disabled'.\n",
                  m.c_str());
      return 1;
    }
    return 0;
  }
  if (l.Is("Allow")) {
    if (l.argc() != 4) {
      LineMessage(EVENTLOG_ERROR, l, "Invalid syntax on \"Allow <type> <pattern> <access level>\" line.\n");
      return 1;
    }
    if (!StrIEquals(l.tokens[1], "keyid") || !StrIEquals(l.tokens[3], "command")) return 0;
    if (CheckConfigKeyID(l.arg(2), l.path, l.lineNumber) != 0) {
      LineMessage(EVENTLOG_ERROR, l, "Invalid KeyID (%s) found in Allow\n", l.arg(2));
      return 1;
    }
    // Anyone can make a key whose short ID collides with another's, so
    // console authority is granted to full key IDs only.
    if (l.tokens[2].size() != 18) {
      LineMessage(EVENTLOG_ERROR, l,
                  "Allow keyid %s command: a console key must be named by its full 16-digit key ID; a short key "
                  "ID can be matched by any key made to collide with it.\n",
                  l.arg(2));
      return 1;
    }
    g->allowCommand.insert(g->allowCommand.begin(), l.tokens[2].substr(2));
    return 0;
  }
  return kNotMine;
}

int ReadCommand(const char* path, Backend** backend, int commandPortOverride) {
  Debug(LDAP_DEBUG_TRACE, "=> ReadCommand\n");
  Globals* g = g_globals;
  if (g == nullptr || path == nullptr) return 1;
  *backend = g->backends.empty() ? nullptr : g->backends.front().get();
  int lastLine = 0;
  int rc = ForEachConfigLine(
      path, nullptr,
      [g](const ConfigLine& line) {
        int r = HandleCommandKeyword(line, g);
        return r == kNotMine ? 0 : r;
      },
      &lastLine);
  if (rc == 0) {
    if (commandPortOverride != 0) g->CommandPort = commandPortOverride;
    if (g->CommandPort == 0 || g->PublicKeyRing.empty() || g->PrivateKeyRing.empty()) {
      Debug(LDAP_DEBUG_CERT, "ReadCommand: command port or keyring path missing\n");
      rc = 1;
    }
  }
  Debug(LDAP_DEBUG_TRACE, "<= ReadCommand, rc=%d\n", rc);
  return rc;
}

}  // namespace kry
