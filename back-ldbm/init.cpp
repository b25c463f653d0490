// ldbm_back_init and ldbm_back_release.
#include <atomic>
#include <new>

#include "back-ldbm/index.h"
#include "back-ldbm/ldbm.h"
#include "back-ldbm/ldbm_ops.h"
#include "ldap/syntax.h"
#include "log/trace.h"

namespace kry {

namespace {
// The syntax table and the word-mode switch are process-wide, while a
// scratch backend (the console's configuration check) may live beside the
// server's own. They are reset when the first ldbm backend appears and
// discarded when the last one goes.
std::atomic<int> g_liveBackends{0};
}  // namespace

int ldbm_back_init(Backend* be) {
  try {
    auto li = std::make_unique<LdbmState>();
    be->ldbm = std::move(li);
    if (g_liveBackends.fetch_add(1) == 0) index_set_word_mode(false);
    const char* dnSyntax[] = {"dn", "dn"};
    attr_syntax_define("ldbm dn initialization", 0, 2, dnSyntax);
    index_register_defaults(be);
  } catch (const std::bad_alloc&) {
    if (be->ldbm) g_liveBackends.fetch_sub(1);
    be->ldbm.reset();
    return 1;
  }
  return 0;
}

int ldbm_back_release(Backend* be) {
  Debug(LDAP_DEBUG_TRACE, "=> ldbm_back_release\n");
  if (be->ldbm) {
    be->ldbm->indexes.tree.Clear();
    if (g_liveBackends.fetch_sub(1) == 1) attr_syntax_release();
    be->ldbm.reset();  // locks, slots, cache and directory go with the state
  }
  Debug(LDAP_DEBUG_TRACE, "<= ldbm_back_release\n");
  return 0;
}

}  // namespace kry
