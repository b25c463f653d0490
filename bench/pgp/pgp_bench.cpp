// Bulk import benchmark: imports each bulk-*.asc file of the corpus and
// checks every signature, then times `gpg --import` of the same file into an
// empty GNUPGHOME, and prints both rates side by side.
//
//   pgp_bench [corpus-dir] [rounds]
//
// The certifications by trusted-signer are checkable because its key is
// loaded into the context first, as the server's policy set would be.
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/pgp/kry.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

struct Result {
  int keys = 0;
  int sigs = 0;
  int verified = 0;
  int untried = 0;
  double seconds = 0;
};

KRYKeySetRef Import(KRYContextRef ctx, const std::string& text) {
  KRYImportOptions o{};
  o.inputBuffer = text.data();
  o.inputLength = text.size();
  KRYKeySetRef set = nullptr;
  if (KRYImportKeySet(ctx, &o, &set) != 0) return nullptr;
  return set;
}

void CountSigs(KRYKeySetRef set, Result* r) {
  KRYKeyListRef list;
  KRYKeyIterRef it;
  KRYOrderKeySet(set, kKRYKeyOrdering_Any, &list);
  KRYNewKeyIter(list, &it);
  KRYKeyRef k;
  KRYSigRef s;
  auto count = [&](KRYSigRef sig) {
    KRYBoolean tried = 0, ok = 0;
    KRYGetSigBoolean(sig, kKRYSigProperty_IsTried, &tried);
    KRYGetSigBoolean(sig, kKRYSigProperty_IsVerified, &ok);
    ++r->sigs;
    r->verified += tried && ok;
    r->untried += !tried;
  };
  while (KRYKeyIterNext(it, &k) == 0) {
    ++r->keys;
    while (KRYKeyIterNextKeySig(it, &s) == 0) count(s);
    KRYUserIDRef u;
    while (KRYKeyIterNextUserID(it, &u) == 0)
      while (KRYKeyIterNextUIDSig(it, &s) == 0) count(s);
    KRYSubKeyRef sub;
    while (KRYKeyIterNextSubKey(it, &sub) == 0)
      while (KRYKeyIterNextSubKeySig(it, &s) == 0) count(s);
  }
  KRYFreeKeyIter(it);
  KRYFreeKeyList(list);
}

Result Ours(const std::string& corpus, const std::string& text) {
  Result r;
  KRYContextRef ctx;
  KRYNewContext(kKRYsdkAPIVersion, &ctx);
  KRYKeySetRef signer = Import(ctx, ReadFile(corpus + "/trusted-signer.asc"));
  auto t0 = Clock::now();
  KRYKeySetRef set = Import(ctx, text);
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  if (set) CountSigs(set, &r);
  KRYFreeKeySet(set);
  KRYFreeKeySet(signer);
  KRYFreeContext(ctx);
  return r;
}

double Gpg(const std::string& file) {
  char tmpl[] = "/tmp/krypgp-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return -1;
  std::string home = tmpl;
  // Start the agent and create the keybox before timing, so only the
  // import itself is measured.
  std::string base = "gpg --homedir " + home + " --batch --quiet --no-tty";
  if (std::system((base + " --list-keys >/dev/null 2>&1").c_str()) != 0) {}
  auto t0 = Clock::now();
  int rc = std::system((base + " --import " + file + " >/dev/null 2>&1").c_str());
  double s = std::chrono::duration<double>(Clock::now() - t0).count();
  if (std::system(("gpgconf --homedir " + home + " --kill all >/dev/null 2>&1").c_str()) != 0) {}
  if (std::system(("rm -rf " + home).c_str()) != 0) {}
  return WIFEXITED(rc) && WEXITSTATUS(rc) <= 2 ? s : -1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string corpus = argc > 1 ? argv[1] : (std::getenv("KRY_CORPUS") ? std::getenv("KRY_CORPUS") : KRY_CORPUS_DEFAULT);
  int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  if (rounds < 1) rounds = 1;
  KRYsdkInit(0);
  std::printf("%-18s %6s %6s %9s %12s %12s %7s\n", "file", "keys", "sigs", "verified",
              "krypgp k/s", "gpg k/s", "ratio");
  int worse = 0;
  for (const char* name : {"bulk-ed25519.asc", "bulk-rsa.asc", "bulk-dsa.asc"}) {
    std::string path = corpus + "/" + name;
    std::string text = ReadFile(path);
    if (text.empty()) {
      std::printf("%-18s missing\n", name);
      continue;
    }
    Result best;
    for (int i = 0; i < rounds; ++i) {
      Result r = Ours(corpus, text);
      if (i == 0 || r.seconds < best.seconds) best = r;
    }
    double gpg = Gpg(path);
    double ours = best.keys / best.seconds;
    double theirs = gpg > 0 ? best.keys / gpg : 0;
    std::printf("%-18s %6d %6d %9d %12.0f %12.0f %6.1fx\n", name, best.keys, best.sigs,
                best.verified, ours, theirs, theirs > 0 ? ours / theirs : 0.0);
    if (best.verified != best.sigs) {
      std::printf("  %d signatures not verified (%d untried)\n", best.sigs - best.verified,
                  best.untried);
      worse = 1;
    }
    if (theirs > 0 && ours < theirs) worse = 1;
  }
  KRYsdkCleanup();
  return worse;
}
