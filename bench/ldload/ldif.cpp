#include "bench/ldload/ldif.h"

#include <strings.h>

#include "platform/pgp/armor.h"

namespace krybench {

namespace {

// Joins folded lines (a line starting with one space continues the last).
std::vector<std::string> Unfold(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == ' ' && !lines.empty() && !lines.back().empty())
      lines.back() += line.substr(1);
    else
      lines.push_back(line);
    at = end + 1;
  }
  return lines;
}

bool EndsWithNoCase(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && strcasecmp(s.c_str() + s.size() - suffix.size(), suffix.c_str()) == 0;
}

}  // namespace

bool ParseLdif(const std::string& text, std::vector<LdifEntry>* out, size_t* badLine) {
  LdifEntry cur;
  bool open = false;
  size_t n = 0;
  for (const std::string& line : Unfold(text)) {
    ++n;
    if (line.empty()) {
      if (open) out->push_back(std::move(cur));
      cur = LdifEntry();
      open = false;
      continue;
    }
    if (line[0] == '#' || line.rfind("version:", 0) == 0) continue;
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) {
      *badLine = n;
      return false;
    }
    const std::string attr = line.substr(0, colon);
    std::string value;
    if (colon + 1 < line.size() && line[colon + 1] == ':') {
      krypgp::Bytes raw;
      if (!krypgp::Base64Decode(line.data() + colon + 2, line.size() - colon - 2, &raw)) {
        *badLine = n;
        return false;
      }
      value.assign(raw.begin(), raw.end());
    } else {
      size_t v = colon + 1;
      while (v < line.size() && line[v] == ' ') ++v;
      value = line.substr(v);
    }
    if (!open) {
      if (strcasecmp(attr.c_str(), "dn") != 0) {
        *badLine = n;
        return false;
      }
      cur.dn = value;
      open = true;
    } else {
      cur.values.emplace_back(attr, value);
    }
  }
  if (open) out->push_back(std::move(cur));
  return true;
}

std::vector<std::vector<LdifEntry>> GroupBySubtree(std::vector<LdifEntry> entries) {
  std::vector<std::vector<LdifEntry>> groups;
  for (LdifEntry& e : entries) {
    if (groups.empty() || !EndsWithNoCase(e.dn, "," + groups.back().front().dn)) groups.emplace_back();
    groups.back().push_back(std::move(e));
  }
  return groups;
}

}  // namespace krybench
