// What a cached entry costs the process: the entry cache is bounded by the
// sum of these estimates.
#pragma once

#include <cstddef>

#include "ldap/entry.h"

namespace kry {

// Heap bytes held by `e` and by the entry cache for it: the Entry itself, its
// DN, attribute array, type names, value arrays and values (each allocation
// with the allocator's own header and rounding), any derived value cached
// with it, and its two cache tree nodes.
size_t entry_memory_cost(const Entry& e);

}  // namespace kry
