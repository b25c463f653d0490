// The add request handler: decoding, the choice between a plain directory
// add and a group update, and the hand-off of the entry to the backend.
#include "ldap/add.h"

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "back-ldbm/backend.h"
#include "back-ldbm/commit.h"
#include "cert/addkey.h"
#include "cert/certentry.h"
#include "cert/keydelete.h"
#include "cert/replog.h"
#include "cert/request.h"
#include "cert/tlsclient.h"
#include "log/accesslog.h"
#include "log/metrics.h"
#include "ldap/ber.h"
#include "ldap/dispatch.h"
#include "ldap/dn.h"
#include "ldap/entry.h"
#include "ldap/operation.h"
#include "ldap/request_backend.h"
#include "ldap/result.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "platform/pgp/kry.h"
#include "runtime/connection.h"
#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

namespace {

// The current time of the key library as "%Y%m%d%H%M%SZ" (UTC); empty when
// it cannot be broken down.
std::string GeneralizedTimeNow() {
  std::string text;
  KRYTime2GeneralizedTime(KRYGetTime(), &text);
  return text;
}

// The text of an add whose entries the backend could not write.
constexpr const char kStoreFailedText[] =
    "The server could not store this request: writing to its database failed.  Try again later.";

const char* ResultText(const Operation* op, int err, const char* chosen) {
  if (op->o_storeFailed && err == LDAP_OPERATIONS_ERROR) return kStoreFailedText;
  return chosen;
}

int Refuse(const char* why) {
  LogError(EVENTLOG_WARNING, "%s", why);
  return LDAP_INSUFFICIENT_ACCESS;
}

void ProtocolDataError(Connection* conn, Operation* op, const char* event) {
  LogError(EVENTLOG_INFO, "%s", event);
  send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, nullptr);
}

// Hands one entry to the backend's add with the time of the change (the
// server's, whatever the client sent). Keeps the first failure's result.
void StoreEntry(Backend* be, Connection* conn, Operation* op, EntryPtr e, int merge, const std::string& now,
                std::string* request, int* replicated, int* err, std::string* matched) {
  attr_remove(e.get(), "modifytimestamp");
  attr_merge(e.get(), "modifytimestamp", now);
  int rc = LDAP_SUCCESS;
  std::string m;
  be->ops.add(be, conn, op, e.release(), merge, request, replicated, &rc, &m);
  if (rc != LDAP_SUCCESS && *err == LDAP_SUCCESS) {
    *err = rc;
    *matched = m;
  }
}

// The key-block attributes of a certificate entry, which its replication
// record carries; null when memory runs out (the add goes on unrecorded, as
// a record that cannot be written never fails the change).
EntryPtr KeyBlocksOf(const Entry& cert) {
  try {
    auto blocks = std::make_unique<Entry>();
    for (const Attribute& a : cert.attrs)
      if (is_key_block_type(a.type)) blocks->attrs.push_back(a);
    return blocks;
  } catch (const std::bad_alloc&) {
    Debug(LDAP_DEBUG_ANY, "kryRepLog: out of memory\n");
    return nullptr;
  }
}

// A signed delete or disable request that has been authorised. The key IDs
// reach the access log only when every key was handled.
int CarryOutKeyDelete(Connection* conn, Operation* op, Backend* be, AddRequestState* state) {
  std::string text;
  const int rc = HandleKeyDelete(be, conn, op, state->list.slots[0].get(), state->keyIDs,
                                 state->kind == kRequestDelete, state->location, &text);
  if (rc != LDAP_SUCCESS) {
    if (!text.empty()) state->SetText(text.c_str());
    return rc;
  }
  std::string joined;
  for (const std::string& id : state->keyIDs) joined += (joined.empty() ? "" : " ") + id;
  op->o_logDetail.keyIDs = joined;
  return LDAP_SUCCESS;
}

// A key submission at the virtual DN: the add pipeline builds the
// certificate and user-ID entries, which are stored with replace semantics.
void do_add_key(Connection* conn, Operation* op, Backend* be, EntryPtr e) {
  AddRequestState state;
  if (GrowEntries(&state.list, 1) != 0) {
    LogError(EVENTLOG_ERROR, "Memory allocation error.");
    send_ldap_result(conn, op, LDAP_OPERATIONS_ERROR, nullptr, MapErrorCodeToMsg(LDAP_OPERATIONS_ERROR));
    return;
  }
  e->dn.clear();  // the certificate DN is set by the pipeline
  state.list.slots[0] = std::move(e);
  state.list.count = 1;
  RequestKeysHolder keys;
  int err = HandleAddRequest(&state, be, conn, op, &keys);
  std::string matched;
  if (state.kind == kRequestDelete || state.kind == kRequestDisable) {
    op->o_logType = kLogDelete;
    if (err == LDAP_SUCCESS) err = CarryOutKeyDelete(conn, op, be, &state);
    metrics::NoteKeysChanged();
  } else if (state.kind == kRequestBlock || state.kind == kRequestUnblock) {
    op->o_logType = kLogDelete;  // carried out (or refused) by HandleAddRequest; nothing to store
    metrics::NoteKeysChanged();
  } else if (err == LDAP_SUCCESS) {
    err = StoreKeyEntries(be, conn, op, &state, &matched);
  }
  if (state.kind != kRequestDelete && state.kind != kRequestDisable)
    metrics::CountSubmission(metrics::SubmissionOf(err, op->o_logType == kLogModify, !state.passedPolicy));
  const char* text = ResultText(op, err, state.hasText ? state.text.c_str() : MapErrorCodeToMsg(err));
  send_ldap_result(conn, op, err, matched.empty() ? nullptr : matched.c_str(), text);
}

}  // namespace

int StoreKeyEntries(Backend* be, Connection* conn, Operation* op, AddRequestState* state, std::string* matched) {
  int err = LDAP_SUCCESS;
  const std::string now = GeneralizedTimeNow();
  const EntryPtr record = KeyBlocksOf(*state->list.slots[0]);
  // The backend sees one entry at a time and would log the add at the
  // certificate entry, before its user-ID entries are stored.
  int replicated = 1;
  {
    // One sync for the certificate and all its user-ID entries, shared
    // with the adds of other connections, before the answer and the
    // replication record.
    LdbmCommitScope commit(be);
    for (int i = 0; i < state->list.count; ++i) {
      EntryPtr entry = std::move(state->list.slots[static_cast<size_t>(i)]);
      if (entry && !entry->dn.empty())
        StoreEntry(be, conn, op, std::move(entry), 1, now, nullptr, &replicated, &err, matched);
    }
    if (commit.Commit() != 0 && err == LDAP_SUCCESS) {
      op->o_storeFailed = true;
      err = LDAP_OPERATIONS_ERROR;
    }
  }
  // Only an add stored whole reaches the replicas; one cut short is
  // completed, and logged, by the recovery after the restart.
  if (err == LDAP_SUCCESS) {
    if (state->authorised)
      kryRepLogRequest(conn, op->o_tag, state->request);
    else if (record)
      kryRepLog(be, conn, op->o_tag, kVirtualKeyDN, record.get(), false);
  }
  if (!state->passedPolicy && err == LDAP_SUCCESS) {
    err = 49;
    if (!state->hasText) state->SetText("Due to certificate not passing policy, its addition is awaiting approval.");
  }
  return err;
}

int VerifyGroupUpdate(Backend* /*be*/, Connection* conn, Operation* /*op*/) {
  if (!HasTLSClientKey(conn)) return Refuse("Client requesting to update group was not authenticated.");
  if (!g_globals || g_globals->allowGroupUpdate.empty()) return Refuse("The updating of groups has not been configured.");
  const std::string keyID = FullKeyIDText(static_cast<KRYKeyRef>(conn->c_clientKey));
  if (keyID.empty()) return Refuse("Client's TLS key was invalid.");
  // Group membership decides who may sign for others, so only the full
  // 16-digit ID names a key here: short IDs are easy to forge.
  if (KeyIDAllowed(g_globals->allowGroupUpdate, keyID, /*acceptShort=*/false)) return LDAP_SUCCESS;
  return Refuse("Insufficient access to update groups.");
}

void do_add(Connection* conn, Operation* op) {
  Debug(LDAP_DEBUG_TRACE, "do_add\n");
  BerBuffer* ber = op->o_ber.get();
  auto e = std::make_unique<Entry>();
  if (ber_scanf(ber, "{a", &e->dn) == -1) {
    Debug(LDAP_DEBUG_ANY, "ber_scanf failed\n");
    ProtocolDataError(conn, op, "Invalid or corrupt protocol data received.");
    return;
  }
  ber_len_t len = 0;
  size_t last = 0;
  for (ber_tag_t tag = ber_first_item(ber, &len, &last); tag != LBER_DEFAULT; tag = ber_next_item(ber, &len, last)) {
    std::string type;
    std::vector<BerValue> values;
    if (ber_scanf(ber, "{a{V}}", &type, &values) == -1) {
      ProtocolDataError(conn, op, "Invalid or corrupt protocol data received.");
      return;
    }
    if (values.empty()) {
      ProtocolDataError(conn, op, "Incomplete LDAP operation received.");
      return;
    }
    std::vector<std::string> bytes;
    bytes.reserve(values.size());
    for (BerValue& v : values) bytes.push_back(std::move(v.bv_val));
    attr_merge(e.get(), type, bytes);
  }
  dn_normalize(e->dn);
  const std::string dn = e->dn;
  op->o_logDetail.dn = dn;
  LogError(EVENTLOG_VERBOSE, "conn=%d op=%d ADD dn=%s.", static_cast<int>(conn->c_connid), op->o_opid, dn.c_str());

  Backend* be = request_backend(conn, op, dn, &BackendOps::add, LDAP_OPERATIONS_ERROR,
                                "Database not configured properly.");
  if (!be) return;

  int merge = 0;
  if (StrIEquals(dn, kVirtualKeyDN)) {
    do_add_key(conn, op, be, std::move(e));
    return;
  }
  if (StrIEquals(dn, kGroupDN)) {
    if (int rc = VerifyGroupUpdate(be, conn, op)) {
      send_ldap_result(conn, op, rc, nullptr, nullptr);
      return;
    }
    merge = 1;
  } else {
    // A plain directory add is logged like the other plain LDAP updates,
    // with its request name and target DN.
    op->o_logType = kLogLdap;
    op->o_logDetail.code[0] = 'A';
    op->o_logDetail.code[1] = 'D';
    op->o_logDetail.code[2] = 'D';
  }

  int replicated = 0, err = LDAP_SUCCESS;
  std::string matched;
  StoreEntry(be, conn, op, std::move(e), merge, GeneralizedTimeNow(), nullptr, &replicated, &err, &matched);
  send_ldap_result(conn, op, err, matched.empty() ? nullptr : matched.c_str(), ResultText(op, err, nullptr));
}

}  // namespace kry
