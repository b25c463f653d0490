// The ldbm backend's update and lookup operations: add, delete, modify,
// modify-DN, compare and simple bind. They reach the maps, the indexes and
// the entry cache through their own modules and take no lock of their own.
//
// Entries handed out by the maps are always given back to the entry cache.
// An operation never changes an entry that other threads can reach: modify
// and modify-DN build a changed copy, store it, and then swap it into the
// cache in place of the old one, so readers see either the old or the new
// entry, whole.
#pragma once

#include <string>
#include <vector>

#include "ldap/entry.h"

namespace kry {

struct Backend;
struct BackendOps;
struct Connection;
struct Operation;

// Installs the operations of this header in an ldbm operation table.
void ldbm_install_request_ops(BackendOps* ops);

// Adds e (its DN already normalised by the caller). The backend takes
// ownership of e on every path: it ends up in the cache or is freed.
// Returns 0 on success, -1 on failure before the new entry was reserved and
// -2 after it. *err receives the LDAP result code (0 on success), *matched a
// matched DN (always empty in this backend). With `merge` set, an existing
// entry of that DN gets each of e's attributes replaced instead of the add
// failing with 68. Sends nothing: the caller answers. *replicated is the
// request's "replication record written" flag.
int ldbm_back_add(Backend* be, Connection* conn, Operation* op, Entry* e, int merge, void* replArg, int* replicated,
                  int* err, std::string* matched);

// Deletes a leaf entry; sends the result. 0 on success, else -1.
int ldbm_back_delete(Backend* be, Connection* conn, Operation* op, const std::string& dn);

// Applies mods to the entry of dn; sends the result (none after abandon).
// 0 on success, else -1.
int ldbm_back_modify(Backend* be, Connection* conn, Operation* op, const std::string& dn,
                     std::vector<Modification>& mods);

// The same without a result, for the backend's own callers (add's merge, key
// disabling). Applies mods to e, which must hold a cache reference, or to the
// entry found for dn when e is null; that reference is given back in every
// case. Modifications are checked at level "add". 0 on success; -1 with *err
// the LDAP code (0 after abandon) and *matched the matched DN.
int modify_internal(Backend* be, Connection* conn, Operation* op, const std::string& dn, Entry* e,
                    std::vector<Modification>& mods, int* err, std::string* matched);

// Renames an entry in place (its parent and attribute values stay); sends
// the result. 0 on success, else -1.
int ldbm_back_modrdn(Backend* be, Connection* conn, Operation* op, const std::string& dn, const std::string& newrdn,
                     int deleteoldrdn);

// Sends compareTrue (6), compareFalse (5) or an error. 0 when a compare
// result was sent, 1 otherwise.
int ldbm_back_compare(Backend* be, Connection* conn, Operation* op, const std::string& dn, const Ava& ava);

// Simple bind against "userpassword". 0 when the credentials are accepted
// (the caller sends success), 1 when a result has been sent.
int ldbm_back_bind(Backend* be, Connection* conn, Operation* op, const std::string& dn, int method,
                   const std::string& cred);

// Value-level changes of one modification on an entry the caller owns.
// Return the LDAP result: 0, 16, 19 or 20 as documented in modify.cpp.
int mod_add_values(Entry* e, const Modification& mod);
int mod_delete_values(Entry* e, const Modification& mod);
int mod_replace_values(Entry* e, const Modification& mod);

}  // namespace kry
