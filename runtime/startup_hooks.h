// Start-up steps that belong to the certificate logic and the logging
// subsystem, kept in their place in the start-up order. Each does what its
// subsystem can do in this build; see the .cpp for the state of each.
#pragma once

namespace kry {

// Opens the replication log when "RepLogFile" is configured; 0 on success.
int InitReplicationLog();
// Creates the access-log cycling context from the "CycleLog..." settings;
// 0 on success, otherwise reported and the start is to stop.
int InitLogCycling();
// Opens the server's keyrings and resolves the configured signer key IDs
// into the policy key sets. 0, -1 (already reported) or a library code.
int InitServerPolicies();
struct Backend;
// Loads the blocklist of the database directory (seeded by "BlockListFile")
// and purges every blocked key still stored, finishing a purge that a crash
// cut short. 0, or 1 when the list could not be read (reported).
int ApplyBlockList(Backend* be);
// Frees the key sets InitPolicy built (before the main context goes).
void ReleaseStartupKeys();

}  // namespace kry
