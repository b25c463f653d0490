// Testing a decoded filter against an entry. Results: 0 the filter
// matches, 1 it does not, -1 undefined for the entry (attribute missing,
// pattern errors), -2 access control denies search access. Callers treat
// every non-zero result as no match.
#pragma once

namespace kry {

struct Backend;
struct Connection;
struct Operation;
struct Entry;
struct Filter;

// With a null backend (or connection) the access checks are skipped. The
// substring test takes the regular-expression lock itself, so the caller
// must not hold it.
int test_filter(Backend* be, Connection* conn, Operation* op, const Entry* e, const Filter* f);

}  // namespace kry
