#include "util/strutil.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kry {

std::string StrFormatV(const char* fmt, va_list ap) {
  char small[512];
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::vector<char> big(static_cast<size_t>(n) + 1);
  std::vsnprintf(big.data(), big.size(), fmt, ap);
  return std::string(big.data(), static_cast<size_t>(n));
}

std::string StrFormat(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = StrFormatV(fmt, ap);
  va_end(ap);
  return s;
}

namespace {

// ASCII case folding in line: the C library's tolower is a call per byte
// and consults the locale, and these run on every DN and attribute-name
// comparison of a search.
inline unsigned char FoldLower(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }
inline unsigned char FoldUpper(unsigned char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; }

}  // namespace

int StrCaseCmp(std::string_view a, std::string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;
    int ca = FoldLower(static_cast<unsigned char>(a[i]));
    int cb = FoldLower(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca - cb;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::string ToLower(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(FoldLower(static_cast<unsigned char>(c)));
  return r;
}

std::string ToUpper(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(FoldUpper(static_cast<unsigned char>(c)));
  return r;
}

bool IsSignedDigits(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  size_t digits = 0;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
  return digits > 0 && i == s.size();
}

long AtoiSaturating(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  long long v = 0;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
    v = v * 10 + (s[i++] - '0');
    if (v > INT_MAX) v = static_cast<long long>(INT_MAX) + 1;
  }
  if (neg) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  return static_cast<long>(v);
}

std::string ErrnoText(int e) {
  char buf[200];
  // GNU strerror_r returns the text, possibly not in buf.
  const char* t = strerror_r(e, buf, sizeof buf);
  return t ? t : "unknown error";
}

}  // namespace kry
