// Key submission benchmark against the real server: every key of
// bulk-rsa.asc and bulk-dsa.asc is added at the virtual DN over 4 concurrent
// LDAP connections, then looked up by its short key ID asking for "kryKey"
// over 8 connections. Runs once with the data directory on tmpfs
// (/dev/shm) and once on disk (the system's temporary directory), and times
// `gpg --import` of the same files into an empty home for comparison.
//
//   cert_bench [--corpus DIR] [--server PATH] [--disk-dir DIR]
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "cert/keysets.h"
#include "cert/kryhandles.h"
#include "ldap/ber.h"
#include "platform/pgp/kry.h"
#include "support/harness.h"

using namespace krytest;

namespace {

const char kVirtualDN[] = "kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US";
const char kActive[] = "OU=ACTIVE,O=KRY KEYSPACE,C=US";

struct Key {
  std::string block;
  std::string shortID;
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::string Encoded(kry::BerBuffer* ber) {
  return std::string(reinterpret_cast<const char*>(ber->buffer()), ber->current);
}

std::string AddRequest(int msgid, const std::string& block) {
  kry::BerBufferPtr ber = kry::ber_alloc_ptr(kry::BER_OPTION_DER);
  kry::ber_printf(ber.get(), "{it{s{{s[o]}}}}", msgid, 0x68, kVirtualDN, "kryKey", block.data(),
                  static_cast<int>(block.size()));
  return Encoded(ber.get());
}

std::string KeySearch(int msgid, const std::string& shortID) {
  kry::BerBufferPtr ber = kry::ber_alloc_ptr(kry::BER_OPTION_DER);
  kry::ber_printf(ber.get(), "{it{siiiibt{ss}{s}}}", msgid, 0x63, kActive, 2, 0, 0, 0, 0, 0xA3, "kryKeyID",
                  shortID.c_str(), "kryKey");
  return Encoded(ber.get());
}

// Splits a file of armoured blocks and reads each key's short ID.
std::vector<Key> LoadKeys(const std::string& path) {
  std::vector<Key> keys;
  const std::string text = ReadFile(path);
  const std::string end = "-----END PGP PUBLIC KEY BLOCK-----";
  KRYContextRef context = nullptr;
  KRYNewContext(kKRYsdkAPIVersion, &context);
  for (size_t at = text.find("-----BEGIN"); at != std::string::npos; at = text.find("-----BEGIN", at)) {
    size_t stop = text.find(end, at);
    if (stop == std::string::npos) break;
    stop += end.size();
    Key k;
    k.block = text.substr(at, stop - at) + "\n";
    at = stop;
    KRYImportOptions in{};
    in.inputBuffer = k.block.data();
    in.inputLength = k.block.size();
    kry::KeySetHolder set;
    KRYKeyRef key = nullptr;
    KRYKeyID id{};
    if (KRYImportKeySet(context, &in, set.out()) != 0 || kry::KeySet2Key(set.get(), &key) != 0 || !key ||
        KRYGetKeyIDFromKey(key, &id) != 0)
      continue;
    k.shortID = kry::KeyIDDigits(id).substr(8);
    keys.push_back(std::move(k));
  }
  KRYFreeContext(context);
  return keys;
}

// Runs `work(connection, index)` for indexes 0..count-1 spread over
// `connections` clients; returns the elapsed seconds and counts failures.
template <typename Work>
double Spread(int port, int connections, size_t count, Work work, std::atomic<int>* failures) {
  std::atomic<size_t> next{0};
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < connections; ++c)
    threads.emplace_back([&] {
      Client client;
      if (!client.Connect(port)) {
        ++*failures;
        return;
      }
      for (size_t i = next++; i < count; i = next++)
        if (!work(client, i)) ++*failures;
    });
  for (auto& t : threads) t.join();
  return Seconds(start);
}

bool AddOne(Client& client, const Key& key, int msgid) {
  std::string reply;
  if (!client.Send(AddRequest(msgid, key.block)) || !client.ReadMessage(&reply, 60000)) return false;
  const int rc = ResultCode(reply);
  return rc == 0 || rc == 68;
}

bool LookUp(Client& client, const Key& key, int msgid) {
  if (!client.Send(KeySearch(msgid, key.shortID))) return false;
  int entries = 0;
  for (;;) {
    std::string reply;
    if (!client.ReadMessage(&reply, 60000)) return false;
    unsigned tag = 0;
    int rc = ResultCode(reply, &tag);
    if (tag == 0x65) return rc == 0 && entries >= 1;
    ++entries;
  }
}

struct Figures {
  double addsPerSecond = 0, lookupsPerSecond = 0;
  int failures = 0;
};

Figures RunServer(const std::string& dataRoot, const std::vector<Key>& keys) {
  Figures f;
  std::string tmpl = dataRoot + "/cert-bench.XXXXXX";
  if (!mkdtemp(tmpl.data())) {
    f.failures = -1;
    return f;
  }
  ServerTree tree;
  tree.WriteConfig("Port " + std::to_string(tree.port) + "\nCommandPort " + std::to_string(tree.commandPort) +
                       "\nSecureMode disabled\nDirectory " + tmpl + "\nLogLevel error\nAllow ip 127.0.0.1 all\n",
                   false);
  if (!tree.CreateDatabases() || !tree.Start()) {
    std::fprintf(stderr, "server did not start in %s\n%s\n", dataRoot.c_str(), tree.Output().c_str());
    f.failures = -1;
    return f;
  }
  std::atomic<int> failures{0};
  double t = Spread(tree.port, 4, keys.size(),
                    [&](Client& c, size_t i) { return AddOne(c, keys[i], static_cast<int>(i) + 1); }, &failures);
  f.addsPerSecond = keys.size() / t;
  t = Spread(tree.port, 8, keys.size(),
             [&](Client& c, size_t i) { return LookUp(c, keys[i], static_cast<int>(i) + 1); }, &failures);
  f.lookupsPerSecond = keys.size() / t;
  f.failures = failures;
  tree.Stop(SIGTERM);
  RunShell("rm -rf " + ShellQuote(tmpl));
  return f;
}

double GpgImport(const std::vector<std::string>& files, size_t keyCount) {
  TempDir home;
  const std::string base = "gpg --homedir " + ShellQuote(home.path()) + " --batch --quiet --no-tty";
  RunShell(base + " --list-keys >/dev/null 2>&1");
  const auto start = std::chrono::steady_clock::now();
  for (const std::string& f : files) RunShell(base + " --import " + ShellQuote(f) + " >/dev/null 2>&1");
  const double t = Seconds(start);
  RunShell("gpgconf --homedir " + ShellQuote(home.path()) + " --kill all >/dev/null 2>&1");
  return keyCount / t;
}

}  // namespace

int main(int argc, char** argv) {
  std::string corpus = KRY_BENCH_CORPUS, server = KRY_BENCH_SERVER, disk = "/var/tmp";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--corpus") corpus = argv[i + 1];
    else if (a == "--server") server = argv[i + 1];
    else if (a == "--disk-dir") disk = argv[i + 1];
  }
  setenv("KRYCERTD_BIN", server.c_str(), 1);
  setenv("KRY_CORPUS", corpus.c_str(), 1);
  KRYsdkInit(0);
  const std::vector<std::string> files = {corpus + "/bulk-rsa.asc", corpus + "/bulk-dsa.asc"};
  std::vector<Key> keys;
  for (const std::string& f : files)
    for (Key& k : LoadKeys(f)) keys.push_back(std::move(k));
  if (keys.empty()) {
    std::fprintf(stderr, "no keys under %s\n", corpus.c_str());
    return 1;
  }
  const double gpg = GpgImport(files, keys.size());
  std::printf("%zu keys (bulk-rsa + bulk-dsa); gpg --import %.1f keys/s\n", keys.size(), gpg);
  std::printf("%-10s %12s %14s %12s %9s\n", "data", "adds/s", "lookups/s", "adds/gpg", "failures");
  for (const auto& [name, dir] : {std::pair<std::string, std::string>{"tmpfs", "/dev/shm"}, {"disk", disk}}) {
    Figures f = RunServer(dir, keys);
    std::printf("%-10s %12.1f %14.1f %12.2f %9d\n", name.c_str(), f.addsPerSecond, f.lookupsPerSecond,
                gpg > 0 ? f.addsPerSecond / gpg : 0, f.failures);
  }
  KRYsdkCleanup();
  return 0;
}
