#include "ldap/syntax.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "ldap/dn.h"
#include "log/trace.h"
#include "util/avl.h"
#include "util/strutil.h"

namespace kry {

namespace {

struct SyntaxDef {
  std::vector<std::string> names;  // names[0] is the tree key
  int syntax = SYNTAX_CIS;
};
using SyntaxDefPtr = std::shared_ptr<SyntaxDef>;

struct CaseLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return StrCaseCmp(a, b) < 0; }
};

struct SyntaxRegistry {
  std::shared_mutex lock;
  AvlTree<SyntaxDefPtr> tree{[](const SyntaxDefPtr& a, const SyntaxDefPtr& b) {
    return StrCaseCmp(a->names[0], b->names[0]);
  }};
  // Every name of every definition with the syntax a lookup gives it: a
  // definition's own first name first, else the first definition in order
  // that lists the name. Rebuilt on every change: lookups (every value of
  // every entry read) far outnumber definitions (the configuration).
  std::map<std::string, int, CaseLess> byName;
};

// Caller holds the registry's lock exclusively.
void IndexNames(SyntaxRegistry& r) {
  r.byName.clear();
  r.tree.Apply([&](const SyntaxDefPtr& d) {
    r.byName.emplace(d->names[0], d->syntax);
    return 0;
  });
  r.tree.Apply([&](const SyntaxDefPtr& d) {
    for (const std::string& n : d->names) r.byName.emplace(n, d->syntax);  // keeps an earlier one
    return 0;
  });
}

SyntaxRegistry& Registry() {
  static SyntaxRegistry* r = new SyntaxRegistry;  // lives for the process
  return *r;
}

struct SyntaxWord {
  const char* word;
  const char* alt;
  int value;
};
constexpr SyntaxWord kSyntaxWords[] = {
    {"cis", "caseignorestring", SYNTAX_CIS},
    {"ces", "caseexactstring", SYNTAX_CES},
    {"bin", "binary", SYNTAX_BIN},
    {"tel", "telephone", SYNTAX_CIS | SYNTAX_TEL},
    {"dn", nullptr, SYNTAX_CIS | SYNTAX_DN},
};

inline unsigned char FoldLower(unsigned char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

// Compares up to the first NUL of either text (or its end), optionally
// folding case.
int CompareText(std::string_view a, std::string_view b, bool fold) {
  size_t i = 0;
  for (;; ++i) {
    unsigned char ca = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    unsigned char cb = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    if (fold) {
      ca = FoldLower(ca);
      cb = FoldLower(cb);
    }
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
}

}  // namespace

int syntax_from_word(std::string_view word) {
  for (const auto& w : kSyntaxWords)
    if (StrIEquals(word, w.word) || (w.alt && StrIEquals(word, w.alt))) return w.value;
  return 0;
}

void attr_syntax_define(const char* source, int line, int count, const char* const* words) {
  if (!source) source = "";
  if (count < 2 || !words) {
    Debug(LDAP_DEBUG_ANY, "%s: line %d: missing name in \"attribute <name>+ <syntax>\" (ignored)\n", source, line);
    return;
  }
  int syntax = syntax_from_word(words[count - 1]);
  if (syntax == 0) {
    Debug(LDAP_DEBUG_ANY, "%s: line %d: unknown syntax \"%s\" in attribute line (ignored)\n", source, line,
          words[count - 1]);
    Debug(LDAP_DEBUG_ANY, "possible syntaxes are \"cis\", \"ces\", \"tel\", \"dn\", or \"bin\"\n");
    return;
  }
  auto def = std::make_shared<SyntaxDef>();
  def->syntax = syntax;
  for (int i = 0; i < count - 1; ++i) def->names.emplace_back(words[i] ? words[i] : "");
  SyntaxRegistry& r = Registry();
  std::unique_lock<std::shared_mutex> guard(r.lock);
  r.tree.Insert(def, [&](SyntaxDefPtr& existing, const SyntaxDefPtr& incoming) {
    if (existing->syntax != incoming->syntax)
      Debug(LDAP_DEBUG_ARGS, "%s: line %d: duplicate attribute\n", source, line);
    return 0;  // dropped, not an error
  });
  IndexNames(r);
}

int attr_syntax_of(std::string_view type) {
  SyntaxRegistry& r = Registry();
  std::shared_lock<std::shared_mutex> guard(r.lock);
  auto hit = r.byName.find(type);
  return hit == r.byName.end() ? SYNTAX_CIS : hit->second;
}

void attr_syntax_release() {
  SyntaxRegistry& r = Registry();
  std::unique_lock<std::shared_mutex> guard(r.lock);
  r.tree.Clear();
  r.byName.clear();
}

void value_canonicalize(std::string& value, int syntax) {
  if (!(syntax & SYNTAX_CIS)) return;
  if (syntax & SYNTAX_DN) {
    dn_normalize_upper(value);
    return;
  }
  size_t out = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if ((syntax & SYNTAX_TEL) && (c == ' ' || c == '-')) continue;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    value[out++] = c;
  }
  value.resize(out);
}

int value_compare(std::string_view a, std::string_view b, int syntax, int flags) {
  std::string ca, cb;
  if (flags & VALUE_CANON_A) {
    ca.assign(a);
    value_canonicalize(ca, syntax);
    a = ca;
  }
  if (flags & VALUE_CANON_B) {
    cb.assign(b);
    value_canonicalize(cb, syntax);
    b = cb;
  }
  if (syntax & SYNTAX_CIS) return CompareText(a, b, true);
  if (syntax & SYNTAX_BIN) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    int r = n ? std::memcmp(a.data(), b.data(), n) : 0;
    return r < 0 ? -1 : r > 0 ? 1 : 0;
  }
  return CompareText(a, b, false);
}

int value_lookup(const std::vector<std::string>& values, std::string_view value, int syntax, int flags) {
  for (const auto& v : values)
    if (value_compare(v, value, syntax, flags) == 0) return 0;
  return 1;
}

}  // namespace kry
