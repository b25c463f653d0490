// Host names of HKP clients, looked up only when something will use them
// (a host rule, the access log, the replication log's loop check) and kept
// for a while by address, so that a client's many short connections cost
// one look-up between them rather than one each.
#pragma once

#include <cstdint>
#include <string>

namespace kry {

struct Connection;

// Whether the current settings use a client's host name at all.
bool HkpPeerNameNeeded();

// The host name of an IPv4 address (network byte order): from the cache
// while fresh, else looked up (without holding the cache's lock) and kept.
// False when the address has no name (remembered too, for less long).
bool CachedHostName(uint32_t address, std::string* name);

// Fills conn's host name from its IPv4 address when HkpPeerNameNeeded.
void ResolveHkpPeerName(Connection* conn, uint32_t address);

// Empties the cache (each start of the listener, which may follow a change
// of the resolver's files).
void ClearHostNameCache();

}  // namespace kry
