// Records of the replication log as the server writes them: "replica:"
// lines, "time:", "dn:", "changetype: add", one (folded) attribute line and
// an empty line that ends the record.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kryrepl {

// Length of the first complete record of `text` (up to and including its
// empty line), or 0 when `text` holds no complete record yet. Empty lines
// before a record belong to it.
size_t CompleteRecordLength(std::string_view text);

struct LogRecord {
  std::vector<std::string> replicas;  // the "replica:" values, in order
  long time = 0;
  std::string dn;
  std::string type;   // kryKey, kryKeyV2 or kryRequest
  std::string value;  // decoded
};

enum class ParseStatus { kOk, kGarbled, kNoDN, kUnknownAttribute };

// Takes one complete record apart.
ParseStatus ParseRecord(std::string_view text, LogRecord* out);
const char* ParseStatusText(ParseStatus status);

// Whether a replica line of a record names the configured replica `name`
// (the same text, compared without regard to case).
bool RecordNamesReplica(const LogRecord& record, const std::string& name);

}  // namespace kryrepl
