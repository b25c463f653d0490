// The ldbm backend's own operations, installed in the Backend's
// operation table by backend_new. The request operations of Parts 4.5 and
// 4.7 (ldbm_back_bind, _search, _compare, _modify, _modrdn, _add, _delete)
// join the table when they are implemented.
#pragma once

namespace kry {

struct Backend;

// Builds the private state: defaults, the "dn" syntax, the default indexes.
// 0, or 1 when memory runs out (the backend is then unusable).
int ldbm_back_init(Backend* be);
// 0 accepted (warnings included), 1 error, 2 unknown keyword.
int ldbm_back_config(Backend* be, const char* fname, int lineno, int argc, char** argv);
// Syncs every open file.
int ldbm_back_sync(Backend* be);
// Syncs, frees the entry cache, closes every file. The state stays, so the
// backend can be used again (files reopen on demand).
int ldbm_back_close(Backend* be);
// Frees the index table, the syntax table and the private state.
int ldbm_back_release(Backend* be);

}  // namespace kry
