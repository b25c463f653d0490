// Key digests: stamped on certificate entries, kept exact in their index,
// read back for reconciliation and for lookups by digest.
#include "cert/keydigests.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "back-ldbm/cache.h"
#include "back-ldbm/dbcache.h"
#include "back-ldbm/id2entry.h"
#include "back-ldbm/idlist.h"
#include "back-ldbm/index.h"
#include "back-ldbm/ops_common.h"
#include "cert/certentry.h"
#include "ldap/dn.h"
#include "ldap/syntax.h"
#include "log/eventlog.h"
#include "platform/pgp/armor.h"
#include "platform/pgp/packet.h"
#include "util/strutil.h"

namespace kry {

namespace {

constexpr size_t kDigestHexLength = 32;

std::mutex g_observerLock;
std::shared_ptr<const KeyDigestObserver> g_observer;

std::shared_ptr<const KeyDigestObserver> CurrentObserver() {
  std::lock_guard<std::mutex> lock(g_observerLock);
  return g_observer;
}

void Notify(const std::string& hex, bool present) {
  std::shared_ptr<const KeyDigestObserver> observer = CurrentObserver();
  krypgp::SksDigest d;
  if (observer && *observer && krypgp::ParseSksDigestHex(hex, &d)) (*observer)(d, present);
}

// The index file's base name and the equality key of one digest.
std::string IndexName() {
  std::string name = kKeyDigestAttr;
  return type_lowercase(name);
}

std::string EqualityKey(const std::string& hex) {
  std::string v = hex;
  value_canonicalize(v, attr_syntax_of(kKeyDigestAttr));
  return index_key(INDEX_EQUALITY, v);
}

// The block a certificate entry stores: kryKeyV2, else its first kryKey.
const std::string* StoredKeyBlock(const Entry* e) {
  const Attribute* v2 = attr_lookup(e, "kryKeyV2");
  if (v2 && !v2->values.empty()) return &v2->values[0];
  const Attribute* key = attr_lookup(e, "kryKey");
  if (key && !key->values.empty()) return &key->values[0];
  return nullptr;
}

// The binary form of an armoured or binary key block.
bool BinaryKeyBlock(const std::string& block, krypgp::Bytes* out) {
  const auto* data = reinterpret_cast<const uint8_t*>(block.data());
  if (!krypgp::LooksArmored(data, block.size())) {
    out->assign(data, data + block.size());
    return !out->empty();
  }
  krypgp::ArmorBlock armour;
  if (krypgp::DearmorOne(data, block.size(), 0, &armour) != kKRYError_NoErr) return false;
  *out = std::move(armour.data);
  return !out->empty();
}

// Whether the block's primary key is a version 6 key.
bool IsVersion6(const krypgp::Bytes& binary) {
  krypgp::ByteReader r(binary);
  krypgp::Packet p;
  return krypgp::ReadPacket(r, &p) == kKRYError_NoErr && !p.body.empty() && p.body[0] == 6;
}

// The entries the digest index names for `hex` (null when none).
IDListPtr Holders(Backend* be, const std::string& hex) {
  IDListPtr ids = index_read(be, kKeyDigestAttr, INDEX_EQUALITY, hex);
  if (ids && ids->is_allids()) return nullptr;  // not indexed: nothing to trust
  return ids;
}

// Whether an entry other than `self` still holds the digest.
bool HeldByAnother(Backend* be, const std::string& hex, EntryID self) {
  IDListPtr ids = Holders(be, hex);
  if (!ids) return false;
  for (EntryID id = idl_first_id(ids.get()); id != NOID; id = idl_next_id(ids.get(), id)) {
    if (id == self) continue;
    HeldEntry e(be, id2entry(be, id));
    if (e.get() && KeyDigestOf(e.get()) == hex) return true;
  }
  return false;
}

// Every key of the digest index, read under the file's lock in one pass.
int IndexKeys(Backend* be, std::vector<std::string>* keys) {
  DbHandle db(be, IndexName(), ldbm_read_flags(be));
  if (!db) return 0;  // no file yet: no digests
  SpinningGuard lock(db.get()->mutex);
  DB* file = db.get()->db;
  DBC* cursor = nullptr;
  if (!file || file->cursor(file, nullptr, &cursor, 0) != 0) return 1;
  DBT k, v;
  std::memset(&k, 0, sizeof k);
  std::memset(&v, 0, sizeof v);
  v.flags = DB_DBT_PARTIAL;  // keys only
  int rc;
  while ((rc = cursor->get(cursor, &k, &v, DB_NEXT)) == 0) {
    // '=', 32 digits, NUL; continuation records have longer keys.
    if (k.size == kDigestHexLength + 2 && static_cast<const char*>(k.data)[0] == '=')
      keys->emplace_back(static_cast<const char*>(k.data) + 1, kDigestHexLength);
  }
  cursor->close(cursor);
  return rc == DB_NOTFOUND ? 0 : 1;
}

}  // namespace

void SetKeyDigestObserver(KeyDigestObserver observer) {
  auto next = observer ? std::make_shared<const KeyDigestObserver>(std::move(observer)) : nullptr;
  std::lock_guard<std::mutex> lock(g_observerLock);
  g_observer = std::move(next);
}

bool KeyBlockDigestHex(const std::string& block, std::string* hex) {
  krypgp::Bytes binary;
  krypgp::SksDigest d;
  if (!BinaryKeyBlock(block, &binary) ||
      krypgp::ComputeSksDigest(binary.data(), binary.size(), &d) != kKRYError_NoErr)
    return false;
  *hex = krypgp::SksDigestHex(d);
  return true;
}

bool IsCertificateEntry(const Entry* e) {
  const Attribute* oc = e ? attr_lookup(e, "objectclass") : nullptr;
  if (!oc) return false;
  for (const std::string& v : oc->values)
    if (StrIEquals(v, kCertificateClass)) return true;
  return false;
}

bool KeyBlockServedByDigest(const std::string& block, std::string* binaryKey) {
  krypgp::Bytes binary;
  if (!BinaryKeyBlock(block, &binary) || IsVersion6(binary)) return false;
  binaryKey->assign(binary.begin(), binary.end());
  return true;
}

std::string KeyDigestOf(const Entry* e) {
  if (!e || !IsCertificateEntry(e)) return std::string();
  const Attribute* a = attr_lookup(e, kKeyDigestAttr);
  return a && !a->values.empty() ? a->values[0] : std::string();
}

std::string StampKeyDigest(Entry* e) {
  if (!e || !IsCertificateEntry(e)) return std::string();
  std::string hex;
  const std::string* block = StoredKeyBlock(e);
  attr_remove(e, kKeyDigestAttr);
  if (!block || !KeyBlockDigestHex(*block, &hex)) return std::string();
  attr_merge(e, kKeyDigestAttr, hex);
  return hex;
}

void DropKeyDigestRecord(Backend* be, EntryID id, const std::string& hex) {
  DbHandle db(be, IndexName(), ldbm_open_flags(be));
  if (db) idl_delete(be, db.get(), EqualityKey(hex), id);
}

void KeyDigestChanged(Backend* be, EntryID id, const std::string& before, const std::string& after) {
  if (before == after) return;
  if (!before.empty()) {
    DropKeyDigestRecord(be, id, before);
    if (!HeldByAnother(be, before, id)) Notify(before, false);
  }
  if (!after.empty() && !HeldByAnother(be, after, id)) Notify(after, true);
}

int ForEachKeyDigest(Backend* be, const std::function<void(const krypgp::SksDigest&)>& visit) {
  MutexGuard update(ldbm_update_lock());
  std::vector<std::string> keys;
  if (IndexKeys(be, &keys) != 0) {
    LogError(EVENTLOG_ERROR, "The key digest index could not be read.");
    return 1;
  }
  krypgp::SksDigest d;
  for (const std::string& hex : keys)
    if (krypgp::ParseSksDigestHex(hex, &d)) visit(d);
  return 0;
}

int FindServedKeyByDigest(Backend* be, const krypgp::SksDigest& digest, std::string* binaryKey) {
  binaryKey->clear();
  const std::string hex = krypgp::SksDigestHex(digest);
  IDListPtr ids = Holders(be, hex);
  if (!ids) return 32;
  for (EntryID id = idl_first_id(ids.get()); id != NOID; id = idl_next_id(ids.get(), id)) {
    HeldEntry e(be, id2entry(be, id));
    if (!e.get() || KeyDigestOf(e.get()) != hex || !IsCertificateEntry(e.get())) continue;
    std::optional<std::string> parent = dn_get_parent(be, e.get()->dn);
    if (!parent || dn_normalized_upper(*parent) != kActiveDN) continue;
    const Attribute* disabled = attr_lookup(e.get(), "kryDisabled");
    if (disabled && !disabled->values.empty() && disabled->values[0] == "1") continue;
    const std::string* block = StoredKeyBlock(e.get());
    return block && KeyBlockServedByDigest(*block, binaryKey) ? 0 : 32;
  }
  return 32;
}

}  // namespace kry
