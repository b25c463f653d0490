#include "hkp/status.h"

#include <chrono>

#include "back-ldbm/dn2id.h"
#include "back-ldbm/id2children.h"
#include "back-ldbm/idlist.h"
#include "back-ldbm/dbcache.h"
#include "cert/certentry.h"
#include "log/metrics.h"
#include "runtime/daemon.h"
#include "runtime/globals.h"
#include "runtime/ratelimits.h"
#include "util/strutil.h"
#include "util/thread.h"

#ifndef KRYCERTD_VERSION
#define KRYCERTD_VERSION "unknown"
#endif

namespace kry {

namespace {

// A scrape every few seconds must not read the child lists every time.
constexpr int kCountCacheSeconds = 10;

Backend* DirectoryBackend() {
  Globals* g = g_globals;
  return g && !g->backends.empty() ? g->backends.front().get() : nullptr;
}

// The number of children of `dn`; -1 when the entry or its map is missing.
long ChildCount(Backend* be, const char* dn) {
  const EntryID id = dn2id(be, dn);
  if (id == NOID) return -1;
  DbHandle db(be, "id2children", ldbm_read_flags(be));
  if (!db) return -1;
  IDListPtr l = idl_fetch(be, db.get(), id2children_key(id));
  return l ? static_cast<long>(l->nids()) : 0;
}

}  // namespace

KeyCounts CountKeys() {
  static Mutex lock;
  static KeyCounts cached;
  static std::chrono::steady_clock::time_point when;
  static uint64_t generation = 0;
  const auto now = std::chrono::steady_clock::now();
  const uint64_t current = metrics::KeysGeneration();
  MutexGuard guard(lock);
  if (cached.active >= 0 && generation == current && now - when < std::chrono::seconds(kCountCacheSeconds))
    return cached;
  generation = current;
  Backend* be = DirectoryBackend();
  KeyCounts k;
  if (be && !dird_shutdown) {
    k.active = ChildCount(be, kActiveDN);
    k.pending = ChildCount(be, kPendingDN);
  }
  cached = k;
  when = now;
  return k;
}

HkpAnswer HealthAnswer() {
  if (dird_shutdown) return HkpText(503, "The server is stopping.");
  Backend* be = DirectoryBackend();
  if (!be || dn2id(be, kActiveDN) == NOID) return HkpText(503, "The directory is not available.");
  return HkpText(200, "OK");
}

HkpAnswer StatsAnswer(bool machineReadable) {
  const Globals* g = g_globals;
  const KeyCounts k = CountKeys();
  const int ldap = g ? g->Port : 0, ldaps = g && g->SecureMode != SECURE_DISABLED ? g->SecurePort : 0;
  const int hkp = g ? g->HKPPort : 0;
  HkpAnswer a;
  if (machineReadable) {
    a.contentType = "application/json";
    a.body = StrFormat(
        "{\"software\":\"krycertd\",\"version\":\"%s\",\"keys\":{\"active\":%ld,\"pending\":%ld},"
        "\"ports\":{\"ldap\":%d,\"ldaps\":%d,\"hkp\":%d}}\n",
        KRYCERTD_VERSION, k.active, k.pending, ldap, ldaps, hkp);
    return a;
  }
  a.contentType = "text/html; charset=utf-8";
  a.body = StrFormat(
      "<!DOCTYPE html>\n<html><head><title>krycertd statistics</title></head><body>\n"
      "<h1>krycertd %s</h1>\n<table>\n<tr><td>Active keys</td><td>%ld</td></tr>\n"
      "<tr><td>Pending keys</td><td>%ld</td></tr>\n<tr><td>LDAP port</td><td>%d</td></tr>\n"
      "<tr><td>LDAPS port</td><td>%d</td></tr>\n<tr><td>HKP port</td><td>%d</td></tr>\n</table>\n</body></html>\n",
      KRYCERTD_VERSION, k.active, k.pending, ldap, ldaps, hkp);
  return a;
}

std::string MetricsText() {
  metrics::Gauges gauges;
  Globals* g = g_globals;
  if (g) {
    MutexGuard lock(g->threadCountLock);
    gauges.ldapConnectionsOpen = g->iActiveThreads;
    gauges.startTime = static_cast<double>(g->startTime);
  }
  const KeyCounts k = CountKeys();
  gauges.keysActive = k.active;
  gauges.keysPending = k.pending;
  gauges.rateTableEntries = static_cast<long>(RateTableSize());
  for (int b = 0; b < kRateBuckets; ++b) gauges.rateRefused[b] = g_rateRefused[b].load(std::memory_order_relaxed);
  return metrics::Render(gauges);
}

}  // namespace kry
