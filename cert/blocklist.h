// The blocklist: fingerprints of keys the operator has barred for good.
// Held in the file "blocklist" of the database directory (one
// "<FINGERPRINT> <reason>" a line, rewritten whole and durably), and in
// memory for the checks of every add and search. Thread-safe.
#pragma once

#include <string>
#include <vector>

namespace kry {

// Reads `<directory>/blocklist` (absent: an empty list) and then, when
// `seedFile` is not empty, adds its fingerprints (one a line, '#' comments)
// and writes the list back when that added any. 0, or 1 after an event line.
int LoadBlockList(const std::string& directory, const std::string& seedFile);

// The fingerprint as upper-case hexadecimal, or empty when `text` is not
// 40 or 64 hexadecimal digits (an optional "0x" and blanks are allowed).
std::string NormalizeFingerprint(const std::string& text);

// Records the block durably before it takes effect. 0, 2 for a malformed
// fingerprint, 1 when the file could not be written (nothing changes).
int BlockFingerprint(const std::string& fingerprint, const std::string& reason);
// 0, 2 for a malformed fingerprint, 3 when it was not blocked, 1 on a write
// failure.
int UnblockFingerprint(const std::string& fingerprint);

// The certificate ID (16 digits) of a normalized fingerprint: the end of a
// v4 one, the start of a v6 one.
std::string FingerprintCertID(const std::string& fingerprint);

bool IsBlockedFingerprint(const std::string& fingerprint);
// Whether the certificate ID (16 hexadecimal digits) is that of a blocked
// fingerprint: the end of a v4 one, the start of a v6 one.
bool IsBlockedCertID(const std::string& certID);
// The certificate IDs of every blocked fingerprint.
std::vector<std::string> BlockedCertIDs();
size_t BlockedCount();

}  // namespace kry
