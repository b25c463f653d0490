// Berkeley DB pool size of each database file. "DBCacheSize" gives every
// file the same pool; without it the files share "DBCacheTotal" by weight.
#pragma once

#include <string_view>

namespace kry {

struct LdbmState;

// Bytes of pool for the file `name` (without suffix). The shares are such
// that any set of files the handle cache can hold open at once stays within
// the total, the busy files (entries, DNs, user-ID and key-ID indexes)
// getting the larger shares.
long ldbm_file_pool_size(const LdbmState& li, std::string_view name);

}  // namespace kry
