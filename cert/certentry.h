// Certificates as directory entries: the layout of the key space, the DNs of
// certificate and user-ID entries, the textual forms of key IDs and times,
// and the small builders the add pipeline and the merge call to turn a key
// into one certificate entry plus one entry per named user ID.
//
// Status conventions: DN and key-ID helpers return the key library's numbers
// (-11999 out of memory); entry builders return 0, 1 (failure, logged) or 90
// (allocation failure, "Server out of memory." for the client).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ldap/entry.h"
#include "platform/pgp/kry.h"

namespace kry {

struct Backend;

// Fixed entries of the key space (normalised form).
inline constexpr const char kKeyspaceDN[] = "O=KRY KEYSPACE,C=US";
inline constexpr const char kActiveDN[] = "OU=ACTIVE,O=KRY KEYSPACE,C=US";
inline constexpr const char kPendingDN[] = "OU=PENDING,O=KRY KEYSPACE,C=US";
inline constexpr const char kGroupspaceDN[] = "O=KRY GROUPSPACE,C=US";

// Locations of a certificate; any value other than ACTIVE selects PENDING.
constexpr int kLocationActive = 2;
constexpr int kLocationPending = 1;

// Object classes that tell the two entry kinds apart.
inline constexpr const char kCertificateClass[] = "kryCertificate";
inline constexpr const char kUserIDClass[] = "kryUserID";

// Room for a user ID's name string, terminator included.
constexpr size_t kUserIDBufferSize = 256;
// Length of a certificate ID (full key ID in hex, no "0x").
constexpr size_t kCertIDLength = 16;

// The ordered list of entries one add builds: slot 0 is the certificate
// entry, the following slots user-ID entries. `slots.size()` is the
// capacity; slots at and beyond `count` are empty.
struct EntryList {
  std::vector<EntryPtr> slots;
  int count = 0;

  Entry* Last() { return count > 0 ? slots[static_cast<size_t>(count) - 1].get() : nullptr; }
};

// ---- key IDs and names

// Writes the 8 key-ID bytes as 16 upper-case hex digits (after "0x" when
// `prefix`), NUL-terminated; `out` holds at least 19 bytes.
void KeyIDBin2Str(const uint8_t id[8], bool prefix, char* out);
std::string KeyIDBin2Str(const uint8_t id[8], bool prefix);

// The certificate entry DN of a key ID at a location. With `rawForm` the
// key ID is 8 raw bytes, otherwise the 16-digit certificate ID text. 0, or
// -11999 after "Out of memory" in the event log.
int CreateKeyDN(const void* keyID, bool rawForm, int location, std::string* dn);

// The value of a user ID in its entry's DN, one-to-one and unchanged by
// dn_normalize: a backslash goes before each comma, plus, equals sign,
// double quote, carriage return, less-than, greater-than, number sign and
// semicolon; a backslash of the user ID, and a blank or line feed at either
// end of it, become three backslashes and '+', ';' or ',' respectively;
// every other byte is copied. 0, or 90 after "Memory allocation error.".
int EscapeDNString(std::string_view userID, std::string* escaped);

// The user ID's name string as the directory stores it: at most 255 bytes
// (longer ones are cut). 0, or the library's code (-11318: no name string).
int GetUserIDText(KRYUserIDRef uid, std::string* text);

// The normalised "kryUserID=<escaped user ID>,<certDN>". 0; 1 for a user ID
// without a name string (silent) or another library failure (logged); 90 on
// allocation failure.
int CrtUserIDObjDN(KRYUserIDRef uid, const std::string& certDN, std::string* dn);
// The normalised DN earlier releases gave a user ID, whose escape could name
// two user IDs alike; used only to find entries stored under it. 0, or 90.
int LegacyUserIDDN(std::string_view userID, const std::string& certDN, std::string* dn);
// CrtUserIDObjDN for a user ID that may be stored already: when nothing is
// stored at its DN but an entry of the same user ID text is stored under the
// DN an earlier release gave it, that DN, so that the entry is updated in
// place. Without a backend, CrtUserIDObjDN. Same results.
int FindUserIDObjDN(Backend* be, KRYUserIDRef uid, const std::string& certDN, std::string* dn);
// The step of FindUserIDObjDN after the DN is built: *dn (the DN of
// `userID` below `certDN`) is replaced by the earlier release's DN when only
// that one holds an entry of this user ID. 0, or 90.
int FindStoredUserIDDN(Backend* be, std::string_view userID, const std::string& certDN, std::string* dn);

// The 16-digit certificate ID of a key. 0; 1 (library failure, logged) or 90.
int GetCertID(KRYKeyRef key, std::string* certID);

// "%Y%m%d%H%M%SZ" (UTC) of a key-library time. 0, or 1 after "Invalid time
// encountered (%d)" in the event log.
int KRYTime2GeneralizedTime(KRYTime t, std::string* text);

// Key type text of a primary-key algorithm ("RSA", "DSS/DH", and with
// "AcceptModernKeys" "ECDSA" / "EdDSA" / "Ed25519"), or null when the server
// does not accept the algorithm.
const char* KeyTypeName(int algorithmID);

// True for a version 6 key, with its fingerprint as 64 upper-case hex
// digits in *hex; false for every other key.
bool V6Fingerprint(KRYKeyRef key, std::string* hex);

// ---- entry lists and entries

// Makes sure the list has room for `newCount` entries (capacity 8, then
// doubled, at least newCount). Non-zero only when allocation failed (the
// list is then unchanged).
int GrowEntries(EntryList* list, int newCount);
// Frees the last entry of the list and drops it from the count.
void GiveBackEntry(EntryList* list);
// Appends one value to the named attribute (created when missing); values
// are never de-duplicated here. Empty values are not stored.
void AddDirAttrToEntry(Entry* e, std::string_view type, const void* bytes, size_t length);
void AddDirAttrToEntry(Entry* e, std::string_view type, std::string_view value);

// Prepares the last entry of the list as the certificate entry: objectclass
// "kryCertificate", the DN, version "2.5.1". 0, or 90.
int CrtKRYCertEntry(EntryList* list, const std::string& certDN);
// Appends a new empty entry with DN `dn` and returns it in *entry. 0, or 90.
int CrtKRYUserIDEntry(EntryList* list, std::string dn, Entry** entry);

// Attributes written when the user ID is new to the certificate, in order:
// objectclass, kryCertID, kryDisabled, kryKeyID, kryKeyType, kryUserID,
// kryKeyCreateTime, kryKeyExpireTime. 0, or 1 (logged).
int AddStaticKRYUserIDAttrs(Entry* e, KRYUserIDRef uid, KRYKeyRef key, const std::string& certID);
// Attributes written on every change: kryKeySize ("%05d"; for DSS/DH the
// largest subkey size), krySubKeyID (DSS/DH: one per subkey), kryRevoked.
// 0, or 1 (logged).
int AddDynamicKRYUserIDAttrs(Entry* e, KRYKeyRef key, const std::string& certID, bool revoked,
                             int largestSubKeySize, const std::vector<std::string>& subKeyIDs);

// One signer record: a state tag ('+' ordinary, '-' unverified revocation,
// 'x' expired) and the certifier's 16-digit key ID.
struct SignerRecord {
  char tag = '+';
  std::string keyID;
};
// The krySignerID value of a record: the 16 digits, "Neg: " or "Exp: " before
// them for '-' and 'x'.
std::string SignerIDValue(const SignerRecord& record);
// Adds one krySignerID value per record.
void AddSignerIDAttrs(Entry* e, const std::vector<SignerRecord>& records);

// ---- stored certificates

// Reads the certificate stored at `dn`: *set gets it imported into `context`
// (null when there is no entry), *block its armoured text and *v2 whether it
// came from kryKeyV2. 0; 52 disabled; 1 no key block; 89 the block does not
// import; 90 allocation failure. Each failure is logged.
int GetCertObject(Backend* be, const std::string& dn, KRYContextRef context, bool* v2, KRYKeySetRef* set,
                  std::string* block);

// The IDs of the certificate entry's children (its user-ID entries). 0, or 1.
int GetKeysChildren(Backend* be, const Entry* cert, std::vector<EntryID>* children);

}  // namespace kry
