#include "cert/keydelete.h"

#include "back-ldbm/cache.h"
#include "back-ldbm/dbcache.h"
#include "back-ldbm/dn2id.h"
#include "back-ldbm/id2children.h"
#include "back-ldbm/id2entry.h"
#include "back-ldbm/idlist.h"
#include "back-ldbm/ops.h"
#include "back-ldbm/ops_common.h"
#include "cert/access.h"
#include "cert/certentry.h"
#include "cert/keydigests.h"
#include "cert/replog.h"
#include "ldap/dn.h"
#include "ldap/operation.h"
#include "ldap/result.h"
#include "log/trace.h"
#include "util/strutil.h"

namespace kry {

namespace {

constexpr int kKeyIDSlot = 19;  // "0x" + 16 characters and a blank

// Holds a cache reference and gives it back.
class EntryRef {
 public:
  EntryRef(Backend* be, Entry* e) : be_(be), e_(e) {}
  ~EntryRef() { Reset(); }
  EntryRef(const EntryRef&) = delete;
  EntryRef& operator=(const EntryRef&) = delete;
  Entry* get() const { return e_; }
  Entry* Release() {
    Entry* e = e_;
    e_ = nullptr;
    return e;
  }
  void Reset(Entry* e = nullptr) {
    if (e_) cache_return_entry(be_, e_);
    e_ = e;
  }

 private:
  Backend* be_;
  Entry* e_;
};

// The request's signed block is logged under its own type while the
// record is written, so that replicas check the signature themselves.
void LogRequest(Connection* conn, Operation* op, Entry* request) {
  if (!request || request->attrs.empty()) return;
  Attribute& a = request->attrs[0];
  const std::string saved = a.type;
  a.type = "kryRequest";
  kryRepLog(nullptr, conn, op ? op->o_tag : 0, request->dn, request, true);
  a.type = saved;
}

// Removes one leaf entry: child link, DN map, entry map and cache.
int DeleteEntry(Backend* be, Connection* conn, Entry* e) {
  if (has_children(be, e)) return LDAP_NOT_ALLOWED_ON_NONLEAF;
  if (!ldbm_access(be, conn, ACL_DELETE)) return LDAP_INSUFFICIENT_ACCESS;
  Entry* parent = nullptr;
  if (std::optional<std::string> pdn = dn_get_parent(be, e->dn)) parent = entry_by_dn(be, *pdn);
  EntryRef parentRef(be, parent);
  std::string key = e->dn;
  if (id2children_remove(be, parent, e) != 0 || dn2id_delete(be, key) != 0 || id2entry_delete(be, e) != 0)
    return LDAP_OPERATIONS_ERROR;
  KeyDigestChanged(be, e->id, KeyDigestOf(e), std::string());
  return LDAP_SUCCESS;
}

// Fetches the certificate and checks what deleting and disabling share.
int OpenCertificate(Backend* be, Connection* conn, Operation* op, const std::string& certDN, EntryRef* cert,
                    std::vector<EntryID>* children) {
  Entry* e = entry_by_dn(be, certDN);
  if (!e) return LDAP_NO_SUCH_OBJECT;
  cert->Reset(e);
  if (!ldbm_access(be, conn, ACL_DELETE)) return LDAP_INSUFFICIENT_ACCESS;
  if (op && op->Abandoned()) return 88;
  if (GetKeysChildren(be, e, children) != 0) return LDAP_OPERATIONS_ERROR;
  return LDAP_SUCCESS;
}

}  // namespace

int DeleteKey(Backend* be, Connection* conn, Operation* op, Entry* request, const std::string& certDN) {
  Debug(LDAP_DEBUG_TRACE, "=> DeleteKey\n");
  MutexGuard update(ldbm_update_lock());
  EntryRef cert(be, nullptr);
  std::vector<EntryID> children;
  int rc = OpenCertificate(be, conn, op, certDN, &cert, &children);
  if (rc == LDAP_SUCCESS) {
    bool childFailed = false;
    for (EntryID id : children) {
      EntryRef child(be, id2entry(be, id));
      if (!child.get()) continue;  // already gone
      const int crc = DeleteEntry(be, conn, child.get());
      if (crc != LDAP_SUCCESS && crc != LDAP_NO_SUCH_OBJECT) childFailed = true;
    }
    if (childFailed) {
      rc = LDAP_NOT_ALLOWED_ON_NONLEAF;
    } else {
      id2children_delete_all(be, cert.get());
      LogRequest(conn, op, request);
      rc = DeleteEntry(be, conn, cert.get());
    }
  }
  Debug(LDAP_DEBUG_TRACE, "<= DeleteKey, rc=%d\n", rc);
  return rc;
}

int SetDisableFlag(Backend* be, Connection* conn, Operation* op, Entry* e, const char* value) {
  const Attribute* a = attr_lookup(e, "kryDisabled");
  if (a && a->values.size() == 1 && a->values[0] == value) {
    cache_return_entry(be, e);
    return LDAP_NO_SUCH_OBJECT;
  }
  std::vector<Modification> mods(1);
  mods[0].op = (a ? MOD_OP_REPLACE : MOD_OP_ADD) | MOD_OP_BVALUES;
  mods[0].type = "kryDisabled";
  mods[0].values = {value};
  int err = LDAP_SUCCESS;
  std::string matched;
  const std::string dn = e->dn;
  modify_internal(be, conn, op, dn, e, mods, &err, &matched);
  if (err == LDAP_SUCCESS && op && op->Abandoned()) err = 88;
  ldbm_cache_sync_all(be);
  return err;
}

int DisableKey(Backend* be, Connection* conn, Operation* op, Entry* request, const std::string& certDN) {
  Debug(LDAP_DEBUG_TRACE, "=> DisableKey\n");
  // No update lock here: each modify takes it for its own change.
  EntryRef cert(be, nullptr);
  std::vector<EntryID> children;
  int rc = OpenCertificate(be, conn, op, certDN, &cert, &children);
  if (rc == LDAP_SUCCESS) rc = SetDisableFlag(be, conn, op, cert.Release(), "1");
  if (rc == LDAP_SUCCESS) {
    std::vector<EntryID> marked;
    for (EntryID id : children) {
      Entry* child = id2entry(be, id);
      if (!child) continue;  // removed meanwhile: nothing to mark
      rc = SetDisableFlag(be, conn, op, child, "1");
      if (rc != LDAP_SUCCESS) break;
      marked.push_back(id);
    }
    if (rc != LDAP_SUCCESS) {
      // Undo only this request's marks; the certificate keeps its own.
      for (EntryID id : marked)
        if (Entry* child = id2entry(be, id)) SetDisableFlag(be, conn, op, child, "0");
    } else {
      LogRequest(conn, op, request);
    }
  }
  Debug(LDAP_DEBUG_TRACE, "<= DisableKey, rc=%d\n", rc);
  return rc;
}

int HandleKeyDelete(Backend* be, Connection* conn, Operation* op, Entry* request,
                    const std::vector<std::string>& keyIDs, bool isDelete, int location, std::string* text) {
  text->clear();
  if (keyIDs.empty()) return LDAP_PROTOCOL_ERROR;
  int first = LDAP_SUCCESS;
  std::string failed;
  for (const std::string& id : keyIDs) {
    std::string dn;
    if (id.size() < 18 || CreateKeyDN(id.c_str() + 2, false, location, &dn) != 0) return 90;
    const int rc = isDelete ? DeleteKey(be, conn, op, request, dn) : DisableKey(be, conn, op, request, dn);
    if (rc == LDAP_SUCCESS) continue;
    if (first == LDAP_SUCCESS) first = rc;
    failed.append(id, 0, kKeyIDSlot - 1);
    failed += ' ';
  }
  if (first != LDAP_SUCCESS) *text = (isDelete ? "Keys not deleted: " : "Keys not disabled: ") + failed;
  return first;
}

}  // namespace kry
