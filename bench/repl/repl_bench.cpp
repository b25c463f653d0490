// Replication benchmark: the keys of the corpus's bulk files are added to a
// replica directly over one LDAP connection (the rate a replica can take),
// then replayed by krycertrepl from a replication log to one replica and to
// two; and a replica that was down while the records arrived is timed until
// it has caught up. Prints records per second and seconds.
//
//   repl_bench [--keys N] [--corpus DIR]
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cert/replog.h"
#include "support/harness.h"

using namespace krytest;

namespace {

const char kVirtual[] = "kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US";
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

std::vector<std::string> Keys(const std::string& corpus, size_t n) {
  std::vector<std::string> out;
  const std::string end = "-----END PGP PUBLIC KEY BLOCK-----\n";
  for (const char* f : {"bulk-ed25519.asc", "bulk-rsa.asc", "bulk-dsa.asc"}) {
    const std::string text = ReadFile(corpus + "/" + f);
    for (size_t p = text.find("-----BEGIN"); p != std::string::npos && out.size() < n; p = text.find("-----BEGIN", p)) {
      const size_t e = text.find(end, p);
      if (e == std::string::npos) break;
      out.push_back(text.substr(p, e + end.size() - p));
      p = e;
    }
  }
  return out;
}

std::unique_ptr<ServerTree> Replica(bool start = true) {
  auto t = std::make_unique<ServerTree>();
  t->WriteConfig("Allow ip 127.0.0.1 all\nAcceptModernKeys yes\n");
  if (!t->CreateDatabases() || (start && !t->Start())) {
    std::fprintf(stderr, "repl_bench: cannot start a server\n");
    std::exit(1);
  }
  return t;
}

// Adds every key over one connection, one request at a time.
double DirectRate(const std::vector<std::string>& keys) {
  auto r = Replica();
  Client c;
  if (!c.Connect(r->port)) return 0;
  c.Send(BindRequest(1, "", ""));
  std::string msg;
  c.ReadMessage(&msg);
  const auto t0 = Clock::now();
  int id = 2;
  for (const std::string& k : keys) {
    c.Send(AddRequest(id++, kVirtual, {{"kryKey", {k}}}));
    if (!c.ReadMessage(&msg, 30000)) return 0;
  }
  return static_cast<double>(keys.size()) / Seconds(t0);
}

class ReplProcess {
 public:
  explicit ReplProcess(const std::string& dir) {
    pid_ = fork();
    if (pid_ == 0) {
      if (chdir(dir.c_str()) != 0) _exit(127);
      setenv("KRYCERTD_EVENTLOG", (dir + "/events.log").c_str(), 1);
      execl(KRY_BENCH_REPL, KRY_BENCH_REPL, static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~ReplProcess() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_;
};

// The stored offset of one replica (the state file's "offset" line).
unsigned long long StoredOffset(const std::string& stateDir, const std::string& replica) {
  std::string name;
  for (char ch : replica) name += (isalnum(static_cast<unsigned char>(ch)) || ch == '.' || ch == '-') ? ch : '_';
  const std::string text = ReadFile(stateDir + "/" + name + ".pos");
  const size_t at = text.find("offset ");
  return at == std::string::npos ? 0 : std::strtoull(text.c_str() + at + 7, nullptr, 10);
}

// Writes a log of every key for `replicas` and runs krycertrepl over it
// until every replica stored the end; `beforeWait` runs once krycertrepl is
// started. Seconds from the start (or from `beforeWait`'s end).
double Replay(const std::vector<std::string>& keys, const std::vector<ServerTree*>& replicas,
              const std::function<void()>& beforeWait = nullptr) {
  TempDir dir;
  std::string heads, cfg = "RepLogFile " + dir.File("replog") + "\n";
  std::vector<std::string> names;
  for (ServerTree* r : replicas) {
    names.push_back("127.0.0.1:" + std::to_string(r->port));
    heads += "replica: " + names.back() + "\n";
    cfg += "Replica " + names.back() + "\n";
  }
  std::string log;
  for (const std::string& k : keys) log += kry::FormatRepLogRecord(heads, 1, "kryKey", k);
  WriteFile(dir.File("replog"), log);
  WriteFile(dir.File("krycertd.cfg"), cfg);
  auto t0 = Clock::now();
  ReplProcess repl(dir.path());
  if (beforeWait) {
    beforeWait();
    t0 = Clock::now();
  }
  for (;;) {
    bool done = true;
    for (const std::string& n : names) done = done && StoredOffset(dir.File("replog.repl"), n) == log.size();
    if (done) {
      const double took = Seconds(t0);
      const std::string events = ReadFile(dir.File("events.log"));
      size_t refused = 0;
      for (size_t p = events.find("refused the record"); p != std::string::npos; p = events.find("refused the record", p + 1))
        ++refused;
      if (refused) std::printf("  (%zu records refused by a replica)\n", refused);
      return took;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

int main(int argc, char** argv) {
  size_t n = 1000;
  std::string corpus = KRY_BENCH_CORPUS;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string(argv[i]) == "--keys") n = std::strtoul(argv[i + 1], nullptr, 10);
    if (std::string(argv[i]) == "--corpus") corpus = argv[i + 1];
  }
  setenv("KRYCERTD_BIN", KRY_BENCH_SERVER, 0);
  setenv("KRY_CORPUS", corpus.c_str(), 1);
  const std::vector<std::string> keys = Keys(corpus, n);
  std::printf("%zu keys\n", keys.size());
  const double direct = DirectRate(keys);
  std::printf("direct add to one replica:   %8.1f records/s\n", direct);
  {
    auto r = Replica();
    const double s = Replay(keys, {r.get()});
    std::printf("krycertrepl, one replica:    %8.1f records/s (%.0f%% of direct)\n", keys.size() / s,
                100.0 * keys.size() / s / direct);
  }
  {
    auto r1 = Replica(), r2 = Replica();
    const double s = Replay(keys, {r1.get(), r2.get()});
    std::printf("krycertrepl, two replicas:   %8.1f records/s per replica (%.0f%% of direct)\n", keys.size() / s,
                100.0 * keys.size() / s / direct);
  }
  {
    auto down = Replica(false);
    const double s = Replay(keys, {down.get()}, [&] {
      std::this_thread::sleep_for(std::chrono::seconds(3));  // krycertrepl is retrying by now
      down->Start();
    });
    std::printf("catch-up of a replica down while %zu records arrived: %.1f s after it came back\n", keys.size(), s);
  }
  return 0;
}
