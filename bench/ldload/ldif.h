// Reading the LDIF that ldapsearch writes (RFC 2849 subset: folded lines,
// base64 values, comments, no change records) into entries, and grouping
// them so that each group (an entry and the entries below it) can be added
// in order by one connection.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace krybench {

struct LdifEntry {
  std::string dn;
  std::vector<std::pair<std::string, std::string>> values;  // attribute, value
};

// Parses text; false (with the line number in *badLine) on a line that is
// neither a continuation, a comment nor "attr: value" / "attr:: base64".
bool ParseLdif(const std::string& text, std::vector<LdifEntry>* out, size_t* badLine);

// Splits entries into groups, one per entry none of whose ancestors is in
// the input: each group holds that entry and its descendants, parents first.
std::vector<std::vector<LdifEntry>> GroupBySubtree(std::vector<LdifEntry> entries);

}  // namespace krybench
