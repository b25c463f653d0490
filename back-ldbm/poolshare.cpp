#include "back-ldbm/poolshare.h"

#include "back-ldbm/ldbm.h"
#include "util/strutil.h"

namespace kry {

namespace {

struct Weight {
  std::string_view file;
  int units;
};

// Lookups read id2entry on every entry-cache miss and dn2id for every
// parent; the user-ID index carries the substring keys, with the longest ID
// lists; key-ID lookups are the commonest search. Every other file has one
// unit.
constexpr Weight kWeights[] = {{"id2entry", 4}, {"kryuserid", 3}, {"dn2id", 2}, {"krykeyid", 2}};

int UnitsOf(std::string_view name) {
  for (const Weight& w : kWeights)
    if (StrIEquals(name, w.file)) return w.units;
  return 1;
}

// Units of the worst case: the weighted files open together with ordinary
// ones in every other slot of the handle cache.
int TotalUnits() {
  int units = 0;
  for (const Weight& w : kWeights) units += w.units;
  return units + kDbCacheSlots - static_cast<int>(sizeof kWeights / sizeof kWeights[0]);
}

}  // namespace

long ldbm_file_pool_size(const LdbmState& li, std::string_view name) {
  if (li.dbCacheSize >= 0) return li.dbCacheSize;
  return li.dbCacheTotal / TotalUnits() * UnitsOf(name);
}

}  // namespace kry
