// The child map "id2children.dbb".
//   key    "=" + the parent's EntryID in decimal, NUL included; entries
//          without a parent use parent ID 0
//   value  the ID list of the children (idlist.h, continuation records
//          included)
// The records double as the equality index of the pseudo-attribute
// "id2children".
#pragma once

#include <string>

#include "ldap/entry.h"

namespace kry {

struct Backend;

// The children key of a parent ID.
std::string id2children_key(EntryID parent);

// parent may be null (parent ID 0). 0 or -1.
int id2children_add(Backend* be, const Entry* parent, const Entry* child);
// -1 also when child is not in the list. Opens the file with create.
int id2children_remove(Backend* be, const Entry* parent, const Entry* child);
// 1 when e's children key holds any list (All IDs included), else 0.
int has_children(Backend* be, const Entry* e);
// Removes e's children record (continuation records stay). Status, or -1.
int id2children_delete_all(Backend* be, const Entry* e);

}  // namespace kry
