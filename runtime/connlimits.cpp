#include "runtime/connlimits.h"

#include <sys/socket.h>

#include "log/eventlog.h"
#include "runtime/connection.h"

namespace kry {

int ConnectionsFromAddress(const Connection* table, int highest, uint32_t address) {
  int n = 0;
  for (int i = 0; i <= highest; ++i)
    if (table[i].c_sb.sd.load() != -1 && table[i].c_peer == address) ++n;
  return n;
}

namespace {

// True while the connection's thread runs a request (or has one queued).
bool RequestInProgress(Connection* c) {
  MutexGuard lock(c->c_opsmutex);
  return c->c_ops != nullptr || c->c_opsinitiated != c->c_opscompleted;
}

time_t LastActivity(Connection* c) {
  MutexGuard lock(c->c_activitymutex);
  return c->c_activitytime;
}

}  // namespace

bool EvictLongestIdle(Connection* table, int highest) {
  Connection* victim = nullptr;
  time_t oldest = 0;
  for (int i = 0; i <= highest; ++i) {
    Connection* c = &table[i];
    if (c->c_sb.sd.load() == -1) continue;
    // One at a time: the slot of the last one is about to come free.
    if (c->c_evicted) return true;
    if (RequestInProgress(c)) continue;
    const time_t last = LastActivity(c);
    if (!victim || last < oldest) {
      victim = c;
      oldest = last;
    }
  }
  if (!victim) return false;
  LogError(EVENTLOG_INFO, "Connection table full; conn=%d from %s, idle longest, is closed to make room.",
           static_cast<int>(victim->c_connid), victim->c_addr.empty() ? "unknown" : victim->c_addr.c_str());
  victim->c_evicted = true;
  // Only the connection's own thread closes the descriptor and frees its
  // TLS and key context: the shutdown ends its wait for the next request.
  ::shutdown(victim->c_sb.sd.load(), SHUT_RDWR);
  return true;
}

}  // namespace kry
