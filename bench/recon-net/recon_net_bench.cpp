// Reconciliation between two real servers of `keys` keys each that differ
// by the given shares (each server holds that share of keys the other
// lacks): both are loaded over HKP, then the first is restarted with the
// second as its partner, and the time until both hold the union is taken.
// Prints per share the session's length and bytes each way (from the
// statistics) and the time to converge, fetches through the add pipeline
// included.
//
//   recon_net_bench [--keys N] [--shares 1,10,50] [--corpus DIR] [--server PATH]
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/gen-keys/keypool.h"
#include "support/harness.h"

using namespace krytest;

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Submits keys [from, to) of `keys` over HKP in requests of 1,000.
bool Load(int http, const std::vector<std::string>& keys, size_t from, size_t to, const std::string& scratch) {
  for (size_t at = from; at < to; at += 1000) {
    std::string text;
    for (size_t i = at; i < to && i < at + 1000; ++i) text += keys[i];
    WriteFile(scratch, text);
    const RunResult r = RunShell("curl -s --max-time 900 -o /dev/null -w '%{http_code}' --data-urlencode keytext@" +
                                 ShellQuote(scratch) + " http://127.0.0.1:" + std::to_string(http) + "/pks/add");
    if (r.output != "200") return false;
  }
  return true;
}

std::string Stats(int http) {
  return RunShell("curl -s --max-time 30 'http://127.0.0.1:" + std::to_string(http) + "/pks/stats?options=mr'").output;
}

double Field(const std::string& json, const std::string& name) {
  const size_t at = json.find("\"" + name + "\":");
  return at == std::string::npos ? -1 : std::atof(json.c_str() + at + name.size() + 3);
}

std::string Config(int http, int recon, const std::string& extra) {
  return "LogLevel error\nAllow ip 127.0.0.1 all\nHKPPort " + std::to_string(http) + "\nReconPort " +
         std::to_string(recon) + "\n" + extra;
}

// One share: returns false when a server would not start or load.
bool RunShare(const std::vector<std::string>& keys, size_t n, int percent) {
  const size_t differ = n * static_cast<size_t>(percent) / 100, common = n - differ;
  ServerTree a, b;
  const int aHttp = FreePort(), aRecon = FreePort(), bHttp = FreePort(), bRecon = FreePort();
  a.WriteConfig(Config(aHttp, aRecon, ""));
  b.WriteConfig(Config(bHttp, bRecon,
                       "ReconPartner 127.0.0.1 " + std::to_string(aRecon) + " " + std::to_string(aHttp) +
                           "\nReconInterval 86400\n"));
  if (!a.CreateDatabases() || !b.CreateDatabases() || !a.Start() || !b.Start()) return false;
  const auto loading = Clock::now();
  // Keys [0, common) on both, then `differ` keys for A and `differ` for B.
  if (!Load(aHttp, keys, 0, common + differ, a.log + "/keys.asc") ||
      !Load(bHttp, keys, 0, common, b.log + "/keys.asc") ||
      !Load(bHttp, keys, common + differ, common + 2 * differ, b.log + "/keys.asc"))
    return false;
  const double loaded = Since(loading);
  a.Stop(SIGTERM);
  a.WriteConfig(Config(aHttp, aRecon, "ReconPartner 127.0.0.1 " + std::to_string(bRecon) + " " +
                                          std::to_string(bHttp) + "\nReconInterval 2\n"));
  if (!a.Start()) return false;
  const auto began = Clock::now();
  const double total = static_cast<double>(common + 2 * differ);
  std::string sa, sb;
  while (Since(began) < 3600) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    sa = Stats(aHttp);
    sb = Stats(bHttp);
    if (Field(sa, "digests") == total && Field(sb, "digests") == total) break;
  }
  printf("%3d%% of %zu differ (%zu missing each way): session %.3f s, %.0f bytes sent, %.0f received, "
         "%.0f round(s); converged with fetches in %.1f s (loading took %.1f s)\n",
         percent, n, differ, Field(sa, "lastSessionSeconds"), Field(sa, "bytesOut"), Field(sa, "bytesIn"),
         Field(sa, "rounds"), Since(began), loaded);
  fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string corpus = KRY_BENCH_CORPUS, server = KRY_BENCH_SERVER, shares = "1,10,50";
  long n = 20000;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--keys") n = std::atol(argv[i + 1]);
    else if (a == "--shares") shares = argv[i + 1];
    else if (a == "--corpus") corpus = argv[i + 1];
    else if (a == "--server") server = argv[i + 1];
  }
  setenv("KRYCERTD_BIN", server.c_str(), 1);
  setenv("KRY_CORPUS", corpus.c_str(), 1);
  std::vector<int> percents;
  for (size_t at = 0; at < shares.size();) {
    percents.push_back(std::atoi(shares.c_str() + at));
    const size_t comma = shares.find(',', at);
    at = comma == std::string::npos ? shares.size() : comma + 1;
  }
  int most = 0;
  for (int p : percents) most = std::max(most, p);
  krybench::KeyPool pool;
  if (!krybench::FillPool(&pool, 2, 1024)) return 1;
  const auto making = Clock::now();
  std::vector<std::string> keys;
  for (long i = 0; i < n + n * most / 100; ++i) {
    krybench::GeneratedKey g;
    if (!krybench::MakeKey(pool, i, 1600000000, &g)) return 1;
    keys.push_back(g.armored);
  }
  printf("%zu keys made in %.1f s\n", keys.size(), Since(making));
  for (int p : percents)
    if (!RunShare(keys, static_cast<size_t>(n), p)) {
      fprintf(stderr, "share %d%%: a server did not start or load\n", p);
      return 1;
    }
  return 0;
}
