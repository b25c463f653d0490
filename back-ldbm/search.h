// The ldbm backend's search: candidate entry IDs from the attribute indexes
// for a filter and scope, then each candidate read through the entry cache,
// tested and sent. Candidates are always a superset of the matches: every
// candidate is still tested against the filter.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "back-ldbm/idlist.h"

namespace kry {

struct Backend;
struct Connection;
struct Operation;
struct Filter;

// Candidates of a filter: an ID list, All IDs, or null for none.
IDListPtr filter_candidates(Backend* be, const Filter* f);

// Scope candidates. A missing base sets *err to 32 (noSuchObject) and
// *matched to the matched DN and gives null; so does a scope outside 0..2
// with *err 2. The base is looked up by DN only: no entry is read.
IDListPtr base_candidates(Backend* be, const std::string& base, int* err, std::string* matched);
IDListPtr onelevel_candidates(Backend* be, const std::string& base, const Filter* f, int* err,
                              std::string* matched);
IDListPtr subtree_candidates(Backend* be, const std::string& base, const Filter* f, int* err,
                             std::string* matched);

// The search operation of the backend table (see BackendOps::search): sends
// the entries and the final result. 0 when the search ran (or was
// abandoned), -1 when it failed before the first candidate (a result was
// sent). deref and filterText are not used.
int ldbm_back_search(Backend* be, Connection* conn, Operation* op, const std::string& base, int scope, int deref,
                     int sizelimit, int timelimit, Filter* filter, const std::string& filterText,
                     const std::vector<std::string>* attrs, int attrsonly);

}  // namespace kry
