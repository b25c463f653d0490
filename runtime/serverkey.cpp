#include "runtime/serverkey.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cert/keysets.h"
#include "cert/policy_init.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "platform/net/krytls.h"
#include "runtime/globals.h"
#include "runtime/keycontext.h"

namespace kry {

namespace {

bool g_readSource = false;  // the passphrase comes from a file

// The file must be a regular file that only its owner may read.
bool PrivateFile(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    LogError(EVENTLOG_ERROR, "Cannot read the passphrase file %s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    LogError(EVENTLOG_ERROR, "The passphrase file %s is not a regular file.", path.c_str());
    return false;
  }
  if (st.st_mode & (S_IRWXG | S_IRWXO)) {
    LogError(EVENTLOG_ERROR,
             "The passphrase file %s may be read or written by group or others; refusing to use it (chmod 600).",
             path.c_str());
    return false;
  }
  return true;
}

void ClearPassphraseBuffer(char* p) {
  if (p == nullptr) return;
  volatile char* v = p;
  while (*v) *v++ = 0;
  KRYFreeData(p);
}

std::string KeyIDText(const KRYKeyID& id) {
  char buf[24] = "";
  int format = id.bytes[0] == 4 ? kKRYKeyIDString_Abbreviated : kKRYKeyIDString_Full;
  if (KRYGetKeyIDString(&id, format, buf, sizeof buf) != 0) return "";
  return buf;
}

// Step 3 of the selection: whether and how the passphrase is obtained. On
// return 0 with *key set (or left for step 4), the caller goes on.
int ObtainPassphrase(KRYContextRef context, KRYKeySetRef candidates, bool needsPassphrase, bool startNow,
                     int* secureMode, KRYKeyRef* key, std::string* passphrase) {
  int mode = *secureMode;
  if (mode == SECURE_DISABLED) return 0;
  if (mode != SECURE_REQUIRED && mode != SECURE_OPTIONAL) {
    *secureMode = SECURE_DISABLED;
    return 0;
  }
  if (!needsPassphrase) {
    passphrase->clear();
    return 0;
  }
  if (!PassphraseCanBeRead()) {
    if (mode == SECURE_OPTIONAL && (startNow || serviceMode)) {
      LogError(EVENTLOG_WARNING, "Secure server key requires passphrase, disabling SecureMode.\n");
      *secureMode = SECURE_DISABLED;
      passphrase->clear();
      return kKRYError_UserAbort;
    }
    if (mode == SECURE_REQUIRED && serviceMode) {
      LogError(EVENTLOG_ERROR, "Secure server key requires passphrase but interaction with Desktop disabled, exiting.\n");
      LogError(EVENTLOG_ERROR, "Getting passphrase failed with error %d (%s)", kKRYError_PassphraseUnavailable,
               LibraryErrorText(kKRYError_PassphraseUnavailable).c_str());
      return kKRYError_PassphraseUnavailable;
    }
  }
  char* text = nullptr;
  KRYPassphraseDialogOptions o{};
  o.outputPassphrase = &text;
  o.windowTitle = "KRY Certificate Server: Enter passphrase for secure server key";
  o.findMatchingKey = 1;
  int rc = KRYSigningPassphraseDialog(context, candidates, key, &o);
  if (rc == 0) {
    passphrase->assign(text ? text : "");
    ClearPassphraseBuffer(text);
    *secureMode = SECURE_REQUIRED;
    return 0;
  }
  ClearPassphraseBuffer(text);
  if (rc == kKRYError_UserAbort || rc == kKRYError_NoPrivateKey) {
    LogError(EVENTLOG_WARNING, rc == kKRYError_UserAbort ? "Entering passphrase was cancelled, disabling SecureMode.\n"
                                                         : "No private keys found in the keyring, disabling SecureMode.\n");
    *secureMode = SECURE_DISABLED;
    passphrase->clear();
    return rc;
  }
  LogError(EVENTLOG_ERROR, "Getting passphrase failed with error %d (%s)", rc, LibraryErrorText(rc).c_str());
  return rc;
}

// The server key of the keyrings by the chosen key ID, or null.
KRYKeyRef ChosenServerKey() {
  Globals* g = g_globals;
  KRYKeyID id;
  KRYKeyRef key = nullptr;
  if (!g_policy.keyrings || !ToLibraryKeyID(g->serverKeyID, &id) ||
      KRYGetKeyByKeyID(g_policy.keyrings, &id, -1, &key) != 0)
    return nullptr;
  return key;
}

}  // namespace

std::vector<uint8_t> KeyIDBytes(const KRYKeyID& id) {
  size_t n = id.bytes[0] == 4 ? 4 : 8;
  return std::vector<uint8_t>(id.bytes + 2, id.bytes + 2 + n);
}

int ConfigurePassphraseSource() {
  Globals* g = g_globals;
  g_readSource = false;
  std::string path = g->ServerKeyPassphraseFile;
  if (path.empty()) {
    const char* dir = std::getenv("CREDENTIALS_DIRECTORY");
    std::string candidate = dir && *dir ? std::string(dir) + "/" + kCredentialPassphraseName : "";
    // An empty credential (the package installs one) gives no passphrase.
    struct stat st;
    if (!candidate.empty() && stat(candidate.c_str(), &st) == 0 && st.st_size > 0) path = candidate;
  }
  if (!path.empty()) {
    if (!PrivateFile(path)) return 1;
    g_readSource = KRYSetPassphraseSource(kKRYPassphraseSource_File, path.c_str()) == 0;
    return g_readSource ? 0 : 1;
  }
  // Asking means the terminal, and only in the foreground.
  KRYSetPassphraseSource(serviceMode ? kKRYPassphraseSource_None : kKRYPassphraseSource_Terminal, nullptr);
  return 0;
}

bool PassphraseCanBeRead() { return g_readSource; }

int SelectServerKey(KRYContextRef context, const std::vector<uint8_t>& configuredID, KRYKeySetRef serverKeySet,
                    bool startNow, int* secureMode, std::vector<uint8_t>* serverKeyID, std::string* passphrase) {
  Debug(LDAP_DEBUG_TRACE, "=> SelectServerKey\n");
  if (serverKeySet == nullptr) {
    LogError(EVENTLOG_ERROR, "No keyrings specified in config file for use with TLS");
    return kKRYError_NoKeyRings;
  }
  KRYKeySetRef candidates = serverKeySet;
  KRYKeySetRef singleton = nullptr;
  KRYKeyRef key = nullptr;
  bool needsPassphrase = true;
  KRYKeyID id;
  int rc = 0;
  if (ToLibraryKeyID(configuredID, &id) && !KeyIDText(id).empty()) {
    rc = KRYGetKeyByKeyID(serverKeySet, &id, -1, &key);
    if (rc != 0) {
      LogError(EVENTLOG_ERROR, "Cannot find Server Secure KeyID (%s) in keyring.", KeyIDText(id).c_str());
      return rc;
    }
    KRYBoolean needs = 1;
    rc = KRYGetKeyBoolean(key, kKRYKeyProperty_NeedsPassphrase, &needs);
    if (rc == 0) rc = KRYNewSingletonKeySet(key, &singleton);
    if (rc != 0) {
      LogError(EVENTLOG_ERROR, "Using secure key caused error %d (%s)", rc, LibraryErrorText(rc).c_str());
      return rc;
    }
    needsPassphrase = needs != 0;
    candidates = singleton;
  }
  rc = ObtainPassphrase(context, candidates, needsPassphrase, startNow, secureMode, &key, passphrase);
  if (rc == 0 && *secureMode != SECURE_DISABLED) {
    KRYKeyID chosen;
    rc = key ? KRYGetKeyIDFromKey(key, &chosen) : kKRYError_NoPrivateKey;
    if (rc != 0) LogError(EVENTLOG_ERROR, "Invalid private key found.  Error %d (%s)", rc, LibraryErrorText(rc).c_str());
    else *serverKeyID = KeyIDBytes(chosen);
  }
  KRYFreeKeySet(singleton);
  Debug(LDAP_DEBUG_TRACE, "<= SelectServerKey, rc=%d\n", rc);
  return rc;
}

int GatherEntropy(int* secureMode) {
  Debug(LDAP_DEBUG_TRACE, "=> GatherEntropy\n");
  int rc = 0;
  if (*secureMode != SECURE_DISABLED && !KRYGlobalRandomPoolHasMinimumEntropy()) {
    int bits = 2 * KRYGlobalRandomPoolGetMinimumEntropy() - KRYGlobalRandomPoolGetEntropy();
    if (bits < 600) bits = 600;
    KRYRandomDialogOptions o{};
    int err = KRYCollectRandomDataDialog(static_cast<KRYContextRef>(g_globals->keyContext), bits, &o);
    if (err != 0) {
      // Nobody can be asked whether to go on without TLS: stop.
      char text[100];
      KRYGetErrorString(err, text, sizeof text);
      LogError(EVENTLOG_ERROR, "Collecting Random Data failed with error: %s", text);
      rc = 1;
    }
  }
  Debug(LDAP_DEBUG_TRACE, "<= GatherEntropy, rc=%d\n", rc);
  return rc;
}

int PrepareServerCertificate() {
  Globals* g = g_globals;
  KRYKeyRef key = ChosenServerKey();
  if (key == nullptr) {
    LogError(EVENTLOG_ERROR, "Cannot find server's TLS key in keyring.");
    return 1;
  }
  KRYtlsKeyOptions o{};
  o.passphrase = g->passphrase.c_str();
  int rc = KRYtlsPrepareLocalKey(key, &o);
  int32_t alg = 0;
  if (rc == 0 && KRYGetKeyNumber(key, kKRYKeyProperty_AlgorithmID, &alg) == 0 && alg == kKRYPublicKeyAlgorithm_DSA)
    LogError(EVENTLOG_WARNING,
             "The server key is a DSA key: only TLS 1.2 clients that enable DHE-DSS cipher suites can connect.");
  if (rc != 0) {
    LogError(EVENTLOG_ERROR, "Making the TLS certificate of the server key failed with error %d (%s)", rc,
             KRYSocketsErrorText(rc).c_str());
    return 1;
  }
  return 0;
}

int PrepareIdleServerKey() {
  Globals* g = g_globals;
  KRYKeyID id;
  KRYKeyRef key = nullptr;
  if (!ToLibraryKeyID(g->ServerSecureKeyID, &id) || !g_policy.keyrings ||
      KRYGetKeyByKeyID(g_policy.keyrings, &id, -1, &key) != 0)
    return 0;
  KRYBoolean needs = 1;
  if (KRYGetKeyBoolean(key, kKRYKeyProperty_NeedsPassphrase, &needs) != 0 || needs) return 0;
  g->passphrase.clear();
  KRYKeyID chosen;
  if (KRYGetKeyIDFromKey(key, &chosen) != 0) {
    LogError(EVENTLOG_WARNING, "Unable to get KEYID from specified Key!");
    return 0;
  }
  g->serverKeyID = KeyIDBytes(chosen);
  return 0;
}

int PrepareConsoleStartKey() {
  Globals* g = g_globals;
  KRYKeyID id;
  if (!ToLibraryKeyID(g->ServerSecureKeyID, &id)) {
    LogError(EVENTLOG_ERROR, "Error, no key specified for use with TLS");
    return 1;
  }
  KRYKeyRef key = nullptr;
  if (!g_policy.keyrings || KRYGetKeyByKeyID(g_policy.keyrings, &id, -1, &key) != 0) {
    LogError(EVENTLOG_ERROR, "Error, unable to obtain key from specified keyid.  Unable to enable secure port!");
    return 1;
  }
  KRYBoolean needs = 1;
  KRYGetKeyBoolean(key, kKRYKeyProperty_NeedsPassphrase, &needs);
  std::string passphrase;
  if (needs) {
    // Never asked for here; a passphrase file is read, which is not asking.
    KRYKeySetRef one = nullptr;
    char* text = nullptr;
    KRYKeyRef unlocked = nullptr;
    int rc = PassphraseCanBeRead() ? KRYNewSingletonKeySet(key, &one) : kKRYError_PassphraseUnavailable;
    if (rc == 0) {
      KRYPassphraseDialogOptions o{};
      o.outputPassphrase = &text;
      o.findMatchingKey = 1;
      rc = KRYSigningPassphraseDialog(static_cast<KRYContextRef>(g->keyContext), one, &unlocked, &o);
    }
    if (rc == 0) passphrase = text ? text : "";
    ClearPassphraseBuffer(text);
    KRYFreeKeySet(one);
    if (rc != 0) {
      LogError(EVENTLOG_ERROR,
               "Error, public-private key specified requires a passphrase.  Unable to enable secure port!");
      return 1;
    }
  }
  KRYKeyID chosen;
  if (KRYGetKeyIDFromKey(key, &chosen) != 0) {
    LogError(EVENTLOG_WARNING, "Unable to get KEYID from specified Key!  Unable to enable secure port!");
    return 1;
  }
  g->serverKeyID = KeyIDBytes(chosen);
  g->passphrase = passphrase;
  return 0;
}

}  // namespace kry
