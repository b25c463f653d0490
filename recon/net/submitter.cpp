#include "recon/net/submitter.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "hkp/directory.h"
#include "hkp/submit.h"
#include "ldap/result.h"
#include "runtime/globals.h"

namespace kry {
namespace recon_net {

namespace {

// Result of an add whose certificate is already stored unchanged.
constexpr int kUnchanged = 68;

}  // namespace

PipelineSubmitter::PipelineSubmitter(const std::string& peerAddress) {
  {
    MutexGuard lock(g_globals->countersLock);
    conn_.c_connid = g_globals->nextConnectionID++;
  }
  conn_.c_starttime = GetCurrentTime();
  sockaddr_in from{};
  from.sin_family = AF_INET;
  if (inet_pton(AF_INET, peerAddress.c_str(), &from.sin_addr) == 1)
    SetHkpPeer(&conn_, reinterpret_cast<const sockaddr*>(&from));
}

PipelineSubmitter::~PipelineSubmitter() { ReleaseHkpKeyContext(&conn_); }

SubmitOutcome PipelineSubmitter::Submit(const std::string& binaryKey) {
  // Without a key-library context the add cannot run; it is not the key's
  // fault, but the key is not stored either.
  if (!HkpKeyContext(&conn_)) return SubmitOutcome::kRefused;
  std::string line;
  const int code = HkpSubmitKey(&conn_, binaryKey, &line);
  if (code == LDAP_SUCCESS) return SubmitOutcome::kStored;
  if (code == kUnchanged) return SubmitOutcome::kUnchanged;
  return SubmitOutcome::kRefused;
}

}  // namespace recon_net
}  // namespace kry
