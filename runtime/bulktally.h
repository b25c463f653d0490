// What an offline bulk load did with its keys, and the progress and summary
// lines it writes about them.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

namespace kry {

struct BulkTally {
  size_t stored = 0;     // new certificates
  size_t merged = 0;     // merged into a stored certificate
  size_t unchanged = 0;  // nothing new in them
  size_t pending = 0;    // stored under PENDING (failed policy)
  size_t malformed = 0;  // stretches of the input that were not keys
  std::map<std::string, size_t> refused;  // by reason

  // Counts one add result: the LDAP result, whether the backend merged into
  // an existing entry, and the pipeline's text (empty when it chose none).
  void Count(int result, bool mergedIntoStored, const std::string& text);
  size_t Done() const;
  size_t Refused() const;
  // "N keys (R keys/s): S stored, M merged, U unchanged, P pending, F refused
  // (reason: n; ...), X malformed" over `seconds`.
  std::string Line(double seconds) const;
};

}  // namespace kry
