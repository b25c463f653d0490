#include "ldap/dn.h"

#include <cstring>

#include "log/trace.h"
#include "util/strutil.h"

namespace kry {

namespace {

// White space of the DN grammar: only the blank and the line feed.
inline bool DnSpace(char c) { return c == ' ' || c == '\n'; }
inline bool DnSeparator(char c) { return c == ',' || c == ';' || c == '+'; }
// Characters that keep their backslash in an unquoted value.
inline bool KeepsEscape(char c) { return c == '\\' || c == '"' || DnSeparator(c); }

enum DnState {
  kBeforeType = 0,
  kInType = 1,
  kBeforeEquals = 2,
  kBeforeValue = 3,
  kInValue = 4,
  kInQuotedValue = 5,
  kBeforeSeparator = 6,
};

}  // namespace

char* dn_normalize(char* dn) {
  if (!dn) return dn;
  char* d = dn;  // write position; never passes the read position
  int state = kBeforeType;
  bool escaped = false;  // previous input character was a backslash
  for (const char* s = dn; *s; ++s) {
    const char c = *s;
    switch (state) {
      case kBeforeType:
        if (!DnSpace(c)) {
          *d++ = c;
          state = kInType;
        }
        break;
      case kInType:
        if (c == '=') {
          *d++ = c;
          state = kBeforeValue;
        } else if (DnSpace(c)) {
          state = kBeforeEquals;
        } else {
          *d++ = c;
        }
        break;
      case kBeforeEquals:
        if (c == '=') {
          *d++ = c;
          state = kBeforeValue;
        } else if (!DnSpace(c)) {
          *d++ = c;
        }
        break;
      case kBeforeValue:
        if (c == '"') {
          *d++ = c;
          state = kInQuotedValue;
        } else if (!DnSpace(c)) {
          *d++ = c;
          state = kInValue;
        }
        break;
      case kInValue:
        if (escaped) {
          if (KeepsEscape(c))
            *d++ = c;
          else
            d[-1] = c;  // drop the needless backslash just written
        } else if (DnSeparator(c)) {
          while (d > dn && DnSpace(d[-1])) --d;
          *d++ = c == '+' ? '+' : ',';
          state = kBeforeType;
        } else {
          *d++ = c;
        }
        break;
      case kInQuotedValue:
        if (escaped) {
          if (c == '\\' || c == '"')
            *d++ = c;
          else
            d[-1] = c;
        } else if (c == '"') {
          *d++ = c;
          state = kBeforeSeparator;
        } else {
          *d++ = c;
        }
        break;
      case kBeforeSeparator:
        if (DnSeparator(c)) {
          *d++ = c;
          state = kBeforeType;
        }
        break;
      default:
        Debug(LDAP_DEBUG_ANY, "dn_normalize - unknown state %d\n", state);
        break;
    }
    escaped = c == '\\';
  }
  *d = '\0';
  return dn;
}

char* str_upper(char* text) {
  if (!text) return text;
  for (char* p = text; *p; ++p)
    if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
  return text;
}

std::string& str_upper(std::string& text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

char* dn_normalize_upper(char* dn) { return str_upper(dn_normalize(dn)); }

std::string& dn_normalize(std::string& dn) {
  // The state machine stops at a NUL, like the C form; the text after an
  // embedded NUL is dropped.
  dn_normalize(dn.data());
  dn.resize(std::strlen(dn.c_str()));
  return dn;
}

std::string& dn_normalize_upper(std::string& dn) { return str_upper(dn_normalize(dn)); }

std::string dn_normalized(std::string_view dn) {
  std::string s(dn);
  return dn_normalize(s);
}

std::string dn_normalized_upper(std::string_view dn) {
  std::string s(dn);
  return dn_normalize_upper(s);
}

std::optional<std::string> dn_get_parent(const Backend*, std::string_view dn) {
  if (dn.empty() || StrIEquals(dn, kKeyspaceRoot)) return std::nullopt;
  if (!dn_is_ldap_form(dn)) {
    size_t at = dn.find('@');
    if (at == std::string_view::npos) at = dn.find('.');
    if (at == std::string_view::npos || at + 1 >= dn.size()) return std::nullopt;
    return std::string(dn.substr(at + 1));
  }
  bool quoted = false;
  for (size_t i = 0; i < dn.size(); ++i) {
    const char c = dn[i];
    if (c == '\\') {
      if (i + 1 < dn.size()) ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && (c == ',' || c == ';')) {
      return std::string(dn.substr(i + 1));
    }
  }
  return std::nullopt;
}

std::optional<std::string> dn_get_parent(const Backend* be, const char* dn) {
  if (!dn) return std::nullopt;
  return dn_get_parent(be, std::string_view(dn));
}

bool dn_has_suffix(std::string_view dn, std::string_view suffix) {
  if (dn.size() < suffix.size()) return false;
  return StrIEquals(dn.substr(dn.size() - suffix.size()), suffix);
}

bool dn_has_suffix(const char* dn, const char* suffix) {
  if (!dn || !suffix) return false;
  return dn_has_suffix(std::string_view(dn), std::string_view(suffix));
}

bool dn_is_ldap_form(std::string_view dn) { return dn.find('=') != std::string_view::npos; }

}  // namespace kry
