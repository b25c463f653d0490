#include "hkp/hashquery.h"

#include <ctime>

#include "hkp/directory.h"
#include "hkp/lookup.h"
#include "ldap/result.h"
#include "log/accesslog.h"
#include "runtime/globals.h"
#include "util/bigendian.h"

namespace kry {

bool ParseHashQuery(const std::string& body, std::vector<krypgp::SksDigest>* digests, std::string* error) {
  digests->clear();
  if (body.size() < 4) {
    *error = "A hash query starts with the count of its digests.";
    return false;
  }
  const uint32_t count = LoadBE32(body.data());
  if (count > kMaxHashQueryDigests) {
    *error = "A hash query may ask for at most " + std::to_string(kMaxHashQueryDigests) + " digests.";
    return false;
  }
  // Checked before anything is kept, so a lying count costs nothing.
  if (body.size() != 4 + static_cast<size_t>(count) * 20) {
    *error = "The hash query's count does not match its body.";
    return false;
  }
  digests->resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    const size_t at = 4 + static_cast<size_t>(i) * 20;
    if (LoadBE32(body.data() + at) != 16) {
      digests->clear();
      *error = "Each digest of a hash query is 16 bytes long.";
      return false;
    }
    for (size_t j = 0; j < 16; ++j) (*digests)[i][j] = static_cast<uint8_t>(body[at + 4 + j]);
  }
  return true;
}

HkpAnswer HkpHashQuery(Connection* conn, const std::string& body) {
  std::vector<krypgp::SksDigest> digests;
  std::string error;
  if (!ParseHashQuery(body, &digests, &error)) return HkpText(400, error);
  const time_t start = GetCurrentTime();
  std::string keys;
  uint32_t found = 0;
  int code = LDAP_SUCCESS;
  std::string binary;
  for (const krypgp::SksDigest& d : digests) {
    const int rc = HkpKeyByDigest(conn, krypgp::SksDigestHex(d), &binary);
    if (rc == LDAP_NO_SUCH_OBJECT) continue;
    if (rc != LDAP_SUCCESS) {
      code = rc;  // access refused or the directory failed: the same for the rest
      break;
    }
    if (4 + keys.size() + 4 + binary.size() + 2 > kMaxHashQueryAnswer) continue;
    AppendBE32(&keys, static_cast<uint32_t>(binary.size()));
    keys += binary;
    ++found;
  }
  HkpAccessLog(conn, kLogSearch, AccessLogDetail(), static_cast<int>(found), start, code);
  if (code == LDAP_INSUFFICIENT_ACCESS) return HkpText(403, "You do not have authority to perform this action.");
  if (code != LDAP_SUCCESS && found == 0) return HkpText(500, "The directory search failed.");
  HkpAnswer a;
  a.contentType = "pgp/keys";
  AppendBE32(&a.body, found);
  a.body += keys;
  a.body += "\r\n";
  return a;
}

}  // namespace kry
