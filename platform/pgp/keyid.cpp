// Key IDs in text form: "0x" and 8 or 16 upper-case hexadecimal digits.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/pgp/kry.h"

KRYError KRYGetKeyIDFromString(const char* text, KRYKeyID* outID) {
  if (text == nullptr || outID == nullptr) return kKRYError_BadParams;
  std::memset(outID, 0, sizeof *outID);
  const char* p = text;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
  size_t n = std::strlen(p);
  if (n != 8 && n != 16) return kKRYError_BadParams;
  for (size_t i = 0; i < n; ++i) {
    int c = std::tolower(static_cast<unsigned char>(p[i]));
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else return kKRYError_BadParams;
    outID->bytes[2 + i / 2] = uint8_t(outID->bytes[2 + i / 2] | (i % 2 ? v : v << 4));
  }
  outID->bytes[0] = uint8_t(n / 2);
  return kKRYError_NoErr;
}

KRYError KRYGetKeyIDString(const KRYKeyID* id, int format, char* buf, size_t size) {
  if (id == nullptr || buf == nullptr || size == 0) return kKRYError_BadParams;
  size_t len = id->bytes[0];
  if (len != 8 && len != 4) return kKRYError_BadParams;
  size_t digits;
  if (format == kKRYKeyIDString_Full) digits = 16;
  else if (format == kKRYKeyIDString_Abbreviated) digits = 8;
  else return kKRYError_BadParams;
  if (digits == 16 && len != 8) return kKRYError_BadParams;  // a short ID has no full form
  char text[20] = "0x";
  const uint8_t* b = id->bytes + 2 + (len - digits / 2);
  for (size_t i = 0; i < digits / 2; ++i) std::snprintf(text + 2 + 2 * i, 3, "%02X", b[i]);
  size_t tl = 2 + digits;
  if (size < tl + 1) {
    std::memcpy(buf, text, size - 1);
    buf[size - 1] = 0;
    return kKRYError_BufferTooSmall;
  }
  std::memcpy(buf, text, tl + 1);
  return kKRYError_NoErr;
}

int KRYCompareKeyIDs(const KRYKeyID* a, const KRYKeyID* b) {
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  size_t la = a->bytes[0], lb = b->bytes[0];
  if ((la != 4 && la != 8) || (lb != 4 && lb != 8)) return std::memcmp(a->bytes, b->bytes, 10);
  size_t n = la < lb ? la : lb;
  // Compare the low n bytes (a short ID is the low half of a full one).
  return std::memcmp(a->bytes + 2 + (la - n), b->bytes + 2 + (lb - n), n);
}
