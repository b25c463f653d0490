// "/pks/add": the armoured text of the form field keytext is submitted to
// the directory as an LDAP add of each key at the virtual DN, through the
// same handler and add pipeline (policy, merge, PENDING, every refusal).
#pragma once

#include <string>
#include <vector>

#include "hkp/answer.h"
#include "platform/pgp/kry.h"

namespace kry {

struct Connection;

// The key blocks to submit one by one: a text holding several keys is split
// into one armoured block per key; anything else (one key, or text the key
// library cannot read) is submitted as it is, for the pipeline to judge.
std::vector<std::string> SplitKeyText(Connection* conn, const std::string& keytext);
// The same with the key library context `context` (may be null). Checks no
// signature: each block's add checks its own.
std::vector<std::string> SplitKeyBlocks(KRYContextRef context, const std::string& keytext);

// The line text of an add whose pipeline chose no text: the text of that
// very result ("Stored." only for a stored key).
std::string HkpResultText(int ldapResult);

// HTTP status of one add's LDAP result: 200 stored or unchanged, 202 waiting
// for approval (PENDING), 403 refused by access or signing rules, 500 only
// when the server itself failed, 422 for every refusal of the key.
int HkpAddStatus(int ldapResult);

// What HkpSubmitKey returns for a key on the blocklist (refused for good).
constexpr int kBlockedResult = 1000;

// Submits one key block (armoured or binary) through the add pipeline and
// writes its access-log line; *line gets the answer line of the key. Returns
// the LDAP result, kBlockedResult, or -1 when the add could not be run.
int HkpSubmitKey(Connection* conn, const std::string& block, std::string* line);

// Submits every key and answers with one line per key carrying the
// pipeline's result text. The status is the first refusal's, else 202 when
// a key went to PENDING, else 200. Writes one access-log line per key.
HkpAnswer HkpSubmit(Connection* conn, const std::string& keytext);

}  // namespace kry
