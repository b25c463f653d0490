// Ordered key lists, iterators over them, and removal of signatures and
// user IDs (which only marks them, so handles and iterators stay valid).
#include <algorithm>
#include <new>

#include "platform/pgp/internal.h"

namespace {

template <typename List, typename T>
KRYError NextOf(const List& list, size_t* index, T** out) {
  while (*index < list.size()) {
    auto* item = list[(*index)++].get();
    if (!item->removed) {
      *out = item;
      return kKRYError_NoErr;
    }
  }
  *out = nullptr;
  return kKRYError_EndOfIteration;
}

}  // namespace

KRYError KRYOrderKeySet(KRYKeySetRef set, int ordering, KRYKeyListRef* outList) {
  if (set == nullptr || outList == nullptr) return kKRYError_BadParams;
  auto* list = new (std::nothrow) KRYKeyList;
  if (list == nullptr) return kKRYError_OutOfMemory;
  list->context = set->context;
  for (auto& k : set->keys) list->keys.push_back(k.get());
  if (ordering != kKRYKeyOrdering_Any)
    std::stable_sort(list->keys.begin(), list->keys.end(), [ordering](KRYKey* a, KRYKey* b) {
      return KRYCompareKeys(a, b, ordering) < 0;
    });
  set->context->lists.insert(list);
  *outList = list;
  return kKRYError_NoErr;
}

KRYError KRYFreeKeyList(KRYKeyListRef list) {
  if (list == nullptr) return kKRYError_NoErr;
  // Iterators over this list lose it rather than dangle.
  for (KRYKeyIter* it : list->context->iters)
    if (it->list == list) it->list = nullptr;
  list->context->lists.erase(list);
  delete list;
  return kKRYError_NoErr;
}

KRYError KRYNewKeyIter(KRYKeyListRef list, KRYKeyIterRef* outIter) {
  if (list == nullptr || outIter == nullptr) return kKRYError_BadParams;
  auto* it = new (std::nothrow) KRYKeyIter;
  if (it == nullptr) return kKRYError_OutOfMemory;
  it->context = list->context;
  it->list = list;
  list->context->iters.insert(it);
  *outIter = it;
  return kKRYError_NoErr;
}

KRYError KRYFreeKeyIter(KRYKeyIterRef iter) {
  if (iter == nullptr) return kKRYError_NoErr;
  iter->context->iters.erase(iter);
  delete iter;
  return kKRYError_NoErr;
}

KRYError KRYKeyIterNext(KRYKeyIterRef iter, KRYKeyRef* outKey) {
  if (iter == nullptr || outKey == nullptr) return kKRYError_BadParams;
  *outKey = nullptr;
  if (iter->list == nullptr) return kKRYError_BadParams;
  if (iter->keyIndex >= iter->list->keys.size()) {
    iter->key = nullptr;
    return kKRYError_EndOfIteration;
  }
  iter->key = iter->list->keys[iter->keyIndex++];
  iter->sub = nullptr;
  iter->uid = nullptr;
  iter->subIndex = iter->uidIndex = iter->uidSigIndex = iter->keySigIndex = iter->subSigIndex = 0;
  *outKey = iter->key;
  return kKRYError_NoErr;
}

KRYError KRYKeyIterNextSubKey(KRYKeyIterRef iter, KRYSubKeyRef* out) {
  if (iter == nullptr || out == nullptr) return kKRYError_BadParams;
  if (iter->key == nullptr) return kKRYError_EndOfIteration;
  iter->subSigIndex = 0;
  KRYError err = NextOf(iter->key->subKeys, &iter->subIndex, out);
  iter->sub = *out;
  return err;
}

KRYError KRYKeyIterNextUserID(KRYKeyIterRef iter, KRYUserIDRef* out) {
  if (iter == nullptr || out == nullptr) return kKRYError_BadParams;
  if (iter->key == nullptr) return kKRYError_EndOfIteration;
  iter->uidSigIndex = 0;
  KRYError err = NextOf(iter->key->userIDs, &iter->uidIndex, out);
  iter->uid = *out;
  return err;
}

KRYError KRYKeyIterNextUIDSig(KRYKeyIterRef iter, KRYSigRef* out) {
  if (iter == nullptr || out == nullptr) return kKRYError_BadParams;
  *out = nullptr;
  if (iter->uid == nullptr) return kKRYError_EndOfIteration;
  return NextOf(iter->uid->sigs, &iter->uidSigIndex, out);
}

KRYError KRYKeyIterNextKeySig(KRYKeyIterRef iter, KRYSigRef* out) {
  if (iter == nullptr || out == nullptr) return kKRYError_BadParams;
  *out = nullptr;
  if (iter->key == nullptr) return kKRYError_EndOfIteration;
  return NextOf(iter->key->sigs, &iter->keySigIndex, out);
}

KRYError KRYKeyIterNextSubKeySig(KRYKeyIterRef iter, KRYSigRef* out) {
  if (iter == nullptr || out == nullptr) return kKRYError_BadParams;
  *out = nullptr;
  if (iter->sub == nullptr) return kKRYError_EndOfIteration;
  return NextOf(iter->sub->sigs, &iter->subSigIndex, out);
}

KRYError KRYKeyIterRewind(KRYKeyIterRef iter) {
  if (iter == nullptr) return kKRYError_BadParams;
  iter->keyIndex = 0;
  iter->key = nullptr;
  iter->sub = nullptr;
  iter->uid = nullptr;
  return kKRYError_NoErr;
}

KRYError KRYKeyIterRewindSubKey(KRYKeyIterRef iter) {
  if (iter == nullptr) return kKRYError_BadParams;
  iter->subIndex = 0;
  iter->sub = nullptr;
  return kKRYError_NoErr;
}

KRYError KRYKeyIterRewindUserID(KRYKeyIterRef iter) {
  if (iter == nullptr) return kKRYError_BadParams;
  iter->uidIndex = 0;
  iter->uid = nullptr;
  return kKRYError_NoErr;
}

KRYError KRYKeyIterRewindUIDSig(KRYKeyIterRef iter) {
  if (iter == nullptr) return kKRYError_BadParams;
  iter->uidSigIndex = 0;
  return kKRYError_NoErr;
}

KRYError KRYKeyIterRewindKeySig(KRYKeyIterRef iter) {
  if (iter == nullptr) return kKRYError_BadParams;
  iter->keySigIndex = 0;
  return kKRYError_NoErr;
}

KRYError KRYKeyIterRewindSubKeySig(KRYKeyIterRef iter) {
  if (iter == nullptr) return kKRYError_BadParams;
  iter->subSigIndex = 0;
  return kKRYError_NoErr;
}

KRYError KRYRemoveSig(KRYSigRef sig) {
  if (sig == nullptr) return kKRYError_BadParams;
  sig->removed = true;
  return kKRYError_NoErr;
}

KRYError KRYRemoveUserID(KRYUserIDRef uid) {
  if (uid == nullptr) return kKRYError_BadParams;
  uid->removed = true;
  return kKRYError_NoErr;
}
