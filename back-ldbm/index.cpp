#include "back-ldbm/index.h"

#include <atomic>
#include <cstdio>

#include "back-ldbm/dbcache.h"
#include "back-ldbm/ldbm.h"
#include "ldap/dn.h"
#include "ldap/phonetic.h"
#include "ldap/strlist.h"
#include "ldap/syntax.h"
#include "ldap/words.h"
#include "log/trace.h"
#include "util/strutil.h"

namespace kry {

namespace {

std::atomic<bool> g_wordMode{false};

char PrefixOf(int indextype) {
  switch (indextype) {
    case INDEX_EQUALITY:
      return '=';
    case INDEX_APPROX:
      return '~';
    case INDEX_SUB:
    case INDEX_WORD:
      return '*';
    default:
      return '\0';  // presence: no prefix
  }
}

// Type words are matched by prefix: "equality" counts as "eq".
int TypeOfWord(std::string_view w) {
  auto starts = [&](const char* kw, size_t n) { return w.size() >= n && StrIEquals(w.substr(0, n), kw); };
  if (starts("pres", 4)) return INDEX_PRESENCE;
  if (starts("eq", 2)) return INDEX_EQUALITY;
  if (starts("approx", 6)) return INDEX_APPROX;
  if (starts("sub", 3)) return INDEX_SUB;
  if (starts("word", 4)) return INDEX_WORD;
  if (starts("none", 4)) return 0;
  return INDEX_UNKNOWN;
}

}  // namespace

IndexTable::IndexTable()
    : tree([](const IndexDefPtr& a, const IndexDefPtr& b) { return StrCaseCmp(a->name, b->name); }) {}

bool index_word_mode() { return g_wordMode.load(std::memory_order_relaxed); }
void index_set_word_mode(bool on) { g_wordMode.store(on, std::memory_order_relaxed); }

std::string index_key(int indextype, std::string_view keytext) {
  std::string k;
  char p = PrefixOf(indextype);
  if (p == '\0') return "*";
  k.reserve(keytext.size() + 1);
  k.push_back(p);
  k.append(keytext);
  return k;
}

int index_configure(Backend* be, const char* fname, int lineno, int argc, const char* const* argv, int isDefault) {
  if (!be || !be->ldbm || argc < 1 || !argv || !argv[0]) return 0;
  if (!fname) fname = "";
  int mask = 0;
  if (argc >= 2 && argv[1]) {
    bool any = false;
    for (const auto& w : strlist_split(argv[1], ",")) {
      int t = TypeOfWord(w);
      if (t == INDEX_UNKNOWN) {
        std::fprintf(stderr, "%s: line %d: unknown index type \"%s\" (ignored)\n", fname, lineno, w.c_str());
        std::fprintf(stderr, "valid index types are \"pres\", \"eq\", \"approx\", or \"sub\"\n");
        continue;
      }
      if (t == 0) {
        if (any)
          std::fprintf(stderr, "%s: line %d: index type \"none\" cannot be combined with other types\n", fname,
                       lineno);
        mask = 0;
        continue;
      }
      if (t == INDEX_WORD) index_set_word_mode(true);
      mask |= t;
      any = true;
    }
  } else {
    mask = INDEX_ALL_TYPES;
  }
  if (isDefault) mask |= INDEX_DEFAULT;

  IndexTable& table = be->ldbm->indexes;
  for (const auto& attr : strlist_split(argv[0], ",")) {
    auto def = std::make_shared<IndexDef>();
    def->name = attr;
    def->mask = mask;
    def->syntax = attr_syntax_of(attr);
    table.tree.Insert(def, [&](IndexDefPtr& existing, const IndexDefPtr& incoming) {
      if (existing->mask & INDEX_DEFAULT) {
        existing->mask |= incoming->mask;
        return 0;
      }
      std::fprintf(stderr, "%s: line %d: duplicate index definition for attr \"%s\" (ignored)\n", fname, lineno,
                   incoming->name.c_str());
      return 0;
    });
  }
  return 0;
}

void index_register_defaults(Backend* be) {
  struct Default {
    const char* attr;
    const char* types;
    const char* source;
  };
  static const Default kDefaults[] = {
      {"dn", "eq", "ldbm dn initialization"},
      {"id2children", "eq", "ldbm id2children initialization"},
      {"objectclass", "pres,eq", "ldbm objectclass initialization"},
      {"kryKeyCreateTime", "eq", "default kryCreateKeyTime initialization"},
      {"kryCertID", "eq", nullptr},
      {"kryKeyID", "eq", nullptr},
      {"kryUserID", "eq,sub", nullptr},
      {"krySignerID", "eq", nullptr},
      {"krySubKeyID", "eq", nullptr},
      {"kryKeyFingerprint", "eq", nullptr},
      {"kryKeyDigest", "eq", nullptr},
      {"modifytimestamp", "eq", nullptr},
      {"kryDisabled", "eq", nullptr},
      {"kryRevoked", "eq", nullptr},
      {"kryKeyExpireTime", "eq", nullptr},
  };
  for (const auto& d : kDefaults) {
    std::string source = d.source ? d.source : StrFormat("default %s initialization", d.attr);
    const char* argv[] = {d.attr, d.types};
    index_configure(be, source.c_str(), 0, 2, argv, 1);
  }
}

void index_definition_of(Backend* be, std::string_view type, int* mask, int* syntax) {
  *mask = 0;
  if (syntax) *syntax = attr_syntax_of(type);
  if (!be || !be->ldbm) return;
  IndexTable& table = be->ldbm->indexes;
  auto probe = std::make_shared<IndexDef>();
  probe->name.assign(type);
  if (IndexDefPtr* d = table.tree.Find(probe)) {
    *mask = (*d)->mask;
    if (syntax) *syntax = (*d)->syntax;
    return;
  }
  probe->name = "default";
  if (IndexDefPtr* d = table.tree.Find(probe)) *mask = (*d)->mask;
}

int add_value(Backend* be, DbCacheSlot* slot, int indextype, std::string_view keytext, EntryID id) {
  std::string key = index_key(indextype, keytext);
  Debug(LDAP_DEBUG_TRACE, "=> add_value( \"%s\" )\n", key.c_str());
  if (IdListCollector* bulk = be->ldbm->bulkLists) {  // recovery's rebuild
    bulk->Insert(slot->name, key, id);
    return 0;
  }
  return idl_insert(be, slot, key, id);
}

int index_add_values(Backend* be, std::string_view type, const std::vector<std::string>& values, EntryID id) {
  std::string ltype(type);
  type_lowercase(ltype);
  Debug(LDAP_DEBUG_TRACE, "=> index_add_values( \"%s\", %ld )\n", ltype.c_str(), static_cast<long>(id));
  int mask = 0, syntax = SYNTAX_CIS;
  index_definition_of(be, ltype, &mask, &syntax);
  mask &= ~INDEX_DEFAULT;
  if (mask == 0) return 0;
  DbHandle db(be, ltype, ldbm_open_flags(be));
  if (!db) {
    Debug(LDAP_DEBUG_TRACE, "<= index_add_values -1 (could not open/create %s%s)\n", ltype.c_str(), kLdbmSuffix);
    return -1;
  }
  // The first failed store ends the update: on a full disk the rest would
  // fail too.
  int failed = 0;
  auto add = [&](int indextype, std::string_view keytext) {
    if (failed == 0) failed = add_value(be, db.get(), indextype, keytext, id);
  };
  std::string v;
  for (const auto& value : values) {
    if (mask & INDEX_PRESENCE) add(INDEX_PRESENCE, "");
    Debug(LDAP_DEBUG_TRACE, "*** index_add_values syntax 0x%x syntax bin 0x%x\n", syntax, SYNTAX_BIN);
    if (syntax & SYNTAX_BIN) break;  // binary values get their presence key only
    v = value;
    value_canonicalize(v, syntax);
    const size_t n = v.size();
    if (mask & INDEX_EQUALITY) add(INDEX_EQUALITY, v);
    if (mask & INDEX_APPROX) {
      // One key per word: the same words and codes approximate candidate
      // selection computes from a filter value, so keys and assertions meet.
      for (std::string_view w : approx_words(v)) add(INDEX_APPROX, phonetic_code(w));
    }
    if (mask & INDEX_SUB) {
      if (n >= 2) {
        add(INDEX_SUB, "^" + v.substr(0, 2));
        add(INDEX_SUB, v.substr(n - 2) + "$");
      }
      for (size_t i = 0; i + 3 <= n; ++i) add(INDEX_SUB, std::string_view(v).substr(i, 3));
    }
    if (mask & INDEX_WORD) {
      std::vector<std::string_view> words = index_words(v);
      if (words.empty()) {
        add(INDEX_WORD, "^");
        add(INDEX_WORD, "");
      } else {
        add(INDEX_WORD, "^" + std::string(words.front()));
        for (auto w : words) add(INDEX_WORD, w);
        add(INDEX_WORD, std::string(words.back()) + "$");
      }
    }
  }
  if (failed != 0) {
    Debug(LDAP_DEBUG_TRACE, "<= index_add_values -1 (store failed: %d)\n", failed);
    return -1;
  }
  return 0;
}

int index_add_entry(Backend* be, const Entry* e) {
  Debug(LDAP_DEBUG_TRACE, "=> index_add( %ld, \"%s\" )\n", static_cast<long>(e->id), e->dn.c_str());
  int rc = index_add_values(be, "dn", {dn_normalized_upper(e->dn)}, e->id);
  for (auto a = e->attrs.begin(); rc == 0 && a != e->attrs.end(); ++a)
    rc = index_add_values(be, a->type, a->values, e->id);
  Debug(LDAP_DEBUG_TRACE, "<= index_add( %ld, \"%s\" ) %d\n", static_cast<long>(e->id), e->dn.c_str(), rc);
  return rc;
}

int index_add_modifications(Backend* be, const std::vector<Modification>& mods, EntryID id) {
  for (const auto& m : mods) {
    int op = m.op & ~MOD_OP_BVALUES;
    if (op != MOD_OP_ADD && op != MOD_OP_REPLACE) continue;
    if (int rc = index_add_values(be, m.type, m.values, id)) return rc;
  }
  return 0;
}

namespace {

// Reads one index key: `read` gets the open index file and the full key.
// An attribute not indexed for the type gives notIndexed(); an index file
// that cannot be opened gives `missing`.
template <typename Result, typename NotIndexed, typename Read>
Result ReadIndexKey(Backend* be, std::string_view type, int indextype, std::string_view keytext,
                    NotIndexed notIndexed, Result missing, Read read) {
  std::string ltype(type);
  type_lowercase(ltype);
  std::string key = index_key(indextype, keytext);
  Debug(LDAP_DEBUG_TRACE, "=> index_read( \"%s\" \"%c\" \"%.*s\" )\n", ltype.c_str(),
        PrefixOf(indextype) ? PrefixOf(indextype) : '*', static_cast<int>(keytext.size()), keytext.data());
  int mask = 0;
  index_definition_of(be, ltype, &mask, nullptr);
  if (!(mask & indextype)) {
    Debug(LDAP_DEBUG_TRACE, "<= index_read (allids - not indexed)\n");
    return notIndexed();
  }
  // The children map doubles as the equality index of "id2children". A
  // lookup never creates a file: a missing index holds no keys.
  DbHandle db(be, ltype, ldbm_read_flags(be));
  if (!db) {
    Debug(LDAP_DEBUG_TRACE, "<= index_read NULL (could not open %s%s)\n", ltype.c_str(), kLdbmSuffix);
    return missing;
  }
  return read(db.get(), key);
}

}  // namespace

IDListPtr index_read(Backend* be, std::string_view type, int indextype, std::string_view keytext) {
  return ReadIndexKey<IDListPtr>(be, type, indextype, keytext, [be] { return idl_allids(be); }, IDListPtr(),
                                 [be](DbCacheSlot* slot, const std::string& key) {
                                   IDListPtr l = idl_fetch(be, slot, key);
                                   Debug(LDAP_DEBUG_TRACE, "<= index_read %d candidates\n",
                                         l ? static_cast<int>(l->nids()) : 0);
                                   return l;
                                 });
}

uint64_t index_read_estimate(Backend* be, std::string_view type, int indextype, std::string_view keytext) {
  return ReadIndexKey<uint64_t>(
      be, type, indextype, keytext, [] { return kIdlAllIdsEstimate; }, uint64_t{0},
      [be](DbCacheSlot* slot, const std::string& key) { return idl_fetch_estimate(be, slot, key); });
}

}  // namespace kry
