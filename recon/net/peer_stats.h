// What reconciliation has done, per peer and direction ("out": rounds this
// server started, "in": rounds a peer started here): rounds, failures with
// the last failure's text, keys recovered and refused, bytes; and the
// connections the listener turned away. Shown on /pks/stats and /metrics.
// Thread-safe.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace kry {
namespace recon_net {

struct PeerCounters {
  std::string peer;       // "host:port" of a partner, the address of an incoming peer
  std::string direction;  // "out" or "in"
  uint64_t rounds = 0;    // sessions that ended well
  uint64_t failures = 0;  // sessions or fetches that failed
  uint64_t keysRecovered = 0;  // fetched keys the add pipeline stored or merged
  uint64_t keysRefused = 0;    // fetched keys it refused
  uint64_t bytesIn = 0, bytesOut = 0;
  std::string lastError;
  time_t lastRound = 0;        // end of the last session, good or bad
  double lastSessionSeconds = 0;  // the last good session's length, fetch not included
};

// Counts the session of `peer` in `direction`, which took `seconds`: failed
// when `error` is not empty.
void NoteRound(const std::string& peer, const char* direction, const std::string& error, uint64_t bytesIn,
               uint64_t bytesOut, double seconds);
// Counts a failed fetch (no round is counted).
void NoteFetchFailure(const std::string& peer, const char* direction, const std::string& error);
void NoteKeys(const std::string& peer, const char* direction, uint64_t recovered, uint64_t refused);
// A connection turned away: not allowed, or no room for another session.
void NoteRefusedConnection(bool notAllowed);

struct ReconTotals {
  uint64_t refusedNotAllowed = 0;
  uint64_t refusedBusy = 0;
};
std::vector<PeerCounters> PeerSnapshot();
ReconTotals TotalsSnapshot();
// Forgets everything (tests).
void ResetPeerStats();

// The statistics as a JSON object, an HTML table and Prometheus families.
// setSize is the number of digests reconciled, -1 when recon is off.
std::string ReconStatsJson(long setSize);
std::string ReconStatsHtml(long setSize);
std::string ReconMetricsText(long setSize);

}  // namespace recon_net
}  // namespace kry
