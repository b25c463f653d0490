#include "log/metrics.h"

#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "log/accesslog.h"

namespace kry {
namespace metrics {

namespace {

using Counter = std::atomic<uint64_t>;

// Upper bounds of the duration buckets, in seconds; +Inf follows.
constexpr double kBounds[] = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
constexpr int kBucketCount = sizeof kBounds / sizeof kBounds[0];

const char* const kProtocolNames[kProtocols] = {"ldap", "hkp"};
const char* const kKindNames[kOpKinds] = {"bind",   "unbind",    "abandon", "submit", "update", "search",
                                          "delete", "directory", "other",   "lookup", "wkd",    "status"};
const char* const kResultNames[kResults] = {"success", "not_found", "limit", "refused", "busy", "error"};
const char* const kSubmissionNames[kSubmissionOutcomes] = {"stored",  "merged",  "unchanged", "pending", "refused",
                                                           "refused", "refused", "refused",   "refused"};
const char* const kReasonNames[kSubmissionOutcomes] = {"", "", "", "", "access", "invalid", "policy", "blocked", "other"};

struct Histogram {
  Counter buckets[kBucketCount + 1];  // not cumulative; the last is +Inf
  Counter sumMicros;
};

struct Registry {
  Counter operations[kProtocols][kOpKinds][kResults];
  Histogram durations[kProtocols];
  Counter submissions[kSubmissionOutcomes];
  Counter replogRecords;
  Counter commits;      // writers that waited for their writes to be durable
  Counter commitSyncs;  // sync rounds that synced at least one file
  Counter nameLookups;  // HKP clients' host names looked up
  Counter cacheLookups[2];  // miss, hit
  Counter connections[kProtocols];
  Counter refusedConnections[kProtocols];
  std::atomic<int64_t> hkpOpen;
};

Registry g_registry;

void Add(Counter& c) { c.fetch_add(1, std::memory_order_relaxed); }
uint64_t Get(const Counter& c) { return c.load(std::memory_order_relaxed); }

void Family(std::string* out, const char* name, const char* type, const char* help) {
  *out += "# HELP ";
  *out += name;
  *out += ' ';
  *out += help;
  *out += "\n# TYPE ";
  *out += name;
  *out += ' ';
  *out += type;
  *out += '\n';
}

void Line(std::string* out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void Line(std::string* out, const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n > 0) out->append(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
}

void RenderOperations(std::string* out) {
  Family(out, "krycertd_operations_total", "counter", "Requests answered, by protocol, kind and result.");
  for (int p = 0; p < kProtocols; ++p)
    for (int k = 0; k < kOpKinds; ++k)
      for (int r = 0; r < kResults; ++r) {
        const uint64_t v = Get(g_registry.operations[p][k][r]);
        // Only the combinations that occurred: most never do.
        if (v) Line(out, "krycertd_operations_total{protocol=\"%s\",kind=\"%s\",result=\"%s\"} %" PRIu64 "\n",
                    kProtocolNames[p], kKindNames[k], kResultNames[r], v);
      }
  Family(out, "krycertd_request_duration_seconds", "histogram", "Time from a request's arrival to its answer.");
  for (int p = 0; p < kProtocols; ++p) {
    const Histogram& h = g_registry.durations[p];
    uint64_t cumulative = 0;
    for (int b = 0; b <= kBucketCount; ++b) {
      cumulative += Get(h.buckets[b]);
      if (b < kBucketCount)
        Line(out, "krycertd_request_duration_seconds_bucket{protocol=\"%s\",le=\"%g\"} %" PRIu64 "\n",
             kProtocolNames[p], kBounds[b], cumulative);
      else
        Line(out, "krycertd_request_duration_seconds_bucket{protocol=\"%s\",le=\"+Inf\"} %" PRIu64 "\n",
             kProtocolNames[p], cumulative);
    }
    Line(out, "krycertd_request_duration_seconds_sum{protocol=\"%s\"} %.6f\n", kProtocolNames[p],
         static_cast<double>(Get(h.sumMicros)) / 1e6);
    Line(out, "krycertd_request_duration_seconds_count{protocol=\"%s\"} %" PRIu64 "\n", kProtocolNames[p],
         cumulative);
  }
}

void RenderConnections(std::string* out, const Gauges& g) {
  Family(out, "krycertd_connections_total", "counter", "Connections accepted, by protocol.");
  Family(out, "krycertd_connections_refused_total", "counter",
         "Connections closed at once for a per-address or table limit, by protocol.");
  Family(out, "krycertd_connections_open", "gauge", "Connections open now, by protocol.");
  for (int p = 0; p < kProtocols; ++p) {
    Line(out, "krycertd_connections_total{protocol=\"%s\"} %" PRIu64 "\n", kProtocolNames[p],
         Get(g_registry.connections[p]));
    Line(out, "krycertd_connections_refused_total{protocol=\"%s\"} %" PRIu64 "\n", kProtocolNames[p],
         Get(g_registry.refusedConnections[p]));
  }
  Line(out, "krycertd_connections_open{protocol=\"ldap\"} %ld\n", g.ldapConnectionsOpen);
  Line(out, "krycertd_connections_open{protocol=\"hkp\"} %lld\n",
       static_cast<long long>(g_registry.hkpOpen.load(std::memory_order_relaxed)));
}

void RenderKeysAndSubmissions(std::string* out, const Gauges& g) {
  Family(out, "krycertd_keys", "gauge", "Certificates stored, by state.");
  const struct {
    const char* state;
    long value;
  } keys[] = {{"active", g.keysActive}, {"pending", g.keysPending}, {"disabled", g.keysDisabled},
                {"blocked", g.keysBlocked}};
  for (const auto& k : keys)
    if (k.value >= 0) Line(out, "krycertd_keys{state=\"%s\"} %ld\n", k.state, k.value);
  Family(out, "krycertd_submissions_total", "counter", "Key submissions (LDAP and HKP), by outcome and reason.");
  for (int s = 0; s < kSubmissionOutcomes; ++s)
    Line(out, "krycertd_submissions_total{outcome=\"%s\",reason=\"%s\"} %" PRIu64 "\n", kSubmissionNames[s],
         kReasonNames[s], Get(g_registry.submissions[s]));
  Family(out, "krycertd_replication_log_records_total", "counter", "Records appended to the replication log.");
  Line(out, "krycertd_replication_log_records_total %" PRIu64 "\n", Get(g_registry.replogRecords));
  Family(out, "krycertd_db_commits_total", "counter",
         "Updates that waited for their writes to reach the disk (adds, modifies, merges).");
  Line(out, "krycertd_db_commits_total %" PRIu64 "\n", Get(g_registry.commits));
  Family(out, "krycertd_db_commit_syncs_total", "counter",
         "Syncs of the database files made for waiting updates; concurrent updates share one.");
  Line(out, "krycertd_db_commit_syncs_total %" PRIu64 "\n", Get(g_registry.commitSyncs));
  Family(out, "krycertd_hkp_name_lookups_total", "counter",
         "Host names of HKP clients looked up (made only for host rules and logs, and cached).");
  Line(out, "krycertd_hkp_name_lookups_total %" PRIu64 "\n", Get(g_registry.nameLookups));
  Family(out, "krycertd_entry_cache_lookups_total", "counter",
         "Entry-cache look-ups by DN or ID, by result (the hit ratio is hit over all).");
  Line(out, "krycertd_entry_cache_lookups_total{result=\"hit\"} %" PRIu64 "\n", Get(g_registry.cacheLookups[1]));
  Line(out, "krycertd_entry_cache_lookups_total{result=\"miss\"} %" PRIu64 "\n", Get(g_registry.cacheLookups[0]));
}

void RenderRateLimits(std::string* out, const Gauges& g) {
  Family(out, "krycertd_ratelimit_refused_total", "counter", "Requests refused by a rate limit, by protocol and kind.");
  const char* const names[4][2] = {{"ldap", "read"}, {"ldap", "write"}, {"hkp", "read"}, {"hkp", "write"}};
  for (int b = 0; b < 4; ++b)
    Line(out, "krycertd_ratelimit_refused_total{protocol=\"%s\",kind=\"%s\"} %" PRIu64 "\n", names[b][0],
         names[b][1], g.rateRefused[b]);
  Family(out, "krycertd_ratelimit_table_entries", "gauge", "Client addresses the rate limits hold buckets for.");
  Line(out, "krycertd_ratelimit_table_entries %ld\n", g.rateTableEntries);
  Family(out, "krycertd_start_time_seconds", "gauge", "When the server started, in seconds since 1970.");
  Line(out, "krycertd_start_time_seconds %.0f\n", g.startTime);
}

}  // namespace

OpKind KindOfCategory(int category) {
  switch (category) {
    case kLogBind: return kBind;
    case kLogUnbind: return kUnbind;
    case kLogAbandon: return kAbandon;
    case kLogAdd: return kSubmit;
    case kLogModify: return kUpdate;
    case kLogSearch: return kSearch;
    case kLogDelete: return kDelete;
    case kLogLdap: return kDirectory;
    default: return kOther;
  }
}

OpResult ResultOfLdapCode(int code) {
  switch (code) {
    case 0:
    case 5:
    case 6: return kSuccess;
    case 32: return kNotFound;
    case 3:
    case 4:
    case 21: return kLimit;
    case 8:
    case 48:
    case 49:
    case 50:
    case 53: return kRefused;
    case 51: return kBusy;
    default: return kError;
  }
}

OpResult ResultOfHttpStatus(int status) {
  if (status >= 200 && status < 300) return kSuccess;
  if (status == 404) return kNotFound;
  if (status == 413 || status == 422) return kLimit;
  if (status == 403 || status == 410) return kRefused;
  if (status == 429 || status == 503) return kBusy;
  return kError;
}

Submission SubmissionOf(int code, bool merged, bool pending) {
  if (code == 0) return merged ? kMerged : kStored;
  if (code == 49 && pending) return kPending;
  if (code == 68) return kUnchanged;
  switch (code) {
    case 50: return kRefusedAccess;
    case 2:
    case 21: return kRefusedInvalid;
    case 8:
    case 49:
    case 53: return kRefusedPolicy;
    default: return kRefusedOther;
  }
}

void CountOperation(Protocol p, OpKind kind, OpResult result) { Add(g_registry.operations[p][kind][result]); }

void ObserveDuration(Protocol p, double seconds) {
  Histogram& h = g_registry.durations[p];
  int b = 0;
  while (b < kBucketCount && seconds > kBounds[b]) ++b;
  Add(h.buckets[b]);
  h.sumMicros.fetch_add(static_cast<uint64_t>(seconds * 1e6 + 0.5), std::memory_order_relaxed);
}

Counter g_keysGeneration;

void CountSubmission(Submission s) {
  Add(g_registry.submissions[s]);
  if (s == kStored || s == kMerged || s == kPending) NoteKeysChanged();
}
void NoteKeysChanged() { Add(g_keysGeneration); }
uint64_t KeysGeneration() { return Get(g_keysGeneration); }
void CountRepLogRecord() { Add(g_registry.replogRecords); }
void CountCommitRequest() { Add(g_registry.commits); }
void CountCommitRound(int filesSynced) {
  if (filesSynced > 0) Add(g_registry.commitSyncs);
}
void CountNameLookup() { Add(g_registry.nameLookups); }
void CountCacheLookup(bool hit) { Add(g_registry.cacheLookups[hit ? 1 : 0]); }
void CountConnection(Protocol p) { Add(g_registry.connections[p]); }
void CountRefusedConnection(Protocol p) { Add(g_registry.refusedConnections[p]); }
void HkpConnectionOpened() { g_registry.hkpOpen.fetch_add(1, std::memory_order_relaxed); }
void HkpConnectionClosed() { g_registry.hkpOpen.fetch_sub(1, std::memory_order_relaxed); }

std::string Render(const Gauges& g) {
  std::string out;
  out.reserve(8192);
  RenderOperations(&out);
  RenderConnections(&out, g);
  RenderKeysAndSubmissions(&out, g);
  RenderRateLimits(&out, g);
  return out;
}

}  // namespace metrics
}  // namespace kry
