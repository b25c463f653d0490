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

// op=hget is a get by key digest (*byDigest).
bool ParseOp(const char* text, HkpOp* op, bool* byDigest) {
  if (!text) return false;
  *byDigest = StrIEquals(text, "hget");
  if (StrIEquals(text, "get") || *byDigest) *op = HkpOp::kGet;
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
  bool byDigest = false;
  if (!ParseOp(argument("op"), &q->op, &byDigest)) {
    *error = "The op argument must be get, hget, index or vindex.";
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
  if (byDigest) {
    if (text.size() != 32 || !AllHex(text)) {
      *error = "A key digest is 32 hexadecimal digits.";
      return false;
    }
    q->kind = HkpSearchKind::kDigest;
    q->search = ToUpper(text);
  } else if (!ParseSearch(text, q, error)) {
    return false;
  }
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
  if (const char* hash = argument("hash")) q->hash = StrIEquals(hash, "on");
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
