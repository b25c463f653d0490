// Key digests for reconciliation with other keyservers. Every certificate
// entry carries "kryKeyDigest": the 32 upper-case hex digits of the digest
// peers name keys by (platform/pgp/sksdigest.h), taken from the key block it
// stores (kryKeyV2, else kryKey). The backend stamps it on each write of a
// certificate entry, so block and digest are always written together, and
// keeps its equality index exact (a digest that leaves an entry leaves the
// index too).
//
// The digest set is every stored certificate, ACTIVE or PENDING, disabled or
// not: a peer then never makes us fetch a key we hold but do not serve. A
// digest two entries share (a key both parked and active) is one member.
// Served is narrower: what op=get would serve (below).
#pragma once

#include <functional>
#include <string>

#include "ldap/entry.h"
#include "platform/pgp/sksdigest.h"

namespace kry {

struct Backend;

inline constexpr char kKeyDigestAttr[] = "kryKeyDigest";

// Called when a digest enters the set (present true) or leaves it, once the
// write that did it is stored: an add, a merge that changed the key (the old
// digest leaves, then the new one enters), a delete.
//
// Locking: the observer runs on the writing thread while the backend's
// update lock is held (so calls arrive in the order the writes were stored),
// and no cache, index or file lock. It must be quick and must not write to
// the directory (deadlock); reads are safe. If it takes a lock of its own,
// the caller must never hold that lock while writing to the directory.
using KeyDigestObserver = std::function<void(const krypgp::SksDigest& digest, bool present)>;

// Installs the observer (an empty one removes it). Safe at any time.
void SetKeyDigestObserver(KeyDigestObserver observer);

// Visits every digest of the set once, read from the digest index (entries
// are not parsed). Holds the update lock throughout, so writes wait and no
// observer call overlaps the walk: install the observer, then walk, and the
// set built is exact. `visit` must not write to the directory (deadlock).
// 0, or 1 when the index cannot be read (logged).
int ForEachKeyDigest(Backend* be, const std::function<void(const krypgp::SksDigest&)>& visit);

// The binary key block of the certificate with `digest` when op=get would
// serve it: stored under OU=ACTIVE and not disabled. Version 6 keys are not
// served by digest (op=get serves them only to a lookup by their full
// fingerprint, which a digest is not). 0 found; 32 not found (also when
// the stored block does not decode).
int FindServedKeyByDigest(Backend* be, const krypgp::SksDigest& digest, std::string* binaryKey);

// The binary form of a stored (armoured) key block when a lookup by digest
// may serve it: it decodes and is not a version 6 key.
bool KeyBlockServedByDigest(const std::string& block, std::string* binaryKey);

// ---- used by the backend and start-up

// The digest of an armoured or binary key block, as "kryKeyDigest" holds
// it; false when the block does not decode.
bool KeyBlockDigestHex(const std::string& block, std::string* hex);

// For a certificate entry about to be written: sets its kryKeyDigest from
// its key block (removed when the block does not decode). Other entries are
// left alone. Returns KeyDigestOf(e) afterwards.
std::string StampKeyDigest(Entry* e);

// Whether the entry is a certificate entry (object class kryCertificate),
// whose digest is stamped rather than taken from what a client sent.
bool IsCertificateEntry(const Entry* e);

// A certificate entry's kryKeyDigest value; "" when it has none and for
// every other entry.
std::string KeyDigestOf(const Entry* e);

// After a write of entry `id` changed its digest from `before` to `after`
// (either may be ""), stored: the new digest must already be indexed; this
// drops `id` from the old digest's index record and tells the observer.
// Caller holds the update lock.
void KeyDigestChanged(Backend* be, EntryID id, const std::string& before, const std::string& after);

// Takes `id` out of the index record of digest `hex`: a write that indexed
// the digest and then failed. Caller holds the update lock.
void DropKeyDigestRecord(Backend* be, EntryID id, const std::string& hex);

// Start-up: gives a digest to every certificate stored without one (stored
// before digests were kept) and indexes digests the index lacks. Runs until
// it has once found nothing left to do, which the digest index then records
// (a rebuilt index does not have the record). Returns how many certificates
// it wrote or indexed (logged).
int StampMissingKeyDigests(Backend* be);

}  // namespace kry
