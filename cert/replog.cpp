#include "cert/replog.h"

#include "cert/certentry.h"
#include "ldap/add.h"
#include "ldap/entry.h"
#include "ldap/ldif.h"
#include "log/eventlog.h"
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

// A delete request coming back from one of our replicas has been logged
// here already; writing it again would send it round the ring for ever.
bool IsReplicationLoop(const Connection* conn, std::string_view value, const std::string& replicas) {
  if (!ContainsNoCase(value, "Request: delete") || !conn) return false;
  if (ContainsNoCase(replicas, conn->c_addr)) {
    LogError(EVENTLOG_INFO, "Single replication loop detected.IP (%s), Replica List (%s).", conn->c_addr.c_str(),
             replicas.c_str());
    return true;
  }
  if (ContainsNoCase(replicas, conn->c_domain)) {
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
  lock_fclose(f, &handle);
}

void WriteRecord(Connection* conn, uint32_t tag, std::string_view type, std::string_view value) {
  if (!g_globals || g_globals->RepLogFile.empty() || tag != kAddRequestTag) return;
  const std::string replicas = RepLogReplicaText();
  if (IsReplicationLoop(conn, value, replicas)) return;
  AppendRecord(FormatRepLogRecord(replicas, static_cast<long>(GetCurrentTime()), type, value));
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
