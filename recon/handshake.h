// The opening of a session: both sides send their configuration at once,
// each checks the other's and answers "passed", or "failed" and a reason.
#pragma once

#include "recon/channel.h"
#include "recon/params.h"
#include "recon/session.h"

namespace recon {

// Runs the exchange; fills out->peerHttpPort and out->peerVersion. Returns
// kReconOk, kReconConfigMismatch (either side refused), or the I/O status.
int ExchangeConfig(Channel* ch, const ReconParams& p, int ourHttpPort, SessionResult* out);

}  // namespace recon
