#include "cert/servedkeys.h"

#include <new>
#include <string>

#include "log/eventlog.h"
#include "platform/pgp/keybytes.h"
#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

namespace {

bool IsKeyBlockType(const std::string& type) { return StrIEquals(type, "krykey") || StrIEquals(type, "krykeyv2"); }

// A block that cannot be read is served as stored: it passed the add
// pipeline, and leaving it out would hide the key altogether.
void CutValues(Attribute* a) {
  for (std::string& v : a->values) {
    std::string cut;
    const KRYError err = KRYKeepOwnSignatures(v.data(), v.size(), true, &cut);
    if (err == kKRYError_NoErr)
      v = std::move(cut);
    else
      LogError(EVENTLOG_WARNING, "A stored key block could not be cut to its own signatures (library error %d).",
               static_cast<int>(err));
  }
}

}  // namespace

bool ServingOwnSignaturesOnly() { return g_globals->ServeOwnSignaturesOnly; }

int CutServedKeyBlocks(const Entry* e, std::vector<Attribute>* virtualAttrs, std::vector<Attribute>* entryAttrs,
                       bool* useCopy) {
  *useCopy = false;
  try {
    for (Attribute& a : *virtualAttrs)
      if (IsKeyBlockType(a.type)) CutValues(&a);
    bool holdsBlock = false;
    for (const Attribute& a : e->attrs) holdsBlock = holdsBlock || IsKeyBlockType(a.type);
    if (!holdsBlock) return 0;
    *entryAttrs = e->attrs;
    for (Attribute& a : *entryAttrs)
      if (IsKeyBlockType(a.type)) CutValues(&a);
    *useCopy = true;
  } catch (const std::bad_alloc&) {
    return 1;
  }
  return 0;
}

}  // namespace kry
