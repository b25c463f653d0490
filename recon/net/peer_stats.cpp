#include "recon/net/peer_stats.h"

#include <map>
#include <utility>

#include "hkp/format.h"
#include "util/strutil.h"
#include "util/thread.h"

namespace kry {
namespace recon_net {

namespace {

Mutex g_statsLock;  // guards g_peers and g_totals
std::map<std::pair<std::string, std::string>, PeerCounters> g_peers;
ReconTotals g_totals;

// Longest failure text kept: a peer chooses part of it.
constexpr size_t kMaxErrorText = 200;

PeerCounters& PeerLocked(const std::string& peer, const char* direction) {
  PeerCounters& c = g_peers[{peer, direction}];
  if (c.peer.empty()) {
    c.peer = peer;
    c.direction = direction;
  }
  return c;
}

void SetError(PeerCounters* c, const std::string& error) {
  c->lastError = error.substr(0, kMaxErrorText);
  ++c->failures;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char ch : text) {
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += static_cast<char>(ch);
    } else if (ch < 0x20 || ch >= 0x7F) {
      out += StrFormat("\\u%04x", ch);
    } else {
      out += static_cast<char>(ch);
    }
  }
  return out + "\"";
}

}  // namespace

void NoteRound(const std::string& peer, const char* direction, const std::string& error, uint64_t bytesIn,
               uint64_t bytesOut, double seconds) {
  MutexGuard guard(g_statsLock);
  PeerCounters& c = PeerLocked(peer, direction);
  if (error.empty()) {
    ++c.rounds;
    c.lastSessionSeconds = seconds;
  } else {
    SetError(&c, error);
  }
  c.bytesIn += bytesIn;
  c.bytesOut += bytesOut;
  c.lastRound = time(nullptr);
}

void NoteFetchFailure(const std::string& peer, const char* direction, const std::string& error) {
  MutexGuard guard(g_statsLock);
  SetError(&PeerLocked(peer, direction), "fetch: " + error);
}

void NoteKeys(const std::string& peer, const char* direction, uint64_t recovered, uint64_t refused) {
  MutexGuard guard(g_statsLock);
  PeerCounters& c = PeerLocked(peer, direction);
  c.keysRecovered += recovered;
  c.keysRefused += refused;
}

void NoteRefusedConnection(bool notAllowed) {
  MutexGuard guard(g_statsLock);
  ++(notAllowed ? g_totals.refusedNotAllowed : g_totals.refusedBusy);
}

std::vector<PeerCounters> PeerSnapshot() {
  MutexGuard guard(g_statsLock);
  std::vector<PeerCounters> out;
  for (const auto& p : g_peers) out.push_back(p.second);
  return out;
}

ReconTotals TotalsSnapshot() {
  MutexGuard guard(g_statsLock);
  return g_totals;
}

void ResetPeerStats() {
  MutexGuard guard(g_statsLock);
  g_peers.clear();
  g_totals = ReconTotals();
}

std::string ReconStatsJson(long setSize) {
  const ReconTotals t = TotalsSnapshot();
  std::string out = StrFormat("{\"digests\":%ld,\"refusedNotAllowed\":%llu,\"refusedBusy\":%llu,\"peers\":[", setSize,
                              static_cast<unsigned long long>(t.refusedNotAllowed),
                              static_cast<unsigned long long>(t.refusedBusy));
  bool first = true;
  for (const PeerCounters& c : PeerSnapshot()) {
    out += first ? "" : ",";
    first = false;
    out += StrFormat(
        "{\"peer\":%s,\"direction\":\"%s\",\"rounds\":%llu,\"failures\":%llu,\"keysRecovered\":%llu,"
        "\"keysRefused\":%llu,\"bytesIn\":%llu,\"bytesOut\":%llu,\"lastRound\":%lld,\"lastSessionSeconds\":%.3f,"
        "\"lastError\":%s}",
        JsonString(c.peer).c_str(), c.direction.c_str(), static_cast<unsigned long long>(c.rounds),
        static_cast<unsigned long long>(c.failures), static_cast<unsigned long long>(c.keysRecovered),
        static_cast<unsigned long long>(c.keysRefused), static_cast<unsigned long long>(c.bytesIn),
        static_cast<unsigned long long>(c.bytesOut), static_cast<long long>(c.lastRound), c.lastSessionSeconds,
        JsonString(c.lastError).c_str());
  }
  return out + "]}";
}

std::string ReconStatsHtml(long setSize) {
  std::string out = StrFormat("<h2>Reconciliation</h2>\n<p>Digests: %ld</p>\n<table>\n"
                              "<tr><th>Peer</th><th>Direction</th><th>Rounds</th><th>Failures</th>"
                              "<th>Keys recovered</th><th>Keys refused</th><th>Last error</th></tr>\n",
                              setSize);
  for (const PeerCounters& c : PeerSnapshot())
    out += StrFormat("<tr><td>%s</td><td>%s</td><td>%llu</td><td>%llu</td><td>%llu</td><td>%llu</td><td>%s</td></tr>\n",
                     HtmlEscape(c.peer).c_str(), c.direction.c_str(), static_cast<unsigned long long>(c.rounds),
                     static_cast<unsigned long long>(c.failures), static_cast<unsigned long long>(c.keysRecovered),
                     static_cast<unsigned long long>(c.keysRefused), HtmlEscape(c.lastError).c_str());
  return out + "</table>\n";
}

namespace {

void Family(std::string* out, const char* name, const char* type, const char* help) {
  *out += StrFormat("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// A peer name as a label value: names and addresses only, but escaped as
// the format asks all the same.
std::string Label(const std::string& text) {
  std::string out;
  for (char ch : text) {
    if (ch == '\\' || ch == '"') out += '\\';
    if (ch == '\n') {
      out += "\\n";
      continue;
    }
    out += ch;
  }
  return out;
}

}  // namespace

std::string ReconMetricsText(long setSize) {
  std::string out;
  Family(&out, "krycertd_recon_digests", "gauge", "Key digests in the reconciliation set.");
  out += StrFormat("krycertd_recon_digests %ld\n", setSize);
  const std::vector<PeerCounters> peers = PeerSnapshot();
  struct Series {
    const char* name;
    const char* help;
    uint64_t PeerCounters::*field;
  };
  static const Series kSeries[] = {
      {"krycertd_recon_rounds_total", "Reconciliation rounds that ended well, by peer and direction.",
       &PeerCounters::rounds},
      {"krycertd_recon_failures_total", "Reconciliation rounds and fetches that failed, by peer and direction.",
       &PeerCounters::failures},
      {"krycertd_recon_keys_recovered_total", "Keys fetched from a peer that the add pipeline stored or merged.",
       &PeerCounters::keysRecovered},
      {"krycertd_recon_keys_refused_total", "Keys fetched from a peer that the add pipeline refused.",
       &PeerCounters::keysRefused},
      {"krycertd_recon_received_bytes_total", "Reconciliation protocol bytes received.", &PeerCounters::bytesIn},
      {"krycertd_recon_sent_bytes_total", "Reconciliation protocol bytes sent.", &PeerCounters::bytesOut},
  };
  for (const Series& s : kSeries) {
    Family(&out, s.name, "counter", s.help);
    for (const PeerCounters& c : peers)
      out += StrFormat("%s{peer=\"%s\",direction=\"%s\"} %llu\n", s.name, Label(c.peer).c_str(), c.direction.c_str(),
                       static_cast<unsigned long long>(c.*(s.field)));
  }
  const ReconTotals t = TotalsSnapshot();
  Family(&out, "krycertd_recon_refused_connections_total", "counter",
         "Reconciliation connections turned away: address not allowed, or no room for another session.");
  out += StrFormat("krycertd_recon_refused_connections_total{reason=\"not_allowed\"} %llu\n",
                   static_cast<unsigned long long>(t.refusedNotAllowed));
  out += StrFormat("krycertd_recon_refused_connections_total{reason=\"busy\"} %llu\n",
                   static_cast<unsigned long long>(t.refusedBusy));
  return out;
}

}  // namespace recon_net
}  // namespace kry
