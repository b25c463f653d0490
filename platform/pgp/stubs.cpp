// Entry points not built yet; each answers NotImplemented.
#include "platform/pgp/kry.h"

KRYError KRYGetKeyIDFromString(const char*, KRYKeyID*) { return kKRYError_NotImplemented; }
KRYError KRYGetKeyIDString(const KRYKeyID*, int, char*, size_t) { return kKRYError_NotImplemented; }
int KRYCompareKeyIDs(const KRYKeyID*, const KRYKeyID*) { return 0; }
KRYError KRYNewFileSpecFromFullPath(KRYContextRef, const char*, KRYFileSpecRef*) { return kKRYError_NotImplemented; }
KRYError KRYFreeFileSpec(KRYFileSpecRef) { return kKRYError_NotImplemented; }
KRYError KRYOpenKeyRing(KRYContextRef, KRYFileSpecRef, uint32_t, KRYKeySetRef*) { return kKRYError_NotImplemented; }
KRYError KRYOpenKeyRingPair(KRYContextRef, KRYFileSpecRef, KRYFileSpecRef, uint32_t, KRYKeySetRef*) { return kKRYError_NotImplemented; }
KRYError KRYsdkLoadDefaultPrefs(KRYContextRef) { return kKRYError_NotImplemented; }
KRYError KRYsdkPrefSetFileSpec(KRYContextRef, int, KRYFileSpecRef) { return kKRYError_NotImplemented; }
KRYError KRYNewKeySet(KRYContextRef, KRYKeySetRef*) { return kKRYError_NotImplemented; }
KRYError KRYNewSingletonKeySet(KRYKeyRef, KRYKeySetRef*) { return kKRYError_NotImplemented; }
KRYError KRYAddKeys(KRYKeySetRef, KRYKeySetRef) { return kKRYError_NotImplemented; }
KRYError KRYCommitKeyRingChanges(KRYKeySetRef) { return kKRYError_NotImplemented; }
KRYError KRYCountKeys(KRYKeySetRef, int*) { return kKRYError_NotImplemented; }
KRYBoolean KRYKeySetIsMember(KRYKeyRef, KRYKeySetRef) { return 0; }
KRYError KRYFreeKeySet(KRYKeySetRef) { return kKRYError_NotImplemented; }
KRYError KRYImportKeySet(KRYContextRef, const KRYImportOptions*, KRYKeySetRef*) { return kKRYError_NotImplemented; }
KRYError KRYExportKeySet(KRYKeySetRef, const KRYExportOptions*) { return kKRYError_NotImplemented; }
KRYError KRYExportKeySetAlloc(KRYKeySetRef, int, KRYBoolean, KRYBoolean, char**, size_t*) { return kKRYError_NotImplemented; }
KRYError KRYDecode(KRYContextRef, const KRYDecodeOptions*) { return kKRYError_NotImplemented; }
KRYError KRYOrderKeySet(KRYKeySetRef, int, KRYKeyListRef*) { return kKRYError_NotImplemented; }
KRYError KRYFreeKeyList(KRYKeyListRef) { return kKRYError_NotImplemented; }
KRYError KRYNewKeyIter(KRYKeyListRef, KRYKeyIterRef*) { return kKRYError_NotImplemented; }
KRYError KRYFreeKeyIter(KRYKeyIterRef) { return kKRYError_NotImplemented; }
KRYError KRYKeyIterNext(KRYKeyIterRef, KRYKeyRef*) { return kKRYError_NotImplemented; }
KRYError KRYKeyIterNextSubKey(KRYKeyIterRef, KRYSubKeyRef*) { return kKRYError_NotImplemented; }
KRYError KRYKeyIterNextUserID(KRYKeyIterRef, KRYUserIDRef*) { return kKRYError_NotImplemented; }
KRYError KRYKeyIterNextUIDSig(KRYKeyIterRef, KRYSigRef*) { return kKRYError_NotImplemented; }
KRYError KRYKeyIterNextKeySig(KRYKeyIterRef, KRYSigRef*) { return kKRYError_NotImplemented; }
KRYError KRYKeyIterNextSubKeySig(KRYKeyIterRef, KRYSigRef*) { return kKRYError_NotImplemented; }
KRYError KRYKeyIterRewind(KRYKeyIterRef) { return kKRYError_NotImplemented; }
KRYError KRYKeyIterRewindSubKey(KRYKeyIterRef) { return kKRYError_NotImplemented; }
KRYError KRYKeyIterRewindUserID(KRYKeyIterRef) { return kKRYError_NotImplemented; }
KRYError KRYKeyIterRewindUIDSig(KRYKeyIterRef) { return kKRYError_NotImplemented; }
KRYError KRYKeyIterRewindKeySig(KRYKeyIterRef) { return kKRYError_NotImplemented; }
KRYError KRYKeyIterRewindSubKeySig(KRYKeyIterRef) { return kKRYError_NotImplemented; }
KRYError KRYGetKeyBoolean(KRYKeyRef, int, KRYBoolean*) { return kKRYError_NotImplemented; }
KRYError KRYGetKeyNumber(KRYKeyRef, int, int32_t*) { return kKRYError_NotImplemented; }
KRYError KRYGetKeyTime(KRYKeyRef, int, KRYTime*) { return kKRYError_NotImplemented; }
KRYError KRYGetKeyPropertyBuffer(KRYKeyRef, int, void*, size_t, size_t*) { return kKRYError_NotImplemented; }
KRYError KRYGetSubKeyBoolean(KRYSubKeyRef, int, KRYBoolean*) { return kKRYError_NotImplemented; }
KRYError KRYGetSubKeyNumber(KRYSubKeyRef, int, int32_t*) { return kKRYError_NotImplemented; }
KRYError KRYGetSubKeyTime(KRYSubKeyRef, int, KRYTime*) { return kKRYError_NotImplemented; }
KRYError KRYGetSubKeyPropertyBuffer(KRYSubKeyRef, int, void*, size_t, size_t*) { return kKRYError_NotImplemented; }
KRYError KRYGetUserIDNumber(KRYUserIDRef, int, int32_t*) { return kKRYError_NotImplemented; }
KRYError KRYGetUserIDStringBuffer(KRYUserIDRef, char*, size_t, size_t*) { return kKRYError_NotImplemented; }
int KRYCompareUserIDStrings(const char*, const char*) { return 0; }
KRYError KRYGetSigBoolean(KRYSigRef, int, KRYBoolean*) { return kKRYError_NotImplemented; }
KRYError KRYGetSigNumber(KRYSigRef, int, int32_t*) { return kKRYError_NotImplemented; }
KRYError KRYGetSigTime(KRYSigRef, int, KRYTime*) { return kKRYError_NotImplemented; }
KRYError KRYGetSigCertifierKey(KRYSigRef, KRYKeySetRef, KRYKeyRef*) { return kKRYError_NotImplemented; }
KRYError KRYGetKeyIDOfCertifier(KRYSigRef, KRYKeyID*) { return kKRYError_NotImplemented; }
KRYError KRYCountRevocationKeys(KRYKeyRef, int*) { return kKRYError_NotImplemented; }
KRYError KRYGetIndexedRevocationKey(KRYKeyRef, KRYKeySetRef, int, KRYKeyRef*, KRYKeyID*) { return kKRYError_NotImplemented; }
KRYError KRYGetKeyIDFromKey(KRYKeyRef, KRYKeyID*) { return kKRYError_NotImplemented; }
KRYError KRYGetKeyIDFromSubKey(KRYSubKeyRef, KRYKeyID*) { return kKRYError_NotImplemented; }
KRYError KRYGetKeyByKeyID(KRYKeySetRef, const KRYKeyID*, int, KRYKeyRef*) { return kKRYError_NotImplemented; }
int KRYCompareKeys(KRYKeyRef, KRYKeyRef, int) { return 0; }
KRYError KRYRemoveSig(KRYSigRef) { return kKRYError_NotImplemented; }
KRYError KRYRemoveUserID(KRYUserIDRef) { return kKRYError_NotImplemented; }
KRYError KRYCheckKeyRingSigs(KRYKeySetRef, KRYKeySetRef, KRYBoolean, void*, void*) { return kKRYError_NotImplemented; }
KRYError KRYPropagateTrust(KRYKeySetRef, void*) { return kKRYError_NotImplemented; }
KRYError KRYPassphraseIsValid(KRYKeyRef, const char*) { return kKRYError_NotImplemented; }
KRYError KRYGetPrivateKeyEVP(KRYKeyRef, const char*, evp_pkey_st**) { return kKRYError_NotImplemented; }
KRYError KRYGetPublicKeyEVP(KRYKeyRef, evp_pkey_st**) { return kKRYError_NotImplemented; }
KRYError KRYSetPassphraseSource(int, const char*) { return kKRYError_NotImplemented; }
KRYError KRYSigningPassphraseDialog(KRYContextRef, KRYKeySetRef, KRYKeyRef*, const KRYPassphraseDialogOptions*) { return kKRYError_NotImplemented; }
