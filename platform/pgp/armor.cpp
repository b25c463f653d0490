#include "platform/pgp/armor.h"

#include <cstring>

namespace krypgp {

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int B64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// A view of one line of the input without its line end.
struct Line {
  size_t start;
  size_t len;   // without CR/LF and trailing blanks
  size_t next;  // start of the following line
};

Line NextLine(const uint8_t* d, size_t n, size_t pos) {
  Line l{pos, 0, pos};
  size_t e = pos;
  while (e < n && d[e] != '\n') ++e;
  l.next = e < n ? e + 1 : e;
  size_t end = e;
  while (end > pos && (d[end - 1] == '\r' || d[end - 1] == ' ' || d[end - 1] == '\t')) --end;
  l.len = end - pos;
  return l;
}

bool StartsWith(const uint8_t* d, const Line& l, const char* prefix) {
  size_t n = std::strlen(prefix);
  return l.len >= n && std::memcmp(d + l.start, prefix, n) == 0;
}

// "-----BEGIN X-----" / "-----END X-----": the label X, or false.
bool ArmorLabel(const uint8_t* d, const Line& l, const char* kind, std::string* label) {
  std::string pre = std::string("-----") + kind + " ";
  if (!StartsWith(d, l, pre.c_str())) return false;
  if (l.len < pre.size() + 5) return false;
  const uint8_t* end = d + l.start + l.len - 5;
  if (std::memcmp(end, "-----", 5) != 0) return false;
  label->assign(reinterpret_cast<const char*>(d + l.start + pre.size()),
                l.len - pre.size() - 5);
  return true;
}

}  // namespace

namespace {

// The CRC of each byte value shifted through the register, so that the
// checksum of a large export (a bulk load armours every key twice) costs a
// lookup per byte rather than eight shifts.
struct Crc24Table {
  uint32_t v[256];
  Crc24Table() {
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t crc = n << 16;
      for (int b = 0; b < 8; ++b) {
        crc <<= 1;
        if (crc & 0x1000000) crc ^= 0x1864CFB;
      }
      v[n] = crc & 0xFFFFFF;
    }
  }
};

}  // namespace

uint32_t Crc24(const uint8_t* data, size_t len) {
  static const Crc24Table table;
  uint32_t crc = 0xB704CE;
  for (size_t i = 0; i < len; ++i) crc = ((crc << 8) & 0xFFFFFF) ^ table.v[((crc >> 16) ^ data[i]) & 0xFF];
  return crc & 0xFFFFFF;
}

bool LooksArmored(const uint8_t* data, size_t len) {
  size_t i = 0;
  while (i < len && (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' || data[i] == '\n')) ++i;
  return len - i >= 15 && std::memcmp(data + i, "-----BEGIN PGP ", 15) == 0;
}

std::string Base64Encode(const uint8_t* data, size_t len) {
  std::string out;
  out.reserve((len + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= len; i += 3) {
    uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (len - i == 1) {
    uint32_t v = uint32_t(data[i]) << 16;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (len - i == 2) {
    uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

namespace {

// Radix-64 value of each byte; kSkip for line ends and blanks, kPad for '='.
constexpr int8_t kSkip = -2;
constexpr int8_t kPad = -3;

struct B64Table {
  int8_t v[256];
  B64Table() {
    for (int c = 0; c < 256; ++c) v[c] = static_cast<int8_t>(B64Value(static_cast<unsigned char>(c)));
    for (unsigned char c : {' ', '\t', '\r', '\n'}) v[c] = kSkip;
    v[static_cast<unsigned char>('=')] = kPad;
  }
};

}  // namespace

// Table-driven with the output reserved up front: every key that arrives
// armoured is decoded several times on its way in (caps, import, digest).
bool Base64Decode(const char* text, size_t len, Bytes* out) {
  static const B64Table table;
  out->reserve(out->size() + len / 4 * 3 + 3);
  uint32_t acc = 0;
  int bits = 0;
  bool padding = false;
  for (size_t i = 0; i < len; ++i) {
    const int v = table.v[static_cast<unsigned char>(text[i])];
    if (v >= 0) {
      if (padding) return false;
      acc = (acc << 6) | uint32_t(v);
      bits += 6;
      if (bits >= 8) {
        bits -= 8;
        out->push_back(uint8_t(acc >> bits));
      }
    } else if (v == kPad) {
      padding = true;
    } else if (v != kSkip) {
      return false;
    }
  }
  return true;
}

KRYError DearmorOne(const uint8_t* d, size_t n, size_t from, ArmorBlock* out) {
  size_t pos = from;
  Line l{};
  // Find the BEGIN line.
  for (;;) {
    if (pos >= n) return kKRYError_ItemNotFound;
    l = NextLine(d, n, pos);
    // The text part of a clear-signed message is not radix-64; its
    // signature block follows as a block of its own.
    if (ArmorLabel(d, l, "BEGIN", &out->label) && out->label != "PGP SIGNED MESSAGE") break;
    pos = l.next;
  }
  pos = l.next;
  out->headers.clear();
  out->data.clear();
  // Headers: "Key: Value" lines up to an empty line. Some writers leave the
  // empty line out; a line without ": " then starts the data.
  for (;;) {
    if (pos >= n) return kKRYError_BadArmor;
    l = NextLine(d, n, pos);
    if (l.len == 0) {
      pos = l.next;
      break;
    }
    const char* s = reinterpret_cast<const char*>(d + l.start);
    const void* colon = std::memchr(s, ':', l.len);
    if (colon == nullptr || static_cast<const char*>(colon) + 1 >= s + l.len ||
        static_cast<const char*>(colon)[1] != ' ')
      break;
    size_t k = static_cast<const char*>(colon) - s;
    out->headers.emplace_back(std::string(s, k), std::string(s + k + 2, l.len - k - 2));
    pos = l.next;
  }
  std::string text;
  bool haveCrc = false;
  uint32_t crc = 0;
  for (;;) {
    if (pos >= n) return kKRYError_BadArmor;
    l = NextLine(d, n, pos);
    pos = l.next;
    std::string endLabel;
    if (ArmorLabel(d, l, "END", &endLabel)) {
      if (endLabel != out->label) return kKRYError_BadArmor;
      break;
    }
    if (l.len == 5 && d[l.start] == '=') {
      Bytes c;
      if (!Base64Decode(reinterpret_cast<const char*>(d + l.start + 1), 4, &c) || c.size() != 3)
        return kKRYError_BadArmor;
      crc = (uint32_t(c[0]) << 16) | (uint32_t(c[1]) << 8) | c[2];
      haveCrc = true;
      continue;
    }
    if (haveCrc && l.len != 0) return kKRYError_BadArmor;  // data after the checksum
    text.append(reinterpret_cast<const char*>(d + l.start), l.len);
  }
  if (!Base64Decode(text.data(), text.size(), &out->data)) return kKRYError_BadArmor;
  if (haveCrc && Crc24(out->data.data(), out->data.size()) != crc) return kKRYError_ArmorChecksum;
  out->endOffset = pos;
  return kKRYError_NoErr;
}

KRYError DearmorAll(const uint8_t* data, size_t len, std::vector<ArmorBlock>* out) {
  size_t pos = 0;
  for (;;) {
    ArmorBlock b;
    KRYError err = DearmorOne(data, len, pos, &b);
    if (err == kKRYError_ItemNotFound) break;
    if (err != kKRYError_NoErr) return err;
    pos = b.endOffset;
    out->push_back(std::move(b));
  }
  return out->empty() ? kKRYError_ItemNotFound : kKRYError_NoErr;
}

std::string Armor(const std::string& label, const Bytes& data,
                  const std::vector<std::pair<std::string, std::string>>& headers) {
  std::string out = "-----BEGIN " + label + "-----\n";
  for (const auto& h : headers) out += h.first + ": " + h.second + "\n";
  out += "\n";
  std::string b64 = Base64Encode(data.data(), data.size());
  for (size_t i = 0; i < b64.size(); i += 64) {
    out.append(b64, i, 64);
    out += '\n';
  }
  uint32_t crc = Crc24(data.data(), data.size());
  uint8_t c[3] = {uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)};
  out += "=" + Base64Encode(c, 3) + "\n";
  out += "-----END " + label + "-----\n";
  return out;
}

}  // namespace krypgp
