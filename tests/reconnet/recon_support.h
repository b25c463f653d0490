// Two-server reconciliation tests: generated keys with their digests, a
// krycertd with HKP and reconciliation on, and reads of what a server holds
// by digest (through its /pks/hashquery) and of its recon statistics.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "certadd/certadd_support.h"
#include "platform/pgp/sksdigest.h"
#include "support/harness.h"

namespace krytest {

struct TestKey {
  std::string armored;
  std::string binary;
  krypgp::SksDigest digest{};
};

// Keys [from, from + count) of one generated set (the same keys each call
// within a process run: they come from one pool).
std::vector<TestKey> GeneratedKeys(long from, long count);

// A server with HKP on `httpPort`, recon on `reconPort`, and `extra` lines.
struct ReconServer {
  ReconServer(int httpPort, int reconPort, const std::string& extra);
  // Restarts the server with `extra` lines instead; true once it serves.
  bool Reconfigure(const std::string& extra);
  int http, recon;
  KeyServer server;
};

// Submits the keys through /pks/add in one request; the HTTP status.
int SubmitKeys(int httpPort, const std::vector<TestKey>& keys);
// How many of `keys` the server at httpPort serves by digest.
size_t HeldByDigest(int httpPort, const std::vector<TestKey>& keys);
// /pks/stats?options=mr.
std::string StatsJson(int httpPort);
// A counter of the peer entry (peer, direction) in those statistics; 0 when
// absent.
uint64_t PeerStat(const std::string& json, const std::string& peer, const std::string& direction,
                  const std::string& field);
// Waits (polling every half second, at most `seconds`) until `done`.
bool WaitUntil(int seconds, const std::function<bool()>& done);

}  // namespace krytest
