// Writes a benchmark data set of N valid OpenPGP public keys: RSA keys with
// an RSA encryption subkey and DSA keys with an ElGamal subkey, one to three
// user IDs each, every fifth key certified by the one before it. Key
// material comes from a small pool made at start; each key has its own
// creation time, so its own fingerprint, and every signature is made.
//
//   gen-keys --count N --out FILE [--threads T] [--pool P] [--bits B] [--base-time T]
//
// --pool: pool keys of each kind (default 4); --bits: RSA and DSA size, 2048
// (default), 3072 or 1024 (quick tests); --base-time: the first key's
// creation time (default 2020-09-13). The pool is new each run, so the
// fingerprints are too; user IDs, times and certifiers repeat.
// FILE gets one armoured block per key; FILE.keyids the short key ID of each
// key (8 hex digits) and FILE.words the surname in its user IDs, one a line,
// for lookups and substring searches.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/gen-keys/keypool.h"
#include "platform/pgp/kry.h"

namespace {

struct Options {
  long count = 0;
  std::string out;
  int threads = int(std::thread::hardware_concurrency());
  int pool = 4;
  int bits = 2048;
  uint32_t baseTime = 1600000000;  // 2020-09-13: fixed, so runs repeat the same layout
};

bool ParseArgs(int argc, char** argv, Options* o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const char* v = argv[i + 1];
    if (a == "--count") o->count = std::atol(v);
    else if (a == "--out") o->out = v;
    else if (a == "--threads") o->threads = std::atoi(v);
    else if (a == "--pool") o->pool = std::atoi(v);
    else if (a == "--bits") o->bits = std::atoi(v);
    else if (a == "--base-time") o->baseTime = uint32_t(std::strtoul(v, nullptr, 10));
    else return false;
  }
  if (argc % 2 == 0) return false;
  if (o->threads < 1) o->threads = 1;
  return o->count > 0 && o->count <= 10000000 && !o->out.empty() && o->pool > 0 && o->pool <= 64 &&
         (o->bits == 1024 || o->bits == 2048 || o->bits == 3072);
}

bool WriteAll(const Options& o, const std::vector<krybench::GeneratedKey>& keys) {
  std::ofstream blocks(o.out, std::ios::binary), ids(o.out + ".keyids"), words(o.out + ".words");
  for (const auto& k : keys) {
    blocks << k.armored;
    ids << k.shortID << '\n';
    words << k.word << '\n';
  }
  blocks.close();
  ids.close();
  words.close();
  return blocks && ids && words;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, &o)) {
    std::fprintf(stderr, "usage: gen-keys --count N --out FILE [--threads T] [--pool P] [--bits B]\n"
                         "               [--base-time T]\n");
    return 2;
  }
  KRYsdkInit(0);
  const auto start = std::chrono::steady_clock::now();
  krybench::KeyPool pool;
  if (!krybench::FillPool(&pool, o.pool, o.bits)) {
    std::fprintf(stderr, "gen-keys: making the key pool failed\n");
    return 1;
  }
  const double poolSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::vector<krybench::GeneratedKey> keys(size_t(o.count));
  std::atomic<long> next{0};
  std::atomic<bool> failed{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < o.threads; ++t)
    workers.emplace_back([&] {
      for (long i = next++; i < o.count && !failed; i = next++)
        if (!krybench::MakeKey(pool, i, o.baseTime, &keys[size_t(i)])) failed = true;
    });
  for (auto& w : workers) w.join();
  if (failed) {
    std::fprintf(stderr, "gen-keys: making a key failed\n");
    return 1;
  }
  if (!WriteAll(o, keys)) {
    std::fprintf(stderr, "gen-keys: cannot write %s\n", o.out.c_str());
    return 1;
  }
  const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("gen-keys: %ld keys in %s, %.1f s (pool %.1f s, %.0f keys/s)\n", o.count, o.out.c_str(), total,
              poolSeconds, o.count / (total - poolSeconds));
  KRYsdkCleanup();
  return 0;
}
