// Helpers for the key library tests: corpus files, a library session per
// test, and a throw-away GnuPG home for interoperability checks.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/pgp/kry.h"
#include "tests/support/corpus_files.h"
#include "tests/support/corpus_ids.h"

namespace pgptest {

inline std::string CorpusDir() { return corpus::Dir(); }
// The path of a corpus file; a missing one fails the test, naming it.
inline std::string Corpus(const std::string& name) { return corpus::Path(name); }

inline std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}
inline void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary);
  f << data;
}

// One initialised library and one context for the test.
class Lib : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, KRYsdkInit(0));
    ASSERT_EQ(0, KRYNewContext(kKRYsdkAPIVersion, &ctx));
  }
  void TearDown() override {
    KRYFreeContext(ctx);
    KRYsdkCleanup();
  }
  KRYKeySetRef ImportText(const std::string& text, KRYError* err = nullptr) {
    KRYImportOptions o{};
    o.inputBuffer = text.data();
    o.inputLength = text.size();
    KRYKeySetRef set = nullptr;
    KRYError e = KRYImportKeySet(ctx, &o, &set);
    if (err) *err = e;
    else EXPECT_EQ(0, e);
    return set;
  }
  KRYKeySetRef ImportFile(const std::string& name) { return ImportText(ReadFile(Corpus(name))); }
  std::string Export(KRYKeySetRef set, int format, bool secret = false, bool binary = false) {
    char* out = nullptr;
    size_t len = 0;
    EXPECT_EQ(0, KRYExportKeySetAlloc(set, format, secret, binary, &out, &len));
    std::string s(out ? out : "", len);
    KRYFreeData(out);
    return s;
  }
  std::vector<KRYKeyRef> Keys(KRYKeySetRef set) {
    std::vector<KRYKeyRef> keys;
    KRYKeyListRef list = nullptr;
    KRYKeyIterRef it = nullptr;
    EXPECT_EQ(0, KRYOrderKeySet(set, kKRYKeyOrdering_Any, &list));
    EXPECT_EQ(0, KRYNewKeyIter(list, &it));
    KRYKeyRef k;
    while (KRYKeyIterNext(it, &k) == 0) keys.push_back(k);
    KRYFreeKeyIter(it);
    KRYFreeKeyList(list);
    return keys;
  }
  static std::string KeyIDText(KRYKeyRef k) {
    KRYKeyID id;
    char buf[20];
    EXPECT_EQ(0, KRYGetKeyIDFromKey(k, &id));
    EXPECT_EQ(0, KRYGetKeyIDString(&id, kKRYKeyIDString_Full, buf, sizeof buf));
    return buf + 2;
  }
  KRYContextRef ctx = nullptr;
};

// Runs a shell command, returning its standard output and exit status.
inline std::string Run(const std::string& cmd, int* status = nullptr) {
  std::string out;
  std::FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

// A temporary GnuPG home; removed with everything in it at the end.
class GpgHome {
 public:
  GpgHome() {
    char tmpl[] = "/tmp/krypgp-gpg-XXXXXX";
    char* d = mkdtemp(tmpl);
    if (d) dir_ = d;
  }
  ~GpgHome() {
    if (dir_.empty()) return;
    Run("gpgconf --homedir " + dir_ + " --kill all >/dev/null 2>&1");
    Run("rm -rf " + dir_);
  }
  bool ok() const { return !dir_.empty(); }
  const std::string& dir() const { return dir_; }
  std::string Gpg(const std::string& args, int* status = nullptr) const {
    return Run("gpg --homedir " + dir_ +
                   " --batch --yes --no-tty --quiet --pinentry-mode loopback " + args +
                   " 2>/dev/null",
               status);
  }
  std::string File(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

inline bool HaveGpg() { return std::system("gpg --version >/dev/null 2>&1") == 0; }

}  // namespace pgptest
