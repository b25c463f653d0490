#include "runtime/bulktally.h"

#include "cert/addkey.h"
#include "util/strutil.h"

namespace kry {

namespace {

constexpr int kUnchanged = 68;
constexpr int kAwaitingApproval = 49;

// A short reason for refusals whose pipeline step chose no client text
// (the step's event-log line has the detail).
std::string ReasonOf(int result) {
  switch (result) {
    case 1:
      return "key not supported or not readable (see the event log)";
    case 21:
      return "invalid key block";
    case 90:
      return "out of memory";
    default: {
      const char* mapped = MapErrorCodeToMsg(result);
      return mapped ? mapped : "refused with result " + std::to_string(result);
    }
  }
}

}  // namespace

void BulkTally::Count(int result, bool mergedIntoStored, const std::string& text) {
  if (result == 0) {
    ++(mergedIntoStored ? merged : stored);
    return;
  }
  if (result == kUnchanged) {
    ++unchanged;
    return;
  }
  if (result == kAwaitingApproval) {
    ++pending;
    return;
  }
  ++refused[text.empty() ? ReasonOf(result) : text];
}

size_t BulkTally::Refused() const {
  size_t n = 0;
  for (const auto& r : refused) n += r.second;
  return n;
}

size_t BulkTally::Done() const { return stored + merged + unchanged + pending + Refused(); }

std::string BulkTally::Line(double seconds) const {
  const size_t done = Done();
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
  std::string line = StrFormat("%zu keys in %.1f s (%.0f keys/s): %zu stored, %zu merged, %zu unchanged, %zu pending, "
                               "%zu refused",
                               done, seconds, rate, stored, merged, unchanged, pending, Refused());
  if (!refused.empty()) {
    line += " (";
    bool first = true;
    for (const auto& r : refused) {
      line += StrFormat("%s%s: %zu", first ? "" : "; ", r.first.c_str(), r.second);
      first = false;
    }
    line += ")";
  }
  return line + StrFormat(", %zu malformed", malformed);
}

}  // namespace kry
