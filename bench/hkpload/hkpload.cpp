// HKP load generator: C client threads, each with its own HTTP connection
// (kept alive while the server allows it), for a fixed time or request
// count, against any keyserver's HKP port. Prints one JSON object on a line
// (the fields of ldload's, plus "connects", the TCP connections opened),
// then a line for people.
//
//   hkpload --port P [--host H] --op get|index|add [--by keyid|word]
//           [--keyids FILE] [--words FILE] [--keys FILE] [--connections C]
//           [--seconds S | --count N] [--label L] [--seed N] [--close]
//
// "get" asks /pks/lookup?op=get&options=mr for a random key of --keyids
// ("0x" and its 8 hex digits) and counts an armoured key as an answer;
// "index" asks op=index&options=mr, by key ID or (--by word) by a random
// word of --words, and counts the "pub:" lines; "add" posts each armoured
// block of --keys once to /pks/add (a run ends when they are used up).
// --close asks the server to close after every answer ("Connection: close").
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/hkpload/http_client.h"
#include "bench/ldload/stats.h"

namespace krybench {
namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string host = "127.0.0.1", op, by = "keyid", label = "run", keyidsFile, wordsFile, keysFile;
  int port = 0, connections = 1;
  double seconds = 0;
  long count = 0;
  unsigned seed = 1;
  bool keepAlive = true;
};

bool ParseArgs(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--close") {
      o->keepAlive = false;
      continue;
    }
    if (i + 1 >= argc) return false;
    const std::string v = argv[++i];
    if (a == "--host") o->host = v;
    else if (a == "--port") o->port = std::atoi(v.c_str());
    else if (a == "--op") o->op = v;
    else if (a == "--by") o->by = v;
    else if (a == "--keyids") o->keyidsFile = v;
    else if (a == "--words") o->wordsFile = v;
    else if (a == "--keys") o->keysFile = v;
    else if (a == "--connections") o->connections = std::atoi(v.c_str());
    else if (a == "--seconds") o->seconds = std::atof(v.c_str());
    else if (a == "--count") o->count = std::atol(v.c_str());
    else if (a == "--label") o->label = v;
    else if (a == "--seed") o->seed = unsigned(std::strtoul(v.c_str(), nullptr, 10));
    else return false;
  }
  const bool opOk = o->op == "get" || o->op == "index" || o->op == "add";
  return opOk && (o->by == "keyid" || o->by == "word") && o->port > 0 && o->port < 65536 && o->connections > 0 &&
         o->connections <= 1000 && o->seconds >= 0 && o->seconds <= 3600 && o->count >= 0;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> out;
  std::ifstream in(path);
  for (std::string l; std::getline(in, l);)
    if (!l.empty()) out.push_back(l);
  return out;
}

std::vector<std::string> ReadBlocks(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string text = ss.str(), end = "-----END PGP PUBLIC KEY BLOCK-----";
  std::vector<std::string> out;
  for (size_t at = text.find("-----BEGIN"); at != std::string::npos; at = text.find("-----BEGIN", at)) {
    const size_t stop = text.find(end, at);
    if (stop == std::string::npos) break;
    out.push_back(text.substr(at, stop + end.size() - at) + "\n");
    at = stop;
  }
  return out;
}

long CountOf(const std::string& text, const std::string& what, bool atLineStart) {
  long n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    if (!atLineStart || at == 0 || text[at - 1] == '\n') ++n;
  return n;
}

struct Shared {
  const Options* o = nullptr;
  std::vector<std::string> pool, blocks;
  std::atomic<long> issued{0}, nextBlock{0};
  Clock::time_point deadline;
  std::mutex mu;
  std::vector<long> micros;
  long ops = 0, errors = 0, items = 0, entries = 0, connects = 0;
};

bool MoreToDo(Shared* s) {
  if (s->o->count > 0 && s->issued++ >= s->o->count) return false;
  return s->o->seconds <= 0 || Clock::now() < s->deadline;
}

void Worker(Shared* s, int index) {
  const Options& o = *s->o;
  HttpConnection http(o.host, o.port, o.keepAlive);
  std::mt19937 rng(o.seed * 1000003u + unsigned(index));
  std::vector<long> micros;
  long ops = 0, errors = 0, entries = 0;
  std::string body, path, form;
  while (MoreToDo(s)) {
    if (o.op == "add") {
      const long i = s->nextBlock++;
      if (i >= long(s->blocks.size())) break;
      path = "/pks/add";
      form = "keytext=" + FormEncode(s->blocks[size_t(i)]);
    } else {
      const std::string& v = s->pool[rng() % s->pool.size()];
      path = "/pks/lookup?op=" + o.op + "&options=mr&search=" + (o.by == "keyid" ? "0x" + v : FormEncode(v));
    }
    const auto start = Clock::now();
    const int status = http.Exchange(path, form, &body);
    micros.push_back(long(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count()));
    ++ops;
    long found = 0;
    if (o.op == "get") found = CountOf(body, "-----BEGIN PGP PUBLIC KEY BLOCK-----", true);
    else if (o.op == "index") found = CountOf(body, "pub:", true);
    else found = 1;
    if (status != 200 || found == 0) {
      ++errors;
      static std::atomic<int> reported{0};
      if (reported++ < 5) std::fprintf(stderr, "hkpload: %s: status %d: %.200s\n", path.c_str(), status, body.c_str());
    } else {
      entries += found;
    }
  }
  std::lock_guard<std::mutex> lock(s->mu);
  s->micros.insert(s->micros.end(), micros.begin(), micros.end());
  s->ops += ops;
  s->errors += errors;
  s->items += ops;
  s->entries += entries;
  s->connects += http.connects();
}

int Main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, &o)) {
    std::fprintf(stderr, "usage: hkpload --port P --op get|index|add [--seconds S | --count N] ...\n"
                         "       (see the head of bench/hkpload/hkpload.cpp)\n");
    return 2;
  }
  Shared s;
  s.o = &o;
  if (o.op == "add") s.blocks = ReadBlocks(o.keysFile);
  else s.pool = ReadLines(o.by == "word" ? o.wordsFile : o.keyidsFile);
  if (s.pool.empty() && s.blocks.empty()) {
    std::fprintf(stderr, "hkpload: no data for --op %s\n", o.op.c_str());
    return 1;
  }
  if (o.op != "add" && o.seconds <= 0 && o.count <= 0) {
    std::fprintf(stderr, "hkpload: give --seconds or --count\n");
    return 2;
  }
  const auto start = Clock::now();
  s.deadline = start + std::chrono::milliseconds(long(o.seconds * 1000));
  std::vector<std::thread> threads;
  for (int c = 0; c < o.connections; ++c) threads.emplace_back(Worker, &s, c);
  for (auto& t : threads) t.join();
  RunFigures f;
  f.label = o.label;
  f.op = o.op == "index" ? "index by " + o.by : o.op;
  f.connections = o.connections;
  f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  f.ops = s.ops;
  f.errors = s.errors;
  f.items = s.items;
  f.entries = s.entries;
  Percentiles(&s.micros, &f);
  std::string json = JsonLine(f);
  json.insert(json.size() - 1, ",\"connects\":" + std::to_string(s.connects));
  std::printf("%s\n%s, %ld TCP connections opened\n", json.c_str(), HumanLine(f).c_str(), s.connects);
  return 0;
}

}  // namespace
}  // namespace krybench

int main(int argc, char** argv) { return krybench::Main(argc, argv); }
