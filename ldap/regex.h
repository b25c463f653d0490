// The server's regular-expression engine: one compiled pattern for the whole
// process. Callers take RegexLock() before re_comp and hold it until their
// last re_match.
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

// The regular-expression lock: g_globals->regexLock, or a process-wide
// fallback before the globals exist.
Mutex& RegexLock();

}  // namespace kry
