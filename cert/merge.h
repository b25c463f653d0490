// Uniting a submitted certificate with the stored copy at the same location:
// which user-ID entries need writing, the signer lists of each user ID, the
// subkey values, the strip of non-exportable signatures and the reduction of
// photo IDs to the newest one.
#pragma once

#include <string>
#include <vector>

#include "platform/pgp/kry.h"

namespace kry {

struct Backend;
struct Entry;
struct EntryList;
struct SignerRecord;

// Previous revoked state of a stored copy.
enum PrevRevoked : int { PREV_NOT_REVOKED = 0, PREV_REVOKED = 1, PREV_UNKNOWN = 2 };

// Largest subkey size in bits and the 16-digit IDs of the subkeys.
struct SubKeyValues {
  int largest = 0;
  std::vector<std::string> ids;
};

// Signature validity as the library reports it: not corrupt, and either not
// tried or verified without an unchecked revocation.
bool SigIsValid(KRYSigRef sig, int* rc);

// Every signature on the key itself and on the iterator's subkeys must be
// valid: -11494 otherwise. A forged or damaged binding or direct-key
// signature is refused like one on a user ID.
int CheckKeyAndSubKeySigs(KRYKeyIterRef iter);

// Signer records of the iterator's current user ID: a state tag ('-' a
// revocation, 'x' expired, '+' otherwise) followed by the certifier's 16
// digits. Non-exportable signatures are removed from the key and not listed.
// With `verify`, an invalid signature fails the call with -11494; with
// `strict`, only tried, verified and unexpired signatures are listed.
int GetSigIDsOfUserID(KRYKeyIterRef iter, bool verify, bool strict, std::vector<SignerRecord>* records);

// Subkey values of the iterator's current key.
int GetSubKeyValues(KRYKeyIterRef iter, SubKeyValues* values);

// Sets *changed when the new subkeys differ from the stored ones (always for
// a new certificate). `stored` null means a new certificate. Result 0 or 21.
int MergeKRYSubKeys(KRYKeyIterRef fresh, KRYKeyIterRef stored, SubKeyValues* values, bool* changed);

// The stored user ID with the same name string as `uid`, or null; the stored
// iterator is left on it.
KRYUserIDRef FindUserIDInCert(KRYUserIDRef uid, KRYKeyIterRef stored);

// True for a user attribute holding an image.
bool IsPhotoID(KRYUserIDRef uid);

// Newest creation time among the valid self-signatures of the iterator's
// current user ID (0 when none); `checkValidity` false skips the rule.
KRYTime GetMostRecentSelfSig(KRYKeyIterRef iter, KRYKeySetRef set, KRYKeyRef key, bool checkValidity);

// Keeps the newer of the survivor so far and `uid` (the later one on a tie)
// and removes the other from the key.
void KeepNewestPhotoID(KRYUserIDRef uid, KRYKeyIterRef iter, KRYKeySetRef set, KRYKeyRef key, KRYTime* newest,
                       KRYUserIDRef* survivor, bool checkValidity);

// Adds krySignerID values to `entry` when the signers of the current user ID
// differ from the stored user ID's (`stored` null: a new user ID or
// certificate) and sets *changed then.
int MergeKRYSignerIDs(Entry* entry, KRYKeyIterRef fresh, KRYKeyIterRef stored, bool* changed);

// Merges `storedSet` (may be null) into `set` and builds the user-ID entries
// that need writing into `list` (slot 0 is the certificate entry). On
// success *changed tells whether anything tracked changed. With `be`, a
// user ID stored under the DN of an earlier release keeps that entry
// (FindUserIDObjDN). Result 0, 1, 21, 64, 90 or a library status.
int MergeKRYCertObjects(EntryList* list, KRYKeySetRef set, KRYKeySetRef storedSet, const std::string& certID,
                        const std::string& certDN, int prevRevoked, bool* changed, Backend* be = nullptr);

// Loads the certificates of the key's designated revokers stored in the
// directory into *revokers (in `context`) and replaces *set by a re-import
// of itself, so that revocations by those keys can be checked. *revokers
// must stay open until the add is done. Result 0, 1 or 89.
int VerifyRevokers(KRYContextRef context, Backend* be, int count, KRYKeyRef key, KRYKeySetRef* set,
                   KRYKeySetRef* revokers);

}  // namespace kry
