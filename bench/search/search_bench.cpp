// Search benchmark: loads N entries shaped like the directory's user-ID
// entries (each with its certificate ID, key ID and creation time) under
// OU=ACTIVE through the backend's add, then runs equality searches and
// substring (initial) searches from 8 concurrent connections for a fixed
// time each, and prints searches per second. Each connection is a socket
// pair driven through the search handler, so the figures cover decoding,
// candidates, entry reads, the filter test and result encoding, but not the
// listener.
//
// With --access-log it instead compares equality searches by key ID with the
// access log off and on (a line per search, written to a file in the data
// directory), alternating three rounds of each, and prints both rates and
// the cost of the log.
//
//   search_bench [--entries N] [--seconds S] [--connections C] [--dir PATH]
//                [--cache-entries N] [--access-log]
#include <ftw.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "back-ldbm/backend.h"
#include "cert/access.h"
#include "ldap/ber.h"
#include "ldap/dispatch.h"
#include "ldap/entry.h"
#include "ldap/operation.h"
#include "ldap/sockbuf.h"
#include "log/accesslog.h"
#include "log/eventlog.h"
#include "runtime/connection.h"
#include "runtime/globals.h"

namespace kry {
namespace {

const char kActive[] = "OU=ACTIVE,O=KRY KEYSPACE,C=US";

struct Options {
  long entries = 100000;
  int seconds = 5;
  int connections = 8;
  std::string dir;
  std::string cacheEntries = "10000";
  bool accessLog = false;
};

enum class Kind { kUserID, kSubstring, kKeyID };

std::string UserId(long i) { return "User" + std::to_string(i) + " Example <user" + std::to_string(i) + "@example.com>"; }
std::string CertId(long i) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016lX", 0x1000000000L + i);
  return buf;
}

std::string Bytes(BerBuffer* b) { return std::string(reinterpret_cast<const char*>(b->buffer()), b->current); }

// The protocol operation of a subtree search under OU=ACTIVE.
std::string EqualitySearch(long i) {
  BerBufferPtr b = ber_alloc_ptr(BER_OPTION_DER);
  std::vector<std::string> attrs;
  ber_printf(b.get(), "t{seeiibt{ss}{v}}", 0x63, kActive, 2, 0, 0, 0, 0, 0xA3, "kryUserID", UserId(i).c_str(), &attrs);
  return Bytes(b.get());
}
std::string KeyIDSearch(long i) {
  BerBufferPtr b = ber_alloc_ptr(BER_OPTION_DER);
  std::vector<std::string> attrs;
  ber_printf(b.get(), "t{seeiibt{ss}{v}}", 0x63, kActive, 2, 0, 0, 0, 0, 0xA3, "kryKeyID", CertId(i).substr(8).c_str(),
             &attrs);
  return Bytes(b.get());
}
std::string SubstringSearch(long i) {
  BerBufferPtr b = ber_alloc_ptr(BER_OPTION_DER);
  std::vector<std::string> attrs;
  std::string initial = "User" + std::to_string(i) + " Ex";
  ber_printf(b.get(), "t{seeiibt{s{ts}}{v}}", 0x63, kActive, 2, 0, 0, 0, 0, 0xA4, "kryUserID", 0x80,
             initial.c_str(), &attrs);
  return Bytes(b.get());
}

// Reads responses until the search-done message; returns the entry count
// or -1.
int Drain(int fd) {
  std::string m;
  int entries = 0;
  for (;;) {
    // Parse what is complete.
    size_t pos = 0;
    while (pos < m.size()) {
      BerBufferPtr h = ber_init(m.data() + pos, m.size() - pos);
      ber_len_t len = 0;
      if (ber_read_header(h.get(), &len) == LBER_DEFAULT || pos + h->current + len > m.size()) break;
      BerBufferPtr msg = ber_init(m.data() + pos, h->current + len);
      int msgid = 0;
      ber_tag_t tag = 0;
      ber_scanf(msg.get(), "{it", &msgid, &tag);
      pos += h->current + len;
      if (tag == 0x64) ++entries;
      if (tag == 0x65) return entries;
    }
    m.erase(0, pos);
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return -1;
    char buf[65536];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return -1;
    m.append(buf, static_cast<size_t>(n));
  }
}

struct Worker {
  Connection conn;
  int peer = -1;
  long searches = 0;
  long entries = 0;
  bool failed = false;
};

std::string Request(Kind kind, long i) {
  switch (kind) {
    case Kind::kSubstring: return SubstringSearch(i);
    case Kind::kKeyID: return KeyIDSearch(i);
    default: return EqualitySearch(i);
  }
}

double Run(const Options& o, Kind kind, std::vector<Worker>& workers) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (size_t w = 0; w < workers.size(); ++w) {
    workers[w].searches = workers[w].entries = 0;
    threads.emplace_back([&, w] {
      Worker& k = workers[w];
      std::mt19937 rng(static_cast<unsigned>(w * 7919 + static_cast<int>(kind)));
      std::uniform_int_distribution<long> pick(0, o.entries - 1);
      int msgid = 0;
      while (!stop.load()) {
        std::string req = Request(kind, pick(rng));
        Operation op;
        op.o_ber = ber_init(req.data(), req.size());
        op.o_msgid = ++msgid;
        op.o_tag = 0x63;
        op.o_connid = k.conn.c_connid;
        op.o_time = time(nullptr);
        do_search(&k.conn, &op);
        int n = Drain(k.peer);
        if (n < 1) {
          k.failed = true;
          return;
        }
        ++k.searches;
        k.entries += n;
      }
    });
  }
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(o.seconds));
  stop = true;
  for (auto& t : threads) t.join();
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  long total = 0;
  for (auto& k : workers) total += k.searches;
  return total / secs;
}

// Prints one figure; false when a search failed.
bool Report(const char* what, double rate, const Options& o, const std::vector<Worker>& workers) {
  long searches = 0, entries = 0;
  bool failed = false;
  for (auto& k : workers) searches += k.searches, entries += k.entries, failed |= k.failed;
  std::printf("%s searches: %.0f per second over %d connections (%ld searches, %.2f entries each)%s\n", what, rate,
              o.connections, searches, searches ? static_cast<double>(entries) / searches : 0.0,
              failed ? " FAILED" : "");
  std::fflush(stdout);
  return !failed;
}

// Key-ID searches with the access log off and on, in alternating rounds.
bool CompareAccessLog(const Options& o, std::vector<Worker>& workers) {
  Globals* g = g_globals;
  const std::string path = o.dir + "/access.log";
  double total[2] = {0, 0};
  bool ok = true;
  for (int round = 0; round < 3; ++round) {
    for (int on = 0; on < 2; ++on) {
      g->AccessLogFile = on ? path : std::string();
      g->AccessLogDetails = on ? 0xF8 : 0;
      double rate = Run(o, Kind::kKeyID, workers);
      total[on] += rate;
      ok &= Report(on ? "key-ID equality, access log on" : "key-ID equality, access log off", rate, o, workers);
    }
  }
  ResetAccessLog(g);
  const double off = total[0] / 3, on = total[1] / 3;
  std::printf("key-ID equality searches per second: access log off %.0f, on %.0f, cost %.1f%%\n", off, on,
              off > 0 ? (off - on) * 100.0 / off : 0.0);
  return ok;
}

bool Load(Backend* be, long n) {
  Connection conn;
  Operation op;
  auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < n; ++i) {
    auto e = std::make_unique<Entry>();
    e->dn = "kryUserID=" + UserId(i) + "," + kActive;
    attr_merge(e.get(), "objectclass", "kryUserID");
    attr_merge(e.get(), "kryUserID", UserId(i));
    attr_merge(e.get(), "kryCertID", CertId(i));
    attr_merge(e.get(), "kryKeyID", CertId(i).substr(8));
    attr_merge(e.get(), "kryKeyCreateTime", "20000912100000Z");
    int replicated = 0, err = -1;
    std::string matched;
    be->ops.add(be, &conn, &op, e.release(), 0, nullptr, &replicated, &err, &matched);
    if (err != 0) {
      std::fprintf(stderr, "add %ld failed: %d\n", i, err);
      return false;
    }
    if ((i + 1) % 20000 == 0) {
      double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::fprintf(stderr, "  %ld entries loaded (%.0f s)\n", i + 1, s);
    }
  }
  return true;
}

int Main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--entries" && v) {
      o.entries = std::atol(v), ++i;
    } else if (a == "--seconds" && v) {
      o.seconds = std::atoi(v), ++i;
    } else if (a == "--connections" && v) {
      o.connections = std::atoi(v), ++i;
    } else if (a == "--dir" && v) {
      o.dir = v, ++i;
    } else if (a == "--cache-entries" && v) {
      o.cacheEntries = v, ++i;
    } else if (a == "--access-log") {
      o.accessLog = true;
    } else {
      std::fprintf(stderr,
                   "usage: search_bench [--entries N] [--seconds S] [--connections C] [--dir PATH] "
                   "[--cache-entries N] [--access-log]\n");
      return 2;
    }
  }
  if (o.entries < 1 || o.seconds < 1 || o.connections < 1) return 2;
  bool tempDir = o.dir.empty();
  if (tempDir) {
    char tmpl[] = "/tmp/search_bench.XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    o.dir = tmpl;
  }
  if (InitGlobals(&g_globals) != 0) return 1;
  g_globals->DefaultAccess = ACL_ALL;
  g_globals->LogLevel = 8;  // no per-request event lines
  UpdateErrorLogValues(EVENTLOG_ERROR, -1, -1);
  int rc = 0;
  {
    Backend* be = backend_new("ldbm", g_globals->backends);
    if (!be) return 1;
    backend_set_directory(be, o.dir);
    std::string cacheLine = o.cacheEntries;
    char kw[] = "CacheEntries";
    char* cargv[] = {kw, cacheLine.data(), nullptr};
    backend_config(be, "bench", 1, 2, cargv);
    if (CreateDatabases(be) < 0) return 1;
    std::fprintf(stderr, "loading %ld user-ID entries into %s\n", o.entries, o.dir.c_str());
    auto t0 = std::chrono::steady_clock::now();
    if (!Load(be, o.entries)) return 1;
    double loadSecs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("load: %ld entries in %.1f s (%.0f entries/s)\n", o.entries, loadSecs, o.entries / loadSecs);

    std::vector<Worker> workers(static_cast<size_t>(o.connections));
    for (size_t w = 0; w < workers.size(); ++w) {
      int sv[2];
      if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 1;
      sockbuf_reset(&workers[w].conn.c_sb, sv[0]);
      workers[w].peer = sv[1];
      workers[w].conn.c_addr = "127.0.0.1";
      workers[w].conn.c_connid = static_cast<uint32_t>(w + 1);
    }
    if (o.accessLog) {
      if (!CompareAccessLog(o, workers)) rc = 1;
    } else {
      for (Kind kind : {Kind::kUserID, Kind::kSubstring}) {
        double rate = Run(o, kind, workers);
        if (!Report(kind == Kind::kSubstring ? "substring" : "equality", rate, o, workers)) rc = 1;
      }
    }
    for (auto& k : workers) {
      close(k.conn.c_sb.sd.load());
      close(k.peer);
    }
    backend_close_all(g_globals->backends);
  }
  ReleaseGlobals(&g_globals);
  if (tempDir)
    nftw(
        o.dir.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return std::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
  return rc;
}

}  // namespace
}  // namespace kry

int main(int argc, char** argv) { return kry::Main(argc, argv); }
