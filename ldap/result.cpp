#include "ldap/result.h"

#include "cert/access.h"
#include "ldap/ber.h"
#include "ldap/entry.h"
#include "ldap/operation.h"
#include "ldap/sockbuf.h"
#include "log/accesslog.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "platform/net/krynet.h"
#include "runtime/connection.h"
#include "runtime/daemon.h"
#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

void MapErrorCodeToMsg(int code, const char** text) {
  switch (code) {
    case 1:
      *text =
          "An error was detected on the server processing this request.  Consult the server admininstrator for "
          "assistance.";
      break;
    case 2: *text = "The data provided to the server was invalid or corrupt."; break;
    case 3: *text = "This operation exceeded the maximum time limit for a single request."; break;
    case 4: *text = "The number of certificates returned by this search exceeds the maximum set for this server."; break;
    case 8: *text = "This request must be signed by an authorized person."; break;
    case 48: *text = "The authorization used for this request was invalid and unnecessary."; break;
    case 50: *text = "You do not have authority to perform this action."; break;
    case 90: *text = "Server out of memory."; break;
    default: break;
  }
}

unsigned ResponseTag(unsigned requestTag) {
  if (requestTag == 0x4A) return 0x6B;
  if (requestTag == 0x63) return 0x65;
  return requestTag + 1;
}

namespace {

// Entries held for one write stay below this; a larger answer streams.
constexpr size_t kHeldOutputLimit = 16 * 1024;

int WriteFailed() {
  int code = KRYGetLastSocketsError();
  LogError(EVENTLOG_VERBOSE, "Socket write failed with error %d (%s).", code, KRYSocketsErrorText(code).c_str());
  return -1;
}

// Writes the held bytes and then `ber` (when given); caller holds
// c_pdumutex. The held bytes are dropped whatever happens: after a failed
// write the stream is out of step and the connection is ending.
int WriteOut(Connection* conn, BerBuffer* ber) {
  if (!conn->c_heldOutput.empty()) {
    if (ber) conn->c_heldOutput.append(reinterpret_cast<const char*>(ber->buffer()), ber->current);
    std::string out;
    out.swap(conn->c_heldOutput);
    return sockbuf_write(&conn->c_sb, out.data(), out.size()) == 0 ? 0 : WriteFailed();
  }
  return !ber || ber_flush(&conn->c_sb, ber, 0) == 0 ? 0 : WriteFailed();
}

}  // namespace

int SendResponse(Connection* conn, Operation* op, BerBuffer* ber, bool hold) {
  MutexGuard sendLock(conn->c_pdumutex);
  // The slot's connection number changes under the table lock before a new
  // connection gets the slot; a response for the old one is dropped.
  if (op->o_connid != conn->c_connid.load() || conn->c_sb.sd.load() == -1) {
    conn->c_heldOutput.clear();
    return -1;
  }
  if (hold && conn->c_heldOutput.size() + ber->current <= kHeldOutputLimit) {
    conn->c_heldOutput.append(reinterpret_cast<const char*>(ber->buffer()), ber->current);
    return 0;
  }
  // The write itself runs without the table lock: a peer that stops reading
  // may hold it for the whole socket wait, and that must not stop the
  // listener or other connections. Only this connection's own thread closes
  // its descriptor (a forced close at shutdown only shuts it down), so the
  // descriptor cannot change hands during the write.
  return WriteOut(conn, ber);
}

int FlushHeldOutput(Connection* conn) {
  MutexGuard sendLock(conn->c_pdumutex);
  if (conn->c_heldOutput.empty()) return 0;
  return WriteOut(conn, nullptr);
}

void send_search_result(Connection* conn, Operation* op, int err, const char* matched, const char* text,
                        int nentries) {
  Debug(LDAP_DEBUG_TRACE, "send_ldap_result %d:%s:%s\n", err, matched ? matched : "", text ? text : "");
  if (op->o_sink) {
    op->o_sink->OnResult(err, matched, text, nentries);
    return;
  }
  AddAccessLogEntry(conn, op, op->o_logType, &op->o_logDetail, nentries, err);
  if (!text || !*text) {
    text = "";
    MapErrorCodeToMsg(err, &text);
  }
  unsigned tag = ResponseTag(op->o_tag);
  bool v30 = conn->c_version.load() == 30;
  BerBufferPtr ber = ber_alloc_ptr(v30 ? 0 : BER_OPTION_DER);
  if (!ber) {
    Debug(LDAP_DEBUG_ANY, "ber_alloc failed\n");
    return;
  }
  int rc = ber_printf(ber.get(), v30 ? "{it{{ess}}}" : "{it{ess}}", op->o_msgid, static_cast<int>(tag), err,
                      matched ? matched : "", text);
  if (rc == -1) {
    Debug(LDAP_DEBUG_ANY, "ber_printf failed\n");
    return;
  }
  size_t size = ber->current;
  if (SendResponse(conn, op, ber.get()) != 0) return;
  g_globals->bytesSent.fetch_add(size, std::memory_order_relaxed);
  LogError(EVENTLOG_VERBOSE, "conn=%d op=%d RESULT err=%d tag=%d nentries=%d", static_cast<int>(conn->c_connid),
           op->o_opid, err, static_cast<int>(tag), nentries);
}

namespace {

bool Requested(const std::vector<std::string>* attrs, const std::string& type) {
  if (!attrs) return true;
  for (const std::string& a : *attrs)
    if (StrIEquals(a, type)) return true;
  return false;
}

// Appends the requested attributes of `list` to the entry being encoded;
// the name of the failing step, or null.
const char* PutAttributes(BerBuffer* ber, const std::vector<std::string>* attrs, const std::vector<Attribute>& list,
                          int attrsonly) {
  for (const Attribute& a : list) {
    // Per-attribute and per-value access hooks grant whatever the entry
    // check granted; only the requested-attribute filter applies here.
    if (!Requested(attrs, a.type)) continue;
    if (ber_printf(ber, "{s[", a.type.c_str()) == -1) return "ber_printf type";
    if (!attrsonly) {
      for (const std::string& v : a.values)
        if (ber_printf(ber, "o", v.data(), static_cast<int>(v.size())) == -1) return "ber_printf value";
    }
    if (ber_printf(ber, "]}") == -1) return "ber_printf type end";
  }
  return nullptr;
}

}  // namespace

int send_search_entry(Backend* be, Connection* conn, Operation* op, const Entry* e,
                      const std::vector<std::string>* attrs, const std::vector<Attribute>* attrList, int attrsonly,
                      const std::vector<Attribute>* virtualAttrs) {
  Debug(LDAP_DEBUG_TRACE, "=> send_search_entry (%s)\n", e->dn.c_str());
  const char* peer = conn->c_addr.c_str();
  const char* host = ConnectionHostName(conn);
  if (!access_allowed(be, peer, host, ACL_READ)) {
    Debug(LDAP_DEBUG_ACL, "acl: access to entry not allowed\n");
    return 1;
  }
  if (op->o_sink) return op->o_sink->OnEntry(*e, attrList ? *attrList : e->attrs, virtualAttrs) == 0 ? 0 : -1;
  bool v30 = conn->c_version.load() == 30;
  const char* failure = nullptr;
  BerBufferPtr ber = ber_alloc_ptr(v30 ? 0 : BER_OPTION_DER);
  if (!ber) {
    Debug(LDAP_DEBUG_ANY, "ber_alloc failed\n");
    send_ldap_result(conn, op, LDAP_OPERATIONS_ERROR, nullptr, "ber_alloc");
    return 1;
  }
  if (ber_printf(ber.get(), v30 ? "{it{{s{" : "{it{s{", op->o_msgid, 100, e->dn.c_str()) == -1) failure = "ber_printf dn";
  if (!failure && virtualAttrs) failure = PutAttributes(ber.get(), attrs, *virtualAttrs, attrsonly);
  if (!failure) failure = PutAttributes(ber.get(), attrs, attrList ? *attrList : e->attrs, attrsonly);
  if (!failure && ber_printf(ber.get(), v30 ? "}}}}" : "}}}") == -1) failure = "ber_printf entry end";
  if (failure) {
    Debug(LDAP_DEBUG_ANY, "ber_printf failed\n");
    send_ldap_result(conn, op, LDAP_OPERATIONS_ERROR, nullptr, failure);
    return 1;
  }
  size_t size = ber->current;
  if (SendResponse(conn, op, ber.get(), true) != 0) {
    AddAccessLogEntry(conn, op, op->o_logType, &op->o_logDetail, 0, LDAP_SEND_FAILED);
    return -1;
  }
  g_globals->bytesSent.fetch_add(size, std::memory_order_relaxed);
  g_globals->entriesSent.fetch_add(1, std::memory_order_relaxed);
  LogError(EVENTLOG_VERBOSE, "conn=%d op=%d ENTRY dn=%s.", static_cast<int>(conn->c_connid), op->o_opid,
           e->dn.c_str());
  Debug(LDAP_DEBUG_TRACE, "<= send_search_entry\n");
  return 0;
}

void send_ldap_result(Connection* conn, Operation* op, int err, const char* matched, const char* text) {
  send_search_result(conn, op, err, matched, text, 0);
}

}  // namespace kry
