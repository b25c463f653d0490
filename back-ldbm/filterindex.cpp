// Candidate selection: turns a filter into entry IDs through the attribute
// indexes. Whatever the index cannot narrow falls back to All IDs, so the
// result never loses a match.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "back-ldbm/cache.h"
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

// One index key that every match must have.
struct IndexKey {
  int indextype;
  std::string text;
  uint64_t estimate = 0;
  IDListPtr list = nullptr;  // the whole list when the estimate read it
};

// Reading a list costs about this many IDs' worth for each candidate that
// the filter test would check instead (an entry fetch and a match).
constexpr uint64_t kIdsPerCandidateTest = 1024;

// The intersection of the keys' lists, read smallest first. Reading stops
// once the candidates are few enough that testing their entries costs less
// than reading the next list: the filter test decides the rest. Null when
// a key has no IDs; All IDs when there are no keys or none is indexed.
IDListPtr IntersectKeys(Backend* be, const std::string& type, std::vector<IndexKey> keys) {
  for (IndexKey& k : keys) {
    k.estimate = index_read_estimate(be, type, k.indextype, k.text, &k.list);
    if (k.estimate == 0) return nullptr;
  }
  std::stable_sort(keys.begin(), keys.end(),
                   [](const IndexKey& a, const IndexKey& b) { return a.estimate < b.estimate; });
  IDListPtr acc;
  for (IndexKey& k : keys) {
    if (k.estimate == kIdlAllIdsEstimate) break;
    if (acc && k.estimate > kIdsPerCandidateTest * acc->nids()) break;
    // A direct list was read whole for its estimate: only a longer one is
    // read now.
    IDListPtr list = k.list ? std::move(k.list) : index_read(be, type, k.indextype, k.text);
    if (!Intersect(be, &acc, std::move(list))) return nullptr;
  }
  return acc ? std::move(acc) : idl_allids(be);
}

IDListPtr approx_candidates(Backend* be, const Filter* f) {
  Debug(LDAP_DEBUG_TRACE, "=> approx_candidates\n");
  std::vector<IndexKey> keys;
  for (std::string_view w : approx_words(f->value)) keys.push_back({INDEX_APPROX, phonetic_code(w)});
  if (keys.empty()) return nullptr;
  return IntersectKeys(be, f->type, std::move(keys));
}

// Keys of one substring part in substring mode: the anchored pair for an
// initial ("^" + first two) or final (last two + "$") part, then the
// trigrams. Parts too short for a key add none.
enum class Part { kInitial, kAny, kFinal };

void AddSubstringKeys(const std::string& s, Part part, std::vector<IndexKey>* keys) {
  const size_t minLength = part == Part::kAny ? 3 : 2;
  if (s.size() < minLength) return;
  if (part == Part::kInitial) keys->push_back({INDEX_SUB, "^" + s.substr(0, 2)});
  if (part == Part::kFinal) keys->push_back({INDEX_SUB, s.substr(s.size() - 2) + "$"});
  for (size_t i = 0; i + 3 <= s.size(); ++i) keys->push_back({INDEX_SUB, s.substr(i, 3)});
}

// Word keys of one part: the first word of an initial part is anchored
// with "^", the last word of a final part with "$". Word keys are read as
// word keys: an attribute indexed only by trigrams then answers All IDs
// instead of missing every match.
void AddWordKeys(const std::string& s, Part part, std::vector<IndexKey>* keys) {
  std::vector<std::string_view> words = index_words(s);
  for (size_t i = 0; i < words.size(); ++i) {
    std::string key(words[i]);
    if (part == Part::kInitial && i == 0) {
      key = "^" + key;
    } else if (part == Part::kFinal && i + 1 == words.size()) {
      key += "$";
    }
    keys->push_back({INDEX_WORD, std::move(key)});
  }
}

IDListPtr substring_candidates(Backend* be, const Filter* f) {
  Debug(LDAP_DEBUG_TRACE, "=> substring_candidates\n");
  auto add = index_word_mode() ? AddWordKeys : AddSubstringKeys;
  std::vector<IndexKey> keys;
  if (f->hasInitial) add(f->initial, Part::kInitial, &keys);
  for (const std::string& a : f->any) add(a, Part::kAny, &keys);
  if (f->hasFinal) add(f->final, Part::kFinal, &keys);
  return IntersectKeys(be, f->type, std::move(keys));
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
    case LDAP_FILTER_NOT:
      // Every candidate list is a superset (index records outlive the
      // values they were made for, trigrams match more than the substring),
      // so taking the inner candidates away would drop entries that do not
      // match the inner filter. All IDs go on to the filter test.
      Debug(LDAP_DEBUG_FILTER, "\tNOT\n");
      result = idl_allids(be);
      break;
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

namespace {

// The ID of a search base, or NOID. The base is read as an entry so that
// the entry cache keeps it: searches name the same few bases, and a cached
// base costs a tree lookup where the DN map costs a database read.
EntryID BaseEntryId(Backend* be, const std::string& base) {
  Entry* e = entry_by_dn(be, base, nullptr);
  if (!e) return NOID;
  EntryID id = e->id;
  cache_return_entry(be, e);
  return id;
}

}  // namespace

IDListPtr onelevel_candidates(Backend* be, const std::string& base, const Filter* f, int* err,
                              std::string* matched) {
  matched->clear();
  EntryID parent = 0;
  if (!base.empty()) {
    parent = BaseEntryId(be, base);
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
  if (!base.empty() && BaseEntryId(be, base) == NOID) {
    *err = LDAP_NO_SUCH_OBJECT;
    return nullptr;
  }
  return filter_candidates(be, f);
}

}  // namespace kry
