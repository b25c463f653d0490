// Owning wrappers for key-library handles used by the certificate logic: a
// key set, and an ordered key list with an iterator over it. Each frees its
// handle when it goes out of scope.
#pragma once

#include <string>
#include <utility>

#include "platform/pgp/kry.h"

namespace kry {

class KeySetHolder {
 public:
  KeySetHolder() = default;
  explicit KeySetHolder(KRYKeySetRef set) : set_(set) {}
  ~KeySetHolder() { KRYFreeKeySet(set_); }
  KeySetHolder(const KeySetHolder&) = delete;
  KeySetHolder& operator=(const KeySetHolder&) = delete;
  KeySetHolder(KeySetHolder&& o) noexcept : set_(std::exchange(o.set_, nullptr)) {}
  KeySetHolder& operator=(KeySetHolder&& o) noexcept {
    if (this != &o) reset(std::exchange(o.set_, nullptr));
    return *this;
  }
  KRYKeySetRef get() const { return set_; }
  KRYKeySetRef* out() {
    reset();
    return &set_;
  }
  void reset(KRYKeySetRef set = nullptr) {
    KRYFreeKeySet(set_);
    set_ = set;
  }
  KRYKeySetRef release() { return std::exchange(set_, nullptr); }
  explicit operator bool() const { return set_ != nullptr; }

 private:
  KRYKeySetRef set_ = nullptr;
};

// An iterator over a set's keys in any order. Open() returns the library's
// status; key() is the first key after a successful Open().
class KeyWalk {
 public:
  KeyWalk() = default;
  ~KeyWalk() { Close(); }
  KeyWalk(const KeyWalk&) = delete;
  KeyWalk& operator=(const KeyWalk&) = delete;
  int Open(KRYKeySetRef set) {
    Close();
    int rc = KRYOrderKeySet(set, kKRYKeyOrdering_Any, &list_);
    if (rc == 0) rc = KRYNewKeyIter(list_, &iter_);
    if (rc == 0) rc = KRYKeyIterNext(iter_, &key_);
    return rc;
  }
  void Close() {
    if (iter_) KRYFreeKeyIter(iter_);
    if (list_) KRYFreeKeyList(list_);
    iter_ = nullptr;
    list_ = nullptr;
    key_ = nullptr;
  }
  // Back before the first key and on it again (user IDs start over too).
  int Rewind() {
    int rc = KRYKeyIterRewind(iter_);
    if (rc == 0) rc = KRYKeyIterNext(iter_, &key_);
    return rc;
  }
  KRYKeyIterRef iter() const { return iter_; }
  KRYKeyRef key() const { return key_; }

 private:
  KRYKeyListRef list_ = nullptr;
  KRYKeyIterRef iter_ = nullptr;
  KRYKeyRef key_ = nullptr;
};

// The 16 hexadecimal digits of a key ID (no "0x"); empty when it cannot be
// written.
std::string KeyIDDigits(const KRYKeyID& id);

}  // namespace kry
