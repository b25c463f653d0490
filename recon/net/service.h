// Reconciliation in the server: the set of key digests (built from the
// directory at each start, then kept in step by every write), the listener on
// "ReconPort" and the gossip client for the "ReconPartner" lines. Started
// and stopped with the HKP listener, from one thread at a time.
#pragma once

namespace kry {

// Starts what the configuration asks for (nothing when neither "ReconPort"
// nor a partner is set). 0 when it runs or is off; 1 when the port could
// not be opened or the set not built (logged; the rest of the server runs).
int StartRecon();
// Stops the listener and the gossip client; sessions and fetches in
// progress are cut short.
void StopRecon();
// Digests in the set; -1 when reconciliation has not run.
long ReconDigestCount();
// The port served, 0 when none (tests start with port numbers of their own).
int ReconListenerPort();

}  // namespace kry
