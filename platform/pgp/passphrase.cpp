// Secret keys: checking passphrases, unlocked OpenSSL keys, and where
// passphrases come from (the terminal, or a file, descriptor or environment
// variable for unattended starts).
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "platform/pgp/internal.h"
#include "platform/pgp/pubkey.h"
#include "platform/pgp/s2k.h"

using namespace krypgp;

namespace {

std::mutex g_sourceLock;
int g_sourceKind = kKRYPassphraseSource_Terminal;
std::string g_sourceArg;

struct Secret {
  std::string text;
  ~Secret() { OPENSSL_cleanse(&text[0], text.size()); }
};

// Reads one line from fd (without the line end). False at end of input
// before any character.
bool ReadLine(int fd, std::string* out) {
  out->clear();
  char c;
  bool any = false;
  for (;;) {
    ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return any;
    any = true;
    if (c == '\n') break;
    if (c != '\r') out->push_back(c);
    if (out->size() > 4096) break;
  }
  return true;
}

// The terminal: prompt on /dev/tty with echo off. UserAbort on end of input.
KRYError AskTerminal(const char* prompt, std::string* out) {
  int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return kKRYError_PassphraseUnavailable;
  struct termios old;
  bool restore = tcgetattr(fd, &old) == 0;
  if (restore) {
    struct termios quiet = old;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  std::string p = std::string(prompt ? prompt : "Enter passphrase") + ": ";
  ssize_t w = write(fd, p.data(), p.size());
  (void)w;
  bool got = ReadLine(fd, out);
  w = write(fd, "\n", 1);
  if (restore) tcsetattr(fd, TCSAFLUSH, &old);
  close(fd);
  return got ? kKRYError_NoErr : kKRYError_UserAbort;
}

KRYError FromSource(int kind, const std::string& arg, std::string* out) {
  switch (kind) {
    case kKRYPassphraseSource_File: {
      int fd = open(arg.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) return kKRYError_PassphraseUnavailable;
      bool got = ReadLine(fd, out);
      close(fd);
      return got ? kKRYError_NoErr : kKRYError_UserAbort;
    }
    case kKRYPassphraseSource_FD: {
      int fd = std::atoi(arg.c_str());
      if (fd < 0 || arg.empty()) return kKRYError_PassphraseUnavailable;
      return ReadLine(fd, out) ? kKRYError_NoErr : kKRYError_UserAbort;
    }
    case kKRYPassphraseSource_Env: {
      const char* v = std::getenv(arg.c_str());
      if (v == nullptr) return kKRYError_PassphraseUnavailable;
      *out = v;
      return kKRYError_NoErr;
    }
    default:
      return kKRYError_PassphraseUnavailable;
  }
}

}  // namespace

namespace {
// v3 secret keys encrypt each MPI on its own with a resynchronised CFB; they
// have not been made for decades and are not read.
bool UnlockableVersion(const KRYKey* key) {
  return key->info.version >= 4 || key->secret.usage == 0;
}
}  // namespace

KRYError KRYPassphraseIsValid(KRYKeyRef key, const char* passphrase) {
  if (key == nullptr) return kKRYError_BadParams;
  if (key->secretPacket.tag == 0) return kKRYError_NoPrivateKey;
  if (!UnlockableVersion(key)) return kKRYError_UnsupportedAlgorithm;
  Bytes plain;
  KRYError err = UnlockSecret(key->secretPacket.body, key->secret, passphrase, &plain);
  OPENSSL_cleanse(plain.data(), plain.size());
  return err;
}

KRYError KRYGetPrivateKeyEVP(KRYKeyRef key, const char* passphrase, EVP_PKEY** outPKey) {
  if (key == nullptr || outPKey == nullptr) return kKRYError_BadParams;
  *outPKey = nullptr;
  if (key->secretPacket.tag == 0) return kKRYError_NoPrivateKey;
  if (!UnlockableVersion(key)) return kKRYError_UnsupportedAlgorithm;
  Bytes plain;
  KRYError err = UnlockSecret(key->secretPacket.body, key->secret, passphrase, &plain);
  if (err == kKRYError_NoErr) err = PrivateEVP(key->info, plain, outPKey);
  OPENSSL_cleanse(plain.data(), plain.size());
  return err;
}

KRYError KRYGetPublicKeyEVP(KRYKeyRef key, EVP_PKEY** outPKey) {
  if (key == nullptr || outPKey == nullptr) return kKRYError_BadParams;
  EVP_PKEY* k = PublicEVP(key->info);
  if (k == nullptr || EVP_PKEY_up_ref(k) != 1) return kKRYError_UnsupportedAlgorithm;
  *outPKey = k;
  return kKRYError_NoErr;
}

KRYError KRYGetKeyByPublicKeyEVP(KRYKeySetRef set, const EVP_PKEY* pkey, KRYKeyRef* outKey) {
  if (set == nullptr || pkey == nullptr || outKey == nullptr) return kKRYError_BadParams;
  *outKey = nullptr;
  for (auto& k : set->keys) {
    EVP_PKEY* mine = PublicEVP(k->info);
    bool hit = mine != nullptr && EVP_PKEY_eq(mine, pkey) == 1;
    for (auto& sub : k->subKeys) {
      if (hit) break;
      if (sub->removed || sub->info.fingerprintLen == 0) continue;
      EVP_PKEY* s = PublicEVP(sub->info);
      hit = s != nullptr && EVP_PKEY_eq(s, pkey) == 1;
    }
    if (hit) {
      *outKey = k.get();
      return kKRYError_NoErr;
    }
  }
  return kKRYError_ItemNotFound;
}

KRYError KRYSetPassphraseSource(int kind, const char* arg) {
  if (kind < kKRYPassphraseSource_None || kind > kKRYPassphraseSource_Env) return kKRYError_BadParams;
  if (kind >= kKRYPassphraseSource_File && (arg == nullptr || *arg == 0)) return kKRYError_BadParams;
  std::lock_guard<std::mutex> lock(g_sourceLock);
  g_sourceKind = kind;
  g_sourceArg = arg ? arg : "";
  return kKRYError_NoErr;
}

KRYError KRYSigningPassphraseDialog(KRYContextRef context, KRYKeySetRef candidates,
                                    KRYKeyRef* outKey, const KRYPassphraseDialogOptions* options) {
  if (context == nullptr || candidates == nullptr || outKey == nullptr || options == nullptr ||
      options->outputPassphrase == nullptr)
    return kKRYError_BadParams;
  *outKey = nullptr;
  *options->outputPassphrase = nullptr;
  std::vector<KRYKey*> secrets;
  for (auto& k : candidates->keys)
    if (k->secretPacket.tag != 0 && !k->secret.gnuDummy) secrets.push_back(k.get());
  if (secrets.empty()) return kKRYError_NoPrivateKey;
  int kind;
  std::string arg;
  {
    std::lock_guard<std::mutex> lock(g_sourceLock);
    kind = g_sourceKind;
    arg = g_sourceArg;
  }
  if (kind == kKRYPassphraseSource_None) return kKRYError_PassphraseUnavailable;
  bool interactive = kind == kKRYPassphraseSource_Terminal;
  int attempts = interactive ? (options->maxAttempts > 0 ? options->maxAttempts : 3) : 1;
  KRYError last = kKRYError_BadPassphrase;
  for (int i = 0; i < attempts; ++i) {
    Secret pass;
    KRYError err = interactive ? AskTerminal(options->windowTitle, &pass.text)
                               : FromSource(kind, arg, &pass.text);
    if (err != kKRYError_NoErr) return err;
    for (KRYKey* k : secrets) {
      if (KRYPassphraseIsValid(k, pass.text.c_str()) != kKRYError_NoErr) {
        if (!options->findMatchingKey) break;  // only the first candidate counts
        continue;
      }
      char* copy = static_cast<char*>(KRYNewData(nullptr, pass.text.size() + 1, 0));
      if (copy == nullptr) return kKRYError_OutOfMemory;
      std::memcpy(copy, pass.text.c_str(), pass.text.size() + 1);
      *options->outputPassphrase = copy;
      *outKey = k;
      return kKRYError_NoErr;
    }
    last = kKRYError_BadPassphrase;
  }
  return last;
}
