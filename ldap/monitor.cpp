#include "ldap/monitor.h"

#include <ctime>
#include <string>

#include "back-ldbm/backend.h"
#include "ldap/entry.h"
#include "ldap/result.h"
#include "log/trace.h"
#include "runtime/connection.h"
#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

namespace {

constexpr char kProductVersion[] = "KRY Certificate Server (NT) 2.5.1";

std::string UtcTime(time_t t) {
  struct tm tm {};
  gmtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y%m%d%H%M%SZ", &tm);
  return buf;
}

Backend* AnyBackend() { return g_globals ? backend_select(g_globals->backends, "") : nullptr; }

}  // namespace

void SendServerInfo(Connection* conn, Operation* op) {
  Debug(LDAP_DEBUG_TRACE, "=> SendServerInfo\n");
  Entry e;
  e.dn = "CN=KRYSERVERINFO";
  attr_merge(&e, "version", "2.5.1");
  attr_merge(&e, "software", "KRY Certificate Server (NT)");
  attr_merge(&e, "baseKeyspaceDN", "OU=ACTIVE,O=KRY KEYSPACE,C=US");
  attr_merge(&e, "basePendingDN", "OU=PENDING,O=KRY KEYSPACE,C=US");
  int rc = send_search_entry(AnyBackend(), conn, op, &e, nullptr, nullptr, 0);
  if (rc == 0)
    send_search_result(conn, op, LDAP_SUCCESS, nullptr, nullptr, 1);
  else if (rc == 1)
    send_search_result(conn, op, LDAP_INSUFFICIENT_ACCESS, nullptr, nullptr, 0);
}

void SendMonitor(Connection* conn, Operation* op) {
  Debug(LDAP_DEBUG_TRACE, "=> SendMonitor\n");
  Entry e;
  e.dn = "cn=monitor";
  std::string product = kProductVersion;
  product = product.substr(0, product.find('\n'));
  attr_merge(&e, "version", product);
  Globals* g = g_globals;
  attr_merge(&e, "threads", StrFormat("%d", g ? g->iActiveThreads : 0));

  int current = 0, writers = 0, readers = 0;
  std::vector<std::string> connections;
  if (g && g_connections) {
    // The listener hands slots out and takes them back under the table
    // lock; each slot's own fields are read under their own locks inside it.
    MutexGuard table(g->connectionTableLock);
    for (int i = 0; i <= g->highestSlot && i < g->maxConnections; ++i) {
      Connection& c = g_connections[i];
      if (c.c_sb.sd.load() == -1) continue;
      ++current;
      if (c.c_writewaiter) ++writers;
      if (c.c_gettingber) ++readers;
      std::string dn;
      {
        MutexGuard lock(c.c_dnmutex);
        dn = c.c_dn.empty() ? "NULLDN" : c.c_dn;
      }
      long initiated = 0, completed = 0;
      {
        MutexGuard lock(c.c_opsmutex);
        initiated = static_cast<long>(c.c_opsinitiated);
        completed = static_cast<long>(c.c_opscompleted);
      }
      connections.push_back(StrFormat("%d : %s : %ld : %ld : %s : %s%s", i, UtcTime(c.c_starttime).c_str(),
                                      initiated, completed, dn.c_str(), c.c_gettingber ? "r" : "",
                                      c.c_writewaiter ? "w" : ""));
    }
  }
  attr_merge(&e, "connection", connections);
  attr_merge(&e, "currentconnections", StrFormat("%d", current));
  attr_merge(&e, "totalconnections", StrFormat("%ld", g ? static_cast<long>(g->nextConnectionID) : 0L));
  attr_merge(&e, "dtablesize", StrFormat("%d", g ? g->maxConnections : 0));
  attr_merge(&e, "writewaiters", StrFormat("%d", writers));
  attr_merge(&e, "readwaiters", StrFormat("%d", readers));
  attr_merge(&e, "opsinitiated", StrFormat("%ld", g ? static_cast<long>(g->opsInitiated) : 0L));
  attr_merge(&e, "opscompleted", StrFormat("%ld", g ? static_cast<long>(g->opsCompleted) : 0L));
  attr_merge(&e, "entriessent", StrFormat("%ld", g ? static_cast<long>(g->entriesSent) : 0L));
  attr_merge(&e, "bytessent", StrFormat("%ld", g ? static_cast<long>(g->bytesSent) : 0L));
  attr_merge(&e, "currenttime", UtcTime(GetCurrentTime()));
  attr_merge(&e, "starttime", UtcTime(g ? g->startTime : 0));
  attr_merge(&e, "nbackends", StrFormat("%d", g ? static_cast<int>(g->backends.size()) : 0));
  send_search_entry(AnyBackend(), conn, op, &e, nullptr, nullptr, 0);
  send_search_result(conn, op, LDAP_SUCCESS, nullptr, nullptr, 1);
}

}  // namespace kry
