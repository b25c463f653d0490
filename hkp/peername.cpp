#include "hkp/peername.h"

#include <chrono>
#include <unordered_map>

#include "cert/access.h"
#include "log/metrics.h"
#include "platform/net/krynet.h"
#include "runtime/connection.h"
#include "runtime/globals.h"
#include "util/thread.h"

namespace kry {

namespace {

using Clock = std::chrono::steady_clock;

// Names change rarely; an address without a name may get one sooner.
constexpr auto kNameLifetime = std::chrono::minutes(5);
constexpr auto kNoNameLifetime = std::chrono::minutes(1);
// Bounded against clients that come from many addresses.
constexpr size_t kMaxNames = 4096;

struct Cached {
  std::string name;
  bool found = false;
  Clock::time_point expires;
};

Mutex g_lock;
std::unordered_map<uint32_t, Cached> g_names;

// Caller holds g_lock. Makes room for one more entry: the expired ones go
// first, and if none has expired, the one that expires soonest.
void MakeRoom(Clock::time_point now) {
  if (g_names.size() < kMaxNames) return;
  for (auto it = g_names.begin(); it != g_names.end();) it = it->second.expires <= now ? g_names.erase(it) : std::next(it);
  if (g_names.size() < kMaxNames) return;
  auto oldest = g_names.begin();
  for (auto it = g_names.begin(); it != g_names.end(); ++it)
    if (it->second.expires < oldest->second.expires) oldest = it;
  g_names.erase(oldest);
}

}  // namespace

bool HkpPeerNameNeeded() {
  const Globals* g = g_globals;
  if (!g || !g->LookupHostname) return false;
  if (!g->AccessLogFile.empty() || !g->RepLogFile.empty()) return true;
  return AccessRulesNameHosts(g->accessList);
}

bool CachedHostName(uint32_t address, std::string* name) {
  const Clock::time_point now = Clock::now();
  {
    MutexGuard lock(g_lock);
    const auto it = g_names.find(address);
    if (it != g_names.end() && it->second.expires > now) {
      *name = it->second.name;
      return it->second.found;
    }
  }
  metrics::CountNameLookup();
  KRYHostEntry host;
  Cached c;
  c.found = KRYGetHostByAddress(&address, 4, 2, &host) == 0;
  if (c.found) c.name = host.name;
  c.expires = now + (c.found ? kNameLifetime : kNoNameLifetime);
  *name = c.name;
  const bool found = c.found;
  MutexGuard lock(g_lock);
  MakeRoom(now);
  g_names[address] = std::move(c);
  return found;
}

void ResolveHkpPeerName(Connection* conn, uint32_t address) {
  if (!HkpPeerNameNeeded()) return;
  std::string name;
  if (CachedHostName(address, &name)) {
    conn->c_domain = std::move(name);
    conn->c_hasDomain = true;
  }
}

void ClearHostNameCache() {
  MutexGuard lock(g_lock);
  g_names.clear();
}

}  // namespace kry
