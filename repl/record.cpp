#include "repl/record.h"

#include <cstdlib>

#include "ldap/ldif.h"
#include "util/strutil.h"

namespace kryrepl {

size_t CompleteRecordLength(std::string_view text) {
  size_t start = 0;
  while (start < text.size() && text[start] == '\n') ++start;
  const size_t end = text.find("\n\n", start);
  return end == std::string_view::npos ? 0 : end + 2;
}

ParseStatus ParseRecord(std::string_view text, LogRecord* out) {
  *out = LogRecord();
  size_t cursor = 0;
  while (cursor < text.size() && text[cursor] == '\n') ++cursor;
  std::string line, type, value;
  bool changetype = false;
  while (kry::ldif_read_line(text, &cursor, &line)) {
    if (!out->type.empty()) return ParseStatus::kGarbled;  // nothing may follow the attribute
    if (!kry::parse_line(line, &type, &value)) return ParseStatus::kGarbled;
    if (kry::StrIEquals(type, "replica")) {
      if (!out->dn.empty()) return ParseStatus::kGarbled;
      out->replicas.push_back(value);
    } else if (kry::StrIEquals(type, "time")) {
      out->time = std::strtol(value.c_str(), nullptr, 10);
    } else if (kry::StrIEquals(type, "dn")) {
      out->dn = value;
    } else if (kry::StrIEquals(type, "changetype")) {
      if (!kry::StrIEquals(value, "add")) return ParseStatus::kGarbled;
      changetype = true;
    } else if (out->dn.empty()) {
      return ParseStatus::kNoDN;
    } else if (kry::StrIEquals(type, "kryKey") || kry::StrIEquals(type, "kryKeyV2") ||
               kry::StrIEquals(type, "kryRequest")) {
      if (!changetype) return ParseStatus::kGarbled;
      out->type = type;
      out->value = value;
    } else {
      return ParseStatus::kUnknownAttribute;
    }
  }
  if (out->dn.empty()) return ParseStatus::kNoDN;
  if (out->type.empty() || out->value.empty()) return ParseStatus::kGarbled;
  return ParseStatus::kOk;
}

const char* ParseStatusText(ParseStatus status) {
  switch (status) {
    case ParseStatus::kOk: return "valid";
    case ParseStatus::kGarbled: return "garbled";
    case ParseStatus::kNoDN: return "without \"dn:\"";
    case ParseStatus::kUnknownAttribute: return "with an unknown attribute";
  }
  return "invalid";
}

bool RecordNamesReplica(const LogRecord& record, const std::string& name) {
  for (const std::string& r : record.replicas)
    if (kry::StrIEquals(r, name)) return true;
  return false;
}

}  // namespace kryrepl
