#include "ldap/filterentry.h"

#include <string>

#include "back-ldbm/index.h"
#include "cert/access.h"
#include "ldap/entry.h"
#include "ldap/filter.h"
#include "ldap/phonetic.h"
#include "ldap/regex.h"
#include "ldap/syntax.h"
#include "ldap/words.h"
#include "log/trace.h"
#include "runtime/connection.h"

namespace kry {

namespace {

// The pattern buffer of the substring test holds this many characters.
constexpr size_t kPatternRoom = 510;

bool SearchAllowed(Backend* be, Connection* conn) {
  if (!be || !conn) return true;
  const char* host = ConnectionHostName(conn);
  return access_allowed(be, conn->c_addr.c_str(), host, ACL_SEARCH);
}

int SyntaxOf(const Attribute& a) { return a.syntax ? a.syntax : attr_syntax_of(a.type); }

int test_present(Backend* be, Connection* conn, const Entry* e, const Filter* f) {
  if (!SearchAllowed(be, conn)) return -2;
  return attr_lookup(e, f->type) ? 0 : -1;
}

int test_comparison(Backend* be, Connection* conn, const Entry* e, const Filter* f) {
  if (!SearchAllowed(be, conn)) return -2;
  const Attribute* a = attr_lookup(e, f->type);
  if (!a) return -1;
  // The syntax is not written back into the attribute: cached entries are
  // shared by concurrent searches.
  const int syntax = SyntaxOf(*a);
  for (const std::string& v : a->values) {
    int cmp = value_compare(v, f->value, syntax, VALUE_CANON_A | VALUE_CANON_B);
    bool match = f->choice == LDAP_FILTER_EQUALITY ? cmp == 0 : f->choice == LDAP_FILTER_GE ? cmp >= 0 : cmp <= 0;
    if (match) return 0;
  }
  return 1;
}

int test_approximate(Backend* be, Connection* conn, const Entry* e, const Filter* f) {
  if (!SearchAllowed(be, conn)) return -2;
  const Attribute* a = attr_lookup(e, f->type);
  if (!a) return -1;
  std::vector<std::string> wanted;
  for (std::string_view w : approx_words(f->value)) wanted.push_back(phonetic_code(w));
  for (const std::string& v : a->values) {
    std::vector<std::string> have;
    for (std::string_view w : approx_words(v)) have.push_back(phonetic_code(w));
    size_t pos = 0;
    bool ok = true;
    for (const std::string& code : wanted) {
      while (pos < have.size() && have[pos] != code) ++pos;
      if (pos == have.size()) {
        ok = false;
        break;
      }
      ++pos;
    }
    if (ok) return 0;
  }
  return 1;
}

// The part is refused when it could not fit together with what precedes it
// and the anchors that follow (`margin` characters). Escaping at most doubles
// a part.
bool Fits(const std::string& pattern, const std::string& part, size_t margin) {
  return pattern.size() + 2 * part.size() + margin <= kPatternRoom;
}

// The expression a substrings filter's parts make. 0, or -1 when it does
// not fit.
int SubstringPattern(const Filter* f, std::string* pattern) {
  const bool words = index_word_mode();
  const char* head = words ? "^[^0-9A-Z]*" : "^";
  const char* tail = words ? "[^0-9A-Z]*$" : "$";
  pattern->reserve(kPatternRoom);
  bool room = true;
  if (f->hasInitial) {
    // The anchor counts against the room too, so the pattern can never
    // outgrow its buffer.
    room = Fits(*pattern, f->initial, std::char_traits<char>::length(head));
    if (room) {
      pattern->append(head);
      regex_escape(pattern, f->initial);
    }
  }
  for (size_t i = 0; room && i < f->any.size(); ++i) {
    room = Fits(*pattern, f->any[i], 2);
    if (room) {
      pattern->append(".*");
      regex_escape(pattern, f->any[i]);
    }
  }
  if (room && f->hasFinal) {
    room = Fits(*pattern, f->final, 13);
    if (room) {
      pattern->append(".*");
      regex_escape(pattern, f->final);
      pattern->append(tail);
    }
  }
  if (!room) {
    Debug(LDAP_DEBUG_ANY, "not enough pattern space\n");
    return -1;
  }
  return 0;
}

// Makes the filter's expression once per search: compiling it for every
// candidate entry, under the process-wide lock, cost more than the match.
void PrepareSubstrings(const Filter* f) {
  if (f->substringsState != 0) return;
  std::string pattern;
  if (SubstringPattern(f, &pattern) != 0) {
    f->substringsState = -1;
  } else if (pattern.empty()) {
    f->substringsState = 2;
  } else if (f->substrings.Compile(pattern.c_str()) != nullptr) {
    Debug(LDAP_DEBUG_ANY, "re_comp failed (%s)\n", pattern.c_str());
    f->substringsState = -1;
  } else {
    f->substringsState = 1;
  }
}

int test_substring_filter(Backend* be, Connection* conn, const Entry* e, const Filter* f) {
  Debug(LDAP_DEBUG_FILTER, "begin test_substring_filter\n");
  if (!SearchAllowed(be, conn)) return -2;
  const Attribute* a = attr_lookup(e, f->type);
  if (!a) return -1;
  const int syntax = SyntaxOf(*a);
  if (syntax & SYNTAX_BIN) {
    Debug(LDAP_DEBUG_FILTER, "test_substring_filter bin attr\n");
    return -1;
  }
  PrepareSubstrings(f);
  if (f->substringsState < 0) return -1;
  if (f->substringsState == 2) return 0;  // nothing to match against
  std::string work;
  for (const std::string& v : a->values) {
    work.assign(v.c_str());  // as text: up to the first NUL
    value_canonicalize(work, syntax);
    if (f->substrings.Matches(work.c_str())) return 0;
  }
  Debug(LDAP_DEBUG_FILTER, "end test_substring_filter 1\n");
  return 1;
}

int test_filter_list(Backend* be, Connection* conn, Operation* op, const Entry* e, const Filter* f) {
  Debug(LDAP_DEBUG_FILTER, "=> test_filter_list\n");
  const bool isAnd = f->choice == LDAP_FILTER_AND;
  int rc = isAnd ? 0 : 1;
  for (const auto& child : f->children) {
    int r = test_filter(be, conn, op, e, child.get());
    if (isAnd && r != 0) {
      rc = 1;
      break;
    }
    if (!isAnd && r == 0) {
      rc = 0;
      break;
    }
  }
  Debug(LDAP_DEBUG_FILTER, "<= test_filter_list %d\n", rc);
  return rc;
}

}  // namespace

int test_filter(Backend* be, Connection* conn, Operation* op, const Entry* e, const Filter* f) {
  Debug(LDAP_DEBUG_FILTER, "=> test_filter\n");
  int rc;
  switch (f->choice) {
    case LDAP_FILTER_PRESENT:
      Debug(LDAP_DEBUG_FILTER, "    PRESENT\n");
      rc = test_present(be, conn, e, f);
      break;
    case LDAP_FILTER_AND:
      Debug(LDAP_DEBUG_FILTER, "    AND\n");
      rc = test_filter_list(be, conn, op, e, f);
      break;
    case LDAP_FILTER_OR:
      Debug(LDAP_DEBUG_FILTER, "    OR\n");
      rc = test_filter_list(be, conn, op, e, f);
      break;
    case LDAP_FILTER_NOT:
      Debug(LDAP_DEBUG_FILTER, "    NOT\n");
      rc = (f->children.empty() || test_filter(be, conn, op, e, f->children.front().get()) != 0) ? 0 : 1;
      break;
    case LDAP_FILTER_EQUALITY:
      Debug(LDAP_DEBUG_FILTER, "    EQUALITY\n");
      rc = test_comparison(be, conn, e, f);
      break;
    case LDAP_FILTER_GE:
      Debug(LDAP_DEBUG_FILTER, "    GE\n");
      rc = test_comparison(be, conn, e, f);
      break;
    case LDAP_FILTER_LE:
      Debug(LDAP_DEBUG_FILTER, "    LE\n");
      rc = test_comparison(be, conn, e, f);
      break;
    case LDAP_FILTER_SUBSTRINGS:
      Debug(LDAP_DEBUG_FILTER, "    SUBSTRINGS\n");
      rc = test_substring_filter(be, conn, e, f);
      break;
    case LDAP_FILTER_APPROX:
      Debug(LDAP_DEBUG_FILTER, "    APPROX\n");
      rc = test_approximate(be, conn, e, f);
      break;
    default:
      Debug(LDAP_DEBUG_FILTER, "    unknown filter type %d\n", static_cast<int>(f->choice));
      rc = -1;
      break;
  }
  Debug(LDAP_DEBUG_FILTER, "<= test_filter %d\n", rc);
  return rc;
}

}  // namespace kry
