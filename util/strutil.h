// Small string helpers shared by the subsystems.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace kry {

// printf-style formatting into a std::string.
std::string StrFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string StrFormatV(const char* fmt, va_list ap);

// ASCII case-insensitive comparison (strcasecmp semantics).
int StrCaseCmp(std::string_view a, std::string_view b);
// (Lengths first: most unequal names differ in length, and the test runs for
// every attribute of every entry read.)
inline bool StrIEquals(std::string_view a, std::string_view b) { return a.size() == b.size() && StrCaseCmp(a, b) == 0; }
std::string ToLower(std::string_view s);
std::string ToUpper(std::string_view s);

// Optional leading blanks, an optional sign, one or more decimal digits and
// nothing else (the command line's rule for numbers).
bool IsSignedDigits(std::string_view s);

// Decimal conversion like atoi: optional blanks, optional sign, digits, stop
// at the first other character; 0 when there are no digits. Saturates
// instead of overflowing.
long AtoiSaturating(std::string_view s);

// The C library's text for an errno value (thread-safe).
std::string ErrnoText(int e);

}  // namespace kry
