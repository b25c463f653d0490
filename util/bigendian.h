// Big-endian 32-bit integers as the keyserver wire formats write them
// (reconciliation messages, hash queries and their answers).
#pragma once

#include <cstdint>
#include <string>

namespace kry {

// The four bytes at p as a big-endian number; the caller has checked that
// they are there.
inline uint32_t LoadBE32(const void* p) {
  const auto* b = static_cast<const unsigned char*>(p);
  return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | uint32_t(b[3]);
}

inline void AppendBE32(std::string* out, uint32_t v) {
  const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                     static_cast<char>(v)};
  out->append(b, 4);
}

}  // namespace kry
