#include "hkp/query.h"

#include <cctype>
#include <cstring>

#include "util/strutil.h"

namespace kry {

namespace {

bool AllHex(const std::string& s) {
  for (char c : s)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return !s.empty();
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseOp(const char* text, HkpOp* op) {
  if (!text) return false;
  if (StrIEquals(text, "get")) *op = HkpOp::kGet;
  else if (StrIEquals(text, "index")) *op = HkpOp::kIndex;
  else if (StrIEquals(text, "vindex")) *op = HkpOp::kVIndex;
  else return false;
  return true;
}

// Classifies the search text; false with *error for a key ID or
// fingerprint that is not well formed.
bool ParseSearch(const std::string& text, HkpQuery* q, std::string* error) {
  const bool prefixed = text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = prefixed ? text.substr(2) : text;
  if (prefixed) {
    if (!AllHex(digits)) {
      *error = "Key IDs and fingerprints are hexadecimal digits after \"0x\".";
      return false;
    }
    switch (digits.size()) {
      case 8: q->kind = HkpSearchKind::kShortKeyID; break;
      case 16: q->kind = HkpSearchKind::kLongKeyID; break;
      case 40:
      case 64: q->kind = HkpSearchKind::kFingerprint; break;
      default:
        *error = "A key ID has 8 or 16 hexadecimal digits, a fingerprint 40 (v4) or 64 (v6).";
        return false;
    }
    q->search = ToUpper(digits);
    return true;
  }
  if ((digits.size() == 40 || digits.size() == 64) && AllHex(digits)) {
    q->kind = HkpSearchKind::kFingerprint;
    q->search = ToUpper(digits);
    return true;
  }
  q->kind = HkpSearchKind::kText;
  q->search = text;
  return true;
}

}  // namespace

bool ParseHkpLookup(const HkpArgument& argument, HkpQuery* q, std::string* error) {
  *q = HkpQuery();
  if (!ParseOp(argument("op"), &q->op)) {
    *error = "The op argument must be get, index or vindex.";
    return false;
  }
  const char* search = argument("search");
  if (!search || !*search) {
    *error = "The search argument is missing.";
    return false;
  }
  std::string text = search;
  if (text.size() > kMaxHkpSearchText) {
    *error = "The search text is too long.";
    return false;
  }
  if (std::memchr(text.data(), '\0', text.size()) || text.find_first_of("\r\n") != std::string::npos) {
    *error = "The search text holds control characters.";
    return false;
  }
  if (!ParseSearch(text, q, error)) return false;
  if (const char* options = argument("options")) {
    // A comma-separated list; only "mr" changes anything here.
    std::string list = options;
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find(',', start);
      if (end == std::string::npos) end = list.size();
      if (StrIEquals(list.substr(start, end - start), "mr")) q->machineReadable = true;
      start = end + 1;
    }
  }
  if (const char* exact = argument("exact")) q->exact = StrIEquals(exact, "on");
  return true;
}

bool FormDecode(const std::string& text, std::string* out) {
  out->clear();
  out->reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out->push_back(' ');
    } else if (c == '%') {
      if (i + 2 >= text.size()) return false;
      const int hi = HexValue(text[i + 1]), lo = HexValue(text[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out->push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      out->push_back(c);
    }
  }
  return true;
}

bool FormField(const std::string& body, const std::string& name, std::string* value) {
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    const std::string pair = body.substr(start, end - start);
    const size_t eq = pair.find('=');
    const std::string key = pair.substr(0, eq);
    if (key == name) return FormDecode(eq == std::string::npos ? std::string() : pair.substr(eq + 1), value);
    start = end + 1;
  }
  return false;
}

}  // namespace kry
