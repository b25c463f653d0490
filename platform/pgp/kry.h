// The key library: OpenPGP (RFC 4880, with RFC 6637 ECC and the Ed25519 /
// Curve25519 conventions GnuPG uses) key sets, keyrings, armour, signature
// checking and signed-message decoding, built on OpenSSL 3 libcrypto.
//
// Conventions that hold for every call below:
//  * Every function returns a KRYError: 0 on success, otherwise one of the
//    kKRYError_* status codes. No C++ exception ever leaves the library.
//  * Handles are opaque pointers. Objects made by a KRYNew... call are
//    released with the matching KRYFree... call. Key, subkey, user-ID and
//    signature handles are views into the key set that holds them: they stay
//    valid until that key set is freed (removing a signature or user ID only
//    marks it removed, so iterators and handles never dangle).
//  * A context (KRYContextRef) is used by one thread at a time. Key sets,
//    lists and iterators belong to the context they were made in; different
//    contexts share nothing and may be used in parallel. Process-wide state
//    (memory manager, random pool, passphrase source) is thread-safe.
//  * Option lists are small structs instead of variable argument lists;
//    zero-initialise them ({}) and fill in what you need.
//  * Output strings are always NUL-terminated when the buffer has room for at
//    least one byte; kKRYError_BufferTooSmall means the text was shortened.
#pragma once

#include <cstddef>
#include <cstdint>

struct evp_pkey_st;  // OpenSSL's EVP_PKEY

typedef int KRYError;
typedef uint32_t KRYTime;  // seconds since 1970-01-01 UTC, as in OpenPGP
typedef int KRYBoolean;

// ---------------------------------------------------------------- status codes
enum : int {
  kKRYError_NoErr = 0,
  kKRYError_OutOfMemory = -11999,
  kKRYError_BufferTooSmall = -11998,
  kKRYError_FileNotFound = -11997,
  kKRYError_UserAbort = -11987,            // passphrase entry cancelled
  kKRYError_MalformedRequestHeader = -11986,
  kKRYError_ItemNotFound = -11984,
  kKRYError_PassphraseUnavailable = -11980,  // passphrase cannot be asked for
  kKRYError_EndOfIteration = -11978,
  kKRYError_BadSignature = -11494,
  kKRYError_OutputBufferTooSmall = -11491,  // real length reported
  kKRYError_NoKeyRings = -11479,
  kKRYError_NoPrivateKey = -11402,
  kKRYError_UserIDNoName = -11318,
  kKRYError_ReceiveTimeout = -11086,
  // The library's own failures.
  kKRYError_BadParams = -11900,
  kKRYError_MalformedPacket = -11901,
  kKRYError_BadArmor = -11902,
  kKRYError_ArmorChecksum = -11903,
  kKRYError_UnsupportedAlgorithm = -11904,
  kKRYError_BadPassphrase = -11905,
  kKRYError_TooLarge = -11906,
  kKRYError_NoKeyData = -11907,
  kKRYError_WrongContext = -11908,
  kKRYError_CryptoFailure = -11909,
  kKRYError_NotImplemented = -11910,
  kKRYError_FileIO = -11911,
  kKRYError_Decompression = -11912,
  kKRYError_NotInitialized = -11913,
  kKRYError_ReadOnly = -11914,
};

// Writes the text of `code` into buf (at most size bytes with the NUL).
// Unknown codes get "Unknown error (<code>)". Returns 0 or BufferTooSmall.
KRYError KRYGetErrorString(KRYError code, char* buf, size_t size);

// ---------------------------------------------------------------- lifetime
enum : int { kKRYsdkAPIVersion = 0x0205 };

// Loads the OpenSSL providers the library needs (default, and legacy for
// CAST5/Blowfish when present). Counted: each Init needs one Cleanup.
KRYError KRYsdkInit(uint32_t flags);
KRYError KRYsdkCleanup();
// The passphrase/random-data "dialog" companion: on this platform the
// terminal or a configured passphrase source (see KRYSetPassphraseSource).
KRYError KRYsdkUILibInit();
KRYError KRYsdkUILibCleanup();

struct KRYContext;
typedef KRYContext* KRYContextRef;
// apiVersion must be kKRYsdkAPIVersion. Needs KRYsdkInit first.
KRYError KRYNewContext(int apiVersion, KRYContextRef* outContext);
// Frees the context and every key set, list and iterator still made in it.
KRYError KRYFreeContext(KRYContextRef context);

// ---------------------------------------------------------------- memory
struct KRYMemoryMgr;
typedef KRYMemoryMgr* KRYMemoryMgrRef;
// A thin manager over malloc; it counts live blocks (KRYMemoryMgrLiveBlocks).
KRYError KRYNewMemoryMgr(uint32_t flags, KRYMemoryMgrRef* outMgr);
KRYError KRYSetDefaultMemoryMgr(KRYMemoryMgrRef mgr);
KRYMemoryMgrRef KRYGetDefaultMemoryMgr();  // a built-in one when none set
// Freeing a manager that is the default resets the default to the built-in.
KRYError KRYFreeMemoryMgr(KRYMemoryMgrRef mgr);
// Blocks may be freed by any manager (they all use the C heap). A null mgr
// means the default manager. KRYNewData returns null when memory runs out;
// flag kKRYMemoryFlag_Clear zero-fills.
enum : uint32_t { kKRYMemoryFlag_Clear = 1 };
void* KRYNewData(KRYMemoryMgrRef mgr, size_t size, uint32_t flags);
// *block is replaced by the grown block; on failure it is left untouched.
KRYError KRYReallocData(KRYMemoryMgrRef mgr, void** block, size_t size, uint32_t flags);
KRYError KRYFreeData(void* block);  // null allowed
long KRYMemoryMgrLiveBlocks(KRYMemoryMgrRef mgr);

// ---------------------------------------------------------------- algorithms
enum : int {
  kKRYPublicKeyAlgorithm_RSA = 1,
  kKRYPublicKeyAlgorithm_RSAEncryptOnly = 2,
  kKRYPublicKeyAlgorithm_RSASignOnly = 3,
  kKRYPublicKeyAlgorithm_ElGamal = 16,
  kKRYPublicKeyAlgorithm_DSA = 17,
  kKRYPublicKeyAlgorithm_ECDH = 18,
  kKRYPublicKeyAlgorithm_ECDSA = 19,
  kKRYPublicKeyAlgorithm_EdDSA = 22,
  kKRYPublicKeyAlgorithm_X25519 = 25,   // native form (RFC 9580)
  kKRYPublicKeyAlgorithm_Ed25519 = 27,  // native form (RFC 9580)
};
struct KRYPublicKeyAlgorithmInfo {
  int algID;
  char name[32];
  KRYBoolean canSign;
  KRYBoolean canEncrypt;
};
KRYError KRYCountPublicKeyAlgorithms(int* outCount);
KRYError KRYGetIndexedPublicKeyAlgorithmInfo(int index, KRYPublicKeyAlgorithmInfo* outInfo);

// ---------------------------------------------------------------- time
KRYTime KRYGetTime();
long long KRYGetStdTimeFromKRYTime(KRYTime t);  // a time_t value

// ---------------------------------------------------------------- random pool
// The pool is the operating system's generator (getrandom); it always holds
// its minimum entropy. Keystroke timings are mixed in all the same.
KRYError KRYGlobalRandomPoolAddKeystroke(int event);
int KRYGlobalRandomPoolGetEntropy();         // bits
int KRYGlobalRandomPoolGetMinimumEntropy();  // bits
KRYBoolean KRYGlobalRandomPoolHasMinimumEntropy();
KRYError KRYGlobalRandomPoolGetBytes(void* out, size_t len);
struct KRYRandomDialogOptions {
  const void* parentWindow;  // ignored on this platform
};
// Nothing to collect from a person: returns 0 at once.
KRYError KRYCollectRandomDataDialog(KRYContextRef context, int bits,
                                    const KRYRandomDialogOptions* options);

// ---------------------------------------------------------------- key IDs
// Binary key ID (34 bytes so callers can store it as an opaque record):
// bytes[0] = length of the ID (8 full, 4 short), bytes[1] = public-key
// algorithm (0 when unknown), bytes[2..2+length) = the ID big-endian (for a
// short ID, the low 32 bits of the full ID). All zero means "no key ID".
struct KRYKeyID {
  uint8_t bytes[34];
};
enum : int {
  kKRYKeyIDString_Abbreviated = 2,  // "0x" + 8 upper-case hex digits
  kKRYKeyIDString_Full = 3,         // "0x" + 16 upper-case hex digits
};
// Parses "0x" (optional) followed by 8 or 16 hex digits, case ignored.
KRYError KRYGetKeyIDFromString(const char* text, KRYKeyID* outID);
// buf needs at least 11 (abbreviated) or 19 (full) bytes.
KRYError KRYGetKeyIDString(const KRYKeyID* id, int format, char* buf, size_t size);
// 0 when equal. A short ID equals a full ID with the same low 32 bits.
int KRYCompareKeyIDs(const KRYKeyID* a, const KRYKeyID* b);

// ---------------------------------------------------------------- objects
struct KRYKeySet;
typedef KRYKeySet* KRYKeySetRef;
struct KRYKey;
typedef KRYKey* KRYKeyRef;
struct KRYSubKey;
typedef KRYSubKey* KRYSubKeyRef;
struct KRYUserID;
typedef KRYUserID* KRYUserIDRef;
struct KRYSig;
typedef KRYSig* KRYSigRef;
struct KRYKeyList;
typedef KRYKeyList* KRYKeyListRef;
struct KRYKeyIter;
typedef KRYKeyIter* KRYKeyIterRef;
struct KRYFileSpec;
typedef KRYFileSpec* KRYFileSpecRef;

// ---------------------------------------------------------------- keyrings
// Fails with FileNotFound when the file does not exist.
KRYError KRYNewFileSpecFromFullPath(KRYContextRef context, const char* path,
                                    KRYFileSpecRef* outSpec);
KRYError KRYFreeFileSpec(KRYFileSpecRef fileSpec);
enum : uint32_t { kKRYOpenKeyRing_Writable = 1 };
// Reads a keyring file (binary packets or armour, several blocks allowed)
// into a new key set. With kKRYOpenKeyRing_Writable, KRYCommitKeyRingChanges
// writes the set back to the file (public ring) atomically.
KRYError KRYOpenKeyRing(KRYContextRef context, KRYFileSpecRef fileSpec, uint32_t flags,
                        KRYKeySetRef* outSet);
// Public and secret ring as one key set: secret keys are joined to their
// public keys (same fingerprint); secret-only keys are kept as well.
KRYError KRYOpenKeyRingPair(KRYContextRef context, KRYFileSpecRef pubSpec,
                            KRYFileSpecRef secSpec, uint32_t flags, KRYKeySetRef* outSet);
enum : int { kKRYPref_RandomSeedFile = 1 };
KRYError KRYsdkLoadDefaultPrefs(KRYContextRef context);
// Only remembered: the pool reads the operating system's generator.
KRYError KRYsdkPrefSetFileSpec(KRYContextRef context, int pref, KRYFileSpecRef fileSpec);

// ---------------------------------------------------------------- key sets
KRYError KRYNewKeySet(KRYContextRef context, KRYKeySetRef* outSet);
// A new set holding a copy of `key` (with its secret part, if any).
KRYError KRYNewSingletonKeySet(KRYKeyRef key, KRYKeySetRef* outSet);
// Merges copies of every key of `source` into `target` (same context):
// user IDs, user attributes, signatures and subkeys are united without
// duplicates; the result does not depend on the order of the merges.
KRYError KRYAddKeys(KRYKeySetRef source, KRYKeySetRef target);
// Writes a writable keyring set back to its file; a no-op for other sets.
KRYError KRYCommitKeyRingChanges(KRYKeySetRef set);
KRYError KRYCountKeys(KRYKeySetRef set, int* outCount);
KRYBoolean KRYKeySetIsMember(KRYKeyRef key, KRYKeySetRef set);  // by fingerprint
KRYError KRYFreeKeySet(KRYKeySetRef set);  // null allowed

// ---------------------------------------------------------------- import / export / decode
struct KRYImportOptions {
  const void* inputBuffer;  // armoured (one or more blocks) or binary packets
  size_t inputLength;
  const char* inputFile;    // used when inputBuffer is null
};
// Makes a new key set with the keys of the input. The signatures of the new
// keys are checked at once against the keys of the input itself and of every
// other key set of the context (so the tried/verified flags are ready).
KRYError KRYImportKeySet(KRYContextRef context, const KRYImportOptions* options,
                         KRYKeySetRef* outSet);
// The same without checking a signature: they all stay untried, for callers
// that only split or count keys and hand each to an import that checks it.
KRYError KRYImportKeySetUnchecked(KRYContextRef context, const KRYImportOptions* options,
                                  KRYKeySetRef* outSet);

enum : int {
  kKRYExportFormat_Basic = 1,      // without user attributes, trust or unknown packets
  kKRYExportFormat_Complete = 255, // every packet
};
struct KRYExportOptions {
  int format;                   // 0 means Complete
  KRYBoolean exportPrivateKeys; // secret-key packets where the set has them
  KRYBoolean binary;            // raw packets instead of armour
  void* outputBuffer;           // caller's buffer of outputSize bytes
  size_t outputSize;
  size_t* outputLength;         // receives the real length (even when it did not fit)
};
// Returns OutputBufferTooSmall (with *outputLength set) when it did not fit;
// the armoured text is NUL-terminated when there is room for the NUL, which
// outputLength does not count.
KRYError KRYExportKeySet(KRYKeySetRef set, const KRYExportOptions* options);
// Same, into a buffer from the default memory manager (caller KRYFreeData).
KRYError KRYExportKeySetAlloc(KRYKeySetRef set, int format, KRYBoolean exportPrivate,
                              KRYBoolean binary, char** outData, size_t* outLength);

enum : int {
  kKRYEvent_Signature = 12,  // a signature was found (and checked if possible)
};
struct KRYSignatureEventData {
  KRYBoolean checked;     // the signer's key was found and the check was run
  KRYBoolean verified;    // the signature verified
  KRYKeyID signingKeyID;  // issuer key ID (full when the packet names it)
  KRYKeyRef signingKey;   // the signer in the decode key set, or null
  KRYTime creationTime;
  int sigType;            // 0 binary document, 1 canonical text
  int hashAlgorithm;
};
struct KRYEvent {
  int type;
  KRYSignatureEventData signatureData;  // for kKRYEvent_Signature
};
typedef KRYError (*KRYEventHandler)(KRYContextRef context, const KRYEvent* event,
                                    void* userData);
struct KRYDecodeOptions {
  const void* inputBuffer;  // clear-signed text, armoured or binary message
  size_t inputLength;
  KRYKeySetRef keySet;      // where to find signers (may be null)
  KRYEventHandler eventHandler;
  void* eventUserData;
  KRYBoolean discardOutput; // when false, the signed text is returned below
  char** outputData;        // KRYFreeData; may be null
  size_t* outputLength;
  size_t* endOffset;        // may be null; clear-signed input: the offset just
                            // past its signature's END line, else the length
};
// Decodes a signed message and reports one kKRYEvent_Signature per signature.
// A readable message whose signature does not verify still returns 0 (the
// event says verified=0); unreadable input returns the parse error. A handler
// returning non-zero stops the decode with that code.
KRYError KRYDecode(KRYContextRef context, const KRYDecodeOptions* options);

// ---------------------------------------------------------------- walking
enum : int {
  kKRYKeyOrdering_Any = 1,
  kKRYKeyOrdering_UserID = 2,
  kKRYKeyOrdering_KeyID = 3,
  kKRYKeyOrdering_Fingerprint = 4,
  kKRYKeyOrdering_CreationDate = 5,
};
// A list is a snapshot of the set's keys in the given order.
KRYError KRYOrderKeySet(KRYKeySetRef set, int ordering, KRYKeyListRef* outList);
KRYError KRYFreeKeyList(KRYKeyListRef list);
// An iterator walks keys; within the current key its subkeys, user IDs, the
// signatures of the current user ID, of the key itself (direct-key and key
// revocations) and of the current subkey. Next calls give EndOfIteration
// (and a null handle) at the end. Removed objects are skipped.
KRYError KRYNewKeyIter(KRYKeyListRef list, KRYKeyIterRef* outIter);
KRYError KRYFreeKeyIter(KRYKeyIterRef iter);
KRYError KRYKeyIterNext(KRYKeyIterRef iter, KRYKeyRef* outKey);
KRYError KRYKeyIterNextSubKey(KRYKeyIterRef iter, KRYSubKeyRef* outSubKey);
KRYError KRYKeyIterNextUserID(KRYKeyIterRef iter, KRYUserIDRef* outUserID);
KRYError KRYKeyIterNextUIDSig(KRYKeyIterRef iter, KRYSigRef* outSig);
KRYError KRYKeyIterNextKeySig(KRYKeyIterRef iter, KRYSigRef* outSig);
KRYError KRYKeyIterNextSubKeySig(KRYKeyIterRef iter, KRYSigRef* outSig);
KRYError KRYKeyIterRewind(KRYKeyIterRef iter);        // before the first key
KRYError KRYKeyIterRewindSubKey(KRYKeyIterRef iter);
KRYError KRYKeyIterRewindUserID(KRYKeyIterRef iter);
KRYError KRYKeyIterRewindUIDSig(KRYKeyIterRef iter);
KRYError KRYKeyIterRewindKeySig(KRYKeyIterRef iter);
KRYError KRYKeyIterRewindSubKeySig(KRYKeyIterRef iter);

// ---------------------------------------------------------------- properties
enum : int {  // KRYGetKeyBoolean / KRYGetSubKeyBoolean
  kKRYKeyProperty_IsRevoked = 1,             // a revocation that verified
  kKRYKeyProperty_HasUnverifiedRevocation = 2, // a revocation not (yet) checkable
  kKRYKeyProperty_IsExpired = 3,
  kKRYKeyProperty_NeedsPassphrase = 4,       // secret part protected by a passphrase
  kKRYKeyProperty_IsSecret = 5,
  kKRYKeyProperty_CanSign = 6,
  kKRYKeyProperty_CanEncrypt = 7,
  kKRYKeyProperty_IsV3 = 8,
  kKRYKeyProperty_IsSecretShared = 9,        // secret part is a stub (gnu-dummy)
};
enum : int {  // KRYGetKeyNumber / KRYGetSubKeyNumber
  kKRYKeyProperty_AlgorithmID = 20,
  kKRYKeyProperty_Bits = 21,
  kKRYKeyProperty_Version = 22,
  kKRYKeyProperty_SubKeyCount = 23,   // key only
  kKRYKeyProperty_UserIDCount = 24,   // key only
};
enum : int {  // KRYGetKeyTime / KRYGetSubKeyTime
  kKRYKeyProperty_Creation = 40,
  kKRYKeyProperty_Expiration = 41,    // 0 = never
};
enum : int {  // KRYGetKeyPropertyBuffer / KRYGetSubKeyPropertyBuffer
  kKRYKeyProperty_Fingerprint = 60,   // 32 bytes (v6), 20 (v4) or 16 (v3)
  kKRYKeyProperty_KeyData = 61,       // the public-key packet body
};
KRYError KRYGetKeyBoolean(KRYKeyRef key, int property, KRYBoolean* out);
KRYError KRYGetKeyNumber(KRYKeyRef key, int property, int32_t* out);
KRYError KRYGetKeyTime(KRYKeyRef key, int property, KRYTime* out);
KRYError KRYGetKeyPropertyBuffer(KRYKeyRef key, int property, void* buf, size_t size,
                                 size_t* outLength);
KRYError KRYGetSubKeyBoolean(KRYSubKeyRef sub, int property, KRYBoolean* out);
KRYError KRYGetSubKeyNumber(KRYSubKeyRef sub, int property, int32_t* out);
KRYError KRYGetSubKeyTime(KRYSubKeyRef sub, int property, KRYTime* out);
KRYError KRYGetSubKeyPropertyBuffer(KRYSubKeyRef sub, int property, void* buf, size_t size,
                                    size_t* outLength);

enum : int {
  kKRYUserIDProperty_AttributeType = 1,  // 0 a plain user ID, 1 an image (photo ID), ...
  kKRYUserIDProperty_IsAttribute = 2,
  kKRYUserIDProperty_SigCount = 3,
  kKRYUserIDProperty_IsPrimary = 4,      // a self-signature marks it primary
};
KRYError KRYGetUserIDNumber(KRYUserIDRef uid, int property, int32_t* out);
// The name string with a NUL; *outLength (optional) is the length including
// the NUL. A user attribute has no name: UserIDNoName. Shortened: BufferTooSmall.
KRYError KRYGetUserIDStringBuffer(KRYUserIDRef uid, char* buf, size_t size, size_t* outLength);
// Byte-wise comparison of two user-ID name strings (<0, 0, >0).
int KRYCompareUserIDStrings(const char* a, const char* b);

enum : int {  // KRYGetSigBoolean
  kKRYSigProperty_IsTried = 1,     // the signer was available and the check ran
  kKRYSigProperty_IsVerified = 2,  // the check succeeded
  kKRYSigProperty_IsNotCorrupt = 3,// the packet parsed and did not fail a check
  kKRYSigProperty_IsRevoked = 4,   // a revocation that verified, or a certification revoked by one
  kKRYSigProperty_HasUnverifiedRevocation = 5, // this is a revocation signature
  kKRYSigProperty_IsExpired = 6,
  kKRYSigProperty_IsExportable = 7,
  kKRYSigProperty_IsSelfSig = 8,
  kKRYSigProperty_IsRevocable = 9,
};
enum : int {  // KRYGetSigNumber
  kKRYSigProperty_AlgorithmID = 20,
  kKRYSigProperty_HashAlgorithm = 21,
  kKRYSigProperty_Type = 22,       // 0x10..0x13, 0x18, 0x19, 0x1F, 0x20, 0x28, 0x30, ...
  kKRYSigProperty_Version = 23,
  kKRYSigProperty_TrustLevel = 24,
};
enum : int {  // KRYGetSigTime
  kKRYSigProperty_Creation = 40,
  kKRYSigProperty_Expiration = 41,  // 0 = never
};
KRYError KRYGetSigBoolean(KRYSigRef sig, int property, KRYBoolean* out);
KRYError KRYGetSigNumber(KRYSigRef sig, int property, int32_t* out);
KRYError KRYGetSigTime(KRYSigRef sig, int property, KRYTime* out);
// The signer of `sig` among the keys of `set`: ItemNotFound when absent.
KRYError KRYGetSigCertifierKey(KRYSigRef sig, KRYKeySetRef set, KRYKeyRef* outKey);
KRYError KRYGetKeyIDOfCertifier(KRYSigRef sig, KRYKeyID* outID);

// Designated revokers named by the key's self-signatures (subpacket 12).
KRYError KRYCountRevocationKeys(KRYKeyRef key, int* outCount);
// outKey (optional) gets the revoker from `set` (may be null) or null when
// absent; outID its key ID (algorithm byte set).
KRYError KRYGetIndexedRevocationKey(KRYKeyRef key, KRYKeySetRef set, int index,
                                    KRYKeyRef* outKey, KRYKeyID* outID);

// ---------------------------------------------------------------- key IDs of objects
KRYError KRYGetKeyIDFromKey(KRYKeyRef key, KRYKeyID* outID);
KRYError KRYGetKeyIDFromSubKey(KRYSubKeyRef sub, KRYKeyID* outID);
// algorithm -1 (or 0) matches any algorithm. A short ID matches by its low
// 32 bits. Subkey IDs find their primary key. ItemNotFound when absent.
KRYError KRYGetKeyByKeyID(KRYKeySetRef set, const KRYKeyID* id, int algorithm,
                          KRYKeyRef* outKey);
// Compares by an ordering (kKRYKeyOrdering_*); with Fingerprint, 0 means the
// same key.
int KRYCompareKeys(KRYKeyRef a, KRYKeyRef b, int ordering);

// ---------------------------------------------------------------- edits and trust
KRYError KRYRemoveSig(KRYSigRef sig);
KRYError KRYRemoveUserID(KRYUserIDRef uid);
// Public-key signature checks made by this process so far (every check of
// a key's signatures and of a signed message); for counting what an
// operation costs.
uint64_t KRYSignatureChecksMade();

// Checks the signatures of every key in toCheck against signers found in
// signers (null: toCheck) and in toCheck itself. checkAll=0 checks only
// signatures not tried yet; 1 checks every signature again. The two
// remaining arguments are reserved (pass 0 / null).
KRYError KRYCheckKeyRingSigs(KRYKeySetRef toCheck, KRYKeySetRef signers, KRYBoolean checkAll,
                             void* reserved1, void* reserved2);
// Validity is computed from the flags above; nothing further to propagate.
KRYError KRYPropagateTrust(KRYKeySetRef set, void* reserved);

// ---------------------------------------------------------------- secret keys and passphrases
// 0 when `passphrase` unlocks the key's secret part (any for an unprotected
// key), BadPassphrase when not, NoPrivateKey when the key has no secret part.
KRYError KRYPassphraseIsValid(KRYKeyRef key, const char* passphrase);
// The unlocked key as an OpenSSL EVP_PKEY with its private part (caller
// frees with EVP_PKEY_free). RSA, DSA, ECDSA and Ed25519 keys.
KRYError KRYGetPrivateKeyEVP(KRYKeyRef key, const char* passphrase, evp_pkey_st** outPKey);
// The public key as an EVP_PKEY (caller frees).
KRYError KRYGetPublicKeyEVP(KRYKeyRef key, evp_pkey_st** outPKey);
// The key of `set` whose primary key or one of whose subkeys is the public
// key `pkey` (for example a TLS peer's key). ItemNotFound when none.
KRYError KRYGetKeyByPublicKeyEVP(KRYKeySetRef set, const evp_pkey_st* pkey, KRYKeyRef* outKey);

// Where passphrases come from. Process-wide; the default is the terminal.
enum : int {
  kKRYPassphraseSource_None = 0,      // never asks: PassphraseUnavailable
  kKRYPassphraseSource_Terminal = 1,  // /dev/tty without echo, when there is one
  kKRYPassphraseSource_File = 2,      // first line of the file `arg`
  kKRYPassphraseSource_FD = 3,        // first line read from descriptor atoi(arg)
  kKRYPassphraseSource_Env = 4,       // the environment variable named `arg`
};
KRYError KRYSetPassphraseSource(int kind, const char* arg);
struct KRYPassphraseDialogOptions {
  char** outputPassphrase;   // receives the passphrase (KRYFreeData); required
  const void* parentWindow;  // ignored
  const char* windowTitle;   // shown as the prompt
  KRYBoolean findMatchingKey;// pick the candidate the passphrase unlocks
  int maxAttempts;           // terminal only; 0 means 3
};
// Asks for the passphrase of one of `candidates`' secret keys and returns the
// key it unlocks in *outKey. UserAbort when the person cancels (end of input),
// PassphraseUnavailable when the source cannot ask (no terminal, no source),
// BadPassphrase when a non-interactive source gave a wrong one, NoPrivateKey
// when no candidate has a secret part.
KRYError KRYSigningPassphraseDialog(KRYContextRef context, KRYKeySetRef candidates,
                                    KRYKeyRef* outKey, const KRYPassphraseDialogOptions* options);
