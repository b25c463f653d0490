// Bounds-checked reading of untrusted bytes. Every parser in the library reads
// through ByteReader, so no length taken from input is used before it has
// been checked against what is left.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace krypgp {

using Bytes = std::vector<uint8_t>;

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t len) : p_(data), n_(len) {}
  explicit ByteReader(const Bytes& b) : p_(b.data()), n_(b.size()) {}

  size_t remaining() const { return n_ - pos_; }
  size_t pos() const { return pos_; }
  bool empty() const { return pos_ >= n_; }
  const uint8_t* cur() const { return p_ + pos_; }

  bool u8(uint8_t* v) {
    if (remaining() < 1) return false;
    *v = p_[pos_++];
    return true;
  }
  bool u16(uint32_t* v) {
    if (remaining() < 2) return false;
    *v = (uint32_t(p_[pos_]) << 8) | p_[pos_ + 1];
    pos_ += 2;
    return true;
  }
  bool u32(uint32_t* v) {
    if (remaining() < 4) return false;
    *v = (uint32_t(p_[pos_]) << 24) | (uint32_t(p_[pos_ + 1]) << 16) |
         (uint32_t(p_[pos_ + 2]) << 8) | p_[pos_ + 3];
    pos_ += 4;
    return true;
  }
  // Hands out a view of the next n bytes and steps over them.
  bool take(size_t n, const uint8_t** out) {
    if (remaining() < n) return false;
    *out = p_ + pos_;
    pos_ += n;
    return true;
  }
  bool skip(size_t n) {
    if (remaining() < n) return false;
    pos_ += n;
    return true;
  }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t pos_ = 0;
};

inline void PutU16(Bytes* out, uint32_t v) {
  out->push_back(uint8_t(v >> 8));
  out->push_back(uint8_t(v));
}
inline void PutU32(Bytes* out, uint32_t v) {
  out->push_back(uint8_t(v >> 24));
  out->push_back(uint8_t(v >> 16));
  out->push_back(uint8_t(v >> 8));
  out->push_back(uint8_t(v));
}
inline uint64_t LoadU64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}
inline std::string ToString(const Bytes& b) { return std::string(b.begin(), b.end()); }

}  // namespace krypgp
