#include "hkp/fingerprints.h"

#include <new>
#include <unordered_map>

#include "back-ldbm/cache.h"
#include "back-ldbm/dn2id.h"
#include "cert/keydigests.h"
#include "ldap/dn.h"
#include "platform/pgp/keybytes.h"
#include "util/thread.h"

namespace kry {

namespace {

constexpr size_t kShards = 16;
// About 100 bytes an entry: a directory of this many keys costs a few MiB.
constexpr size_t kProcessCapacity = 1 << 17;

struct Stamped {
  std::string digest;
  std::string fingerprint;
};

std::string Hex(const std::string& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(2 * bytes.size());
  for (unsigned char c : bytes) {
    s += kHex[c >> 4];
    s += kHex[c & 0xF];
  }
  return s;
}

// The block a certificate entry stores, as a search would copy it to its
// user-ID entries: kryKeyV2, else its first kryKey.
const std::string* StoredBlock(const Entry* e) {
  for (const char* type : {"kryKeyV2", "kryKey"}) {
    const Attribute* a = attr_lookup(e, type);
    if (a && !a->values.empty()) return &a->values[0];
  }
  return nullptr;
}

}  // namespace

struct FingerprintCache::Shard {
  mutable Mutex lock;
  std::unordered_map<EntryID, Stamped> map;
};

FingerprintCache::FingerprintCache(size_t capacity)
    : perShard_(capacity / kShards > 0 ? capacity / kShards : 1), shards_(new Shard[kShards]) {}

FingerprintCache::~FingerprintCache() = default;

FingerprintCache::Shard& FingerprintCache::ShardOf(EntryID id) const { return shards_[id % kShards]; }

bool FingerprintCache::Find(EntryID id, const std::string& digest, std::string* fingerprint) const {
  Shard& s = ShardOf(id);
  MutexGuard guard(s.lock);
  auto it = s.map.find(id);
  if (it == s.map.end() || it->second.digest != digest) return false;
  *fingerprint = it->second.fingerprint;
  return true;
}

void FingerprintCache::Put(EntryID id, const std::string& digest, const std::string& fingerprint) {
  Shard& s = ShardOf(id);
  MutexGuard guard(s.lock);
  try {
    auto it = s.map.find(id);
    if (it != s.map.end()) {
      it->second = Stamped{digest, fingerprint};
      return;
    }
    // Any victim will do: a dropped fingerprint is only read again.
    if (s.map.size() >= perShard_) s.map.erase(s.map.begin());
    s.map.emplace(id, Stamped{digest, fingerprint});
  } catch (const std::bad_alloc&) {
    // Not keeping it only means reading it again next time.
  }
}

size_t FingerprintCache::Size() const {
  size_t n = 0;
  for (size_t i = 0; i < kShards; ++i) {
    MutexGuard guard(shards_[i].lock);
    n += shards_[i].map.size();
  }
  return n;
}

std::string HkpBlockFingerprint(const std::string& block) {
  std::string fpr;
  if (block.empty() || KRYGetBlockFingerprint(block.data(), block.size(), &fpr) != 0) return std::string();
  return Hex(fpr);
}

std::string HkpCertificateFingerprint(Backend* be, const std::string& certID) {
  static FingerprintCache cache(kProcessCapacity);
  if (!be) return std::string();
  const std::string dn = dn_normalized_upper("KRYCERTID=" + certID + ",OU=ACTIVE,O=KRY KEYSPACE,C=US");
  Entry* e = cache_lookup_dn(backend_cache(be), dn);
  if (!e) e = entry_by_dn(be, dn);
  if (!e) return std::string();
  HeldEntry held(be, e);
  // Entries stored before digests were kept have none until start-up
  // stamps them: read every time rather than trust a bare entry ID.
  const std::string digest = KeyDigestOf(e);
  std::string fingerprint;
  if (!digest.empty() && cache.Find(e->id, digest, &fingerprint)) return fingerprint;
  const std::string* block = StoredBlock(e);
  fingerprint = block ? HkpBlockFingerprint(*block) : std::string();
  if (!digest.empty()) cache.Put(e->id, digest, fingerprint);
  return fingerprint;
}

}  // namespace kry
