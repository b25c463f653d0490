#include "hkp/directory.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "hkp/peername.h"
#include "ldap/ber.h"
#include "ldap/dispatch.h"
#include "ldap/result.h"
#include "log/trace.h"
#include "platform/net/krynet.h"
#include "runtime/connection.h"
#include "runtime/globals.h"
#include "runtime/keycontext.h"
#include "util/strutil.h"

namespace kry {

const std::vector<std::string>& HkpEntry::Values(const char* type) const {
  static const std::vector<std::string> kNone;
  for (const Attribute& a : attrs)
    if (StrIEquals(a.type, type)) return a.values;
  return kNone;
}

const std::string& HkpEntry::First(const char* type) const {
  static const std::string kNone;
  const std::vector<std::string>& v = Values(type);
  return v.empty() ? kNone : v.front();
}

namespace {

bool Wanted(const std::vector<std::string>& wanted, const std::string& type) {
  if (wanted.empty()) return true;
  for (const std::string& w : wanted)
    if (StrIEquals(w, type)) return true;
  return false;
}

}  // namespace

int HkpOutcome::OnEntry(const Entry& e, const std::vector<Attribute>& attrs,
                        const std::vector<Attribute>* virtualAttrs) {
  HkpEntry out;
  out.dn = e.dn;
  out.attrs.reserve(attrs.size() + (virtualAttrs ? virtualAttrs->size() : 0));
  for (const Attribute& a : attrs)
    if (Wanted(wanted, a.type)) out.attrs.push_back(a);
  if (virtualAttrs)
    for (const Attribute& a : *virtualAttrs)
      if (Wanted(wanted, a.type)) out.attrs.push_back(a);
  entries.push_back(std::move(out));
  return 0;
}

void HkpOutcome::OnResult(int err, const char* /*matched*/, const char* resultText, int count) {
  code = err;
  text = resultText ? resultText : "";
  if (text.empty()) {
    const char* mapped = "";
    MapErrorCodeToMsg(err, &mapped);
    text = mapped;
  }
  nentries = count;
  if (op) {
    logType = op->o_logType;
    logDetail = op->o_logDetail;
    start = op->o_time;
  }
}

std::string HkpLdapMessage(const std::string& protocolOp) {
  BerBufferPtr id = ber_alloc_ptr(BER_OPTION_DER);
  if (!id || ber_printf(id.get(), "i", 1) == -1) return std::string();
  const std::string body = std::string(reinterpret_cast<const char*>(id->buffer()), id->current) + protocolOp;
  std::string m(1, '\x30');
  // Long form with four length octets, as the server's own encoder writes.
  m.push_back('\x84');
  for (int shift = 24; shift >= 0; shift -= 8) m.push_back(static_cast<char>((body.size() >> shift) & 0xFF));
  return m + body;
}

bool RunHkpRequest(Connection* conn, const std::string& message, HkpOutcome* out) {
  BerBufferPtr ber = ber_init(message.data(), message.size());
  if (!ber) return false;
  int msgid = 0;
  ber_len_t len = 0;
  if (ber_scanf(ber.get(), "{i", &msgid) == -1) return false;
  const ber_tag_t tag = ber_peek_header(ber.get(), &len);
  if (tag == LBER_DEFAULT) return false;
  RefreshCurrentTime();
  Operation* op;
  {
    MutexGuard lock(conn->c_opsmutex);
    op = op_add(&conn->c_ops, std::move(ber), msgid, tag, std::string(), static_cast<int>(conn->c_opsinitiated),
                conn->c_connid);
  }
  if (!op) return false;
  op->o_sink = out;
  out->op = op;
  DispatchOperation(conn, op);  // retires op
  out->op = nullptr;
  return true;
}

void SetHkpPeer(Connection* conn, const sockaddr* address) {
  conn->c_addr.clear();
  conn->c_domain.clear();
  conn->c_hasDomain = false;
  if (!address) return;
  if (address->sa_family == AF_INET) {
    const uint32_t ip = reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr;
    conn->c_addr = KRYInternetAddressToDottedString(ip);
    ResolveHkpPeerName(conn, ip);
  } else if (address->sa_family == AF_INET6) {
    char text[INET6_ADDRSTRLEN] = {0};
    if (inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text))
      conn->c_addr = text;
  }
}

KRYContextRef HkpKeyContext(Connection* conn) {
  KeyContextBlock* block = &conn->c_keyContext;
  if (block->Empty()) {
    const Globals* g = g_globals;
    GetKRYSDKCtx(g->serverKeyID.empty() ? g->ServerSecureKeyID : g->serverKeyID, block);
  }
  return block->context;
}

void ReleaseHkpKeyContext(Connection* conn) { ReleaseKRYSDKCtx(&conn->c_keyContext); }

void HkpAccessLog(const Connection* conn, int category, const AccessLogDetail& detail, int nentries, time_t start,
                  int resultCode) {
  Globals* g = g_globals;
  if (!g || (static_cast<uint32_t>(category) & g->AccessLogDetails.load(std::memory_order_relaxed)) == 0) return;
  std::string line = FormatAccessLogLine(category, detail, nentries, conn->c_connid, start, resultCode, conn->c_addr,
                                         conn->c_hasDomain ? conn->c_domain : std::string());
  if (!line.empty() && line.back() == '\n') line.pop_back();
  line += " HKP\n";
  LogAccessToFile(line.data(), line.size());
}

}  // namespace kry
