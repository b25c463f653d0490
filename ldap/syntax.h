// Attribute syntaxes and value rules: the syntax bit set, the
// process-wide attribute-syntax registry, canonical forms and comparison.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kry {

enum SyntaxBits : int {
  SYNTAX_CIS = 0x01,   // case-ignore string
  SYNTAX_CES = 0x02,   // case-exact string
  SYNTAX_BIN = 0x04,   // binary
  SYNTAX_TEL = 0x08,   // telephone (always with CIS: "tel" is 9)
  SYNTAX_DN = 0x10,    // DN (always with CIS: "dn" is 17)
};

// Value of a syntax word ("cis"/"caseignorestring", "ces"/"caseexactstring",
// "bin"/"binary", "tel"/"telephone", "dn"), ignoring case; 0 when unknown.
int syntax_from_word(std::string_view word);

// Registry of attribute syntaxes. Written at backend initialisation (and by
// "attribute" lines), read by every thread afterwards; thread-safe.
//
// Adds a definition from the words of an attribute line: names..., syntax.
// `source` and `line` appear only in traces. A definition whose first name is
// already registered is dropped.
void attr_syntax_define(const char* source, int line, int count, const char* const* words);
// Syntax of an attribute type; SYNTAX_CIS for types the registry lacks.
int attr_syntax_of(std::string_view type);
// Discards every definition (backend release).
void attr_syntax_release();

// Rewrites a value into its canonical form. Only syntaxes with the CIS bit
// change: DN-syntax values become dn_normalize_upper of themselves, others
// are upper-cased (ASCII), telephone values also lose blanks and "-".
void value_canonicalize(std::string& value, int syntax);

// Flags of value_compare / value_lookup.
enum ValueCompareFlags : int {
  VALUE_CANON_A = 1,  // compare a canonical copy of the first value
  VALUE_CANON_B = 2,  // compare a canonical copy of the second value
};
// <0, 0, >0. CIS syntaxes compare up to the first NUL with A-Z folded to
// a-z; CES up to the first NUL; BIN the bytes of the shorter length.
int value_compare(std::string_view a, std::string_view b, int syntax, int flags);
// 0 when some member equals `value` by value_compare, 1 otherwise.
int value_lookup(const std::vector<std::string>& values, std::string_view value, int syntax, int flags);

}  // namespace kry
