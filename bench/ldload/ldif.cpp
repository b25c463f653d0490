#include "bench/ldload/ldif.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <unordered_map>
#include <unordered_set>

#include "platform/pgp/armor.h"

namespace krybench {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

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

// The DN less its first RDN ("" for a one-RDN DN), with escapes and
// quoted stretches respected; lower-cased for comparison.
std::string ParentKey(const std::string& dn) {
  bool quoted = false;
  for (size_t i = 0; i < dn.size(); ++i) {
    if (dn[i] == '\\') {
      ++i;
    } else if (dn[i] == '"') {
      quoted = !quoted;
    } else if (!quoted && (dn[i] == ',' || dn[i] == ';')) {
      size_t from = i + 1;
      while (from < dn.size() && dn[from] == ' ') ++from;
      return Lower(dn.substr(from));
    }
  }
  return "";
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
  std::unordered_set<std::string> present;
  for (const LdifEntry& e : entries) present.insert(Lower(e.dn));
  // Each entry goes to the group of its highest ancestor in the input, so a
  // child listed before its parent still lands in the parent's group.
  std::vector<std::vector<LdifEntry>> groups;
  std::unordered_map<std::string, size_t> groupOf;
  for (LdifEntry& e : entries) {
    std::string top = Lower(e.dn);
    for (std::string up = ParentKey(top); !up.empty(); up = ParentKey(up))
      if (present.count(up)) top = up;
    auto [it, fresh] = groupOf.emplace(top, groups.size());
    if (fresh) groups.emplace_back();
    groups[it->second].push_back(std::move(e));
  }
  // Parents before children: order each group by the number of RDNs.
  auto rdns = [](const LdifEntry& e) {
    size_t n = 0;
    for (std::string k = Lower(e.dn); !k.empty(); k = ParentKey(k)) ++n;
    return n;
  };
  for (auto& g : groups)
    std::stable_sort(g.begin(), g.end(),
                     [&](const LdifEntry& a, const LdifEntry& b) { return rdns(a) < rdns(b); });
  return groups;
}

}  // namespace krybench
