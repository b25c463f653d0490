// Attribute indexes: the index-definition table that "Index"
// lines and the backend's defaults configure, and the index files.
//
// Index file: "<attribute in lower case>.dbb", mapping index keys to ID
// lists (idlist.h). Index key: a prefix character and the key text, NUL
// terminated and stored with its NUL:
//   presence     "*"
//   equality     "=" + canonical value
//   approximate  "~" + phonetic code of each word
//   substring    "*^" + first two, "*" + every three, "*" + last two + "$"
//   word         "*^" + first word, "*" + each word, "*" + last word + "$"
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "back-ldbm/idlist.h"
#include "ldap/entry.h"
#include "util/avl.h"

namespace kry {

struct Backend;

enum IndexTypeBits : int {
  INDEX_PRESENCE = 0x01,
  INDEX_EQUALITY = 0x02,
  INDEX_APPROX = 0x04,
  INDEX_SUB = 0x08,
  INDEX_DEFAULT = 0x20,  // registered at backend initialisation
  INDEX_WORD = 0x40,
  INDEX_UNKNOWN = 0x80,
};
// pres, eq, approx and sub: the types of an "Index" line without a list.
constexpr int INDEX_ALL_TYPES = 0x0F;

struct IndexDef {
  std::string name;  // as configured, or "default"
  int mask = 0;
  int syntax = 0;    // the attribute's syntax at configuration time
};
using IndexDefPtr = std::shared_ptr<IndexDef>;

struct IndexTable {
  IndexTable();
  AvlTree<IndexDefPtr> tree;  // ordered by name, ignoring case
};

// One "Index" line without its keyword: argv[0] is a comma-separated list
// of attributes, argv[1] (when argc >= 2) a comma-separated list of types.
// Messages go to standard error, as the Part says. Returns 0.
int index_configure(Backend* be, const char* fname, int lineno, int argc, const char* const* argv, int isDefault);
// Registers the default index definitions.
void index_register_defaults(Backend* be);
// The definition for type, or the "default" one with type's own syntax;
// mask 0 when there is none.
void index_definition_of(Backend* be, std::string_view type, int* mask, int* syntax);

// Server-wide word mode: the first "word" type configured switches
// substring indexing and matching to words.
bool index_word_mode();
void index_set_word_mode(bool on);

// Write path: 0, or -1 when an index file cannot be opened or a store
// fails (the first failure ends the update; keys stored before it stay).
int index_add_values(Backend* be, std::string_view type, const std::vector<std::string>& values, EntryID id);
int index_add_entry(Backend* be, const Entry* e);
int index_add_modifications(Backend* be, const std::vector<Modification>& mods, EntryID id);
int add_value(Backend* be, DbCacheSlot* slot, int indextype, std::string_view keytext, EntryID id);

// Read path: the ID list of one key; All IDs when the attribute is not
// indexed for that type; null when the key is absent or the file cannot be
// opened.
IDListPtr index_read(Backend* be, std::string_view type, int indextype, std::string_view keytext);
// The size index_read would return, judged from the first stored record
// (see idl_fetch_estimate); kIdlAllIdsEstimate when the attribute is not
// indexed for the type, 0 when there is no such key. A list read whole on
// the way goes to *whole when given (index_read's answer for the key).
uint64_t index_read_estimate(Backend* be, std::string_view type, int indextype, std::string_view keytext,
                             IDListPtr* whole = nullptr);

// The key bytes (without NUL) of one index type and key text.
std::string index_key(int indextype, std::string_view keytext);

}  // namespace kry
