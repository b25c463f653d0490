// What the operator sees of a running server: whether the directory
// answers (/pks/health), its key counts and ports (/pks/stats, as HTML or,
// with options=mr, JSON) and the Prometheus text of /metrics.
#pragma once

#include <string>

#include "hkp/answer.h"

namespace kry {

// Certificates under OU=ACTIVE and OU=PENDING, from the child map of each
// (no scan of the entries), kept for a few seconds between calls unless a
// key was stored or deleted since. -1 when the directory could not say.
struct KeyCounts {
  long active = -1;
  long pending = -1;
  long disabled = -1;  // ACTIVE certificates marked disabled
  long blocked = -1;   // fingerprints on the blocklist
};
KeyCounts CountKeys();

// 200 "OK" when the directory answers; 503 while the server stops or when
// the database cannot be read.
HkpAnswer HealthAnswer();
// The statistics page; `machineReadable` gives JSON.
HkpAnswer StatsAnswer(bool machineReadable);
// The whole /metrics text.
std::string MetricsText();

}  // namespace kry
