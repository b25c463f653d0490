// One reconciliation exchange over a connected socket, in either role: the
// side that accepted the connection drives the exchange (polynomial and
// full-set requests), the side that connected answers them. Both sides learn
// the digests the other holds and they lack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "recon/params.h"
#include "recon/reconset.h"

namespace recon {

struct SessionLimits {
  size_t maxMessage = 16u << 20;  // larger messages end the session
  int ioTimeoutMs = 30000;        // a read or write stalled this long ends it
  size_t maxElements = 100000;    // elements a peer may send in one session
};

struct SessionResult {
  std::vector<Digest> weLack;  // digests the peer holds and we do not, sorted
  int peerHttpPort = 0;        // from the peer's configuration, 0 if none
  std::string peerVersion;
  std::string failure;         // why the session failed, empty on success
  uint64_t bytesIn = 0, bytesOut = 0;
};

// Status codes of RunReconSession.
enum ReconStatus {
  kReconOk = 0,
  kReconIoError = 1,       // the connection failed or closed early
  kReconTimeout = 2,       // the peer stalled past ioTimeoutMs
  kReconConfigMismatch = 3,// the peer's parameters differ, or it refused ours
  kReconProtocolError = 4, // malformed or unexpected message
  kReconTooLarge = 5,      // message over maxMessage
  kReconTooMany = 6,       // more than maxElements elements
};

// Runs one reconciliation over the connected blocking socket `fd` (not
// closed here; timeouts by poll). `initiator` is true on the side that
// connected. Works on a snapshot of `set`, so writers go on meanwhile.
// Returns kReconOk and fills out->weLack, or a status with out->failure set.
int RunReconSession(int fd, bool initiator, const ReconSet& set, const ReconParams& p,
                    int ourHttpPort, const SessionLimits& lim, SessionResult* out);

}  // namespace recon
