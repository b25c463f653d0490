// Key import from armoured or binary input, then every property walk and
// both export formats; a complete export must import again.
#include <cstdlib>

#include "platform/pgp/kry.h"

namespace {
KRYContextRef Context() {
  static KRYContextRef ctx = [] {
    KRYsdkInit(0);
    KRYContextRef c = nullptr;
    KRYNewContext(kKRYsdkAPIVersion, &c);
    return c;
  }();
  return ctx;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KRYContextRef ctx = Context();
  KRYImportOptions o{};
  o.inputBuffer = data;
  o.inputLength = size;
  KRYKeySetRef set = nullptr;
  if (KRYImportKeySet(ctx, &o, &set) != 0) return 0;
  KRYKeyListRef list;
  KRYKeyIterRef it;
  KRYOrderKeySet(set, kKRYKeyOrdering_UserID, &list);
  KRYNewKeyIter(list, &it);
  KRYKeyRef k;
  while (KRYKeyIterNext(it, &k) == 0) {
    KRYBoolean b;
    int32_t n;
    KRYTime t;
    for (int p = 1; p <= 9; ++p) KRYGetKeyBoolean(k, p, &b);
    for (int p = 20; p <= 24; ++p) KRYGetKeyNumber(k, p, &n);
    KRYGetKeyTime(k, kKRYKeyProperty_Expiration, &t);
    int revokers = 0;
    KRYCountRevocationKeys(k, &revokers);
    for (int i = 0; i < revokers; ++i) KRYGetIndexedRevocationKey(k, set, i, nullptr, nullptr);
    KRYUserIDRef u;
    KRYSigRef s;
    while (KRYKeyIterNextUserID(it, &u) == 0) {
      char name[64];
      KRYGetUserIDStringBuffer(u, name, sizeof name, nullptr);
      KRYGetUserIDNumber(u, kKRYUserIDProperty_AttributeType, &n);
      while (KRYKeyIterNextUIDSig(it, &s) == 0) {
        for (int p = 1; p <= 9; ++p) KRYGetSigBoolean(s, p, &b);
        KRYKeyID id;
        KRYGetKeyIDOfCertifier(s, &id);
      }
    }
    KRYSubKeyRef sub;
    while (KRYKeyIterNextSubKey(it, &sub) == 0) KRYGetSubKeyBoolean(sub, kKRYKeyProperty_IsRevoked, &b);
  }
  KRYFreeKeyIter(it);
  KRYFreeKeyList(list);
  char* out = nullptr;
  size_t len = 0;
  if (KRYExportKeySetAlloc(set, kKRYExportFormat_Basic, 0, 0, &out, &len) == 0) KRYFreeData(out);
  if (KRYExportKeySetAlloc(set, kKRYExportFormat_Complete, 1, 1, &out, &len) == 0) {
    KRYImportOptions again{};
    again.inputBuffer = out;
    again.inputLength = len;
    KRYKeySetRef set2 = nullptr;
    if (KRYImportKeySet(ctx, &again, &set2) != 0) std::abort();
    KRYFreeKeySet(set2);
    KRYFreeData(out);
  }
  KRYFreeKeySet(set);
  return 0;
}
