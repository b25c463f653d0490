#include "ldap/strlist.h"

#include "util/strutil.h"

namespace kry {

bool strlist_contains(const StrList& list, std::string_view s) {
  for (const auto& m : list)
    if (StrIEquals(m, s)) return true;
  return false;
}

StrList strlist_split(std::string_view text, std::string_view delims) {
  StrList out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(delims, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) out.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

}  // namespace kry
