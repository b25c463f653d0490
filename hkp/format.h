// The bodies of lookup answers: the machine-readable index GnuPG parses
// (options=mr), and plain HTML pages for people with a browser.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace kry {

struct HkpUserID {
  std::string text;
  std::vector<std::string> signers;  // krySignerID values, for vindex
};

// One certificate of an index answer, gathered from its user-ID entries.
struct HkpKey {
  std::string certID;       // 16 hex digits
  std::string fingerprint;  // upper-case hex of the primary key's fingerprint; empty when unknown
  std::string digest;       // key digest for hash=on pages; empty: not shown
  int algorithm = 0;        // OpenPGP algorithm number; 0 when unknown
  int bits = 0;
  time_t created = 0;       // 0 when unknown
  time_t expires = 0;       // 0 when it never expires
  bool revoked = false;
  std::vector<HkpUserID> userIDs;
};

// OpenPGP algorithm number of a kryKeyType value; 0 when unknown.
int HkpAlgorithmNumber(const std::string& keyType);
// Seconds since the epoch of a generalized time ("YYYYMMDDHHMMSSZ"); 0 when
// it is not one.
time_t HkpParseGeneralizedTime(const std::string& text);

// "info:1:N", then per key a "pub:" line and its "uid:" lines. A key is
// named by its fingerprint (by its key ID when that is unknown), so that a
// client fetches exactly the key it saw. User IDs are written with ':', '%'
// and bytes outside printable ASCII as %XX.
std::string HkpMachineIndex(const std::vector<HkpKey>& keys, time_t now);
// An HTML page listing the keys; `verbose` adds the signers of each user ID.
std::string HkpHtmlIndex(const std::vector<HkpKey>& keys, bool verbose, const std::string& search, time_t now);
// An HTML page with the armoured key blocks.
std::string HkpHtmlKeys(const std::vector<std::string>& blocks, const std::string& search);
// Text with '&', '<', '>' and '"' written as HTML entities.
std::string HtmlEscape(const std::string& text);

}  // namespace kry
