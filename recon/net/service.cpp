#include "recon/net/service.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "cert/keydigests.h"
#include "log/eventlog.h"
#include "recon/net/digest_memory.h"
#include "recon/net/fetch.h"
#include "recon/net/gossip.h"
#include "recon/net/listener.h"
#include "recon/net/peer_stats.h"
#include "recon/net/peers.h"
#include "recon/net/submitter.h"
#include "recon/reconset.h"
#include "recon/session.h"
#include "runtime/globals.h"
#include "util/thread.h"

namespace kry {

namespace {

// Sessions the listener runs at once, from different peers.
constexpr size_t kMaxSessions = 4;
constexpr int kConnectTimeoutMs = 10000;
// Fetched digests remembered so that refused keys are not fetched again.
constexpr size_t kRememberedDigests = 8192;

struct ReconState {
  // Built at start, kept up to date from then on; replaced only while no
  // session runs.
  std::shared_ptr<recon::ReconSet> set;
  std::unique_ptr<recon_net::PeerTable> peers;
  recon_net::ReconListener listener;
  recon_net::GossipClient gossip;
  recon_net::DigestMemory fetched{kRememberedDigests};
  std::atomic<bool> stopping{false};
  bool running = false;
};

Mutex g_reconLock;  // guards the start and stop of g_recon's parts
ReconState g_recon;

Backend* DirectoryBackend() {
  Globals* g = g_globals;
  return g && !g->backends.empty() ? g->backends.front().get() : nullptr;
}

// Built anew at each start, as a restart may open another directory. The
// observer goes in before the walk, and the walk keeps writes (and so the
// observer) waiting while it inserts: no change is missed or applied out
// of order.
int BuildSet() {
  Backend* be = DirectoryBackend();
  if (!be) return 1;
  const auto began = std::chrono::steady_clock::now();
  auto set = std::make_shared<recon::ReconSet>();
  SetKeyDigestObserver([set](const krypgp::SksDigest& d, bool present) {
    if (present) set->Insert(d);
    else set->Remove(d);
  });
  if (ForEachKeyDigest(be, [&set](const krypgp::SksDigest& d) { set->Insert(d); }) != 0) {
    SetKeyDigestObserver(nullptr);
    return 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  LogError(EVENTLOG_INFO, "Reconciliation set of %zu key digests built in %.2f seconds.", set->Size(), seconds);
  g_recon.set = std::move(set);
  return 0;
}

std::unique_ptr<recon_net::PeerTable> MakePeerTable(const Globals& g) {
  std::vector<recon_net::Partner> partners;
  for (const Globals::ReconPartnerSetting& s : g.ReconPartners) {
    recon_net::Partner p;
    p.host = s.host;
    p.reconPort = s.reconPort;
    p.httpPort = s.httpPort;
    p.addresses = recon_net::ResolveIPv4(s.host);
    if (p.addresses.empty())
      LogError(EVENTLOG_WARNING, "Reconciliation partner %s does not resolve; its connections will be refused.",
               s.host.c_str());
    partners.push_back(std::move(p));
  }
  return std::make_unique<recon_net::PeerTable>(std::move(partners), g.ReconAllow);
}

std::string StatusText(int rc, const recon::SessionResult& r) {
  if (!r.failure.empty()) return r.failure;
  return "session failed with status " + std::to_string(rc);
}

// One session on `fd`, then the fetch of what it found missing here from
// `host`'s HTTP port (the one the peer named, else `fallbackHttpPort`).
void RunSession(int fd, bool initiator, const std::string& peerName, const std::string& host, int fallbackHttpPort) {
  const char* direction = initiator ? "out" : "in";
  recon::SessionResult r;
  const int ourHttpPort = g_globals ? g_globals->HKPPort : 0;
  const auto began = std::chrono::steady_clock::now();
  const int rc = recon::RunReconSession(fd, initiator, *g_recon.set, g_recon.set->Params(), ourHttpPort,
                                        recon::SessionLimits(), &r);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  if (rc != recon::kReconOk) {
    const std::string why = StatusText(rc, r);
    recon_net::NoteRound(peerName, direction, why, r.bytesIn, r.bytesOut, seconds);
    LogError(EVENTLOG_WARNING, "Reconciliation with %s failed: %s", peerName.c_str(), why.c_str());
    return;
  }
  recon_net::NoteRound(peerName, direction, std::string(), r.bytesIn, r.bytesOut, seconds);
  if (r.weLack.empty()) return;
  const int httpPort = r.peerHttpPort > 0 ? r.peerHttpPort : fallbackHttpPort;
  if (httpPort <= 0) {
    recon_net::NoteFetchFailure(peerName, direction, "the peer named no HTTP port");
    return;
  }
  recon_net::PipelineSubmitter submitter(host);
  recon_net::FetchCounts counts;
  std::string error;
  const bool fetched = recon_net::FetchMissing(
      host, httpPort, r.weLack, recon_net::HashqueryLimits(), &g_recon.fetched,
      [&submitter](const std::string& key) { return submitter.Submit(key); }, g_recon.stopping, &counts, &error);
  recon_net::NoteKeys(peerName, direction, counts.stored, counts.refused);
  if (!fetched) recon_net::NoteFetchFailure(peerName, direction, error);
  LogError(fetched ? EVENTLOG_INFO : EVENTLOG_WARNING,
           "Reconciliation with %s: %zu keys missing here, %zu stored, %zu unchanged, %zu refused%s%s.",
           peerName.c_str(), r.weLack.size(), counts.stored, counts.unchanged, counts.refused,
           fetched ? "" : "; fetch failed: ", fetched ? "" : error.c_str());
}

void IncomingSession(int fd, const std::string& address) {
  const recon_net::Partner* partner = g_recon.peers->PartnerAt(address);
  RunSession(fd, false, address, address, partner ? partner->httpPort : 0);
}

void OutgoingRound(int fd, const recon_net::Partner& partner, const std::string& error) {
  if (fd < 0) {
    recon_net::NoteRound(partner.Name(), "out", error, 0, 0, 0);
    LogError(EVENTLOG_WARNING, "Reconciliation with %s failed: %s", partner.Name().c_str(), error.c_str());
    return;
  }
  RunSession(fd, true, partner.Name(), partner.host, partner.httpPort);
}

}  // namespace

int StartRecon() {
  MutexGuard guard(g_reconLock);
  const Globals* g = g_globals;
  if (g_recon.running || !g || (g->ReconPort == 0 && g->ReconPartners.empty())) return 0;
  if (BuildSet() != 0) {
    LogError(EVENTLOG_ERROR, "The key digests could not be read; reconciliation not started.");
    return 1;
  }
  g_recon.peers = MakePeerTable(*g);
  g_recon.stopping = false;
  int rc = 0;
  if (g->ReconPort != 0) {
    if (g_recon.listener.Start(g->ReconPort, g_recon.peers.get(), kMaxSessions, &IncomingSession) != 0) {
      LogError(EVENTLOG_ERROR, "Opening the reconciliation port %d failed; reconciliation not served.", g->ReconPort);
      rc = 1;
    } else {
      LogError(EVENTLOG_INFO, "Reconciliation listener serving port %d.", g->ReconPort);
    }
  }
  if (g_recon.gossip.Start(g_recon.peers.get(), g->ReconInterval, kConnectTimeoutMs, &OutgoingRound) != 0) {
    LogError(EVENTLOG_ERROR, "Creating the gossip thread failed.");
    rc = 1;
  }
  g_recon.running = true;
  return rc;
}

void StopRecon() {
  MutexGuard guard(g_reconLock);
  if (!g_recon.running) return;
  g_recon.stopping = true;
  g_recon.gossip.Stop();
  g_recon.listener.Stop();
  g_recon.peers.reset();
  g_recon.running = false;
}

long ReconDigestCount() {
  MutexGuard guard(g_reconLock);
  return g_recon.set ? static_cast<long>(g_recon.set->Size()) : -1;
}

int ReconListenerPort() {
  MutexGuard guard(g_reconLock);
  return g_recon.listener.port();
}

}  // namespace kry
