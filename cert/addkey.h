// The add pipeline for key submissions at the virtual DN: recognising the
// request, importing and checking the submitted certificate, the policy,
// the merge with the stored copy and the entries that are to be stored.
#pragma once

#include <string>
#include <vector>

#include "cert/certentry.h"
#include "cert/kryhandles.h"
#include "cert/policy.h"
#include "cert/requestkeys.h"

namespace kry {

struct Backend;
struct Connection;
struct Operation;

// Working state of one add, owned by the operation.
struct AddRequestState {
  EntryList list;                   // slot 0: the request / certificate entry
  int kind = 0;                     // 1 add, 2 delete, 3 disable
  int location = 0;                 // 2 ACTIVE, 1 PENDING; 0 for a plain key add
  std::vector<std::string> keyIDs;  // delete/disable: "0x" + 16 digits each
  bool authorised = false;
  bool passedPolicy = true;
  bool hasText = false;
  std::string text;                 // result text when hasText
  std::string certID;
  KeySetHolder revokers;            // designated revokers, open until the add ends
  std::string request;              // the signed block of an authorised request

  void SetText(const char* t) {
    text = t;
    hasText = true;
  }
};

// The client text of a result code when no step chose one; null for codes
// without a text.
const char* MapErrorCodeToMsg(int code);

// Recognises the first attribute of the request entry (state->list slot 0)
// and, for a key block, runs CreateAddKeyEntries. Returns an LDAP result.
// The key-library context is taken from `keys` only when a key block is
// to be imported.
int HandleAddRequest(AddRequestState* state, Backend* be, Connection* conn, Operation* op, RequestKeysHolder* keys);

// The key pipeline for `block` (the first value of the first attribute of
// slot 0, which the pipeline replaces by the exports). On success state->list holds the certificate entry (slot
// 0, with its DN and key blocks) and the user-ID entries to store. Returns
// an LDAP result; texts go to state.
int CreateAddKeyEntries(AddRequestState* state, Backend* be, const std::string& block,
                        const RequestKeys& keys);

}  // namespace kry
