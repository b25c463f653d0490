// The phonetic code behind approximate matching, a Metaphone variant. The
// approximate index stores keys made by this same function, so changing a
// rule makes stored keys disagree with searches. Stateless.
#pragma once

#include <string>
#include <string_view>

namespace kry {

// Code of one word (see words.h): at most 4 characters, empty when the word
// has no letters. Only the first 31 letters count.
std::string phonetic_code(std::string_view word);

}  // namespace kry
