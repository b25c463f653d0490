#include <cstring>

#include "platform/pgp/armor.h"
#include "platform/pgp/message.h"

namespace krypgp {

namespace {

struct LineView {
  size_t start, len, next;
  bool hadEnd;
};

LineView GetLine(const uint8_t* d, size_t n, size_t pos) {
  size_t e = pos;
  while (e < n && d[e] != '\n') ++e;
  LineView l{pos, e - pos, e < n ? e + 1 : e, e < n};
  if (l.len > 0 && d[pos + l.len - 1] == '\r') --l.len;
  return l;
}

bool LineIs(const uint8_t* d, const LineView& l, const char* s) {
  size_t n = std::strlen(s);
  size_t len = l.len;
  while (len > n && (d[l.start + len - 1] == ' ' || d[l.start + len - 1] == '\t')) --len;
  return len == n && std::memcmp(d + l.start, s, n) == 0;
}

}  // namespace

KRYError ParseClearSigned(const uint8_t* d, size_t n, ClearSigned* out) {
  size_t pos = 0;
  LineView l{};
  for (;;) {
    if (pos >= n) return kKRYError_ItemNotFound;
    l = GetLine(d, n, pos);
    pos = l.next;
    if (LineIs(d, l, "-----BEGIN PGP SIGNED MESSAGE-----")) break;
  }
  // Armour headers ("Hash: ...") up to the empty line.
  for (;;) {
    if (pos >= n) return kKRYError_BadArmor;
    l = GetLine(d, n, pos);
    pos = l.next;
    if (l.len == 0) break;
  }
  std::vector<std::pair<size_t, size_t>> lines;  // start, length after unescape
  bool found = false;
  size_t sigStart = 0;
  while (pos < n) {
    l = GetLine(d, n, pos);
    if (LineIs(d, l, "-----BEGIN PGP SIGNATURE-----")) {
      found = true;
      sigStart = pos;
      break;
    }
    size_t s = l.start, len = l.len;
    if (len >= 2 && d[s] == '-' && d[s + 1] == ' ') {
      s += 2;
      len -= 2;
    }
    lines.emplace_back(s, len);
    pos = l.next;
  }
  if (!found) return kKRYError_BadArmor;
  for (size_t i = 0; i < lines.size(); ++i) {
    size_t s = lines[i].first, len = lines[i].second;
    out->text.append(reinterpret_cast<const char*>(d + s), len);
    // Trailing spaces and tabs are not part of what is signed.
    size_t clen = len;
    while (clen > 0 && (d[s + clen - 1] == ' ' || d[s + clen - 1] == '\t')) --clen;
    out->canonical.insert(out->canonical.end(), d + s, d + s + clen);
    if (i + 1 < lines.size()) {
      out->text += '\n';
      out->canonical.push_back('\r');
      out->canonical.push_back('\n');
    }
  }
  ArmorBlock block;
  KRYError err = DearmorOne(d, n, sigStart, &block);
  if (err != kKRYError_NoErr) return err == kKRYError_ItemNotFound ? kKRYError_BadArmor : err;
  if (block.label != "PGP SIGNATURE") return kKRYError_BadArmor;
  out->signatureData = std::move(block.data);
  out->endOffset = block.endOffset;
  return kKRYError_NoErr;
}

}  // namespace krypgp
