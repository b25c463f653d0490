// Backend registry.
#include "back-ldbm/backend.h"

#include "back-ldbm/cache.h"
#include "back-ldbm/ldbm.h"
#include "back-ldbm/ldbm_ops.h"
#include "back-ldbm/ops.h"
#include "back-ldbm/search.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "util/strutil.h"

namespace kry {

Backend::Backend() = default;
Backend::~Backend() = default;

namespace {

int ldbm_back_unbind(Backend*, Connection*, Operation*) { return 0; }
int ldbm_back_abandon(Backend*, Connection*, Operation*, int) { return 0; }

void FillLdbmOps(BackendOps* ops) {
  // bind, search, compare, modify, modrdn, add and delete
  // are installed here when they exist; until then their slots are null.
  ldbm_install_request_ops(ops);
  ops->search = ldbm_back_search;
  ops->unbind = ldbm_back_unbind;
  ops->abandon = ldbm_back_abandon;
  ops->config = ldbm_back_config;
  ops->init = ldbm_back_init;
  ops->close = ldbm_back_close;
  ops->sync = ldbm_back_sync;
  ops->release = ldbm_back_release;
}

}  // namespace

Backend* backend_new(const char* type, std::vector<std::unique_ptr<Backend>>& list) {
  if (!type || !StrIEquals(type, "ldbm")) return nullptr;
  std::unique_ptr<Backend> be;
  try {
    be = std::make_unique<Backend>();
    be->type = type;
    be->readOnly = 0;
    be->replicas.clear();
    FillLdbmOps(&be->ops);
    if (be->ops.init && be->ops.init(be.get()) != 0) return nullptr;
    list.push_back(std::move(be));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return list.back().get();
}

Backend* backend_select(std::vector<std::unique_ptr<Backend>>& list, const char*) {
  return list.empty() ? nullptr : list.front().get();
}

int backend_config(Backend* be, const char* fname, int lineno, int argc, char** argv) {
  if (!be || !be->ops.config) {
    LogError(EVENTLOG_ERROR, "%s(%d): Unknown configuration value (%s).\n", fname ? fname : "", lineno,
             argc > 0 && argv && argv[0] ? argv[0] : "");
    return 2;
  }
  return be->ops.config(be, fname, lineno, argc, argv);
}

const std::string& backend_directory(const Backend* be) {
  static const std::string empty;
  return be && be->ldbm ? be->ldbm->directory : empty;
}

void backend_set_directory(Backend* be, const std::string& dir) {
  if (!be || !be->ldbm) return;
  std::string d = dir;
  for (char& c : d)
    if (c == '\\') c = '/';
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  be->ldbm->directory = d;
}

void backend_sync_all(std::vector<std::unique_ptr<Backend>>& list) {
  LogError(EVENTLOG_VERBOSE, "Commiting database cache data to disk.");
  for (auto& be : list) {
    if (!be->ops.close) continue;
    if (be->ops.sync) be->ops.sync(be.get());
    cache_check_refcounts(be.get());
  }
}

void ReleaseBackends(std::vector<std::unique_ptr<Backend>>& list) {
  Debug(LDAP_DEBUG_TRACE, "=> ReleaseBackends\n");
  for (auto& be : list) {
    be->replicas.clear();
    if (be->ops.release) be->ops.release(be.get());
  }
  list.clear();
  Debug(LDAP_DEBUG_TRACE, "<= ReleaseBackends\n");
}

void backend_close_all(std::vector<std::unique_ptr<Backend>>& list) {
  for (auto& be : list)
    if (be->ops.close) be->ops.close(be.get());
  ReleaseBackends(list);
}

void backend_unbind_all(std::vector<std::unique_ptr<Backend>>& list, Connection* conn, Operation* op) {
  for (auto& be : list)
    if (be->ops.unbind) be->ops.unbind(be.get(), conn, op);
}

}  // namespace kry
