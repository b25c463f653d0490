// LDAP load generator over OpenLDAP's client library, speaking protocol
// version 2 so that every server sees the same client. Runs C connections,
// each a thread with its own session, for a fixed time or operation count
// and prints operations per second, latency percentiles and errors: one
// JSON object on a line, then a line for people.
//
//   ldload --port P [--host H] [--bind-dn DN --password PW] [--connections C]
//          [--seconds S | --count N] [--label L] --mix OP[:W][,OP[:W]...]
//          [--base DN] [--attr NAME] [--keyids FILE] [--words FILE]
//          [--keys FILE] [--ldif FILE] [--add-dn DN] [--seed N] [--size-limit N]
//
// Operations: "keyid" looks up a random key by (kryKeyID=<id>) from the
// --keyids file; "uid" searches (kryUserID=*<word>*) with a random word of
// the --words file; both ask for --attr (kryKey). "add" submits each key
// block of --keys once, as kryKey of an entry added at --add-dn; "ldif"
// adds the entries of --ldif once, a certificate and the entries below it
// in order on one connection. "hold" opens the connections, searches once
// on each, prints "holding" and keeps them open for --seconds (for memory
// figures). Runs with "add" or "ldif" end when the data is used up.
// --size-limit N asks the server for at most N entries a search; a search
// cut short by it (result 4) counts as answered with what it returned, so
// two servers that file one key under a different number of entries can be
// asked for the same answer.
#include <ldap.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/ldload/ldif.h"
#include "bench/ldload/stats.h"

namespace krybench {
namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string host = "127.0.0.1", bindDN, password, label = "run", base = "OU=ACTIVE,O=KRY KEYSPACE,C=US";
  std::string attr = "kryKey", addDN = "kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US";
  std::string keyidsFile, wordsFile, keysFile, ldifFile, mixText;
  int port = 0, connections = 1, sizeLimit = 0;
  double seconds = 0;
  long count = 0;
  unsigned seed = 1;
};

struct MixItem {
  std::string op;
  int weight = 1;
};

struct Data {
  std::vector<std::string> keyids, words, keys;
  std::vector<std::vector<LdifEntry>> groups;
};

struct LdapFree {
  void operator()(LDAP* ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
using LdapPtr = std::unique_ptr<LDAP, LdapFree>;
struct MsgFree {
  void operator()(LDAPMessage* m) const { ldap_msgfree(m); }
};

bool ParseMix(const std::string& text, std::vector<MixItem>* mix) {
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) {
    MixItem m;
    const size_t colon = item.find(':');
    m.op = item.substr(0, colon);
    if (colon != std::string::npos) m.weight = std::atoi(item.c_str() + colon + 1);
    if (m.weight <= 0 || (m.op != "keyid" && m.op != "uid" && m.op != "add" && m.op != "ldif" && m.op != "hold"))
      return false;
    mix->push_back(m);
  }
  return !mix->empty();
}

bool ParseArgs(int argc, char** argv, Options* o) {
  if (argc % 2 == 0) return false;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i], v = argv[i + 1];
    if (a == "--host") o->host = v;
    else if (a == "--port") o->port = std::atoi(v.c_str());
    else if (a == "--bind-dn") o->bindDN = v;
    else if (a == "--password") o->password = v;
    else if (a == "--connections") o->connections = std::atoi(v.c_str());
    else if (a == "--seconds") o->seconds = std::atof(v.c_str());
    else if (a == "--count") o->count = std::atol(v.c_str());
    else if (a == "--label") o->label = v;
    else if (a == "--mix") o->mixText = v;
    else if (a == "--base") o->base = v;
    else if (a == "--attr") o->attr = v;
    else if (a == "--keyids") o->keyidsFile = v;
    else if (a == "--words") o->wordsFile = v;
    else if (a == "--keys") o->keysFile = v;
    else if (a == "--ldif") o->ldifFile = v;
    else if (a == "--add-dn") o->addDN = v;
    else if (a == "--size-limit") o->sizeLimit = std::atoi(v.c_str());
    else if (a == "--seed") o->seed = unsigned(std::strtoul(v.c_str(), nullptr, 10));
    else return false;
  }
  return o->port > 0 && o->port < 65536 && o->connections > 0 && o->connections <= 1000 && o->seconds >= 0 &&
         o->seconds <= 3600 && o->count >= 0 && o->sizeLimit >= 0;
}

std::string ReadWhole(const std::string& path, bool* ok) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  *ok = bool(f);
  return ss.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  for (std::string l; std::getline(ss, l);)
    if (!l.empty()) out.push_back(l);
  return out;
}

// One armoured block per element, END line included.
std::vector<std::string> KeyBlocks(const std::string& text) {
  std::vector<std::string> out;
  const std::string end = "-----END PGP PUBLIC KEY BLOCK-----";
  for (size_t at = text.find("-----BEGIN"); at != std::string::npos; at = text.find("-----BEGIN", at)) {
    const size_t stop = text.find(end, at);
    if (stop == std::string::npos) break;
    out.push_back(text.substr(at, stop + end.size() - at) + "\n");
    at = stop + end.size();
  }
  return out;
}

bool LoadData(const Options& o, Data* d) {
  bool ok = true;
  if (!o.keyidsFile.empty()) d->keyids = Lines(ReadWhole(o.keyidsFile, &ok));
  if (ok && !o.wordsFile.empty()) d->words = Lines(ReadWhole(o.wordsFile, &ok));
  if (ok && !o.keysFile.empty()) d->keys = KeyBlocks(ReadWhole(o.keysFile, &ok));
  if (ok && !o.ldifFile.empty()) {
    std::vector<LdifEntry> entries;
    size_t bad = 0;
    if (!ParseLdif(ReadWhole(o.ldifFile, &ok), &entries, &bad)) {
      std::fprintf(stderr, "ldload: %s line %zu is not LDIF\n", o.ldifFile.c_str(), bad);
      return false;
    }
    d->groups = GroupBySubtree(std::move(entries));
  }
  if (!ok) std::fprintf(stderr, "ldload: cannot read an input file\n");
  return ok;
}

LdapPtr Connect(const Options& o) {
  LDAP* raw = nullptr;
  const std::string uri = "ldap://" + o.host + ":" + std::to_string(o.port);
  if (ldap_initialize(&raw, uri.c_str()) != LDAP_SUCCESS) return nullptr;
  LdapPtr ld(raw);
  int version = LDAP_VERSION2;
  ldap_set_option(raw, LDAP_OPT_PROTOCOL_VERSION, &version);
  berval cred{o.password.size(), const_cast<char*>(o.password.c_str())};
  if (ldap_sasl_bind_s(raw, o.bindDN.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr) != LDAP_SUCCESS)
    return nullptr;
  return ld;
}

// The first few failures go to standard error, so a run full of errors
// says why without drowning its figures.
void ReportError(const std::string& what, int rc) {
  static std::atomic<int> reported{0};
  if (reported++ < 5) std::fprintf(stderr, "ldload: %s: %s (%d)\n", what.c_str(), ldap_err2string(rc), rc);
}

// A search; the number of entries returned, or -1 on failure.
long Search(LDAP* ld, const Options& o, const std::string& filter) {
  char* attrs[] = {const_cast<char*>(o.attr.c_str()), nullptr};
  timeval timeout{60, 0};
  LDAPMessage* raw = nullptr;
  const int rc = ldap_search_ext_s(ld, o.base.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(), attrs, 0, nullptr,
                                   nullptr, &timeout, o.sizeLimit, &raw);
  std::unique_ptr<LDAPMessage, MsgFree> res(raw);
  if (rc != LDAP_SUCCESS && !(rc == LDAP_SIZELIMIT_EXCEEDED && o.sizeLimit > 0)) {
    ReportError(filter, rc);
    return -1;
  }
  const int n = ldap_count_entries(ld, raw);
  if (n == 0) ReportError(filter + ": no entry", LDAP_NO_SUCH_OBJECT);
  return n;
}

// Adds dn with the attribute/value pairs (values of one attribute together).
bool Add(LDAP* ld, const std::string& dn, const std::vector<std::pair<std::string, std::string>>& values) {
  std::vector<std::string> names;
  std::vector<std::vector<berval>> vals;
  for (const auto& [name, value] : values) {
    size_t k = 0;
    while (k < names.size() && names[k] != name) ++k;
    if (k == names.size()) {
      names.push_back(name);
      vals.emplace_back();
    }
    vals[k].push_back(berval{value.size(), const_cast<char*>(value.data())});
  }
  std::vector<std::vector<berval*>> ptrs(names.size());
  std::vector<LDAPMod> mods(names.size());
  std::vector<LDAPMod*> modPtrs;
  for (size_t k = 0; k < names.size(); ++k) {
    for (berval& v : vals[k]) ptrs[k].push_back(&v);
    ptrs[k].push_back(nullptr);
    mods[k].mod_op = LDAP_MOD_ADD | LDAP_MOD_BVALUES;
    mods[k].mod_type = const_cast<char*>(names[k].c_str());
    mods[k].mod_bvalues = ptrs[k].data();
    modPtrs.push_back(&mods[k]);
  }
  modPtrs.push_back(nullptr);
  const int rc = ldap_add_ext_s(ld, dn.c_str(), modPtrs.data(), nullptr, nullptr);
  if (rc != LDAP_SUCCESS) ReportError("add " + dn.substr(0, 80), rc);
  return rc == LDAP_SUCCESS;
}

struct Shared {
  const Options* o = nullptr;
  const Data* d = nullptr;
  std::vector<MixItem> mix;
  int totalWeight = 0;
  std::atomic<long> issued{0}, nextKey{0}, nextGroup{0}, opened{0};
  std::atomic<bool> exhausted{false};
  Clock::time_point deadline;
  std::mutex mu;
  std::vector<long> micros;
  long ops = 0, errors = 0, items = 0, entries = 0;
};

struct ThreadTally {
  std::vector<long> micros;
  long ops = 0, errors = 0, items = 0, entries = 0;
  void Time(Clock::time_point start, bool ok) {
    micros.push_back(long(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count()));
    ++ops;
    if (!ok) ++errors;
  }
};

bool MoreToDo(Shared* s) {
  if (s->exhausted) return false;
  if (s->o->count > 0 && s->issued++ >= s->o->count) return false;
  if (s->o->seconds > 0 && Clock::now() >= s->deadline) return false;
  return true;
}

// One operation of kind op; false when the data for it is used up.
bool RunOne(LDAP* ld, Shared* s, const std::string& op, std::mt19937& rng, ThreadTally* t) {
  const Data& d = *s->d;
  if (op == "keyid" || op == "uid") {
    const auto& pool = op == "keyid" ? d.keyids : d.words;
    if (pool.empty()) return false;
    const std::string& v = pool[rng() % pool.size()];
    const std::string filter = op == "keyid" ? "(kryKeyID=" + v + ")" : "(kryUserID=*" + v + "*)";
    const auto start = Clock::now();
    const long n = Search(ld, *s->o, filter);
    t->Time(start, n > 0);
    t->entries += n > 0 ? n : 0;
    ++t->items;
    return true;
  }
  if (op == "add") {
    const long i = s->nextKey++;
    if (i >= long(d.keys.size())) return false;
    const auto start = Clock::now();
    t->Time(start, Add(ld, s->o->addDN, {{"kryKey", d.keys[size_t(i)]}}));
    ++t->items;
    return true;
  }
  // ldif: one certificate and its user-ID entries, in order.
  const long g = s->nextGroup++;
  if (g >= long(d.groups.size())) return false;
  for (const LdifEntry& e : d.groups[size_t(g)]) {
    const auto start = Clock::now();
    t->Time(start, Add(ld, e.dn, e.values));
  }
  ++t->items;
  return true;
}

void Worker(Shared* s, int index) {
  ThreadTally t;
  std::mt19937 rng(s->o->seed * 1000003u + unsigned(index));
  LdapPtr ld = Connect(*s->o);
  if (!ld) {
    ++t.errors;
  } else if (s->mix.front().op == "hold") {
    if (!s->d->keyids.empty()) Search(ld.get(), *s->o, "(kryKeyID=" + s->d->keyids[size_t(index) % s->d->keyids.size()] + ")");
    ++s->opened;
    while (Clock::now() < s->deadline) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } else {
    while (MoreToDo(s)) {
      int pick = int(rng() % unsigned(s->totalWeight));
      size_t k = 0;
      while (pick >= s->mix[k].weight) pick -= s->mix[k++].weight;
      if (!RunOne(ld.get(), s, s->mix[k].op, rng, &t)) s->exhausted = true;
    }
  }
  std::lock_guard<std::mutex> lock(s->mu);
  s->micros.insert(s->micros.end(), t.micros.begin(), t.micros.end());
  s->ops += t.ops;
  s->errors += t.errors;
  s->items += t.items;
  s->entries += t.entries;
}

int Main(int argc, char** argv) {
  Options o;
  Shared s;
  if (!ParseArgs(argc, argv, &o) || !ParseMix(o.mixText, &s.mix)) {
    std::fprintf(stderr,
                 "usage: ldload --port P --mix OP[:W],... [--connections C] [--seconds S | --count N] ...\n"
                 "       (see the head of bench/ldload/ldload.cpp)\n");
    return 2;
  }
  Data d;
  if (!LoadData(o, &d)) return 1;
  s.o = &o;
  s.d = &d;
  for (const MixItem& m : s.mix) s.totalWeight += m.weight;
  const bool hold = s.mix.front().op == "hold";
  if (!hold && o.seconds <= 0 && o.count <= 0 && d.keys.empty() && d.groups.empty()) {
    std::fprintf(stderr, "ldload: give --seconds or --count\n");
    return 2;
  }
  const auto start = Clock::now();
  s.deadline = start + std::chrono::milliseconds(long(o.seconds * 1000));
  std::vector<std::thread> threads;
  for (int c = 0; c < o.connections; ++c) threads.emplace_back(Worker, &s, c);
  if (hold) {
    while (s.opened < o.connections && Clock::now() < s.deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::printf("holding %ld connections\n", s.opened.load());
    std::fflush(stdout);
  }
  for (auto& t : threads) t.join();
  RunFigures f;
  f.label = o.label;
  f.op = o.mixText;
  f.connections = o.connections;
  f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  f.ops = s.ops;
  f.errors = s.errors;
  f.items = s.items;
  f.entries = s.entries;
  Percentiles(&s.micros, &f);
  std::printf("%s\n%s\n", JsonLine(f).c_str(), HumanLine(f).c_str());
  return 0;
}

}  // namespace
}  // namespace krybench

int main(int argc, char** argv) { return krybench::Main(argc, argv); }
