#include "hkp/status.h"

#include <chrono>

#include "back-ldbm/dn2id.h"
#include "back-ldbm/id2children.h"
#include "back-ldbm/idlist.h"
#include "back-ldbm/dbcache.h"
#include "back-ldbm/cache.h"
#include "back-ldbm/id2entry.h"
#include "back-ldbm/index.h"
#include "cert/blocklist.h"
#include "cert/certentry.h"
#include "log/metrics.h"
#include "recon/net/peer_stats.h"
#include "recon/net/service.h"
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
constexpr int kSlowCountCacheSeconds = 300;

Backend* DirectoryBackend() {
  Globals* g = g_globals;
  return g && !g->backends.empty() ? g->backends.front().get() : nullptr;
}

// The certificates below `dn`: the length of its child list, or, once the
// list is too long to be kept and stands for all IDs, the children found
// one by one (slow on a large directory: the caller keeps the result longer).
// -1 when the entry or its map is missing; *slow tells which way was taken.
long ChildCount(Backend* be, const char* dn, bool* slow) {
  const EntryID id = dn2id(be, dn);
  if (id == NOID) return -1;
  {
    DbHandle db(be, "id2children", ldbm_read_flags(be));
    if (!db) return -1;
    IDListPtr l = idl_fetch(be, db.get(), id2children_key(id));
    if (!l) return 0;
    if (!l->is_allids()) return static_cast<long>(l->nids());
  }
  *slow = true;
  HeldEntry parent(be, id2entry(be, id));
  std::vector<EntryID> children;
  if (!parent.get() || GetKeysChildren(be, parent.get(), &children) != 0) return -1;
  return static_cast<long>(children.size());
}

bool IsActiveCertificate(const Entry& e) {
  const Attribute* oc = attr_lookup(&e, "objectclass");
  bool cert = false;
  if (oc)
    for (const std::string& v : oc->values) cert = cert || StrIEquals(v, kCertificateClass);
  const std::string suffix = std::string(",") + kActiveDN;
  return cert && e.dn.size() > suffix.size() &&
         StrIEquals(std::string_view(e.dn).substr(e.dn.size() - suffix.size()), suffix);
}

// ACTIVE certificates marked disabled, through the kryDisabled index (user-ID
// entries carry the mark too; only certificates count). -1 when the index
// holds too many IDs to be listed.
long DisabledCount(Backend* be) {
  IDListPtr ids = index_read(be, "kryDisabled", INDEX_EQUALITY, "1");
  if (!ids) return 0;
  if (ids->is_allids()) return -1;
  long n = 0;
  for (EntryID id = idl_first_id(ids.get()); id != NOID; id = idl_next_id(ids.get(), id)) {
    HeldEntry e(be, id2entry(be, id));
    if (e.get() && IsActiveCertificate(*e.get())) ++n;
  }
  return n;
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
  static bool slow = false;
  // Counts read one entry at a time are kept for minutes, changes or not;
  // quick ones for seconds, or until a key changes.
  const bool fresh = slow ? now - when < std::chrono::seconds(kSlowCountCacheSeconds)
                          : generation == current && now - when < std::chrono::seconds(kCountCacheSeconds);
  if (cached.active >= 0 && fresh) return cached;
  generation = current;
  Backend* be = DirectoryBackend();
  KeyCounts k;
  slow = false;
  if (be && !dird_shutdown) {
    k.active = ChildCount(be, kActiveDN, &slow);
    k.pending = ChildCount(be, kPendingDN, &slow);
    k.disabled = DisabledCount(be);
    k.blocked = static_cast<long>(BlockedCount());
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
  const long digests = ReconDigestCount();
  HkpAnswer a;
  if (machineReadable) {
    a.contentType = "application/json";
    a.body = StrFormat(
        "{\"software\":\"krycertd\",\"version\":\"%s\",\"keys\":{\"active\":%ld,\"pending\":%ld},"
        "\"ports\":{\"ldap\":%d,\"ldaps\":%d,\"hkp\":%d}%s}\n",
        KRYCERTD_VERSION, k.active, k.pending, ldap, ldaps, hkp,
        digests < 0 ? "" : (",\"recon\":" + recon_net::ReconStatsJson(digests)).c_str());
    return a;
  }
  a.contentType = "text/html; charset=utf-8";
  a.body = StrFormat(
      "<!DOCTYPE html>\n<html><head><title>krycertd statistics</title></head><body>\n"
      "<h1>krycertd %s</h1>\n<table>\n<tr><td>Active keys</td><td>%ld</td></tr>\n"
      "<tr><td>Pending keys</td><td>%ld</td></tr>\n<tr><td>LDAP port</td><td>%d</td></tr>\n"
      "<tr><td>LDAPS port</td><td>%d</td></tr>\n<tr><td>HKP port</td><td>%d</td></tr>\n</table>\n%s</body></html>\n",
      KRYCERTD_VERSION, k.active, k.pending, ldap, ldaps, hkp,
      digests < 0 ? "" : recon_net::ReconStatsHtml(digests).c_str());
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
  gauges.keysDisabled = k.disabled;
  gauges.keysBlocked = k.blocked;
  gauges.rateTableEntries = static_cast<long>(RateTableSize());
  for (int b = 0; b < kRateBuckets; ++b) gauges.rateRefused[b] = g_rateRefused[b].load(std::memory_order_relaxed);
  const long digests = ReconDigestCount();
  return metrics::Render(gauges) + (digests < 0 ? std::string() : recon_net::ReconMetricsText(digests));
}

}  // namespace kry
