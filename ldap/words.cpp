#include "ldap/words.h"

#include <cctype>
#include <string>

namespace kry {

namespace {

bool IsWordChar(unsigned char c) {
  return c < 0x80 && !std::isspace(c) && !std::ispunct(c) && !std::isdigit(c);
}

std::string_view WordFrom(std::string_view text, size_t pos) {
  while (pos < text.size() && !IsWordChar(static_cast<unsigned char>(text[pos]))) ++pos;
  if (pos >= text.size()) return {};
  size_t end = pos;
  while (end < text.size() && IsWordChar(static_cast<unsigned char>(text[end]))) ++end;
  return text.substr(pos, end - pos);
}

}  // namespace

std::string_view word_first(std::string_view text) { return WordFrom(text, 0); }

std::string_view word_next(std::string_view text, std::string_view word) {
  if (word.data() == nullptr) return {};
  size_t pos = static_cast<size_t>(word.data() - text.data()) + word.size();
  return WordFrom(text, pos);
}

std::vector<std::string_view> approx_words(std::string_view text) {
  std::vector<std::string_view> out;
  for (std::string_view w = word_first(text); w.data(); w = word_next(text, w)) out.push_back(w);
  return out;
}

namespace {

bool IsIndexWordChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

}  // namespace

std::vector<std::string_view> index_words(std::string_view text) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && !IsIndexWordChar(text[i])) ++i;
    size_t start = i;
    while (i < text.size() && IsIndexWordChar(text[i])) ++i;
    if (i > start) out.push_back(text.substr(start, i - start));
  }
  return out;
}

void regex_escape(std::string* out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '$':
      case '*':
      case '+':
      case '.':
      case '[':
      case '\\':
      case ']':
      case '^':
        out->push_back('\\');
        break;
      default:
        break;
    }
    out->push_back(c);
  }
}

}  // namespace kry
