// Directory entries and attributes and the entry text form that
// the backend stores.
//
// Entry text form (entry_to_text / str2entry):
//   [ID "\n"]                       decimal EntryID, only when withID is set
//   "dn: " DN "\n"                  through ldif_put_value, like every line
//   type ": " value "\n"            one line per value, attributes in order
// Lines follow ldif.h (base64 for values that are not plain printable text,
// folding at 76 columns). Values of the key-block types "krykey" and
// "krykeyv2" (any case) are written with every line feed replaced by "!" and
// every carriage return by "@", and read back the other way.
//
// Values are std::string: a counted byte string that is always followed by
// a NUL that its length does not count (the BerValue of the design).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kry {

// Entry number, handed out from 1 upward; NOID means none.
using EntryID = uint32_t;
constexpr EntryID NOID = 0xFFFFFFFFu;

struct Attribute {
  std::string type;                 // lower case
  std::vector<std::string> values;  // in the order added; never empty strings
  int syntax = 0;                   // SyntaxBits of the type (syntax.h)
};

// Names a search derives from an entry's DN (cert/keyattrs.h).
struct EntryNames {
  int certRc = 1;          // 0 when certID holds the certificate ID
  std::string certID;      // 16 hexadecimal digits
  std::string key;         // the DN, normalised and upper case
  size_t parentAt = 0;     // where the parent's DN starts in key; key.size() at the top
  std::string_view ParentKey() const { return std::string_view(key).substr(parentAt); }
};

// Entry-cache states.
enum EntryState : uint8_t { ENTRY_STATE_READY = 0, ENTRY_STATE_DELETED = 1, ENTRY_STATE_CREATING = 2 };

struct Entry {
  std::string dn;                // as received / as stored
  std::vector<Attribute> attrs;  // in the order first added
  EntryID id = 0;                // 0 when the text carried none

  // Entry-cache bookkeeping, guarded by the cache lock of the
  // cache that holds the entry. Nobody else touches these.
  uint8_t state = ENTRY_STATE_READY;
  int refcnt = 0;
  size_t cacheCost = 0;  // entry_memory_cost when cached

  // Worked out once, by the first reader that needs them, and then shared by
  // every reader: an entry's DN never changes while it is shared (a modify
  // or rename caches a new copy), so these never go stale.
  mutable std::once_flag namesOnce;
  mutable EntryNames names;
  Entry* lruNext = nullptr;
  Entry* lruPrev = nullptr;

  Entry() = default;
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
};

using EntryPtr = std::unique_ptr<Entry>;

// Frees an entry that is not (or no longer) owned by an entry cache.
void entry_release(Entry* e);

// First attribute whose type equals `type` ignoring case, or null.
Attribute* attr_lookup(Entry* e, std::string_view type);
const Attribute* attr_lookup(const Entry* e, std::string_view type);
// Removes the first attribute of that type: 0 when one was removed, 1 when
// there was none.
int attr_remove(Entry* e, std::string_view type);
// Finds or appends the attribute (new ones get the type in lower case and
// the registry's syntax) and appends copies of the values; zero-length
// values are skipped. Returns 0.
int attr_merge(Entry* e, std::string_view type, const std::vector<std::string>& values);
int attr_merge(Entry* e, std::string_view type, std::string_view value);
// ASCII lower-casing of a type name in place.
std::string& type_lowercase(std::string& type);
char* type_lowercase(char* type);

// True for "krykey" and "krykeyv2", ignoring case.
bool is_key_block_type(std::string_view type);

// Builds an entry from its text form; null when the text has no "dn" line.
// Lines that do not parse are skipped (traced).
EntryPtr str2entry(std::string_view text);

// Writes the text form of `e` into `out` (replacing its content). Thread-safe.
void entry_to_text(const Entry& e, bool withID, std::string* out);
std::string entry_to_text(const Entry& e, bool withID);

// The design's shared-buffer form: the text lives in a module buffer that
// stays valid until the next call. Callers serialise with the entry-text
// lock (Globals::entryTextLock). entry_text_release frees the buffer.
const char* entry2str(const Entry* e, int* length, int withID);
void entry_text_release();

// One element of a modification list.
enum ModOp : int { MOD_OP_ADD = 0, MOD_OP_DELETE = 1, MOD_OP_REPLACE = 2, MOD_OP_BVALUES = 0x80 };
struct Modification {
  int op = MOD_OP_ADD;  // ModOp, bit 0x80 ignored by the backend
  std::string type;
  std::vector<std::string> values;
};

// An attribute-value assertion (compare requests).
struct Ava {
  std::string type;
  std::string value;
};

}  // namespace kry
