#include "cert/replog.h"

#include <new>

#include "cert/certentry.h"
#include "ldap/add.h"
#include "ldap/entry.h"
#include "ldap/ldif.h"
#include "log/eventlog.h"
#include "log/metrics.h"
#include "log/trace.h"
#include "runtime/connection.h"
#include "runtime/globals.h"
#include "runtime/lockfile.h"
#include "util/strutil.h"
#include "util/thread.h"

namespace kry {

namespace {

constexpr uint32_t kAddRequestTag = 0x68;

Mutex& ReplicaTextLock() {
  static Mutex m;
  return m;
}
std::string& ReplicaText() {
  static std::string text;
  return text;
}

bool ContainsNoCase(std::string_view hay, std::string_view needle) {
  if (needle.empty()) return false;
  return ToLower(hay).find(ToLower(needle)) != std::string::npos;
}

// The host of one replica as configured ("[protocol://]host[:port]", an
// IPv6 address in brackets), without a final dot.
std::string_view ReplicaHost(std::string_view replica) {
  if (size_t scheme = replica.find("://"); scheme != std::string_view::npos) replica.remove_prefix(scheme + 3);
  std::string_view host;
  if (!replica.empty() && replica[0] == '[') {
    const size_t close = replica.find(']');
    host = replica.substr(1, close == std::string_view::npos ? close : close - 1);
  } else {
    host = replica.substr(0, replica.find_first_of(":/"));
  }
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  return host;
}

// A delete request coming back from one of our replicas has been logged
// here already; writing it again would send it round the ring for ever.
bool IsReplicationLoop(const Connection* conn, std::string_view value, const std::string& replicas) {
  // Deletes and blocklist changes are passed on by every replica; adds are
  // merged and come to rest.
  const bool passedOn = ContainsNoCase(value, "Request: delete") || ContainsNoCase(value, "Request: block") ||
                        ContainsNoCase(value, "Request: unblock");
  if (!passedOn || !conn) return false;
  if (ReplicaListHasHost(replicas, conn->c_addr)) {
    LogError(EVENTLOG_INFO, "Single replication loop detected.IP (%s), Replica List (%s).", conn->c_addr.c_str(),
             replicas.c_str());
    return true;
  }
  if (ReplicaListHasHost(replicas, conn->c_domain)) {
    LogError(EVENTLOG_INFO, "Single replication loop detected.Host (%s), Replica List (%s).",
             conn->c_domain.c_str(), replicas.c_str());
    return true;
  }
  return false;
}

void AppendRecord(const std::string& record) {
  Globals* g = g_globals;
  MutexGuard lock(g->replogLock);
  LockFileHandle handle;
  FILE* f = lock_fopen(g->RepLogFile.c_str(), "ab", 1, &handle);
  if (!f) {
    Debug(LDAP_DEBUG_ANY, "kryRepLog: Could not open replication log file.\n");
    return;
  }
  if (std::fwrite(record.data(), 1, record.size(), f) != record.size() || std::fflush(f) != 0)
    Debug(LDAP_DEBUG_ANY, "kryRepLog: Could not write replication log file.\n");
  else
    metrics::CountRepLogRecord();
  lock_fclose(f, &handle);
}

// Never throws: the change the record describes is already stored, and a
// record that cannot be written must not turn it into a failure.
void WriteRecord(Connection* conn, uint32_t tag, std::string_view type, std::string_view value) {
  if (!g_globals || g_globals->RepLogFile.empty() || tag != kAddRequestTag) return;
  try {
    const std::string replicas = RepLogReplicaText();
    if (IsReplicationLoop(conn, value, replicas)) return;
    AppendRecord(FormatRepLogRecord(replicas, static_cast<long>(GetCurrentTime()), type, value));
  } catch (const std::bad_alloc&) {
    Debug(LDAP_DEBUG_ANY, "kryRepLog: out of memory\n");
  }
}

}  // namespace

int InitRepLog(Backend* be) {
  std::string text;
  if (g_globals && !g_globals->RepLogFile.empty() && be)
    for (const std::string& r : be->replicas) text += "replica: " + r + "\n";
  MutexGuard lock(ReplicaTextLock());
  ReplicaText() = std::move(text);
  return 0;
}

void ReleaseRepLog() {
  MutexGuard lock(ReplicaTextLock());
  ReplicaText().clear();
  ReplicaText().shrink_to_fit();
}

bool ReplicaListHasHost(std::string_view replicas, std::string_view peer) {
  if (peer.empty()) return false;
  if (peer.back() == '.') peer.remove_suffix(1);
  constexpr std::string_view kPrefix = "replica: ";
  for (size_t start = 0; start < replicas.size();) {
    size_t end = replicas.find('\n', start);
    if (end == std::string_view::npos) end = replicas.size();
    std::string_view line = replicas.substr(start, end - start);
    if (line.substr(0, kPrefix.size()) == kPrefix && StrIEquals(ReplicaHost(line.substr(kPrefix.size())), peer))
      return true;
    start = end + 1;
  }
  return false;
}

std::string RepLogReplicaText() {
  MutexGuard lock(ReplicaTextLock());
  return ReplicaText();
}

std::string FormatRepLogRecord(const std::string& replicas, long now, std::string_view type,
                               std::string_view value) {
  std::string out;
  out.reserve(replicas.size() + 128 + ldif_line_size_bound(type.size(), value.size()));
  out += replicas;
  out += StrFormat("time: %ld\n", now);
  out += "dn: ";
  out += kVirtualKeyDN;
  out += "\nchangetype: add\n";
  ldif_put_value(&out, type, value);
  out += '\n';
  return out;
}

void kryRepLog(Backend* /*be*/, Connection* conn, uint32_t tag, const std::string& /*dn*/, const Entry* e,
               bool authorised) {
  if (!e) return;
  const Attribute* chosen = nullptr;
  const char* type = "kryRequest";
  if (authorised) {
    for (const Attribute& a : e->attrs)
      if (StrIEquals(a.type, "kryRequest")) chosen = &a;
  } else {
    chosen = attr_lookup(e, "kryKeyV2");
    type = "kryKeyV2";
    if (!chosen) {
      chosen = attr_lookup(e, "kryKey");
      type = "kryKey";
    }
  }
  if (!chosen || chosen->values.empty()) return;
  WriteRecord(conn, tag, type, chosen->values[0]);
}

void kryRepLogRequest(Connection* conn, uint32_t tag, std::string_view request) {
  WriteRecord(conn, tag, "kryRequest", request);
}

}  // namespace kry
