// The DN map "dn2id.dbb".
//   key    the DN in dn_normalize_upper form, NUL included
//   value  the EntryID, 4 bytes in host byte order
// A DN is stored at most once (DB_NOOVERWRITE).
#pragma once

#include <optional>
#include <string>

#include "ldap/entry.h"

namespace kry {

struct Backend;

// Berkeley DB status (DB_KEYEXIST when the DN is present), -1 when the file
// cannot be opened.
int dn2id_add(Backend* be, const std::string& dn, EntryID id);
// The ID of a DN, or NOID. Looks in the entry cache first.
EntryID dn2id(Backend* be, const std::string& dn);
// Removes the record; normalises `dn` in place. Delete status, or -1.
int dn2id_delete(Backend* be, std::string& dn);
// The entry for a DN, holding one cache reference, or null. `matched` is
// always cleared: every DN belongs to this backend.
Entry* entry_by_dn(Backend* be, const std::string& dn, std::optional<std::string>* matched = nullptr);

}  // namespace kry
