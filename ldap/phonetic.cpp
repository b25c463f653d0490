#include "ldap/phonetic.h"

#include <cctype>

namespace kry {

namespace {

constexpr size_t kMaxLetters = 31;
constexpr size_t kMaxCode = 4;

bool IsVowel(char c) { return c == 'A' || c == 'E' || c == 'I' || c == 'O' || c == 'U'; }
bool IsSoft(char c) { return c == 'E' || c == 'I' || c == 'Y'; }

}  // namespace

std::string phonetic_code(std::string_view word) {
  std::string w;
  for (char ch : word) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x80 || !std::isalpha(c)) continue;
    w.push_back(static_cast<char>(std::toupper(c)));
    if (w.size() == kMaxLetters) break;
  }
  std::string code;
  if (w.empty()) return code;

  // First-letter rules rewrite the collected word itself, so that "previous
  // letter" and "first letter" below refer to the rewritten word.
  if (w.size() >= 2) {
    char a = w[0], b = w[1];
    if (a == 'A' && b == 'E') {
      w.erase(0, 1);
    } else if ((a == 'G' || a == 'K' || a == 'P') && b == 'N') {
      w.erase(0, 1);
    } else if (a == 'W' && b == 'R') {
      w.erase(0, 1);
    } else if (a == 'W' && b == 'H') {
      w.erase(1, 1);
    }
  }
  if (w[0] == 'X') w[0] = 'S';

  const size_t n = w.size();
  auto at = [&](size_t i) -> char { return i < n ? w[i] : '\0'; };
  for (size_t i = 0; i < n && code.size() < kMaxCode; ++i) {
    const char c = w[i];
    const char prev = i > 0 ? w[i - 1] : '\0';
    const char next = at(i + 1);
    const char after = at(i + 2);
    if (c == prev && c != 'C') continue;
    switch (c) {
      case 'F':
      case 'J':
      case 'L':
      case 'M':
      case 'N':
      case 'R':
        code.push_back(c);
        break;
      case 'A':
      case 'E':
      case 'I':
      case 'O':
      case 'U':
        if (i == 0) code.push_back(c);
        break;
      case 'B':
        if (next == '\0' && prev != 'M') code.push_back('B');
        break;
      case 'C':
        if (prev == 'S' && IsSoft(next)) break;
        if (next == 'I' && after == 'A') {
          code.push_back('X');
        } else if (IsSoft(next)) {
          code.push_back('S');
        } else if (next == 'H') {
          bool hard = (i == 0 && (after == '\0' || !IsVowel(after))) || prev == 'S';
          code.push_back(hard ? 'K' : 'X');
        } else {
          code.push_back('K');
        }
        break;
      case 'D':
        code.push_back(next == 'G' && IsSoft(after) ? 'J' : 'T');
        break;
      case 'G':
        if (next == 'J' && (after == '\0' || !IsVowel(after))) break;
        if (next == 'N' && (i + 1 == n - 1 || (after == 'E' && at(i + 3) == 'D'))) break;
        if (prev == 'D') {
          if (IsSoft(next)) break;
          if (next == '\0') {
            code.push_back('K');
            break;
          }
        }
        code.push_back(IsSoft(next) && after != 'G' ? 'G' : 'K');
        break;
      case 'H':
        if (prev == 'C' || prev == 'G' || prev == 'P' || prev == 'S' || prev == 'T') break;
        if (IsVowel(prev) && (next == '\0' || !IsVowel(next))) break;
        code.push_back('H');
        break;
      case 'K':
        if (prev != 'C') code.push_back('K');
        break;
      case 'P':
        code.push_back(next == 'H' ? 'F' : 'P');
        break;
      case 'Q':
        code.push_back('K');
        break;
      case 'S':
        code.push_back(next == 'H' || (next == 'I' && (after == 'O' || after == 'A')) ? 'X' : 'S');
        break;
      case 'T':
        if (next == 'I' && (after == 'O' || after == 'A')) {
          code.push_back('X');
        } else if (next == 'H') {
          code.push_back('0');
        } else if (!(next == 'C' && after == 'H')) {
          code.push_back('T');
        }
        break;
      case 'V':
        code.push_back('F');
        break;
      case 'W':
      case 'Y':
        if (IsVowel(next)) code.push_back(c);
        break;
      case 'X':
        if (i == 0) {
          code.push_back('S');
        } else {
          code.push_back('K');
          if (code.size() < kMaxCode) code.push_back('S');
          ++i;  // the following letter's code is the S
        }
        break;
      case 'Z':
        code.push_back('S');
        break;
      default:
        break;
    }
  }
  return code;
}

}  // namespace kry
