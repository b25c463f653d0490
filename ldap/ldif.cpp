#include "ldap/ldif.h"

#include "ldap/base64.h"
#include "log/trace.h"

namespace kry {

namespace {

// White space as the C library's isspace sees it in the "C" locale.
inline bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

constexpr int kFoldColumn = 76;

bool NeedsBase64(std::string_view value) {
  if (value.empty()) return false;  // written plain: "type: "
  if (IsSpace(value[0]) || value[0] == ':') return true;
  for (char c : value) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u > 0x7E) return true;
  }
  return false;
}

void PutFolded(std::string* out, std::string_view chars, int column) {
  for (char c : chars) {
    if (column > kFoldColumn) {
      out->append("\n ");
      column = 1;
    }
    out->push_back(c);
    ++column;
  }
}

}  // namespace

size_t ldif_line_size_bound(size_t typeLength, size_t valueLength) {
  // Four thirds of the value for base64, two bytes per 76 columns for the
  // folds, the type and 7 more (":: ", line feed, slack).
  size_t encoded = (valueLength + 2) / 3 * 4;
  return typeLength + 7 + encoded + (encoded + typeLength + 3) / kFoldColumn * 2 + 2;
}

void ldif_put_value(std::string* out, std::string_view type, std::string_view value) {
  out->append(type);
  if (NeedsBase64(value)) {
    out->append(":: ");
    std::string encoded;
    base64_encode(value, &encoded);
    PutFolded(out, encoded, static_cast<int>(type.size()) + 3);
  } else {
    out->append(": ");
    PutFolded(out, value, static_cast<int>(type.size()) + 1);
  }
  out->push_back('\n');
}

bool ldif_read_line(std::string_view text, size_t* cursor, std::string* line) {
  line->clear();
  size_t p = *cursor;
  if (p >= text.size() || text[p] == '\0' || text[p] == '\n') return false;
  // The text ends at its end or at a NUL, whichever comes first.
  size_t end = text.find('\0', p);
  if (end == std::string_view::npos) end = text.size();
  while (p < end) {
    size_t nl = text.find('\n', p);
    if (nl == std::string_view::npos || nl >= end) {
      line->append(text.substr(p, end - p));
      p = end;
      break;
    }
    line->append(text.substr(p, nl - p));
    if (nl + 1 < end && text[nl + 1] != '\n' && IsSpace(text[nl + 1])) {
      p = nl + 2;  // folded: drop the line feed and the one blank
      continue;
    }
    p = nl + 1;
    break;
  }
  *cursor = p;
  return true;
}

bool parse_line(std::string_view line, std::string* type, std::string* value) {
  size_t p = 0;
  while (p < line.size() && IsSpace(line[p])) ++p;
  size_t colon = line.find(':', p);
  if (colon == std::string_view::npos) {
    Debug(LDAP_DEBUG_PARSE, "parse_line missing ':'\n");
    return false;
  }
  size_t typeEnd = colon;
  while (typeEnd > p && IsSpace(line[typeEnd - 1])) --typeEnd;
  type->assign(line.substr(p, typeEnd - p));
  size_t v = colon + 1;
  bool b64 = false;
  if (v < line.size() && line[v] == ':') {
    b64 = true;
    ++v;
  }
  while (v < line.size() && IsSpace(line[v])) ++v;
  if (v >= line.size()) {
    Debug(LDAP_DEBUG_PARSE, "parse_line missing value\n");
    return false;
  }
  value->clear();
  if (!b64) {
    value->assign(line.substr(v));
    return true;
  }
  char bad = 0;
  if (!base64_decode(line.substr(v), value, &bad)) {
    Debug(LDAP_DEBUG_ANY, "invalid base 64 encoding char (%c) 0x%x\n", bad ? bad : '?',
          static_cast<unsigned>(static_cast<unsigned char>(bad)));
    return false;
  }
  return true;
}

}  // namespace kry
