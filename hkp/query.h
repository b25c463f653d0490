// The arguments of the two HKP requests: the query of "/pks/lookup" and the
// form body of "/pks/add". Parsing only; nothing here touches the directory.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kry {

enum class HkpOp { kGet, kIndex, kVIndex };

enum class HkpSearchKind {
  kShortKeyID,   // "0x" and 8 hex digits: the low 32 bits of a key ID
  kLongKeyID,    // "0x" and 16 hex digits: a full key ID
  kFingerprint,  // 40 or 64 hex digits, with or without "0x": a v4 or v6 fingerprint
  kText,         // anything else: matched against user IDs
  kDigest,       // op=hget: the 32 hex digits of a key digest (cert/keydigests.h)
};

// Longest text search accepted; longer ones are malformed requests.
constexpr size_t kMaxHkpSearchText = 256;

struct HkpQuery {
  HkpOp op = HkpOp::kGet;
  HkpSearchKind kind = HkpSearchKind::kText;
  // Key IDs and fingerprints: the hex digits in upper case, without "0x";
  // text: as sent (already URL-decoded).
  std::string search;
  bool machineReadable = false;  // options=mr
  bool exact = false;            // exact=on
  bool hash = false;             // hash=on: index pages show each key's digest
};

// Looks up one decoded query argument by name; null when absent.
using HkpArgument = std::function<const char*(const char* name)>;

// Parses the arguments of a lookup. true with *query filled, or false with
// *error set to the text of the 400 answer.
bool ParseHkpLookup(const HkpArgument& argument, HkpQuery* query, std::string* error);

// The value of `name` in an application/x-www-form-urlencoded body, decoded
// ('+' is a blank, %XX a byte). false when the field is absent or a %
// escape is malformed.
bool FormField(const std::string& body, const std::string& name, std::string* value);

// Decodes one form-encoded text; false on a malformed % escape.
bool FormDecode(const std::string& text, std::string* out);

}  // namespace kry
