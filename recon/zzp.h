// Arithmetic in the prime field reconciliation works in, and the mapping of
// digests to field elements (the digest read as a little-endian number; every
// digest is below the prime, so the mapping is one to one).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "recon/params.h"

namespace recon {

// An element of Z/pZ, kept reduced. Values are plain (not Montgomery) in the
// public interface; arithmetic is constant-size and allocation-free.
class Zp {
 public:
  static constexpr int kBytes = 17;  // the prime's width, as it goes on the wire
  using Limbs = std::array<uint64_t, 3>;

  Zp() : v_{0, 0, 0} {}
  static Zp FromU64(uint64_t x);
  static Zp FromInt(int64_t x);  // negative values wrap modulo p
  // Little-endian bytes of any length, reduced modulo p.
  static Zp FromBytesLE(const uint8_t* data, size_t len);
  static Zp FromDigest(const Digest& d);
  // False when the element is 2^128 or more (no digest maps to it).
  bool ToDigest(Digest* out) const;
  // kBytes little-endian bytes.
  std::array<uint8_t, kBytes> ToBytesLE() const;
  std::string ToDecimal() const;  // for logs and tests

  static const Limbs& Prime();

  Zp operator+(const Zp& o) const;
  Zp operator-(const Zp& o) const;
  Zp operator-() const;
  Zp operator*(const Zp& o) const;
  // o must be nonzero; division by zero yields zero.
  Zp operator/(const Zp& o) const;
  Zp Inverse() const;           // zero for zero
  Zp Pow(const Limbs& e) const;
  bool IsZero() const { return v_[0] == 0 && v_[1] == 0 && v_[2] == 0; }
  bool operator==(const Zp& o) const { return v_ == o.v_; }
  bool operator!=(const Zp& o) const { return !(v_ == o.v_); }
  bool operator<(const Zp& o) const;
  const Limbs& limbs() const { return v_; }

 private:
  explicit Zp(const Limbs& v) : v_(v) {}
  Limbs v_;
};

}  // namespace recon
