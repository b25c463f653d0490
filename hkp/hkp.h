// The HKP listener: GnuPG's keyserver protocol over HTTP ("/pks/lookup" and
// "/pks/add", with "/pks/stats" and "/pks/health") on "HKPPort", in front
// of the same directory as the LDAP ports. It runs while the directory server runs: started after the LDAP
// listener, stopped before it. Start and stop are called from one thread at
// a time (start-up, the console's start and stop, shutdown).
#pragma once

namespace kry {

// Starts serving "HKPPort" when it is set and not yet served. 0 when it runs
// or is off; 1 when the port could not be opened (in the event log; the
// LDAP ports are served all the same).
int StartHkpListener();
// Stops accepting, lets requests in progress end, and closes the port.
void StopHkpListener();
// The port served, 0 when none.
int HkpListenerPort();

// Reconciliation (recon/net/service.h) is started and stopped with the HKP
// listener too, as it fetches keys into the directory the listener serves.

// The Prometheus endpoint on "MetricsPort" (off when 0), started and
// stopped with the HKP listener (StartHkpListener and StopHkpListener call
// these) whether or not HKP itself is served. 0 when it runs or is off.
int StartMetricsListener();
void StopMetricsListener();

}  // namespace kry
