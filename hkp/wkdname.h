// Names of the Web Key Directory: the paths under "/.well-known/openpgpkey/"
// in the direct and the advanced layout, the z-base-32 hash of a mail
// address's local part, and which user IDs are exactly one address.
// Parsing only; nothing here touches the directory.
#pragma once

#include <string>
#include <vector>

namespace kry {

constexpr char kWkdPrefix[] = "/.well-known/openpgpkey/";

enum class WkdTarget { kNone, kPolicy, kKey };

struct WkdRequest {
  WkdTarget target = WkdTarget::kNone;
  std::string domain;  // lower case
  std::string hash;    // 32 z-base-32 characters, for kKey
};

// z-base-32 of `bytes`, 5 bits a character, most significant first.
std::string ZBase32(const std::string& bytes);
// z-base-32 of the SHA-1 of the ASCII-lower-cased local part.
std::string WkdHash(const std::string& localPart);

// Classifies a request path. The direct layout ("hu/<hash>", "policy")
// takes its domain from `host` (the Host header, port left off); the
// advanced one names it after the prefix. kNone for any other path, a
// domain not in `domains` (compared ignoring case) or a malformed hash.
WkdRequest ParseWkdPath(const std::string& path, const std::string& host, const std::vector<std::string>& domains);

// True when `userID` is the address, bare or between angle brackets, whose
// local part hashes to `hash` and whose domain is `domain` (ignoring case).
bool WkdUserIDMatches(const std::string& userID, const std::string& domain, const std::string& hash);

}  // namespace kry
