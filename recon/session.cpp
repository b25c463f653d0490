#include "recon/session.h"

namespace recon {

int RunReconSession(int, bool, const ReconSet&, const ReconParams&, int, const SessionLimits&,
                    SessionResult* out) {
  out->failure = "not implemented yet";
  return kReconProtocolError;
}

}  // namespace recon
