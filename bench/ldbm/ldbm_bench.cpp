// ldbm backend benchmark: creates a database, stores N certificate-like
// entries through the backend (the store sequence of an add: reserve in the
// entry cache, child link, indexes, DN map, entry map), then reads every
// entry back by DN and by ID in random order, then runs the crash recovery
// (verify the entry file, rebuild every other file from it) and reads every
// entry back by DN once more, and prints entries per second for each phase,
// the recovery time and the process's peak memory.
//
//   ldbm_bench [--entries N] [--dir PATH] [--keep] [--cache-entries N]
//              [--dbcachesize BYTES] [--no-index] [--no-recover]
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "back-ldbm/backend.h"
#include "back-ldbm/cache.h"
#include "back-ldbm/dn2id.h"
#include "back-ldbm/id2children.h"
#include "back-ldbm/id2entry.h"
#include "back-ldbm/index.h"
#include "back-ldbm/nextid.h"
#include "back-ldbm/recover.h"
#include "ldap/dn.h"
#include "ldap/entry.h"
#include "util/strutil.h"

namespace kry {
namespace {

struct Options {
  long entries = 100000;
  std::string dir;
  bool keep = false;
  std::string cacheEntries = "1000";
  std::string dbCacheSize;  // backend default when empty
  bool index = true;
  bool recover = true;
};

void Usage() {
  std::fprintf(stderr,
               "usage: ldbm_bench [--entries N] [--dir PATH] [--keep] [--cache-entries N] [--dbcachesize BYTES] "
               "[--no-index] [--no-recover]\n");
}

bool ParseArgs(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--entries" && next(&v)) {
      o->entries = std::atol(v.c_str());
    } else if (a == "--dir" && next(&v)) {
      o->dir = v;
    } else if (a == "--keep") {
      o->keep = true;
    } else if (a == "--cache-entries" && next(&v)) {
      o->cacheEntries = v;
    } else if (a == "--dbcachesize" && next(&v)) {
      o->dbCacheSize = v;
    } else if (a == "--no-index") {
      o->index = false;
    } else if (a == "--no-recover") {
      o->recover = false;
    } else {
      return false;
    }
  }
  return o->entries > 0;
}

int Config(Backend* be, std::vector<std::string> words) {
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return backend_config(be, "ldbm_bench", 0, static_cast<int>(words.size()), argv.data());
}

std::string CertId(long i) { return StrFormat("%016llX", 0x0123456700000000ULL + static_cast<unsigned long long>(i)); }

std::string DnOf(long i) { return "kryCertID=" + CertId(i) + ",OU=ACTIVE,O=KRY KEYSPACE,C=US"; }

// Armoured key blocks of about 1.3 KB in CR LF lines, made before the clock
// starts.
std::vector<std::string> MakeKeyBlocks(std::mt19937& rng, int count) {
  static const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<std::string> blocks;
  for (int b = 0; b < count; ++b) {
    std::string block = "-----BEGIN PGP PUBLIC KEY BLOCK-----\r\nVersion: 2.5\r\n\r\n";
    for (int line = 0; line < 20; ++line) {
      for (int c = 0; c < 64; ++c) block.push_back(kB64[rng() % 64]);
      block += "\r\n";
    }
    block += "=AbCd\r\n-----END PGP PUBLIC KEY BLOCK-----\r\n";
    blocks.push_back(std::move(block));
  }
  return blocks;
}

// A certificate entry of realistic size.
Entry* MakeEntry(long i, EntryID id, const std::string& keyBlock) {
  Entry* e = new Entry;
  e->id = id;
  e->dn = DnOf(i);
  const std::string cert = CertId(i);
  attr_merge(e, "objectclass", "kryCertificate");
  attr_merge(e, "kryCertID", cert);
  attr_merge(e, "kryKeyID", cert.substr(8));
  attr_merge(e, "kryUserID", StrFormat("User %ld <user%ld@example.org>", i, i));
  attr_merge(e, "kryKeyCreateTime", StrFormat("2024%04ld120000Z", i % 10000));
  attr_merge(e, "kryDisabled", "0");
  attr_merge(e, "kryRevoked", "0");
  attr_merge(e, "kryKey", keyBlock);
  return e;
}

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// User and system time of the process so far.
double CpuSeconds() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

int RemoveTree(const std::string& path) {
  return nftw(
      path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return std::remove(p); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

int Run(const Options& o) {
  std::string dir = o.dir;
  bool made = false;
  if (dir.empty()) {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ldbm_bench.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
      std::perror("mkdtemp");
      return 1;
    }
    dir = buf.data();
    made = true;
  } else {
    mkdir(dir.c_str(), 0700);
  }

  std::vector<std::unique_ptr<Backend>> backends;
  Backend* be = backend_new("ldbm", backends);
  if (!be) {
    std::fprintf(stderr, "backend_new failed\n");
    return 1;
  }
  backend_set_directory(be, dir);
  if (Config(be, {"CacheEntries", o.cacheEntries}) == 1) return 1;
  if (!o.dbCacheSize.empty() && Config(be, {"DBCacheSize", o.dbCacheSize}) == 1) return 1;
  if (CreateDatabases(be) < 0 || CheckRequiredDBs(be) != 0) {
    std::fprintf(stderr, "could not create the databases in %s\n", dir.c_str());
    return 1;
  }
  Entry* parent = entry_by_dn(be, "OU=ACTIVE,O=KRY KEYSPACE,C=US");
  if (!parent) {
    std::fprintf(stderr, "base entry missing\n");
    return 1;
  }

  std::mt19937 rng(42);
  const std::vector<std::string> blocks = MakeKeyBlocks(rng, 64);
  std::vector<EntryID> ids(static_cast<size_t>(o.entries));
  long failures = 0;

  auto t0 = std::chrono::steady_clock::now();
  for (long i = 0; i < o.entries; ++i) {
    EntryID id = next_id(be);
    Entry* e = MakeEntry(i, id, blocks[static_cast<size_t>(i) % blocks.size()]);
    ids[static_cast<size_t>(i)] = id;
    // The store sequence of ldbm_back_add.
    if (cache_add_entry_lock(backend_cache(be), e, ENTRY_STATE_CREATING) != 0) {
      next_id_return(be, id);
      delete e;
      ++failures;
      continue;
    }
    std::string ndn = dn_normalized(e->dn);
    bool ok = id2children_add(be, parent, e) == 0;
    if (ok && o.index) ok = index_add_entry(be, e) == 0;
    if (ok) ok = dn2id_add(be, ndn, id) == 0;
    if (ok) ok = id2entry_add(be, e) == 0;
    if (!ok) ++failures;
    cache_set_entry_state(backend_cache(be), e, ENTRY_STATE_READY);
    cache_return_entry(be, e);
  }
  auto t1 = std::chrono::steady_clock::now();
  cache_return_entry(be, parent);
  backend_sync_all(backends);

  // Read back in random order; the entry cache holds only a small part.
  std::vector<long> order(static_cast<size_t>(o.entries));
  for (long i = 0; i < o.entries; ++i) order[static_cast<size_t>(i)] = i;
  std::shuffle(order.begin(), order.end(), rng);

  auto t2 = std::chrono::steady_clock::now();
  for (long i : order) {
    Entry* e = entry_by_dn(be, DnOf(i));
    if (!e || e->id != ids[static_cast<size_t>(i)])
      ++failures;
    if (e) cache_return_entry(be, e);
  }
  auto t3 = std::chrono::steady_clock::now();
  std::shuffle(order.begin(), order.end(), rng);
  auto t4 = std::chrono::steady_clock::now();
  for (long i : order) {
    Entry* e = id2entry(be, ids[static_cast<size_t>(i)]);
    if (!e || e->dn != DnOf(i)) ++failures;
    if (e) cache_return_entry(be, e);
  }
  auto t5 = std::chrono::steady_clock::now();

  RecoveryStats rst;
  double recoverReadSeconds = 0, recoverCpuSeconds = 0;
  if (o.recover) {
    be->ops.close(be);
    const double cpu0 = CpuSeconds();
    if (RecoverDatabases(be, &rst) != 0) ++failures;
    recoverCpuSeconds = CpuSeconds() - cpu0;
    auto t6 = std::chrono::steady_clock::now();
    for (long i : order) {
      Entry* e = entry_by_dn(be, DnOf(i));
      if (!e || e->id != ids[static_cast<size_t>(i)]) ++failures;
      if (e) cache_return_entry(be, e);
    }
    recoverReadSeconds = Seconds(t6, std::chrono::steady_clock::now());
  }

  backend_close_all(backends);
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);

  const double n = static_cast<double>(o.entries);
  std::printf("ldbm_bench: %ld entries in %s (%s, CacheEntries %s)\n", o.entries, dir.c_str(),
              o.index ? "with indexes" : "without indexes", o.cacheEntries.c_str());
  std::printf("add:           %10.0f entries/s  (%.2f s)\n", n / Seconds(t0, t1), Seconds(t0, t1));
  std::printf("fetch by DN:   %10.0f entries/s  (%.2f s)\n", n / Seconds(t2, t3), Seconds(t2, t3));
  std::printf("fetch by ID:   %10.0f entries/s  (%.2f s)\n", n / Seconds(t4, t5), Seconds(t4, t5));
  if (o.recover) {
    std::printf("recover:       %10.2f s         (%.2f s CPU; %zu entries indexed, %zu kept aside)\n", rst.seconds,
                recoverCpuSeconds, rst.entries, rst.setAside);
    std::printf("by DN after:   %10.0f entries/s  (%.2f s)\n", n / recoverReadSeconds, recoverReadSeconds);
  }
  std::printf("peak memory:   %10ld KB (max resident set size)\n", static_cast<long>(ru.ru_maxrss));
  std::printf("failures:      %10ld\n", failures);

  if (made && !o.keep) RemoveTree(dir);
  return failures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace kry

int main(int argc, char** argv) {
  kry::Options o;
  if (!kry::ParseArgs(argc, argv, &o)) {
    kry::Usage();
    return 2;
  }
  return kry::Run(o);
}
