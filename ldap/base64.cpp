#include "ldap/base64.h"

#include <array>
#include <cstdint>

namespace kry {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = 0xFF;
  for (int i = 0; i < 64; ++i) t[static_cast<uint8_t>(kAlphabet[i])] = static_cast<uint8_t>(i);
  return t;
}
constexpr std::array<uint8_t, 256> kDecode = MakeDecodeTable();

}  // namespace

void base64_encode(std::string_view data, std::string* out) {
  out->reserve(out->size() + base64_encoded_size(data.size()));
  const auto* p = reinterpret_cast<const uint8_t*>(data.data());
  size_t n = data.size();
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t v = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8) | p[i + 2];
    out->push_back(kAlphabet[(v >> 18) & 63]);
    out->push_back(kAlphabet[(v >> 12) & 63]);
    out->push_back(kAlphabet[(v >> 6) & 63]);
    out->push_back(kAlphabet[v & 63]);
  }
  if (n - i == 1) {
    uint32_t v = uint32_t{p[i]} << 16;
    out->push_back(kAlphabet[(v >> 18) & 63]);
    out->push_back(kAlphabet[(v >> 12) & 63]);
    out->append("==");
  } else if (n - i == 2) {
    uint32_t v = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8);
    out->push_back(kAlphabet[(v >> 18) & 63]);
    out->push_back(kAlphabet[(v >> 12) & 63]);
    out->push_back(kAlphabet[(v >> 6) & 63]);
    out->push_back('=');
  }
}

bool base64_decode(std::string_view text, std::string* out, char* bad) {
  out->reserve(out->size() + text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    uint8_t nib[4];
    for (size_t k = 0; k < 4; ++k) {
      char c = i + k < text.size() ? text[i + k] : '\0';
      if (c == '=' && k >= 2) {
        nib[k] = 0xFE;
        continue;
      }
      uint8_t v = kDecode[static_cast<uint8_t>(c)];
      if (v == 0xFF) {
        if (bad) *bad = c;
        return false;
      }
      nib[k] = v;
    }
    out->push_back(static_cast<char>((nib[0] << 2) | (nib[1] >> 4)));
    if (nib[2] == 0xFE) return true;
    out->push_back(static_cast<char>(((nib[1] & 0x0F) << 4) | (nib[2] >> 2)));
    if (nib[3] == 0xFE) return true;
    out->push_back(static_cast<char>(((nib[2] & 0x03) << 6) | nib[3]));
  }
  return true;
}

}  // namespace kry
