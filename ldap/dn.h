// Distinguished names: the normal form used everywhere a DN is
// compared or stored, the parent of a DN and the suffix test.
//
// Normal form: blanks and line feeds around types, "=" and separators are
// dropped, ";" between components becomes "," (except right after a quoted
// value), escapes of characters that need none are removed, and case is kept.
// dn_normalize_upper additionally upper-cases ASCII letters; that form is the
// DN map's key and the canonical form of DN-syntax values.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kry {

struct Backend;

// The root of the keyspace; it has no parent.
inline constexpr const char kKeyspaceRoot[] = "O=KRY KEYSPACE,C=US";

// Rewrites the NUL-terminated `dn` in place (the result is never longer) and
// returns it. A null pointer is returned unchanged.
char* dn_normalize(char* dn);
char* dn_normalize_upper(char* dn);
// The same on a std::string (resized to the normal form).
std::string& dn_normalize(std::string& dn);
std::string& dn_normalize_upper(std::string& dn);
// Normalised copies.
std::string dn_normalized(std::string_view dn);
std::string dn_normalized_upper(std::string_view dn);

// Parent DN of `dn`, or nullopt when it has none: an empty DN, the keyspace
// root (ignoring case), a domain-style name without "@"/"." or with nothing
// after it, or an X.500 DN with a single component. `be` is not used (every
// DN belongs to the one backend) and may be null.
std::optional<std::string> dn_get_parent(const Backend* be, std::string_view dn);
// Same, for callers holding a possibly null C string.
std::optional<std::string> dn_get_parent(const Backend* be, const char* dn);

// True when dn is at least as long as suffix and ends with it, ignoring
// case; no component-boundary check. A null dn gives false.
bool dn_has_suffix(const char* dn, const char* suffix);
bool dn_has_suffix(std::string_view dn, std::string_view suffix);

// True when the DN contains "=" (X.500 form), false for a domain-style name.
bool dn_is_ldap_form(std::string_view dn);

// ASCII upper-casing in place.
char* str_upper(char* text);
std::string& str_upper(std::string& text);

}  // namespace kry
