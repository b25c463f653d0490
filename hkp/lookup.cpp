#include "hkp/lookup.h"

#include <map>
#include <vector>

#include "cert/keydigests.h"
#include "cert/kryhandles.h"
#include "hkp/directory.h"
#include "hkp/fingerprints.h"
#include "hkp/format.h"
#include "ldap/ber.h"
#include "ldap/filter.h"
#include "ldap/result.h"
#include "log/eventlog.h"
#include "platform/pgp/kry.h"
#include "runtime/connection.h"
#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

namespace {

const char kActiveBase[] = "OU=ACTIVE,O=KRY KEYSPACE,C=US";
constexpr ber_tag_t kSearchTag = 0x63;
constexpr ber_tag_t kSubstringAny = 0x81;

// Appends the selection of the query: one equality or substring filter, or
// for a full key ID the certificate or any of its subkeys.
bool PutSelection(BerBuffer* b, const HkpQuery& q) {
  switch (q.kind) {
    case HkpSearchKind::kShortKeyID:
      return ber_printf(b, "t{ss}", LDAP_FILTER_EQUALITY, "kryKeyID", q.search.c_str()) != -1;
    case HkpSearchKind::kLongKeyID:
    case HkpSearchKind::kFingerprint: {
      // A v4 key ID ends its fingerprint, a v6 key ID begins it.
      const std::string id = q.search.size() == 64 ? q.search.substr(0, 16) : q.search.substr(q.search.size() - 16);
      return ber_printf(b, "t{t{ss}t{ss}}", LDAP_FILTER_OR, LDAP_FILTER_EQUALITY, "kryCertID", id.c_str(),
                        LDAP_FILTER_EQUALITY, "krySubKeyID", id.c_str()) != -1;
    }
    case HkpSearchKind::kDigest:
      return ber_printf(b, "t{ss}", LDAP_FILTER_EQUALITY, kKeyDigestAttr, q.search.c_str()) != -1;
    case HkpSearchKind::kText:
      if (q.exact) return ber_printf(b, "t{ss}", LDAP_FILTER_EQUALITY, "kryUserID", q.search.c_str()) != -1;
      return ber_printf(b, "t{s{ts}}", LDAP_FILTER_SUBSTRINGS, "kryUserID", kSubstringAny, q.search.c_str()) != -1;
  }
  return false;
}

std::vector<std::string> WantedAttributes(const HkpQuery& q) {
  // kryKeyFingerprint marks v6 keys (see KeepReadableByOldClients).
  // A fingerprint is checked against the certificate's primary key first.
  if (q.op == HkpOp::kGet && q.kind == HkpSearchKind::kFingerprint)
    return {"kryKeyV2", "kryKeyFingerprint", "kryCertID"};
  if (q.op == HkpOp::kGet) return {"kryKeyV2", "kryKeyFingerprint"};
  std::vector<std::string> a = {"kryCertID",  "kryUserID",  "kryKeyCreateTime", "kryKeyExpireTime",
                                "kryKeySize", "kryKeyType", "kryRevoked",       "kryKeyFingerprint"};
  if (q.op == HkpOp::kVIndex) a.push_back("krySignerID");
  // The fingerprint check and the digests that hash=on shows come from the
  // key block. The machine-readable index's fingerprints do too, but are
  // read from the certificate entry once and kept (HkpCertificateFingerprint).
  if (q.kind == HkpSearchKind::kFingerprint || q.hash) a.push_back("kryKeyV2");
  return a;
}

std::string SearchRequest(const HkpQuery& q, const std::vector<std::string>& attrs) {
  BerBufferPtr b = ber_alloc_ptr(BER_OPTION_DER);
  if (!b) return std::string();
  // (&(selection)(!(kryDisabled=1))) under OU=ACTIVE, whole subtree.
  if (ber_printf(b.get(), "t{seeiibt{", kSearchTag, kActiveBase, 2, 0, 0, 0, 0, LDAP_FILTER_AND) == -1 ||
      !PutSelection(b.get(), q) ||
      ber_printf(b.get(), "t{t{ss}}}{v}}", LDAP_FILTER_NOT, LDAP_FILTER_EQUALITY, "kryDisabled", "1", &attrs) == -1)
    return std::string();
  return std::string(reinterpret_cast<const char*>(b->buffer()), b->current);
}

// Upper-case hex of a fingerprint buffer.
std::string Hex(const unsigned char* bytes, size_t n) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += kHex[bytes[i] >> 4];
    s += kHex[bytes[i] & 0xF];
  }
  return s;
}

// True when the key block's primary key or one of its subkeys has the
// fingerprint `wanted` (40 or 64 upper-case hex digits). A full key ID names a
// key only up to a collision; the fingerprint settles it.
bool HasFingerprint(KRYContextRef context, const std::string& block, const std::string& wanted) {
  KRYImportOptions in{block.data(), block.size(), nullptr};
  KeySetHolder set;
  if (KRYImportKeySet(context, &in, set.out()) != 0) return false;
  KeyWalk walk;
  if (walk.Open(set.get()) != 0) return false;
  unsigned char fpr[32];
  size_t len = 0;
  if (KRYGetKeyPropertyBuffer(walk.key(), kKRYKeyProperty_Fingerprint, fpr, sizeof fpr, &len) == 0 &&
      Hex(fpr, len) == wanted)
    return true;
  KRYSubKeyRef sub = nullptr;
  while (KRYKeyIterNextSubKey(walk.iter(), &sub) == 0 && sub) {
    if (KRYGetSubKeyPropertyBuffer(sub, kKRYKeyProperty_Fingerprint, fpr, sizeof fpr, &len) == 0 &&
        Hex(fpr, len) == wanted)
      return true;
  }
  return false;
}

Backend* DirectoryBackend() {
  Globals* g = g_globals;
  return g && !g->backends.empty() ? g->backends.front().get() : nullptr;
}

// Whether the certificate of `e` has the fingerprint: its primary key's
// is known from the cache; a subkey's needs the key block imported.
bool EntryHasFingerprint(Connection* conn, const HkpEntry& e, const std::string& wanted) {
  const std::string& certID = e.First("kryCertID");
  if (!certID.empty() && HkpCertificateFingerprint(DirectoryBackend(), ToUpper(certID)) == wanted) return true;
  const std::string& block = e.First("kryKeyV2");
  if (block.empty()) return false;
  KRYContextRef context = HkpKeyContext(conn);
  return context && HasFingerprint(context, block, wanted);
}

// Drops the entries whose certificate does not have the fingerprint.
void KeepFingerprint(Connection* conn, const std::string& wanted, std::vector<HkpEntry>* entries) {
  std::map<std::string, bool> verdict;  // per key block
  std::vector<HkpEntry> kept;
  for (HkpEntry& e : *entries) {
    const std::string& block = e.First("kryKeyV2");
    auto it = verdict.find(block);
    if (it == verdict.end()) it = verdict.emplace(block, EntryHasFingerprint(conn, e, wanted)).first;
    if (it->second) kept.push_back(std::move(e));
  }
  *entries = std::move(kept);
}

// GnuPG 2.2 cannot parse v6 keys and fails a whole answer that holds one,
// so they are served only to a lookup that names one by its full v6
// fingerprint; every other answer leaves them out.
void KeepReadableByOldClients(const HkpQuery& q, std::vector<HkpEntry>* entries) {
  if (q.op == HkpOp::kGet && q.kind == HkpSearchKind::kFingerprint && q.search.size() == 64) return;
  std::vector<HkpEntry> kept;
  for (HkpEntry& e : *entries)
    if (e.First("kryKeyFingerprint").empty()) kept.push_back(std::move(e));
  *entries = std::move(kept);
}

// Each certificate once, with its user IDs, in the order of first sight;
// with `fingerprints`, each primary key's fingerprint; with `digests`, each
// key's digest too.
std::vector<HkpKey> GroupKeys(const std::vector<HkpEntry>& entries, bool fingerprints, bool digests) {
  std::vector<HkpKey> keys;
  std::map<std::string, size_t> index;
  for (const HkpEntry& e : entries) {
    const std::string certID = ToUpper(e.First("kryCertID"));
    if (certID.empty()) continue;
    auto it = index.find(certID);
    if (it == index.end()) {
      HkpKey k;
      k.certID = certID;
      k.algorithm = HkpAlgorithmNumber(e.First("kryKeyType"));
      k.bits = static_cast<int>(AtoiSaturating(e.First("kryKeySize")));
      k.created = HkpParseGeneralizedTime(e.First("kryKeyCreateTime"));
      k.expires = HkpParseGeneralizedTime(e.First("kryKeyExpireTime"));
      if (fingerprints) k.fingerprint = HkpCertificateFingerprint(DirectoryBackend(), certID);
      if (digests) KeyBlockDigestHex(e.First("kryKeyV2"), &k.digest);
      it = index.emplace(certID, keys.size()).first;
      keys.push_back(std::move(k));
    }
    HkpKey& k = keys[it->second];
    if (e.First("kryRevoked") == "1") k.revoked = true;
    HkpUserID u;
    u.text = e.First("kryUserID");
    u.signers = e.Values("krySignerID");
    k.userIDs.push_back(std::move(u));
  }
  return keys;
}

// The key blocks, each once.
std::vector<std::string> KeyBlocks(const std::vector<HkpEntry>& entries) {
  std::vector<std::string> blocks;
  for (const HkpEntry& e : entries) {
    const std::string& block = e.First("kryKeyV2");
    if (block.empty()) continue;
    bool seen = false;
    for (const std::string& b : blocks) seen = seen || b == block;
    if (!seen) blocks.push_back(block);
  }
  return blocks;
}

// A digest names one key exactly, but not as its v6 fingerprint would: v6
// keys stay out, as they do for every get but one by full fingerprint.
void KeepServedByDigest(std::vector<std::string>* blocks) {
  std::vector<std::string> kept;
  std::string binary;
  for (std::string& b : *blocks)
    if (KeyBlockServedByDigest(b, &binary)) kept.push_back(std::move(b));
  *blocks = std::move(kept);
}

HkpAnswer KeysAnswer(const HkpQuery& q, const std::vector<std::string>& blocks) {
  HkpAnswer a;
  if (q.machineReadable) {
    a.contentType = "application/pgp-keys";
    for (const std::string& b : blocks) a.body += b + (b.empty() || b.back() == '\n' ? "" : "\n");
  } else {
    a.contentType = "text/html; charset=utf-8";
    a.body = HkpHtmlKeys(blocks, q.search);
  }
  return a;
}

HkpAnswer IndexAnswer(const HkpQuery& q, const std::vector<HkpKey>& keys) {
  HkpAnswer a;
  const time_t now = GetCurrentTime();
  if (q.machineReadable) {
    a.body = HkpMachineIndex(keys, now);
  } else {
    a.contentType = "text/html; charset=utf-8";
    a.body = HkpHtmlIndex(keys, q.op == HkpOp::kVIndex, q.search, now);
  }
  return a;
}

}  // namespace

int HkpKeyByDigest(Connection* conn, const std::string& hex, std::string* binaryKey) {
  binaryKey->clear();
  HkpQuery q;
  q.kind = HkpSearchKind::kDigest;
  q.search = hex;
  HkpOutcome out;
  const std::string op = HkpSearchRequest(q);
  if (op.empty() || !RunHkpRequest(conn, HkpLdapMessage(op), &out) || out.code < 0) return LDAP_OPERATIONS_ERROR;
  for (const std::string& b : KeyBlocks(out.entries))
    if (KeyBlockServedByDigest(b, binaryKey)) return LDAP_SUCCESS;
  return out.code == LDAP_SUCCESS ? LDAP_NO_SUCH_OBJECT : out.code;
}

std::string HkpSearchRequest(const HkpQuery& q) { return SearchRequest(q, WantedAttributes(q)); }

HkpAnswer HkpLookup(Connection* conn, const HkpQuery& q) {
  HkpOutcome out;
  out.wanted = WantedAttributes(q);
  const std::string op = SearchRequest(q, out.wanted);
  if (op.empty() || !RunHkpRequest(conn, HkpLdapMessage(op), &out) || out.code < 0) {
    LogError(EVENTLOG_ERROR, "HKP lookup could not be run as a directory search.");
    return HkpText(500, "The directory could not be searched.");
  }
  KeepReadableByOldClients(q, &out.entries);
  if (q.kind == HkpSearchKind::kFingerprint) KeepFingerprint(conn, q.search, &out.entries);
  HkpAnswer a;
  size_t found = 0;
  if (q.op == HkpOp::kGet) {
    std::vector<std::string> blocks = KeyBlocks(out.entries);
    if (q.kind == HkpSearchKind::kDigest) KeepServedByDigest(&blocks);
    found = blocks.size();
    if (found) a = KeysAnswer(q, blocks);
  } else {
    const std::vector<HkpKey> keys = GroupKeys(out.entries, q.machineReadable, q.hash && !q.machineReadable);
    found = keys.size();
    if (found) a = IndexAnswer(q, keys);
  }
  // A search cut short by SizeLimit or TimeLimit still answers with what it
  // found; other failures are the directory's.
  const int code = out.code;
  if (found == 0) {
    if (code == LDAP_SUCCESS || code == LDAP_SIZELIMIT_EXCEEDED || code == LDAP_TIMELIMIT_EXCEEDED)
      a = HkpText(404, "No keys found.");
    else if (code == LDAP_INSUFFICIENT_ACCESS)
      a = HkpText(403, out.text);
    else
      a = HkpText(500, "The directory search failed: " + out.text);
  }
  HkpAccessLog(conn, kLogSearch, out.logDetail, static_cast<int>(found), out.start, code);
  return a;
}

}  // namespace kry
