// The server's regular-expression engine: one compiled pattern for the whole
// process. Callers take RegexLock() before re_comp and hold it until their
// last re_match. Patterns used again and again are better kept compiled in
// a Regex of their own.
//
// Dialect (7-bit): ordinary characters match themselves, "." any
// character; "[...]" a set ("^" first negates, "-" or "]" first is literal,
// "a-z" a range); "*" and "+" repeat the previous element greedily with
// backtracking; "^" first and "$" last anchor, elsewhere they are literal;
// "\(" "\)" group (at most 9), "\1".."\9" match a group's text, "\<" "\>"
// word start and end; a backslash makes any other character literal.
// Matching is unanchored unless "^"/"$" say otherwise.
#pragma once

#include <cstddef>
#include <memory>

#include "util/thread.h"

namespace kry {

// Compiles `pattern`; null or "" reuses the pattern compiled before.
// Returns null on success or a static error text; after an error nothing is
// compiled.
const char* re_comp(const char* pattern);

// 1 when the compiled pattern matches somewhere in the text, else 0 (also
// when nothing is compiled).
int re_match(const char* text);
int re_match(const char* text, size_t length);

// A pattern compiled once and then matched by any number of threads at once,
// without the lock (the same dialect). Copies share the compiled form.
class Regex {
 public:
  // Null on success or a static error text; after an error nothing matches.
  const char* Compile(const char* pattern);
  bool Compiled() const { return program_ != nullptr; }
  // True when the pattern matches somewhere in the text.
  bool Matches(const char* text) const;

 private:
  struct Program;
  std::shared_ptr<const Program> program_;
};

// The regular-expression lock: g_globals->regexLock, or a process-wide
// fallback before the globals exist.
Mutex& RegexLock();

}  // namespace kry
