#include "ldap/dispatch.h"

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <new>

#include "ldap/operation.h"
#include "ldap/result.h"
#include "ldap/sockbuf.h"
#include "log/accesslog.h"
#include "log/eventlog.h"
#include "log/metrics.h"
#include "log/trace.h"
#include "platform/pgp/kry.h"
#include "runtime/connection.h"
#include "runtime/daemon.h"
#include "runtime/globals.h"
#include "runtime/ratelimits.h"
#include "runtime/tlsconn.h"

namespace kry {

namespace {

using Handler = void (*)(Connection*, Operation*);

struct DispatchEntry {
  uint32_t tag;
  Handler handler;
  int logType;
  const char* detailCode;  // null when none
  bool endsConnection;
};

const DispatchEntry kDispatch[] = {
    {0x60, do_bind, 2, nullptr, false},       {0x42, do_unbind, 4, nullptr, true},
    {0x62, do_unbind, 4, nullptr, true},      {0x63, do_search, 64, nullptr, false},
    {0x66, do_modify, 256, "MOD", false},     {0x68, do_add, 16, nullptr, false},
    {0x4A, do_delete, 256, "DLT", false},     {0x6A, do_delete, 256, "DLT", false},
    {0x6C, do_modrdn, 256, "MDN", false},     {0x6E, do_compare, 256, "CMP", false},
    {0x50, do_abandon, 8, nullptr, false},    {0x70, do_abandon, 8, nullptr, false},
};

const DispatchEntry* FindHandler(uint32_t tag) {
  for (const DispatchEntry& e : kDispatch)
    if (e.tag == tag) return &e;
  return nullptr;
}

void SetDetailCode(Operation* op, const char* code) {
  std::memset(op->o_logDetail.code, 0, sizeof op->o_logDetail.code);
  if (code) std::memcpy(op->o_logDetail.code, code, 3);
}

// The access-log line of a request that gets no response: abandon, unbind
// and unknown requests still count as completed requests.
void LogUnanswered(Connection* conn, Operation* op, int resultCode) {
  AddAccessLogEntry(conn, op, op->o_logType, &op->o_logDetail, 0, resultCode);
}

// The end of a connection thread: close the slot, give back a descriptor
// the forced close left open, and count the thread out.
void EndConnection(Connection* conn) {
  Globals* g = g_globals;
  // The session goes while the slot is still this connection's (the close
  // below frees the slot for the listener); after a forced close it is the
  // only place the session is closed. Its client key set lives in the
  // block's context, so it goes before the block.
  CloseConnectionTLS(conn);
  CloseConnection(conn, conn->c_connid, -1);
  // After a forced close the block is still held; keep it for later
  // connections instead of losing it.
  ReleaseKRYSDKCtx(&conn->c_keyContext);
  {
    MutexGuard lock(g->connectionTableLock);
    if (conn->c_deferredClose >= 0) {
      ::close(conn->c_deferredClose);
      conn->c_deferredClose = -1;
    }
  }
  MutexGuard lock(g->threadCountLock);
  --g->iActiveThreads;
}

constexpr char kTooFast[] =
    "The server is busy: too many requests from your address. Wait a moment and try again.";

// Searches and compares take a read token; adds, deletes, modifies and
// renames a write token; binds, unbinds and abandons none. Requests the
// HKP listener runs here (they have a sink) were counted against its own
// limits. True when the request was refused (and answered with result 51).
bool RefusedByRate(Connection* conn, Operation* op) {
  if (op->o_sink) return false;
  RateBucket bucket;
  switch (op->o_tag) {
    case 0x63:
    case 0x6E: bucket = kRateLdapRead; break;
    case 0x66:
    case 0x68:
    case 0x4A:
    case 0x6A:
    case 0x6C: bucket = kRateLdapWrite; break;
    default: return false;
  }
  if (RateAllowed(conn, bucket, nullptr)) return false;
  if (op->o_tag == 0x63) send_search_result(conn, op, LDAP_BUSY, nullptr, kTooFast, 0);
  else send_ldap_result(conn, op, LDAP_BUSY, nullptr, kTooFast);
  return true;
}

}  // namespace

Operation* op_add(Operation** list, BerBufferPtr ber, int msgid, uint32_t tag, const std::string& dn, int opid,
                  uint32_t connid) {
  Operation* op = new (std::nothrow) Operation();
  if (!op) return nullptr;
  op->o_ber = std::move(ber);
  op->o_msgid = msgid;
  op->o_tag = tag;
  op->o_dn = dn;
  op->o_time = GetCurrentTime();
  op->o_opid = opid;
  op->o_connid = connid;
  op->o_logType = 1;
  Operation** tail = list;
  while (*tail) tail = &(*tail)->o_next;
  *tail = op;
  return op;
}

void op_delete(Operation** list, Operation* op) {
  for (Operation** p = list; *p; p = &(*p)->o_next) {
    if (*p == op) {
      *p = op->o_next;
      delete op;
      return;
    }
  }
  Debug(LDAP_DEBUG_ANY, "op_delete: can't find op %d\n", op->o_msgid);
}

void connection_activity(Connection* conn) {
  Debug(LDAP_DEBUG_TRACE, "=> connection_activity\n");
  // A block with missing handles is still used: what needs a missing
  // handle fails where it is needed.
  {
    Globals* g = g_globals;
    GetKRYSDKCtx(g->serverKeyID.empty() ? g->ServerSecureKeyID : g->serverKeyID, &conn->c_keyContext);
  }

  if (conn->c_secure && !conn->c_tlsSession && SetUpConnectionTLS(conn) != 0) {
    // A failed handshake or key retrieval loses only this connection.
    EndConnection(conn);
    Debug(LDAP_DEBUG_TRACE, "<= connection_activity\n");
    return;
  }

  struct Reading {
    Reading() { g_readingConnections.fetch_add(1, std::memory_order_relaxed); }
    ~Reading() { g_readingConnections.fetch_sub(1, std::memory_order_relaxed); }
  } reading;
  while (!dird_shutdown && conn->c_sb.sd.load() != -1) {
    BerBufferPtr ber = ber_alloc_ptr(0);
    if (!ber) {
      LogError(EVENTLOG_ERROR, "Memory allocation error.");
      break;
    }
    ber_len_t length = 0;
    if (ber_get_next(&conn->c_sb, &length, ber.get()) != LBER_SEQUENCE) break;

    ber_len_t len = 0;
    if (ber_peek_header(ber.get(), &len) != LBER_INTEGER) break;
    int msgid = 0;
    if (ber_scanf(ber.get(), "i", &msgid) == -1) break;

    if (conn->c_version.load() == 30) {
      if (ber_read_header(ber.get(), &len) == LBER_DEFAULT) break;
    }
    ber_tag_t tag = ber_peek_header(ber.get(), &len);
    if (tag == LBER_DEFAULT) break;

    std::string dn;
    {
      MutexGuard lock(conn->c_dnmutex);
      dn = conn->c_dn;
    }
    time_t now = RefreshCurrentTime();
    {
      MutexGuard lock(conn->c_activitymutex);
      conn->c_activitytime = now;
    }
    conn->c_entropy ^= static_cast<uint32_t>(now);
    KRYGlobalRandomPoolAddKeystroke(static_cast<int>(conn->c_entropy));

    Operation* op;
    {
      MutexGuard lock(conn->c_opsmutex);
      op = op_add(&conn->c_ops, std::move(ber), msgid, tag, dn, static_cast<int>(conn->c_opsinitiated),
                  conn->c_connid);
    }
    if (!op) {
      LogError(EVENTLOG_ERROR, "Memory allocation error.");
      break;
    }
    if (DispatchOperation(conn, op) == 1) break;
  }

  EndConnection(conn);
  Debug(LDAP_DEBUG_TRACE, "<= connection_activity\n");
}

int DispatchOperation(Connection* conn, Operation* op) {
  Globals* g = g_globals;
  {
    SpinningGuard lock(g->operationCountLock);
    ++g->activeOperations;
  }
  {
    MutexGuard lock(conn->c_opsmutex);
    ++conn->c_opsinitiated;
  }
  g->opsInitiated.fetch_add(1, std::memory_order_relaxed);

  g_busyOperations.fetch_add(1, std::memory_order_relaxed);
  int result = 0;
  const auto began = std::chrono::steady_clock::now();
  const DispatchEntry* e = FindHandler(op->o_tag);
  if (e) {
    op->o_logType = e->logType;
    SetDetailCode(op, e->detailCode);
    if (!RefusedByRate(conn, op)) e->handler(conn, op);
    if (e->endsConnection) result = 1;
  } else {
    op->o_logType = 256;
    SetDetailCode(op, "UNK");
    Debug(LDAP_DEBUG_ANY, "unknown request 0x%x\n", op->o_tag);
    LogUnanswered(conn, op, LDAP_PROTOCOL_ERROR);
  }

  // Requests the HKP listener runs here are timed by it, whole.
  if (!op->o_sink)
    metrics::ObserveDuration(metrics::kLdap,
                             std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
  // Entries a handler left held (it ended without a result) go out now.
  if (!op->o_sink) FlushHeldOutput(conn);
  {
    MutexGuard lock(conn->c_opsmutex);
    ++conn->c_opscompleted;
    op_delete(&conn->c_ops, op);
  }
  g->opsCompleted.fetch_add(1, std::memory_order_relaxed);
  g_busyOperations.fetch_sub(1, std::memory_order_relaxed);
  {
    SpinningGuard lock(g->operationCountLock);
    --g->activeOperations;
  }
  return result;
}

void do_abandon(Connection* conn, Operation* op) {
  Debug(LDAP_DEBUG_TRACE, "do_abandon\n");
  int id = 0;
  if (ber_scanf(op->o_ber.get(), "i", &id) == -1) {
    Debug(LDAP_DEBUG_ANY, "ber_scanf failed\n");
    LogUnanswered(conn, op, LDAP_PROTOCOL_ERROR);
    return;
  }
  Debug(LDAP_DEBUG_ARGS, "do_abandon: id %d\n", id);
  bool found = false;
  {
    MutexGuard lock(conn->c_opsmutex);
    for (Operation* o = conn->c_ops; o && !found; o = o->o_next) {
      if (o->o_msgid == id) {
        MutexGuard a(o->o_abandonmutex);
        o->o_abandon = true;
        found = true;
      }
    }
  }
  if (!found) Debug(LDAP_DEBUG_TRACE, "do_abandon: op not found\n");
  LogUnanswered(conn, op, LDAP_SUCCESS);
}

void do_unbind(Connection* conn, Operation* op) {
  Debug(LDAP_DEBUG_TRACE, "do_unbind\n");
  LogError(EVENTLOG_VERBOSE, "conn=%d op=%d UNBIND.", static_cast<int>(conn->c_connid), op->o_opid);
  backend_unbind_all(g_globals->backends, conn, op);
  LogUnanswered(conn, op, LDAP_SUCCESS);
}

}  // namespace kry
