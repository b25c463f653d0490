// TLS benchmark against the real server on loopback: connections per second
// on the plain port beside TLS handshakes per second on the secure port, and
// searches per second over one connection per client on each, printed with
// the ratio TLS / plain. The server presents the corpus's RSA server key;
// clients run TLS 1.3 without a client certificate, and with --client-cert
// with the RSA test key's certificate (found in the directory).
//
//   tls_bench [--seconds S] [--connections C] [--client-cert]
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/harness.h"
#include "support/tlsclient.h"

namespace {

using namespace krytest;

struct Options {
  int seconds = 3;
  int connections = 4;
  bool clientCert = false;
};

const char kSearchBase[] = "OU=ACTIVE,O=KRY KEYSPACE,C=US";

// Runs `work` on C threads for S seconds; operations per second.
double Rate(const Options& o, const std::function<bool(int)>& work) {
  std::atomic<long> done{0};
  std::atomic<bool> failed{false};
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(o.seconds);
  std::vector<std::thread> threads;
  for (int t = 0; t < o.connections; ++t)
    threads.emplace_back([&, t] {
      long n = 0;
      while (!failed && std::chrono::steady_clock::now() < end) {
        if (!work(t)) {
          failed = true;
          break;
        }
        ++n;
      }
      done += n;
    });
  for (auto& th : threads) th.join();
  if (failed) return -1;
  return static_cast<double>(done.load()) / o.seconds;
}

void Print(const char* what, double plain, double tls) {
  std::printf("%-22s plain %10.1f/s   tls %10.1f/s   ratio tls/plain %.3f\n", what, plain, tls,
              plain > 0 ? tls / plain : 0.0);
}

int Run(const Options& o) {
  ServerTree t;
  int secure = FreePort();
  while (secure == t.port || secure == t.commandPort) secure = FreePort();
  t.WriteConfig("Allow ip 127.0.0.1 all\nSecurePort " + std::to_string(secure) +
                "\nSecureMode required\nServerSecureKeyID 0x" + CorpusKeyID("server") + "\nLogLevel error\n");
  if (!t.CreateDatabases() || !t.Start()) {
    std::fprintf(stderr, "tls_bench: the server did not start\n%s", t.Output().c_str());
    return 1;
  }
  RunResult add = RunLdapTool(t.port, "ldapadd", {},
                              "dn: kryCertID=virtual," + std::string(kSearchBase) + "\nkryKey:< file://" +
                                  CorpusDir() + "/rsa.asc\n",
                              t.log + "/add.ldif");
  if (add.exitCode != 0) {
    std::fprintf(stderr, "tls_bench: adding the test key failed\n%s", add.output.c_str());
    return 1;
  }
  std::string cert, key;
  if (o.clientCert) {
    cert = t.log + "/client.crt";
    key = t.log + "/client.key";
    RunResult r = RunShell(ShellQuote(KRYKEY_BIN) + " tls-cert " + ShellQuote(CorpusDir() + "/rsa-secret.asc") +
                           " --out " + ShellQuote(t.log + "/client") + " 2>&1");
    if (r.exitCode != 0) {
      std::fprintf(stderr, "tls_bench: %s", r.output.c_str());
      return 1;
    }
  }
  std::printf("tls_bench: %d client threads, %d s per run%s\n", o.connections, o.seconds,
              o.clientCert ? ", client certificate" : "");

  const std::string unbind = UnbindRequest(9);
  double plainConnects = Rate(o, [&](int) {
    Client c;
    return c.Connect(t.port) && c.Send(unbind);
  });
  double handshakes = Rate(o, [&](int) {
    TLSClient c;
    c.Configure(cert, key);
    return c.Connect(secure) && c.Send(unbind);
  });
  Print("connections", plainConnects, handshakes);

  const std::string search =
      SearchEqualityRequest(2, kSearchBase, 2, "kryCertID", CorpusKeyID("rsa"), {"kryCertID"});
  std::vector<std::unique_ptr<Client>> plain(o.connections);
  std::vector<std::unique_ptr<TLSClient>> tls(o.connections);
  for (int i = 0; i < o.connections; ++i) {
    plain[i] = std::make_unique<Client>();
    tls[i] = std::make_unique<TLSClient>();
    tls[i]->Configure(cert, key);
    if (!plain[i]->Connect(t.port) || !tls[i]->Connect(secure)) {
      std::fprintf(stderr, "tls_bench: connecting failed\n");
      return 1;
    }
  }
  double plainSearches = Rate(o, [&](int i) {
    std::vector<SearchEntry> entries;
    return plain[i]->Send(search) && ReadSearchResponses(*plain[i], &entries) == 0 && entries.size() == 1;
  });
  double tlsSearches = Rate(o, [&](int i) {
    int entries = 0;
    return tls[i]->Send(search) && tls[i]->ReadSearchDone(&entries) == 0 && entries == 1;
  });
  Print("searches", plainSearches, tlsSearches);
  if (plainConnects < 0 || handshakes < 0 || plainSearches < 0 || tlsSearches < 0) {
    std::fprintf(stderr, "tls_bench: a run failed (negative rate)\n");
    return 1;
  }
  t.Stop(SIGTERM);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--seconds" && i + 1 < argc) o.seconds = std::atoi(argv[++i]);
    else if (a == "--connections" && i + 1 < argc) o.connections = std::atoi(argv[++i]);
    else if (a == "--client-cert") o.clientCert = true;
    else {
      std::fprintf(stderr, "usage: tls_bench [--seconds S] [--connections C] [--client-cert]\n");
      return 2;
    }
  }
  if (o.seconds < 1 || o.seconds > 600 || o.connections < 1 || o.connections > 64) {
    std::fprintf(stderr, "tls_bench: --seconds 1..600, --connections 1..64\n");
    return 2;
  }
  return Run(o);
}
