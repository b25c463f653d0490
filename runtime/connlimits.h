// Limits of the LDAP connection table that keep idle and crowding clients
// from locking others out: a cap per client address, and room made in a
// full table by closing the connection idle longest.
#pragma once

#include <cstdint>

namespace kry {

struct Connection;

// Slots in use by `address` (network order) among table[0..highest]. The
// caller holds connectionTableLock.
int ConnectionsFromAddress(const Connection* table, int highest, uint32_t address);

// Makes room in a full table: shuts down the socket of the connection that
// has been idle longest and has no request in progress, so that its thread
// ends and frees the slot. Nothing new is shut down while an earlier one
// still holds its slot. True when a slot is being freed. The caller holds
// connectionTableLock (taken before each connection's own locks).
bool EvictLongestIdle(Connection* table, int highest);

}  // namespace kry
