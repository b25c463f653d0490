// HKP lookup benchmark against the real server: the keys of bulk-rsa.asc
// are submitted in one HKP request, then fetched by short key ID for a fixed
// time over 8 connections: as LDAP searches asking for "kryKey" (the
// key fetch an LDAP client makes) and as HKP op=get requests on keep-alive
// HTTP connections, then as op=get with a new connection each and as
// op=index. Prints the rates side by side, with the server's CPU time per
// HKP request (from /proc/<pid>/stat). With --wkd, a third run
// fetches the same keys through the Web Key Directory (advanced layout, by
// each key's example.org address, the answer cut down to that user ID).
//
//   hkp_bench [--corpus DIR] [--server PATH] [--seconds S] [--connections C] [--wkd]
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "hkp/wkdname.h"
#include "support/harness.h"

using namespace krytest;

namespace {

const char kActive[] = "OU=ACTIVE,O=KRY KEYSPACE,C=US";
const char kWkdDomain[] = "example.org";

// One HTTP/1.1 exchange on a kept-alive connection: the status, or 0 when
// the answer could not be read.
int HttpGet(Client& c, const std::string& path, std::string* buffer) {
  if (!c.Send("GET " + path + " HTTP/1.1\r\nHost: bench\r\n\r\n")) return 0;
  buffer->clear();
  size_t headerEnd = std::string::npos, need = 0;
  for (;;) {
    if (headerEnd == std::string::npos) {
      headerEnd = buffer->find("\r\n\r\n");
      if (headerEnd != std::string::npos) {
        const size_t at = buffer->find("Content-Length: ");
        if (at == std::string::npos || at > headerEnd) return 0;
        need = headerEnd + 4 + std::strtoul(buffer->c_str() + at + 16, nullptr, 10);
      }
    }
    if (headerEnd != std::string::npos && buffer->size() >= need) break;
    pollfd p{c.fd(), POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return 0;
    char chunk[16384];
    const ssize_t n = read(c.fd(), chunk, sizeof chunk);
    if (n <= 0) return 0;
    buffer->append(chunk, static_cast<size_t>(n));
  }
  return std::atoi(buffer->c_str() + 9);
}

bool LdapFetch(Client& c, const std::string& shortID, int msgid) {
  if (!c.Send(SearchEqualityRequest(msgid, kActive, 2, "kryKeyID", shortID, {"kryKey"}))) return false;
  std::vector<SearchEntry> entries;
  return ReadSearchResponses(c, &entries) == 0 && entries.size() == 1;
}

// CPU time the server has used so far (user and system), in seconds.
double ServerCpuSeconds(pid_t pid) {
  FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (!f) return 0;
  char buf[1024] = {0};
  const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = 0;
  // Fields after the command's closing parenthesis: state is the 3rd field,
  // utime the 14th and stime the 15th.
  const char* p = std::strrchr(buf, ')');
  unsigned long utime = 0, stime = 0;
  if (!p || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) return 0;
  return static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
}

long g_requests = 0;  // requests answered by the last Timed run

// Runs `one` on `connections` connections to `port` for `seconds`; the
// requests per second, with failures counted.
double Timed(int port, int connections, int seconds, const std::function<bool(Client&, long)>& one,
             std::atomic<long>* failures) {
  std::atomic<bool> stop{false};
  std::atomic<long> done{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < connections; ++t) {
    threads.emplace_back([&, t] {
      Client c;
      if (!c.Connect(port)) {
        ++*failures;
        return;
      }
      for (long i = t; !stop; i += connections) {
        if (one(c, i)) ++done;
        else ++*failures;
      }
    });
  }
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  stop = true;
  for (auto& th : threads) th.join();
  g_requests = done;
  return done / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The advanced WKD path of the first "<local@example.org>" user ID among
// `userIDs`; empty when there is none.
std::string WkdPath(const std::vector<std::string>& userIDs) {
  const std::string tail = std::string("@") + kWkdDomain + ">";
  for (const std::string& u : userIDs) {
    const size_t open = u.rfind('<');
    if (open == std::string::npos || u.size() < tail.size() || u.compare(u.size() - tail.size(), tail.size(), tail))
      continue;
    const std::string local = u.substr(open + 1, u.size() - tail.size() - open - 1);
    return std::string("/.well-known/openpgpkey/") + kWkdDomain + "/hu/" + kry::WkdHash(local) + "?l=" + local;
  }
  return std::string();
}

}  // namespace

int main(int argc, char** argv) {
  std::string corpus = KRY_BENCH_CORPUS, server = KRY_BENCH_SERVER;
  int seconds = 5, connections = 8;
  bool wkd = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--wkd") wkd = true;
    else if (i + 1 >= argc) return 2;
    else if (a == "--corpus") corpus = argv[++i];
    else if (a == "--server") server = argv[++i];
    else if (a == "--seconds") seconds = std::atoi(argv[++i]);
    else if (a == "--connections") connections = std::atoi(argv[++i]);
    else return 2;
  }
  if (seconds < 1 || seconds > 600 || connections < 1 || connections > 64) return 2;
  setenv("KRYCERTD_BIN", server.c_str(), 1);
  setenv("KRY_CORPUS", corpus.c_str(), 1);
  ServerTree tree;
  const int hkp = FreePort();
  // Closed connections leave their slot a moment later: the per-address
  // limit must not turn the connection-each run's clients away.
  tree.WriteConfig("LogLevel error\nAllow ip 127.0.0.1 all\nHKPMaxConnectionsPerAddress 1000\nHKPPort " +
                   std::to_string(hkp) + "\nWKDDomain " +
                   kWkdDomain + "\n");
  if (!tree.CreateDatabases() || !tree.Start()) {
    std::fprintf(stderr, "server did not start\n%s\n", tree.Output().c_str());
    return 1;
  }
  // The HKP port opens just after the LDAP port.
  for (int i = 0; i < 100; ++i) {
    Client probe;
    if (probe.Connect(hkp, 100)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const auto t0 = std::chrono::steady_clock::now();
  RunResult r = RunShell("curl -s --max-time 600 -o /dev/null -w '%{http_code}' --data-urlencode keytext@" +
                         ShellQuote(corpus + "/bulk-rsa.asc") + " http://127.0.0.1:" + std::to_string(hkp) +
                         "/pks/add");
  const double addSecs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (r.output != "200") {
    std::fprintf(stderr, "submission failed: %s\n", r.output.c_str());
    return 1;
  }
  // The short key IDs and WKD paths, as any LDAP client can list them.
  std::vector<std::string> ids, wkdPaths;
  {
    Client c;
    std::vector<SearchEntry> entries;
    if (!c.Connect(tree.port) ||
        !c.Send(SearchEqualityRequest(1, kActive, 2, "objectclass", "kryUserID", {"kryKeyID", "kryUserID"})) ||
        ReadSearchResponses(c, &entries) != 0)
      return 1;
    for (const SearchEntry& e : entries) {
      for (const std::string& v : e.Values("kryKeyID"))
        if (ids.empty() || ids.back() != v) ids.push_back(v);
      const std::string path = WkdPath(e.Values("kryUserID"));
      if (!path.empty()) wkdPaths.push_back(path);
    }
  }
  if (ids.empty() || (wkd && wkdPaths.empty())) return 1;
  std::printf("%zu keys of bulk-rsa.asc submitted in one HKP request in %.1f s (%.1f keys/s)\n", ids.size(), addSecs,
              ids.size() / addSecs);

  std::atomic<long> ldapFailures{0}, hkpFailures{0};
  const double ldap = Timed(tree.port, connections, seconds,
                            [&](Client& c, long i) { return LdapFetch(c, ids[i % ids.size()], static_cast<int>(i + 2)); },
                            &ldapFailures);
  // Server CPU per answered request, in milliseconds, of the run `run`.
  auto cpuPerRequest = [&](const std::function<double()>& run, double* rate) {
    const double before = ServerCpuSeconds(tree.pid());
    const long failed = hkpFailures.load();
    *rate = run();
    if (hkpFailures.load() != failed) std::fprintf(stderr, "%ld failures\n", hkpFailures.load() - failed);
    return g_requests > 0 ? 1000 * (ServerCpuSeconds(tree.pid()) - before) / g_requests : 0;
  };
  auto getPath = [&](long i) { return "/pks/lookup?op=get&options=mr&search=0x" + ids[i % ids.size()]; };
  double http = 0, fresh = 0, index = 0;
  const double httpCpu = cpuPerRequest(
      [&] {
        return Timed(hkp, connections, seconds,
                     [&](Client& c, long i) {
                       std::string buffer;
                       return HttpGet(c, getPath(i), &buffer) == 200;
                     },
                     &hkpFailures);
      },
      &http);
  // A new connection for every request, as clients that do not keep their
  // connections open make them.
  const double freshCpu = cpuPerRequest(
      [&] {
        return Timed(hkp, connections, seconds,
                     [&](Client&, long i) {
                       Client once;
                       std::string buffer;
                       return once.Connect(hkp) && HttpGet(once, getPath(i), &buffer) == 200;
                     },
                     &hkpFailures);
      },
      &fresh);
  const double indexCpu = cpuPerRequest(
      [&] {
        return Timed(hkp, connections, seconds,
                     [&](Client& c, long i) {
                       std::string buffer;
                       return HttpGet(c, "/pks/lookup?op=index&options=mr&search=0x" + ids[i % ids.size()],
                                      &buffer) == 200;
                     },
                     &hkpFailures);
      },
      &index);
  std::atomic<long> wkdFailures{0};
  double web = 0;
  if (wkd)
    web = Timed(hkp, connections, seconds,
                [&](Client& c, long i) {
                  std::string buffer;
                  return HttpGet(c, wkdPaths[i % wkdPaths.size()], &buffer) == 200;
                },
                &wkdFailures);
  std::printf("key fetch by short key ID over %d connections, %d s each:\n", connections, seconds);
  std::printf("  LDAP search (kryKeyID=..., kryKey): %8.0f per second (%ld failures)\n", ldap, ldapFailures.load());
  std::printf("  HKP op=get&options=mr, kept alive:  %8.0f per second, %.3f ms server CPU each\n", http, httpCpu);
  std::printf("  HKP op=get, a connection each:      %8.0f per second, %.3f ms server CPU each\n", fresh, freshCpu);
  std::printf("  HKP op=index&options=mr, kept alive:%8.0f per second, %.3f ms server CPU each\n", index, indexCpu);
  std::printf("  (%ld HKP failures)\n", hkpFailures.load());
  if (wkd)
    std::printf("  WKD by address (%zu addresses):    %8.0f per second (%ld failures)\n", wkdPaths.size(), web,
                wkdFailures.load());
  tree.Stop(SIGTERM);
  return ldapFailures || hkpFailures || wkdFailures ? 1 : 0;
}
