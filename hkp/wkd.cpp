#include "hkp/wkd.h"

#include <vector>

#include "hkp/directory.h"
#include "ldap/ber.h"
#include "ldap/filter.h"
#include "ldap/result.h"
#include "log/eventlog.h"
#include "platform/pgp/keybytes.h"
#include "runtime/connection.h"

namespace kry {

// Lines starting with '#' are comments to WKD clients; no flag applies:
// keys are looked up here, never submitted.
const char kWkdPolicy[] = "# Web Key Directory of krycertd: keys are looked up here; none are submitted.\n";

namespace {

const char kActiveBase[] = "OU=ACTIVE,O=KRY KEYSPACE,C=US";
constexpr ber_tag_t kSearchTag = 0x63;
constexpr ber_tag_t kSubstringAny = 0x81;

// (&(kryUserID=*<text>*)(!(kryDisabled=1))) under OU=ACTIVE, whole subtree.
// The text narrows the candidates; the address test decides.
std::string SearchRequest(const std::string& text) {
  BerBufferPtr b = ber_alloc_ptr(BER_OPTION_DER);
  if (!b) return std::string();
  const std::vector<std::string> attrs = {"kryUserID", "kryRevoked", "kryKeyV2", "kryKeyFingerprint"};
  if (ber_printf(b.get(), "t{seeiibt{t{s{ts}}t{t{ss}}}{v}}", kSearchTag, kActiveBase, 2, 0, 0, 0, 0, LDAP_FILTER_AND,
                 LDAP_FILTER_SUBSTRINGS, "kryUserID", kSubstringAny, text.c_str(), LDAP_FILTER_NOT,
                 LDAP_FILTER_EQUALITY, "kryDisabled", "1", &attrs) == -1)
    return std::string();
  return std::string(reinterpret_cast<const char*>(b->buffer()), b->current);
}

// The key blocks of the certificates that are not revoked and have a user
// ID with the address, each once, in the order found. Version 6 keys (the
// ones that carry kryKeyFingerprint) are left out: GnuPG 2.2 asks WKD first
// and fails a whole answer that holds one.
std::vector<std::string> MatchingBlocks(const std::vector<HkpEntry>& entries, const WkdRequest& r) {
  std::vector<std::string> blocks;
  for (const HkpEntry& e : entries) {
    if (e.First("kryRevoked") == "1" || !e.First("kryKeyFingerprint").empty() || !WkdUserIDMatches(e.First("kryUserID"), r.domain, r.hash)) continue;
    const std::string block = e.First("kryKeyV2");
    bool seen = block.empty();
    for (const std::string& b : blocks) seen = seen || b == block;
    if (!seen) blocks.push_back(block);
  }
  return blocks;
}

// Each block cut down to the user IDs with the address, in binary; *count
// gets the number of keys answered.
std::string KeysOnlyFor(const std::vector<std::string>& blocks, const WkdRequest& r, int* count) {
  const KRYUserIDFilter keep = [&r](const std::string& uid) { return WkdUserIDMatches(uid, r.domain, r.hash); };
  std::string body;
  for (const std::string& b : blocks) {
    std::string key;
    const KRYError err = KRYKeepUserIDs(b.data(), b.size(), keep, &key);
    if (err == 0) {
      body += key;
      ++*count;
    } else {
      LogError(EVENTLOG_WARNING, "WKD: a stored key block could not be cut to one address (library error %d).", err);
    }
  }
  return body;
}

}  // namespace

HkpAnswer WkdLookup(Connection* conn, const WkdRequest& r, const char* localPart, bool* logged) {
  *logged = false;
  if (localPart && WkdHash(localPart) != r.hash) return HkpText(404, "No key found.");
  const std::string op = SearchRequest(localPart ? std::string(localPart) + "@" + r.domain : "@" + r.domain);
  HkpOutcome out;
  if (op.empty() || !RunHkpRequest(conn, HkpLdapMessage(op), &out) || out.code < 0) {
    LogError(EVENTLOG_ERROR, "WKD lookup could not be run as a directory search.");
    return HkpText(500, "The directory could not be searched.");
  }
  *logged = true;
  const int code = out.code;
  HkpAnswer a;
  int found = 0;
  const std::string body = KeysOnlyFor(MatchingBlocks(out.entries, r), r, &found);
  if (!body.empty()) {
    a.contentType = "application/octet-stream";
    a.body = body;
  } else if (code == LDAP_SUCCESS || code == LDAP_SIZELIMIT_EXCEEDED || code == LDAP_TIMELIMIT_EXCEEDED) {
    a = HkpText(404, "No key found.");
  } else if (code == LDAP_INSUFFICIENT_ACCESS) {
    a = HkpText(403, out.text);
  } else {
    a = HkpText(500, "The directory search failed: " + out.text);
  }
  HkpAccessLog(conn, kLogSearch, out.logDetail, found, out.start, code);
  return a;
}

}  // namespace kry
