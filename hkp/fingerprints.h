// Fingerprints of the primary keys that machine-readable index answers name
// keys by. Reading one means dearmouring and parsing the whole stored key
// block, about half of what an index request cost; the
// answer is kept per certificate entry and stamped with the entry's key
// digest, which the backend rewrites with every write of the block, so a
// merged, replaced or re-added key is read afresh.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "ldap/entry.h"

namespace kry {

struct Backend;

// A bounded map from certificate entry to its key's fingerprint. Safe to
// use from any thread; a lock of one shard is held only to look up or
// store, never while a key block is read.
class FingerprintCache {
 public:
  explicit FingerprintCache(size_t capacity);
  FingerprintCache(const FingerprintCache&) = delete;
  FingerprintCache& operator=(const FingerprintCache&) = delete;
  ~FingerprintCache();

  // The fingerprint stored for entry `id` under the key digest `digest`;
  // false when there is none, or only one stored under another digest.
  bool Find(EntryID id, const std::string& digest, std::string* fingerprint) const;
  // Stores (or replaces) the fingerprint of entry `id` with its digest. A
  // full shard first drops one of its other entries.
  void Put(EntryID id, const std::string& digest, const std::string& fingerprint);
  size_t Size() const;

 private:
  struct Shard;
  Shard& ShardOf(EntryID id) const;
  size_t perShard_;
  std::unique_ptr<Shard[]> shards_;
};

// Upper-case hex of the primary key fingerprint of the certificate with ID
// `certID` (16 hex digits) stored under OU=ACTIVE; empty when there is no
// such entry or its block cannot be read. Kept in a process-wide cache.
std::string HkpCertificateFingerprint(Backend* be, const std::string& certID);

// Upper-case hex of the fingerprint of a key block's primary key; empty
// when there is no block or it cannot be read.
std::string HkpBlockFingerprint(const std::string& block);

}  // namespace kry
