// HandleAddRequest and the result texts of key submissions.
#include <string>

#include "cert/addkey.h"
#include "cert/keyid2entry.h"
#include "cert/keystanding.h"
#include "cert/request.h"
#include "cert/tlsclient.h"
#include "cert/blockpurge.h"
#include "runtime/connection.h"
#include "ldap/entry.h"
#include "ldap/operation.h"
#include "ldap/result.h"
#include "log/eventlog.h"
#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

const char* MapErrorCodeToMsg(int code) {
  switch (code) {
    case 1:
      return "An error was detected on the server processing this request.  Consult the server admininstrator for "
             "assistance.";
    case 2:
      return "The data provided to the server was invalid or corrupt.";
    case 3:
      return "This operation exceeded the maximum time limit for a single request.";
    case 4:
      return "The number of certificates returned by this search exceeds the maximum set for this server.";
    case 8:
      return "This request must be signed by an authorized person.";
    case 48:
      return "The authorization used for this request was invalid and unnecessary.";
    case 50:
      return "You do not have authority to perform this action.";
    case 90:
      return "Server out of memory.";
    default:
      return nullptr;
  }
}

namespace {

constexpr const char kBadSignature[] = "Invalid signature or malformed signature on signed request.";

int BadSignature(AddRequestState* state) {
  state->SetText(kBadSignature);
  return 21;
}

// Whether the request is signed by the named key itself, read from its
// stored ACTIVE copy. 0 with *verified set, or 21 when the key or its
// signature cannot be read.
int VerifySelfSigned(AddRequestState* state, Backend* be, const RequestKeys& keys, bool* verified) {
  *verified = false;
  std::string keyID = ToUpper(state->keyIDs[0].substr(2));
  std::string block;
  if (KeyID2Entry(be, &keyID, &block) != 0) return BadSignature(state);
  KRYImportOptions in{};
  in.inputBuffer = block.data();
  in.inputLength = block.size();
  KeySetHolder self;
  if (KRYImportKeySet(keys.context, &in, self.out()) != 0) return BadSignature(state);
  std::string signer;
  if (VerifyCertRequest(state->request.data(), state->request.size(), self.get(), keys.context, verified,
                        &signer) != 0)
    return BadSignature(state);
  *verified = *verified && StrIEquals(signer, keyID) && SignerMayAuthorise(be, keys.context, self.get(), keyID);
  return 0;
}

// The client's TLS key as an authority: 0 with *id set (empty when the
// connection has no client key, or when the key was revoked or disabled
// since the handshake), or 50 when the key's ID cannot be read.
int ReadClientKeyID(Backend* be, Connection* conn, const RequestKeys& keys, std::string* id) {
  id->clear();
  if (!HasTLSClientKey(conn)) return 0;
  if (!KeyMayAuthorise(be, keys.context, static_cast<KRYKeyRef>(conn->c_clientKey))) return 0;
  *id = FullKeyIDText(static_cast<KRYKeyRef>(conn->c_clientKey));
  if (!id->empty()) return 0;
  LogError(EVENTLOG_INFO, "Invalid TLS client key encountered.");
  return 50;
}

// The signature of a delete or disable request: by a delete signer, or by
// the one key it names when self-service deletion is allowed.
int VerifyDeleteSignature(AddRequestState* state, Backend* be, Operation* op, const RequestKeys& keys,
                          bool* verified) {
  *verified = false;
  if (keys.deleteSigners) {
    if (VerifyCertRequest(state->request.data(), state->request.size(), keys.deleteSigners, keys.context,
                          verified, &op->o_logDetail.signerID) != 0)
      return BadSignature(state);
    *verified = *verified && SignerMayAuthorise(be, keys.context, keys.deleteSigners, op->o_logDetail.signerID);
  }
  if (!*verified && g_globals->selfDeleteAllowed && state->keyIDs.size() == 1)
    return VerifySelfSigned(state, be, keys, verified);
  return 0;
}

// A delete or disable request. A client that authenticated over TLS with a
// delete signer's key, or (self-service) with the one key the request
// names, needs no signature; otherwise the request's own signature counts,
// so that a signed request stays valid whatever key the client presented.
int AuthoriseKeyDelete(AddRequestState* state, Backend* be, Connection* conn, Operation* op,
                       const RequestKeys& keys, bool clearSigned) {
  std::string clientID;
  if (int rc = ReadClientKeyID(be, conn, keys, &clientID)) return rc;
  bool verified = false;
  if (!clientID.empty()) {
    op->o_logDetail.signerID = clientID;
    verified = KeyInSet(keys.deleteSigners, static_cast<KRYKeyRef>(conn->c_clientKey)) ||
               (g_globals->selfDeleteAllowed && state->keyIDs.size() == 1 &&
                StrIEquals(state->keyIDs[0].substr(2), clientID));
  }
  if (!verified && clearSigned) {
    if (int rc = VerifyDeleteSignature(state, be, op, keys, &verified)) return rc;
  }
  state->authorised = verified;
  if (!verified) {
    state->SetText("Requests to disable/delete certificates must be signed.");
    return 8;
  }
  return 0;
}

// An add request: authorised by an add signer's signature, or by an add
// signer's key that the client proved over TLS (the block may then be
// unsigned).
int AuthoriseSignedAdd(AddRequestState* state, Backend* be, Connection* conn, Operation* op,
                       const RequestKeys& keys, bool clearSigned) {
  std::string clientID;
  if (int rc = ReadClientKeyID(be, conn, keys, &clientID)) return rc;
  std::string& signer = op->o_logDetail.signerID;
  if (!clientID.empty() && KeyInSet(keys.addSigners, static_cast<KRYKeyRef>(conn->c_clientKey))) {
    signer = clientID;
    state->authorised = true;
    return 0;
  }
  bool verified = false;
  signer = clientID;
  if (clearSigned && VerifyCertRequest(state->request.data(), state->request.size(), keys.addSigners, keys.context,
                                       &verified, &signer) != 0)
    return BadSignature(state);
  state->authorised =
      verified && keys.addSigners != nullptr && SignerMayAuthorise(be, keys.context, keys.addSigners, signer);
  if (state->authorised) return 0;
  if (g_globals->MustSignAdds) {
    LogError(EVENTLOG_WARNING, "Request not signed by an authorized signer (0x%s).", signer.c_str());
    state->SetText("Request not signed by an authorized signer.");
    return 50;
  }
  LogError(EVENTLOG_WARNING, "Invalid and unnecessary signature on signed request from 0x%s.", signer.c_str());
  return 48;
}

// Whether `text` is an unsigned blocklist change, which plain LDAP never
// carries out.
bool IsUnsignedBlockRequest(const std::string& text) {
  ParsedRequest req;
  return ParseRequestText(text.data(), text.size(), true, &req) == 0 &&
         (req.kind == kRequestBlock || req.kind == kRequestUnblock);
}

// A blocklist change from another server: taken only over TLS from a client
// key allowed to delete (the primary's server key, as krycertrepl sends
// it), then applied here and passed on in this server's replication log.
int HandleBlockRequest(AddRequestState* state, Backend* be, Connection* conn, Operation* op,
                       const RequestKeys& keys, const ParsedRequest& req) {
  std::string clientID;
  if (int rc = ReadClientKeyID(be, conn, keys, &clientID)) return rc;
  op->o_logDetail.signerID = clientID;
  if (clientID.empty() || !KeyInSet(keys.deleteSigners, static_cast<KRYKeyRef>(conn->c_clientKey))) {
    LogError(EVENTLOG_WARNING, "Blocklist request refused: not over TLS from a key allowed to delete.");
    state->SetText("Blocklist requests are taken only over TLS from a key allowed to delete.");
    return 50;
  }
  state->authorised = true;
  const int rc = ApplyBlockChange(be, req.kind == kRequestBlock, req.fingerprint, "from " + clientID);
  if (rc == 0 || rc == 3) return 0;  // unblocking what is not blocked changes nothing
  state->SetText(rc == 2 ? "Invalid kryRequest block format." : "The blocklist could not be changed.");
  return rc == 2 ? 2 : 1;
}

// Parses and authorises a kryRequest block (the first value of slot 0).
// An add leaves its key block in that value for the key pipeline.
int HandleSignedRequest(AddRequestState* state, Backend* be, Connection* conn, Operation* op,
                        RequestKeysHolder* holder) {
  Attribute& first = state->list.slots[0]->attrs[0];
  state->request = first.values[0];
  ParsedRequest req;
  const bool wrapperRequired = conn == nullptr || conn->c_tlsSession == nullptr;
  // Only a signed block needs the key library to be read; anything else is
  // parsed before a context is taken.
  const bool signedBlock = IsClearSignedBlock(state->request.data(), state->request.size());
  if (signedBlock && holder->Acquire(conn) != 0) return 1;
  const int parsed = ProcessReqBuffer(state->request.data(), state->request.size(), wrapperRequired,
                                      signedBlock ? holder->keys().context : nullptr, &req);
  if (parsed == 21) return BadSignature(state);
  if (parsed != 0 && wrapperRequired && !signedBlock && IsUnsignedBlockRequest(state->request)) {
    state->SetText("Blocklist requests are taken only over TLS from a key allowed to delete.");
    return 50;
  }
  if (parsed != 0) {
    LogError(EVENTLOG_WARNING, "Invalid kryRequest block format.");
    state->SetText("Invalid kryRequest block format.");
    return 2;
  }
  state->kind = req.kind;
  state->location = req.location;
  if (!signedBlock && holder->Acquire(conn) != 0) return 1;
  const RequestKeys& keys = holder->keys();
  if (req.kind == kRequestBlock || req.kind == kRequestUnblock)
    return HandleBlockRequest(state, be, conn, op, keys, req);
  if (req.kind == kRequestAdd) {
    first.values[0] = std::move(req.keyBlock);
    return AuthoriseSignedAdd(state, be, conn, op, keys, req.clearSigned);
  }
  state->keyIDs = std::move(req.keyIDs);
  return AuthoriseKeyDelete(state, be, conn, op, keys, req.clearSigned);
}

}  // namespace

int HandleAddRequest(AddRequestState* state, Backend* be, Connection* conn, Operation* op, RequestKeysHolder* keys) {
  state->authorised = false;
  if (state->list.count == 0 || !state->list.slots[0]) {
    LogError(EVENTLOG_ERROR, "Internal add request error.");
    return 1;
  }
  Entry* e = state->list.slots[0].get();
  if (e->attrs.empty()) {
    LogError(EVENTLOG_WARNING, "No keyblock received.");
    return 2;
  }
  Attribute& first = e->attrs[0];
  const bool isRequest = StrIEquals(first.type, "kryRequest");
  if (isRequest) first.type = "kryKey";
  if (!isRequest && !is_key_block_type(first.type)) {
    LogError(EVENTLOG_WARNING, "kryKey or kryRequest attribute must be provided.");
    return 2;
  }
  if (first.values.empty()) {
    LogError(EVENTLOG_WARNING, "Attribute must contain a single value.");
    return 2;
  }
  state->kind = kRequestAdd;
  state->location = 0;
  if (isRequest) {
    const int rc = HandleSignedRequest(state, be, conn, op, keys);
    if (rc != 0 || state->kind != kRequestAdd) return rc;
  }
  if (g_globals->MustSignAdds && !state->authorised) {
    state->SetText("Requests to add certificates must be signed.");
    return 8;
  }
  const std::string block = first.values[0];
  if (!isRequest && keys->Acquire(conn) != 0) return 1;
  const int rc = CreateAddKeyEntries(state, be, block, keys->keys());
  op->o_logDetail.certID = state->certID;
  if (rc != 0) {
    if (state->certID.empty())
      LogError(EVENTLOG_INFO, "Did not add certificate (Unknown ID).");
    else
      LogError(EVENTLOG_INFO, "Did not add certificate 0x%s.", state->certID.c_str());
  }
  return rc;
}

}  // namespace kry
