// Candidate selection: turns a filter into entry IDs through the attribute
// indexes. Whatever the index cannot narrow falls back to All IDs, so the
// result never loses a match.
#include <string>
#include <string_view>
#include <vector>

#include "back-ldbm/dn2id.h"
#include "back-ldbm/id2children.h"
#include "back-ldbm/index.h"
#include "back-ldbm/search.h"
#include "ldap/filter.h"
#include "ldap/phonetic.h"
#include "ldap/result.h"
#include "ldap/words.h"
#include "log/trace.h"

namespace kry {

namespace {

// Intersects into *acc; false once the running result has no IDs.
bool Intersect(Backend* be, IDListPtr* acc, IDListPtr next) {
  if (!next) {
    acc->reset();
    return false;
  }
  if (!*acc) {
    *acc = std::move(next);
  } else {
    *acc = idl_intersection(be, acc->get(), next.get());
  }
  return *acc && (*acc)->nids() > 0;
}

IDListPtr list_candidates(Backend* be, const Filter* f) {
  Debug(LDAP_DEBUG_TRACE, "=> list_candidates 0x%x\n", f->choice);
  IDListPtr acc;
  const bool isAnd = f->choice == LDAP_FILTER_AND;
  bool first = true;
  for (const auto& child : f->children) {
    IDListPtr l = filter_candidates(be, child.get());
    if (isAnd) {
      if (!l) {
        Debug(LDAP_DEBUG_TRACE, "<= list_candidates NULL\n");
        return nullptr;
      }
      if (first) {
        acc = std::move(l);
      } else if (!Intersect(be, &acc, std::move(l))) {
        return nullptr;
      }
      if (acc->nids() == 0 && !acc->is_allids()) return nullptr;
    } else if (l) {
      acc = acc ? idl_union(be, acc.get(), l.get()) : std::move(l);
    }
    first = false;
  }
  // An empty AND matches every entry.
  if (isAnd && first) return idl_allids(be);
  Debug(LDAP_DEBUG_TRACE, "<= list_candidates %d\n", acc ? static_cast<int>(acc->nids()) : 0);
  return acc;
}

IDListPtr approx_candidates(Backend* be, const Filter* f) {
  Debug(LDAP_DEBUG_TRACE, "=> approx_candidates\n");
  IDListPtr acc;
  bool any = false;
  for (std::string_view w : approx_words(f->value)) {
    any = true;
    IDListPtr l = index_read(be, f->type, INDEX_APPROX, phonetic_code(w));
    if (!l || !Intersect(be, &acc, std::move(l))) {
      Debug(LDAP_DEBUG_TRACE, "<= approx_candidates NULL\n");
      return nullptr;
    }
  }
  if (!any) return nullptr;
  return acc;
}

// Keys of one substring part in substring mode: the anchored pair for an
// initial ("^" + first two) or final (last two + "$") part, then the
// trigrams. Parts too short for a key give All IDs.
enum class Part { kInitial, kAny, kFinal };

IDListPtr substring_comp_candidates(Backend* be, const std::string& type, const std::string& s, Part part) {
  Debug(LDAP_DEBUG_TRACE, "=> substring_comp_candidates\n");
  const size_t minLength = part == Part::kAny ? 3 : 2;
  if (s.size() < minLength) return idl_allids(be);
  IDListPtr acc;
  if (part == Part::kInitial && !Intersect(be, &acc, index_read(be, type, INDEX_SUB, "^" + s.substr(0, 2))))
    return nullptr;
  if (part == Part::kFinal && !Intersect(be, &acc, index_read(be, type, INDEX_SUB, s.substr(s.size() - 2) + "$")))
    return nullptr;
  for (size_t i = 0; i + 3 <= s.size(); ++i)
    if (!Intersect(be, &acc, index_read(be, type, INDEX_SUB, std::string_view(s).substr(i, 3)))) return nullptr;
  return acc;
}

bool IsIndexWordChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Word keys of one part: the first word of an initial part is anchored
// with "^", the last word of a final part with "$".
IDListPtr word_comp_candidates(Backend* be, const std::string& type, const std::string& s, Part part) {
  Debug(LDAP_DEBUG_TRACE, "=> word_comp_candidates\n");
  std::vector<std::string> words;
  for (size_t i = 0; i < s.size();) {
    while (i < s.size() && !IsIndexWordChar(s[i])) ++i;
    size_t start = i;
    while (i < s.size() && IsIndexWordChar(s[i])) ++i;
    if (i > start) words.push_back(s.substr(start, i - start));
  }
  if (words.empty()) return idl_allids(be);
  IDListPtr acc;
  for (size_t i = 0; i < words.size(); ++i) {
    std::string key = words[i];
    if (part == Part::kInitial && i == 0) {
      key = "^" + key;
    } else if (part == Part::kFinal && i + 1 == words.size()) {
      key += "$";
    }
    // Word keys are read as word keys: an attribute indexed only by
    // trigrams then answers All IDs instead of missing every match.
    if (!Intersect(be, &acc, index_read(be, type, INDEX_WORD, key))) return nullptr;
  }
  return acc;
}

IDListPtr substring_candidates(Backend* be, const Filter* f) {
  Debug(LDAP_DEBUG_TRACE, "=> substring_candidates\n");
  auto comp = index_word_mode() ? word_comp_candidates : substring_comp_candidates;
  IDListPtr acc;
  if (f->hasInitial && !Intersect(be, &acc, comp(be, f->type, f->initial, Part::kInitial))) return nullptr;
  for (const std::string& a : f->any)
    if (!Intersect(be, &acc, comp(be, f->type, a, Part::kAny))) return nullptr;
  if (f->hasFinal && !Intersect(be, &acc, comp(be, f->type, f->final, Part::kFinal))) return nullptr;
  return acc ? std::move(acc) : idl_allids(be);
}

// All IDs lists report no count of their own; the trace shows the bound.
int Count(const IDListPtr& l) { return l ? static_cast<int>(l->nids()) : 0; }

}  // namespace

IDListPtr filter_candidates(Backend* be, const Filter* f) {
  Debug(LDAP_DEBUG_TRACE, "=> filter_candidates\n");
  IDListPtr result;
  switch (f->choice) {
    case LDAP_FILTER_PRESENT:
      Debug(LDAP_DEBUG_FILTER, "\tPRESENT\n");
      result = index_read(be, f->type, INDEX_PRESENCE, "*");
      break;
    case LDAP_FILTER_EQUALITY:
      Debug(LDAP_DEBUG_FILTER, "\tEQUALITY\n");
      result = index_read(be, f->type, INDEX_EQUALITY, f->value);
      break;
    case LDAP_FILTER_GE:
      Debug(LDAP_DEBUG_FILTER, "\tGE\n");
      result = idl_allids(be);
      break;
    case LDAP_FILTER_LE:
      Debug(LDAP_DEBUG_FILTER, "\tLE\n");
      result = idl_allids(be);
      break;
    case LDAP_FILTER_APPROX:
      Debug(LDAP_DEBUG_FILTER, "\tAPPROX\n");
      result = approx_candidates(be, f);
      break;
    case LDAP_FILTER_SUBSTRINGS:
      Debug(LDAP_DEBUG_FILTER, "\tSUBSTRINGS\n");
      result = substring_candidates(be, f);
      break;
    case LDAP_FILTER_AND:
      Debug(LDAP_DEBUG_FILTER, "\tAND\n");
      result = list_candidates(be, f);
      break;
    case LDAP_FILTER_OR:
      Debug(LDAP_DEBUG_FILTER, "\tOR\n");
      result = list_candidates(be, f);
      break;
    case LDAP_FILTER_NOT: {
      Debug(LDAP_DEBUG_FILTER, "\tNOT\n");
      IDListPtr all = idl_allids(be);
      IDListPtr inner = f->children.empty() ? nullptr : filter_candidates(be, f->children.front().get());
      result = idl_difference(be, all.get(), inner.get());
      break;
    }
    default:
      Debug(LDAP_DEBUG_FILTER, "\tUNKNOWN\n");
      break;
  }
  Debug(LDAP_DEBUG_TRACE, "<= filter_candidates %d\n", Count(result));
  return result;
}

IDListPtr base_candidates(Backend* be, const std::string& base, int* err, std::string* matched) {
  matched->clear();
  EntryID id = dn2id(be, base);
  if (id == NOID) {
    *err = LDAP_NO_SUCH_OBJECT;
    return nullptr;
  }
  return idl_from_ids({id});
}

IDListPtr onelevel_candidates(Backend* be, const std::string& base, const Filter* f, int* err,
                              std::string* matched) {
  matched->clear();
  EntryID parent = 0;
  if (!base.empty()) {
    parent = dn2id(be, base);
    if (parent == NOID) {
      *err = LDAP_NO_SUCH_OBJECT;
      return nullptr;
    }
  }
  // The AND of the children key of the base and the request's filter.
  Filter children;
  children.choice = LDAP_FILTER_EQUALITY;
  children.type = "id2children";
  children.value = std::to_string(parent);
  IDListPtr kids = filter_candidates(be, &children);
  if (!kids) return nullptr;
  IDListPtr matches = filter_candidates(be, f);
  if (!matches) return nullptr;
  IDListPtr both = idl_intersection(be, kids.get(), matches.get());
  if (both && !both->is_allids() && both->nids() == 0) return nullptr;
  return both;
}

IDListPtr subtree_candidates(Backend* be, const std::string& base, const Filter* f, int* err,
                             std::string* matched) {
  matched->clear();
  if (!base.empty() && dn2id(be, base) == NOID) {
    *err = LDAP_NO_SUCH_OBJECT;
    return nullptr;
  }
  return filter_candidates(be, f);
}

}  // namespace kry
