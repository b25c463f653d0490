// Word splitting for approximate matching and the approximate index: a word
// is a run of characters below 0x80 that are neither white space,
// punctuation nor decimal digits. Stateless; views point into the text.
#pragma once

#include <string_view>
#include <vector>

namespace kry {

// The first word of text; empty (null data) when there is none.
std::string_view word_first(std::string_view text);
// The word after `word`, which must be a view returned for the same text;
// empty (null data) at the end.
std::string_view word_next(std::string_view text, std::string_view word);
// Every word of text in order.
std::vector<std::string_view> approx_words(std::string_view text);

// Words of the word index and of substring candidates in word mode: runs
// of ASCII letters and digits, in order.
std::vector<std::string_view> index_words(std::string_view text);

// Copies text with a backslash before each of $ * + . [ \ ] ^, the
// characters the regular-expression engine treats specially. Appends to out.
void regex_escape(std::string* out, std::string_view text);

}  // namespace kry
