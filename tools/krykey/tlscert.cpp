#include "tools/krykey/tlscert.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/net/krytls.h"

namespace {

struct Args {
  const char* keyFile = nullptr;
  const char* keyID = nullptr;
  const char* passphraseFile = nullptr;
  const char* out = nullptr;
  bool publicOnly = false;
};

int Usage() {
  std::fprintf(stderr,
               "usage: krykey tls-cert SECRET-KEY-FILE [--keyid ID] [--passphrase-file FILE] [--public] "
               "[--out PREFIX]\n");
  return 2;
}

bool Parse(int argc, char** argv, Args* a) {
  for (int i = 0; i < argc; ++i) {
    std::string w = argv[i];
    bool hasValue = i + 1 < argc;
    if (w == "--public") a->publicOnly = true;
    else if (w == "--keyid" && hasValue) a->keyID = argv[++i];
    else if (w == "--passphrase-file" && hasValue) a->passphraseFile = argv[++i];
    else if (w == "--out" && hasValue) a->out = argv[++i];
    else if (w.compare(0, 2, "--") != 0 && a->keyFile == nullptr) a->keyFile = argv[i];
    else return false;
  }
  return a->keyFile != nullptr;
}

int Fail(const std::string& what, KRYError e) {
  std::fprintf(stderr, "krykey: %s: %s (%d)\n", what.c_str(), KRYSocketsErrorText(e).c_str(), e);
  return 2;
}

// The first line of the file, without its line end.
bool ReadPassphrase(const char* path, std::string* out) {
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) return false;
  char buf[4096];
  bool ok = std::fgets(buf, sizeof buf, f) != nullptr;
  std::fclose(f);
  if (!ok) buf[0] = 0;
  out->assign(buf);
  while (!out->empty() && (out->back() == '\n' || out->back() == '\r')) out->pop_back();
  return true;
}

// The key named by --keyid, else the first key with a usable secret part.
KRYError PickKey(KRYKeySetRef set, const char* keyID, KRYKeyRef* key) {
  if (keyID != nullptr) {
    KRYKeyID id;
    KRYError e = KRYGetKeyIDFromString(keyID, &id);
    return e != 0 ? e : KRYGetKeyByKeyID(set, &id, -1, key);
  }
  KRYKeyListRef list = nullptr;
  KRYKeyIterRef iter = nullptr;
  KRYError e = KRYOrderKeySet(set, kKRYKeyOrdering_Any, &list);
  if (e == 0) e = KRYNewKeyIter(list, &iter);
  KRYKeyRef k = nullptr;
  *key = nullptr;
  while (e == 0 && *key == nullptr && KRYKeyIterNext(iter, &k) == 0) {
    KRYBoolean secret = 0, stub = 0;
    KRYGetKeyBoolean(k, kKRYKeyProperty_IsSecret, &secret);
    KRYGetKeyBoolean(k, kKRYKeyProperty_IsSecretShared, &stub);
    if (secret && !stub) *key = k;
  }
  if (iter) KRYFreeKeyIter(iter);
  if (list) KRYFreeKeyList(list);
  if (e == 0 && *key == nullptr) e = kKRYError_NoPrivateKey;
  return e;
}

// PEM output to PREFIX.crt / PREFIX.key (the key file only its owner may
// read), or to standard output.
bool WritePEM(const std::string& path, bool privateFile, X509* cert, EVP_PKEY* pkey) {
  std::FILE* f = stdout;
  if (!path.empty()) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, privateFile ? 0600 : 0644);
    if (fd < 0 || (privateFile && ::fchmod(fd, 0600) != 0)) {
      if (fd >= 0) ::close(fd);
      return false;
    }
    f = ::fdopen(fd, "w");
    if (f == nullptr) {
      ::close(fd);
      return false;
    }
  }
  bool ok = cert ? PEM_write_X509(f, cert) == 1
                 : PEM_write_PrivateKey(f, pkey, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  if (f == stdout) return std::fflush(f) == 0 && ok;
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int TLSCertCommand(KRYContextRef ctx, int argc, char** argv) {
  Args a;
  if (!Parse(argc, argv, &a)) return Usage();
  std::string passphrase;
  if (a.passphraseFile && !ReadPassphrase(a.passphraseFile, &passphrase)) {
    std::fprintf(stderr, "krykey: %s: cannot read\n", a.passphraseFile);
    return 2;
  }
  KRYImportOptions o{};
  o.inputFile = a.keyFile;
  KRYKeySetRef set = nullptr;
  KRYError e = KRYImportKeySet(ctx, &o, &set);
  if (e != 0) return Fail(a.keyFile, e);
  KRYKeyRef key = nullptr;
  e = PickKey(set, a.keyID, &key);
  X509* cert = nullptr;
  EVP_PKEY* pkey = nullptr;
  if (e == 0) e = KRYtlsMakeKeyCertificate(key, passphrase.c_str(), &cert, &pkey);
  KRYFreeKeySet(set);
  if (e != 0) return Fail(a.keyID ? a.keyID : a.keyFile, e);
  std::string prefix = a.out ? a.out : "";
  bool ok = WritePEM(prefix.empty() ? "" : prefix + ".crt", false, cert, nullptr);
  if (ok && !a.publicOnly) ok = WritePEM(prefix.empty() ? "" : prefix + ".key", true, nullptr, pkey);
  X509_free(cert);
  EVP_PKEY_free(pkey);
  if (!ok) {
    std::fprintf(stderr, "krykey: cannot write %s\n", prefix.empty() ? "the output" : prefix.c_str());
    return 2;
  }
  return 0;
}
