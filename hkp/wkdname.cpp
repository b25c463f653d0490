#include "hkp/wkdname.h"

#include <openssl/sha.h>

#include "util/strutil.h"

namespace kry {

namespace {

const char kZBase32[] = "ybndrfg8ejkmcpqxot1uwisza345h769";

bool IsZBase32(const std::string& s) {
  if (s.size() != 32) return false;
  for (char c : s)
    if (std::string_view(kZBase32).find(c) == std::string_view::npos) return false;
  return true;
}

// "example.org:11371" and "[::1]:80" lose their port; a trailing dot goes.
std::string HostDomain(const std::string& host) {
  std::string h = host;
  const size_t colon = h.rfind(':');
  if (colon != std::string::npos && h.find(']', colon) == std::string::npos) h.erase(colon);
  if (!h.empty() && h.back() == '.') h.pop_back();
  return ToLower(h);
}

bool Configured(const std::string& domain, const std::vector<std::string>& domains) {
  for (const std::string& d : domains)
    if (StrIEquals(d, domain)) return true;
  return false;
}

// The address of a user ID: the text of its last "<...>", else the whole
// user ID when it has no blank.
bool AddressOf(const std::string& userID, std::string* address) {
  const size_t close = userID.rfind('>');
  if (close != std::string::npos) {
    const size_t open = userID.rfind('<', close);
    if (open == std::string::npos) return false;
    *address = userID.substr(open + 1, close - open - 1);
  } else {
    *address = userID;
  }
  return !address->empty() && address->find_first_of(" \t<>") == std::string::npos;
}

}  // namespace

std::string ZBase32(const std::string& bytes) {
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (unsigned char c : bytes) {
    buffer = (buffer << 8) | c;
    bits += 8;
    while (bits >= 5) {
      bits -= 5;
      out += kZBase32[(buffer >> bits) & 0x1F];
    }
  }
  if (bits > 0) out += kZBase32[(buffer << (5 - bits)) & 0x1F];
  return out;
}

std::string WkdHash(const std::string& localPart) {
  const std::string lower = ToLower(localPart);
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(lower.data()), lower.size(), digest);
  return ZBase32(std::string(reinterpret_cast<const char*>(digest), sizeof digest));
}

WkdRequest ParseWkdPath(const std::string& path, const std::string& host, const std::vector<std::string>& domains) {
  WkdRequest r;
  if (path.compare(0, sizeof kWkdPrefix - 1, kWkdPrefix) != 0) return r;
  std::string rest = path.substr(sizeof kWkdPrefix - 1);
  std::string domain;
  if (rest == "policy" || rest.compare(0, 3, "hu/") == 0) {
    domain = HostDomain(host);
  } else {
    const size_t slash = rest.find('/');
    if (slash == std::string::npos) return r;
    domain = ToLower(rest.substr(0, slash));
    rest.erase(0, slash + 1);
  }
  if (domain.empty() || !Configured(domain, domains)) return r;
  if (rest == "policy") {
    r.target = WkdTarget::kPolicy;
  } else if (rest.compare(0, 3, "hu/") == 0 && IsZBase32(rest.substr(3))) {
    r.target = WkdTarget::kKey;
    r.hash = rest.substr(3);
  } else {
    return r;
  }
  r.domain = domain;
  return r;
}

bool WkdUserIDMatches(const std::string& userID, const std::string& domain, const std::string& hash) {
  std::string address;
  if (!AddressOf(userID, &address)) return false;
  const size_t at = address.rfind('@');
  if (at == std::string::npos || at == 0) return false;
  return StrIEquals(address.substr(at + 1), domain) && WkdHash(address.substr(0, at)) == hash;
}

}  // namespace kry
