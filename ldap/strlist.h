// String lists (null-terminated arrays in the design) as
// std::vector<std::string>.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kry {

using StrList = std::vector<std::string>;

inline void strlist_add(StrList* list, std::string_view s) { list->emplace_back(s); }
// True when some member equals `s` ignoring case.
bool strlist_contains(const StrList& list, std::string_view s);
// Splits `text` at any of the `delims` characters; empty pieces are dropped.
StrList strlist_split(std::string_view text, std::string_view delims);

}  // namespace kry
