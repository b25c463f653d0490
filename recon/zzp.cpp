// Values are kept in Montgomery form (x * 2^192 mod p), so that a product
// costs one word-level reduction; the conversions happen at the byte
// boundaries only.
#include "recon/zzp.h"

#include <openssl/bn.h>

#include <memory>

namespace recon {
namespace {

using u128 = unsigned __int128;
using Limbs = Zp::Limbs;

// The prime of the field peers reconcile in.
constexpr Limbs kP = {0xc91f85d930a5431bULL, 0x8f1d10e4878b1fdfULL, 0x1ULL};
constexpr uint64_t kN0 = 0x6320d927c830a0edULL;  // -p^-1 mod 2^64
constexpr Limbs kR2 = {0x5e931f9f7f2a1e51ULL, 0x8d2900fcfdf6ca30ULL, 0};  // 2^384 mod p
constexpr Limbs kOne = {1, 0, 0};

bool GreaterEq(const Limbs& a, const Limbs& b) {
  for (int i = 2; i >= 0; --i) {
    if (a[i] != b[i]) return a[i] > b[i];
  }
  return true;
}

// a - b, with a >= b.
Limbs SubRaw(const Limbs& a, const Limbs& b) {
  Limbs r;
  uint64_t borrow = 0;
  for (int i = 0; i < 3; ++i) {
    u128 d = (u128)a[i] - b[i] - borrow;
    r[i] = (uint64_t)d;
    borrow = (uint64_t)(d >> 64) ? 1 : 0;
  }
  return r;
}

// Montgomery product a * b / 2^192 mod p, for a * b < p * 2^192.
Limbs MontMul(const Limbs& a, const Limbs& b) {
  uint64_t t[5] = {0, 0, 0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    u128 c = 0;
    for (int j = 0; j < 3; ++j) {
      c += (u128)a[j] * b[i] + t[j];
      t[j] = (uint64_t)c;
      c >>= 64;
    }
    c += t[3];
    t[3] = (uint64_t)c;
    t[4] = (uint64_t)(c >> 64);
    uint64_t m = t[0] * kN0;
    c = (u128)m * kP[0] + t[0];
    c >>= 64;
    for (int j = 1; j < 3; ++j) {
      c += (u128)m * kP[j] + t[j];
      t[j - 1] = (uint64_t)c;
      c >>= 64;
    }
    c += t[3];
    t[2] = (uint64_t)c;
    t[3] = t[4] + (uint64_t)(c >> 64);
  }
  Limbs r = {t[0], t[1], t[2]};
  if (t[3] != 0 || GreaterEq(r, kP)) r = SubRaw(r, kP);
  return r;
}

}  // namespace

const Limbs& Zp::Prime() { return kP; }

Zp Zp::FromU64(uint64_t x) { return Zp(MontMul({x, 0, 0}, kR2)); }

Zp Zp::FromInt(int64_t x) {
  if (x >= 0) return FromU64((uint64_t)x);
  return -FromU64((uint64_t)(-(x + 1)) + 1);
}

Zp Zp::FromBytesLE(const uint8_t* data, size_t len) {
  // The top 24 bytes at most in one product (any value below 2^192 reduces
  // in one), then any further bytes by Horner's rule.
  size_t head = len < 24 ? len : 24;
  Limbs v = {0, 0, 0};
  for (size_t i = 0; i < head; ++i) v[i / 8] |= (uint64_t)data[len - head + i] << (8 * (i % 8));
  Zp acc(MontMul(v, kR2));
  if (len > head) {
    const Zp base = FromU64(256);
    for (size_t i = len - head; i-- > 0;) acc = acc * base + FromU64(data[i]);
  }
  return acc;
}

Zp Zp::FromDigest(const Digest& d) { return FromBytesLE(d.data(), d.size()); }

std::array<uint8_t, Zp::kBytes> Zp::ToBytesLE() const {
  Limbs plain = MontMul(v_, kOne);
  std::array<uint8_t, kBytes> out{};
  for (int i = 0; i < kBytes; ++i) out[i] = (uint8_t)(plain[i / 8] >> (8 * (i % 8)));
  return out;
}

bool Zp::ToDigest(Digest* out) const {
  auto b = ToBytesLE();
  if (b[16] != 0) return false;
  std::copy(b.begin(), b.begin() + 16, out->begin());
  return true;
}

std::string Zp::ToDecimal() const {
  auto b = ToBytesLE();
  std::array<uint8_t, kBytes> be;
  for (int i = 0; i < kBytes; ++i) be[i] = b[kBytes - 1 - i];
  std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(BN_bin2bn(be.data(), kBytes, nullptr), BN_free);
  if (!bn) return "?";
  char* s = BN_bn2dec(bn.get());
  if (!s) return "?";
  std::string r(s);
  OPENSSL_free(s);
  return r;
}

Zp Zp::operator+(const Zp& o) const {
  Limbs r;
  u128 c = 0;
  for (int i = 0; i < 3; ++i) {
    c += (u128)v_[i] + o.v_[i];
    r[i] = (uint64_t)c;
    c >>= 64;
  }
  if (GreaterEq(r, kP)) r = SubRaw(r, kP);
  return Zp(r);
}

Zp Zp::operator-(const Zp& o) const {
  if (GreaterEq(v_, o.v_)) return Zp(SubRaw(v_, o.v_));
  return Zp(SubRaw(kP, SubRaw(o.v_, v_)));
}

Zp Zp::operator-() const { return Zp() - *this; }

Zp Zp::operator*(const Zp& o) const { return Zp(MontMul(v_, o.v_)); }

Zp Zp::Pow(const Limbs& e) const {
  Zp result = FromU64(1);
  for (int i = 2; i >= 0; --i) {
    for (int bit = 63; bit >= 0; --bit) {
      result = result * result;
      if ((e[i] >> bit) & 1) result = result * *this;
    }
  }
  return result;
}

Zp Zp::Inverse() const { return Pow(SubRaw(kP, {2, 0, 0})); }

Zp Zp::operator/(const Zp& o) const { return *this * o.Inverse(); }

bool Zp::operator<(const Zp& o) const { return !GreaterEq(v_, o.v_); }

}  // namespace recon
