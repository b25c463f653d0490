// Carrying out signed delete and disable requests: removing a certificate
// with its user-ID entries, or marking them all kryDisabled "1".
#pragma once

#include <string>
#include <vector>

#include "ldap/entry.h"

namespace kry {

struct Backend;
struct Connection;
struct Operation;

// Deletes (isDelete) or disables each certificate of keyIDs ("0x" + 16
// characters) at `location`. Returns 0, or the first failure's LDAP result
// with *text listing the keys that failed ("Keys not deleted: ..." /
// "Keys not disabled: ..."). `request` is the request entry whose first
// attribute holds the signed block written to the replication log.
int HandleKeyDelete(Backend* be, Connection* conn, Operation* op, Entry* request,
                    const std::vector<std::string>& keyIDs, bool isDelete, int location, std::string* text);

// One certificate by DN: 0, 32 absent, 50 no access, 88 abandoned, 66 a
// user-ID entry could not be removed, 1 storage failure.
int DeleteKey(Backend* be, Connection* conn, Operation* op, Entry* request, const std::string& certDN);
// 0, 32 absent or already disabled, 50, 88, or the modify's result.
int DisableKey(Backend* be, Connection* conn, Operation* op, Entry* request, const std::string& certDN);

// Sets kryDisabled of e (holding a cache reference, given back) to value.
// 32 when it already has that value, else the modify's result.
int SetDisableFlag(Backend* be, Connection* conn, Operation* op, Entry* e, const char* value);

}  // namespace kry
